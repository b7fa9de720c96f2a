#include "ZR40UpReg/ZR40UpRegApp.h"

#include <utility>

#include "ZR40UpReg/ZR40UpRegDlg.h"
#include "platform/resources/resources.h"
#include "platform/system/System.h"
#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"

namespace ui = platform::ui;

CZR40UpRegApp::CZR40UpRegApp(std::string strCmdLine, WorkerEnvironment env)
    : m_strCmdLine(std::move(strCmdLine)), m_env(std::move(env)) {}

int CZR40UpRegApp::Run() {
    const platform::system::OsVersion os = platform::system::GetOsVersion();
    if (os.platformId != platform::system::kPlatformNt || os.major < 6) {
        ui::MessageBox(platform::resources::LoadString(IDS_UNSUPPORTED_OS),
                       ui::Utf8ToCp932(kManagerTitle), ui::MbIcon::Warning);
        return 0;
    }
    const platform::system::SingleInstance instance(kManagerMutex);
    if (instance.State() == platform::system::InstanceState::kAlreadyRunning) {
        return 0;
    }
    CZR40UpRegDlg dlg(m_strCmdLine, m_env);
    dlg.DoModal();
    return 0;
}

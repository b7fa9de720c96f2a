#include "Loader/app/LoaderDlg.h"

#include <string>
#include <utility>

#include "Loader/app/SystemIntegration.h"
#include "Loader/common/RunNames.h"
#include "platform/resources/resources.h"
#include "platform/window/Window.h"

namespace ui = platform::ui;
namespace win = platform::window;

namespace {

// A failing row's box, sent from its thread to the window's.
constexpr std::uint32_t kWmShowErrorBox = 0x0420;
constexpr int kAppIcon = 128;
constexpr int kMsgAboutMenu = 101;

struct StatusLines {
    const char* line1;
    const char* line2;
};

StatusLines LinesOf(RoadTexts texts) {
    switch (texts) {
        case RoadTexts::kWriting:
            return {"ZR-40のソフトウェアを書き換え中です。", ""};
        case RoadTexts::kRestarting:
            return {"ZR40を再起動しています。", "しばらくお待ちください。"};
        case RoadTexts::kResultCheck:
            return {"ZR40のソフトウェア更新結果を確認中です。", ""};
        case RoadTexts::kDriverWait:
            return {"通信設定ファイルが更新されるのを待っています。", ""};
        case RoadTexts::kRegistering:
            return {"ソフトウェア更新情報をサーバーへ登録中です。", ""};
        case RoadTexts::kFresh:
            break;
    }
    return {"ご使用中のZR-40のソフトウェア更新を行います。",
            "ソフトウェアバージョンを確認してから実行してください。"};
}

// Texts are written here in UTF-8 and handed to the controls in the code page they read.
std::string Cp(const char* pszUtf8) {
    return CComString::FromUtf8(pszUtf8).Str();
}

std::string LoadCp(int nId) {
    return std::string(platform::resources::LoadString(nId));
}

}  // namespace

CLoaderDlg::CLoaderDlg(CLoaderStart& start, CLoaderDlgSystem system,
                       platform::kernel::Clock& runClock)
    : ui::Dialog(IDD_LOADER_DIALOG),
      m_errorLogPlace(&CSystemIntegration::OpenErrorLog),
      m_start(start),
      m_system(std::move(system)),
      m_runClock(runClock) {}

CLoaderDlg::~CLoaderDlg() {
    StopThreads(nullptr);
    JoinThreads();
}

bool CLoaderDlg::OnInitDialog() {
    m_self = GetWindow().Handle();
    AddSystemMenuItem(IDM_ABOUTBOX, LoadCp(kMsgAboutMenu));
    SetIcon(kAppIcon);
    IRoadView& view = *this;
    m_road = std::make_unique<CUpdateRoad>(m_start, view, GetWindow(), ui::CurrentHost().Clock(),
                                           portLock(), m_system);
    m_road->Begin();
    SetItemText(IDC_OLD_VERSION, Cp("\r\nZR-40\r\nソフトウェアバージョン\r\n\r\n") +
                                     m_start.strDeviceVersion.Str().substr(0, 10));
    SetItemText(IDC_NEW_VERSION, Cp("\r\n新しい\r\nソフトウェアバージョン\r\n\r\n") +
                                     m_start.strNewVersion.Str().substr(0, 10));
    return true;
}

void CLoaderDlg::OnDestroy() {
    if (m_road) {
        m_road->End();
    }
    CloseBox(WaitBox::kNetwork);
    CloseBox(WaitBox::kDriver);
}

void CLoaderDlg::OnCommand(int id) {
    if (id == IDC_START) {
        OnStartButton();
        return;
    }
    ui::Dialog::OnCommand(id);
}

void CLoaderDlg::OnOK() {
    if (IsItemEnabled(ui::IDOK)) {
        EndDialog(ui::IDOK);
    }
}

void CLoaderDlg::OnCancel() {
    if (IsItemEnabled(ui::IDOK)) {
        EndDialog(ui::IDCANCEL);
    }
}

void CLoaderDlg::OnClose() {
    OnCancel();
}

void CLoaderDlg::OnSysCommand(int id) {
    if (id == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
    }
}

bool CLoaderDlg::OnKey(ui::Key key) {
    switch (key) {
        case ui::Key::Up:
        case ui::Key::Down:
            return true;
        case ui::Key::Left:
            return GetFocus() == IDC_START;
        case ui::Key::Right:
            return GetFocus() == ui::IDOK;
        default:
            return false;
    }
}

void CLoaderDlg::OnStartButton() {
    m_road->StartWrite([this] {
        return StartThreads({m_start.pScript, m_start.pConfig, m_start.pVersions, m_start.pSums},
                            m_start.pPort, "GLOBAL", m_runClock, &m_runClock);
    });
}

void CLoaderDlg::ShowTexts(RoadTexts texts) {
    const StatusLines lines = LinesOf(texts);
    SetItemText(IDC_STATUS1, Cp(lines.line1));
    SetItemText(IDC_STATUS2, Cp(lines.line2));
}

void CLoaderDlg::ShowProgressControls() {
    ShowItem(IDC_PROGRESS, true);
    EnableItem(IDC_PROGRESS, true);
    EnableItem(IDC_PERCENT, true);
}

void CLoaderDlg::SetProgress(int nPos) {
    SetProgressPos(IDC_PROGRESS, nPos);
}

void CLoaderDlg::SetPercentText(const std::string& textUtf8) {
    SetItemText(IDC_PERCENT, Cp(textUtf8.c_str()));
}

void CLoaderDlg::EnableButtons(bool bEnable) {
    EnableItem(IDC_START, bEnable);
    EnableItem(ui::IDOK, bEnable);
}

void CLoaderDlg::ShowMessage(const std::vector<int>& textIds, IRoadView::Icon icon) {
    std::string text;
    for (int nId : textIds) {
        text += LoadCp(nId);
    }
    ui::MessageBox(text, GetWindowText(),
                   icon == IRoadView::Icon::kError ? ui::MbIcon::Error : ui::MbIcon::Information,
                   ui::MbButtons::Ok, this);
}

void CLoaderDlg::ShowBox(WaitBox box) {
    if (BoxShown(box)) {
        return;
    }
    std::unique_ptr<ui::Dialog>& slot = BoxOf(box);
    if (box == WaitBox::kDriver) {
        slot = std::make_unique<CDrvUpDlg>(*this, this);
    } else {
        slot = std::make_unique<CNwConnDlg>(*this, this);
    }
    slot->Create();
}

void CLoaderDlg::CloseBox(WaitBox box) {
    std::unique_ptr<ui::Dialog>& slot = BoxOf(box);
    if (slot) {
        slot->DestroyWindow();
        slot.reset();
    }
}

bool CLoaderDlg::BoxShown(WaitBox box) const {
    const std::unique_ptr<ui::Dialog>& slot = BoxOf(box);
    return slot && slot->IsAlive();
}

void CLoaderDlg::Close(bool bCompleted) {
    EndDialog(bCompleted ? ui::IDOK : ui::IDCANCEL);
}

// The box is inside its own handler and destroys its window next; the object stays until the
// box is shown again or the main window ends.
void CLoaderDlg::DriverDialogClosed() {}

void CLoaderDlg::NetworkDialogClosed() {}

std::intptr_t CLoaderDlg::OnMessage(const win::Message& message) {
    if (m_road && m_road->HandleMessage(message)) {
        return 0;
    }
    switch (message.message) {
        case WM_POWERBROADCAST:
            if (message.wParam == PBT_APMQUERYSUSPEND && !IsItemEnabled(ui::IDOK)) {
                return BROADCAST_QUERY_DENY;
            }
            return 1;
        case kWmShowErrorBox:
            ShowMessage({static_cast<int>(message.wParam)}, IRoadView::Icon::kError);
            return 0;
        default:
            return ui::Dialog::OnMessage(message);
    }
}

void CLoaderDlg::StepMessage(const CComString& /*cstrText*/, int /*nLevel*/) {}

// The box belongs to the window's thread; the failing row waits until the user has read it.
void CLoaderDlg::ShowErrorBox(int nMessageId) {
    m_self.Send({kWmShowErrorBox, static_cast<std::uintptr_t>(nMessageId), 0, {}});
}

void CLoaderDlg::SetFailed(bool bFailed) {
    if (bFailed && m_road) {
        m_road->RunFailed();
    }
}

void CLoaderDlg::PostLoaderEnd() {
    m_self.Post({WM_LOADER_END, 0, 0, {}});
}

void CLoaderDlg::PostProgress() {
    m_self.Post({WM_LOADER_PROGRESS, 0, 0, {}});
}

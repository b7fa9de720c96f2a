#include "Loader/app/LoaderApp.h"

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "Loader/app/SecondaryDlgs.h"
#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "Loader/common/RunNames.h"
#include "Loader/device/AtChannel.h"
#include "platform/resources/resources.h"
#include "platform/ui/Ui.h"

namespace {

namespace ui = platform::ui;

constexpr char kCaptionUtf8[] = "ZR-40ソフトウェア更新ツール";
constexpr char kLowestVersion[] = "Ver1.00";
constexpr std::uint32_t kNoServicePauseMs = 5000;

struct BuildDate {
    const char* date;
    const char* label;
};
constexpr std::array kBuildDates{
    BuildDate{"110414", "Ver1.00"}, BuildDate{"110704", "Ver1.01"}, BuildDate{"110706", "Ver1.01"},
    BuildDate{"110708", "Ver1.01"}, BuildDate{"110713", "Ver1.01"}, BuildDate{"110714", "Ver1.02"},
    BuildDate{"110720", "Ver1.01"}, BuildDate{"110805", "Ver1.01"},
};

int Box(int nId, ui::MbIcon icon, ui::MbButtons buttons = ui::MbButtons::Ok) {
    static const CComString caption = CComString::FromUtf8(kCaptionUtf8);
    return ui::MessageBox(platform::resources::LoadString(nId), caption.Str(), icon, buttons);
}

void Warn(int nId) {
    Box(nId, ui::MbIcon::Warning);
}
void Fail(int nId) {
    Box(nId, ui::MbIcon::Error);
}

bool Contains(const CComString& str, std::string_view part) {
    return str.Str().find(part) != std::string::npos;
}

}  // namespace

CLoaderApp::CLoaderApp(MainDialogEntry mainDialog, platform::kernel::Clock& clock,
                       CUsbPortDiscovery discovery, platform::registry::Location store)
    : m_mainDialog(std::move(mainDialog)),
      m_clock(clock),
      m_discovery(std::move(discovery)),
      m_store(std::move(store)) {}

CLoaderApp::~CLoaderApp() {
    Release();
}

CComString CLoaderApp::CarriedVersionLabel(const CComString& strGen) {
    if (strGen.GetLength() == 0) {
        return CComString(std::string(10, ' ').c_str());
    }
    for (const BuildDate& row : kBuildDates) {
        if (Contains(strGen, row.date)) {
            return row.label;
        }
    }
    return strGen.GetLength() < 17 ? strGen.Mid(8, 7) : strGen.Mid(16, 6);
}

std::uint32_t CLoaderApp::ScriptWeight(const CParamFile& script) {
    static constexpr std::array kSmallModules{"C_PS",   "C_MDSP", "C_CDSP", "C_RFIC", "C_VDSP",
                                              "C_HDSP", "C_GDSP", "C_FDSP", "C_L2"};
    std::uint32_t dwTotal = 0;
    const CComString section = "GLOBAL";
    for (int i = 0; i < script.GetParamKeySize(section); ++i) {
        const CComString key = script.GetParamKeyText(section, i);
        const CComString value = script.GetParamValueText(section, i);
        if (key.CompareNoCase("Timer") == 0) {
            dwTotal += static_cast<std::uint32_t>(std::strtoul(value.GetString(), nullptr, 10));
        } else if (key.CompareNoCase("DBB_D2_File") == 0) {
            if (Contains(value, "C_PRD2")) {
                dwTotal += 1;
            } else if (Contains(value, "C_D2")) {
                dwTotal += 19;
            }
        } else if (key.CompareNoCase("DBB_LM_File") == 0) {
            bool bSmall = false;
            for (const char* module : kSmallModules) {
                bSmall = bSmall || Contains(value, module);
            }
            if (bSmall) {
                dwTotal += 1;
            } else if (Contains(value, "U_LM")) {
                dwTotal += 9;
            } else if (Contains(value, "U_BDSP")) {
                dwTotal += 2;
            } else if (Contains(value, "C_L1V")) {
                dwTotal += 1;
            } else if (Contains(value, "C_L1")) {
                dwTotal += 26;
            } else if (Contains(value, "C_USB")) {
                dwTotal += 30;
            }
        }
    }
    return dwTotal;
}

bool CLoaderApp::AppInitialize() {
    if (Run() && m_mainDialog) {
        m_mainDialog(m_start);
    }
    Release();
    return false;
}

void CLoaderApp::Release() {
    m_pPort.reset();
    m_pInstance.reset();
}

// True when the main dialog is to be shown.
bool CLoaderApp::Run() {
    m_start.os = platform::system::GetOsVersion();
    m_start.toolDir = platform::system::ProgramDir();
    const auto& os = m_start.os;
    const bool bSupported = os.platformId == platform::system::kPlatformNt &&
                            (os.major >= 6 || (os.major == 5 && os.minor >= 1));
    if (!bSupported) {
        Warn(kMsgUnsupportedOs);
        return false;
    }
    m_pInstance = std::make_unique<platform::system::SingleInstance>("Loader");
    if (m_pInstance->State() == platform::system::InstanceState::kAlreadyRunning) {
        Warn(kMsgAlreadyRunning);
        return false;
    }
    if (!platform::system::IsAdministrator()) {
        Warn(kMsgNotAdministrator);
        return false;
    }
    if (!LoadConfiguration()) {
        return false;
    }

    CStateStore store(m_store);
    std::uint32_t dwStatus = 0;
    store.ReadStatus(dwStatus);
    // Only 1-4 name a stop of the road; anything else cannot be resumed.
    m_start.dwStatus = dwStatus > 4 ? 0 : dwStatus;
    if (m_start.dwStatus == 0) {
        store.RestoreWithheldRequests();
    }
    store.ReadDriverUpdate(m_start.dwDriverUpdate);
    CComString strOldVersion;
    store.ReadOldVersion(strOldVersion);
    store.ReadExecDir(m_start.strExecDir);

    m_pPort = std::make_unique<CUsbPort>(&m_config, m_clock, m_discovery);
    m_start.pPort = m_pPort.get();
    m_start.strNewVersion = CarriedVersionLabel(m_versions.GetParamValueText("latest", "GEN"));
    if (m_start.dwStatus != 0) {
        m_start.strDeviceVersion = strOldVersion;
        return true;
    }
    if (!CheckDevice()) {
        return false;
    }
    if (m_start.dwStatus != 0) {
        return true;
    }
    CSystemIntegration::PostManagerQuit();
    CAttentionDlg notice;
    return notice.DoModal() != ui::IDCANCEL;
}

bool CLoaderApp::LoadConfiguration() {
    bool bLoaded = true;
    for (auto [pFile, name] :
         {std::pair{&m_config, "Loader_Ini"}, std::pair{&m_versions, "Loader_Ver"},
          std::pair{&m_script, "Loader_Update"}, std::pair{&m_sums, "Loader_Sum"}}) {
        if (pFile->LoadParamSection(name) != 1) {
            Fail(kMsgSystemError);
            bLoaded = false;
        }
    }
    m_start.dwScriptWeight = ScriptWeight(m_script);
    if (m_start.dwScriptWeight == 0) {
        Fail(kMsgSystemError);
        bLoaded = false;
    }
    if (CStateStore(m_store).CreateStateKeys() != 1) {
        Fail(kMsgSystemError);
        bLoaded = false;
    }
    m_pProductInfo = std::make_unique<CComProductInfo>();
    m_start.pConfig = &m_config;
    m_start.pVersions = &m_versions;
    m_start.pScript = &m_script;
    m_start.pSums = &m_sums;
    m_start.pProductInfo = m_pProductInfo.get();
    return bLoaded;
}

// The device runs the new version after a write this tool started, but the run ended before
// the write's end was recorded: it goes on as a run stopped after the write, so the update is
// still checked and reported.
bool CLoaderApp::ResumeUnrecordedWrite() {
    CStateStore store(m_store);
    CComString strOldVersion;
    store.ReadOldVersion(strOldVersion);
    store.ReadExecDir(m_start.strExecDir);
    if (store.WriteSwUpState(1, 9, strOldVersion, m_start.strExecDir) != 1) {
        Fail(kMsgSystemError);
        return false;
    }
    CSystemIntegration(m_clock).SetRelaunch(true, m_start.os, m_start.toolDir);
    m_start.dwStatus = 1;
    m_start.strDeviceVersion = strOldVersion;
    return true;
}

bool CLoaderApp::OfferRecovery() {
    if (Box(kMsgOfferRecovery, ui::MbIcon::Warning, ui::MbButtons::YesNo) != ui::IDYES) {
        return false;
    }
    m_start.bRecovery = true;
    m_start.strDeviceVersion = kRecoveryVersion;
    return true;
}

bool CLoaderApp::CheckDevice() {
    CUsbPort& port = *m_pPort;
    const int nUpdatePorts = port.FindPort(CUsbPort::kUpdatePort);
    if (nUpdatePorts != 1) {
        Warn(nUpdatePorts == 0 ? kMsgNotConnected : kMsgSeveralConnected);
        return false;
    }
    if (port.FindPort(CUsbPort::kModemPort) == 0) {
        // Later systems than 6.0 reach a device without a modem port through Mobile Broadband.
        const auto& os = m_start.os;
        if (os.major < 6 || (os.major == 6 && os.minor == 0)) {
            Fail(kMsgSystemError);
            return false;
        }
        m_start.bMbnMode = true;
    }
    if (m_start.bMbnMode && port.AttachMbnInterface() != 1) {
        if (!OfferRecovery()) {
            return false;
        }
    }
    if (m_start.bRecovery) {
        return true;
    }
    while (platform::system::IsProcessRunning(kConnectionSoftProcess)) {
        Warn(kMsgConnectionSoft);
    }
    const bool bDataCall =
        m_start.bMbnMode ? port.GetConnectionState() == 2 : port.IsDialUpActive() == 2;
    if (bDataCall) {
        Warn(kMsgDataCall);
        return false;
    }
    switch (ReadDeviceVersion(m_start.strDeviceVersion)) {
        case AtAnswer::kRead:
            break;
        case AtAnswer::kNotAvailable:
            return OfferRecovery();
        case AtAnswer::kNoAnswer:
            Warn(kMsgNoAnswer);
            return false;
    }
    const std::string& version = m_start.strDeviceVersion.Str();
    if (version == m_start.strNewVersion.Str() && CStateStore(m_store).HasWriteUnderWay() == 1) {
        return ResumeUnrecordedWrite();
    }
    if (version < kLowestVersion || !(version < m_start.strNewVersion.Str())) {
        Warn(kMsgVersionRefused);
        return false;
    }
    AtArea area = ServiceArea(1);
    if (area == AtArea::kNoService) {
        auto* pWait = new CConfWait;  // freed by DestroyWindow
        pWait->Create();
        m_clock.SleepMs(kNoServicePauseMs);
        area = ServiceArea(4);
        pWait->DestroyWindow();
    }
    if (area != AtArea::kHome) {
        Warn(area == AtArea::kRoaming ? kMsgRoaming : kMsgNoService);
        return false;
    }
    if (port.PortOpen() != 1) {
        Warn(kMsgPortBusy);
        return false;
    }
    port.Close();
    return true;
}

AtAnswer CLoaderApp::ReadDeviceVersion(CComString& strVersion) {
    if (!m_start.bMbnMode) {
        return CAtChannels(*m_pPort, m_clock).AskVersion(AtVersionRule::kFirstAnswer, strVersion);
    }
    char szFirmware[10] = {};
    char szDeviceId[20] = {};
    if (m_pPort->GetDeviceInfo(szFirmware, szDeviceId) != 1) {
        return AtAnswer::kNotAvailable;
    }
    strVersion = szFirmware;
    return AtAnswer::kRead;
}

AtArea CLoaderApp::ServiceArea(int nRetries) {
    if (!m_start.bMbnMode) {
        return CAtChannels(*m_pPort, m_clock).AskArea(nRetries);
    }
    switch (m_pPort->GetRegisterState(nRetries)) {
        case 0:
            return AtArea::kHome;
        case 1:
            return AtArea::kRoaming;
        default:
            return AtArea::kNoService;
    }
}

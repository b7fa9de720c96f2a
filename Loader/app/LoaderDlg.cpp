#include "Loader/app/LoaderDlg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "Loader/app/MmInhibit.h"
#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "Loader/common/RunNames.h"
#include "platform/devnotify/DeviceMonitor.h"
#include "platform/net/UpdateServer.h"
#include "platform/resources/resources.h"
#include "platform/system/Power.h"
#include "platform/system/System.h"
#include "platform/window/Window.h"

namespace ui = platform::ui;
namespace win = platform::window;
using platform::kernel::CriticalSectionLock;

namespace {

constexpr std::uint32_t kTimerId = 1;
// A failing row's box, sent from its thread to the window's.
constexpr std::uint32_t kWmShowErrorBox = 0x0420;
constexpr std::uint32_t kElapsedCap = 999999;
constexpr int kAppIcon = 128;
constexpr int kMsgSuccess = 118;
constexpr int kMsgUpdateFailed = 208;
constexpr int kMsgRegisterFailed = 214;
constexpr int kMsgConnect = 215;
constexpr int kMsgDataCallAfter = 216;
constexpr int kMsgBusyAfter = 217;
constexpr int kMsgAboutMenu = 101;
constexpr int kMsgTimeoutFirst = 190;
constexpr int kMsgTimeoutLast = 193;

constexpr char kInstallerTitle[] = "ZR-40 インストーラ";
constexpr char kSoftInstallerTitle[] = "ZR-40接続ソフト インストーラ";

// Texts are written here in UTF-8 and handed to the controls in the code page they read.
std::string Cp(const char* pszUtf8) {
    return CComString::FromUtf8(pszUtf8).Str();
}

std::string LoadCp(int nId) {
    return std::string(platform::resources::LoadString(nId));
}

platform::kernel::Clock& WindowClock() {
    return ui::CurrentHost().Clock();
}

bool DefaultReachable() {
    return platform::net::IsServerReachable(platform::net::ConfiguredUpdateServer());
}

bool DefaultStartManager(const std::filesystem::path& dir) {
    CSystemIntegration integration(WindowClock());
    integration.InstallManager(dir);
    return CSystemIntegration::StartManager().Started();
}

}  // namespace

CLoaderDlg::CLoaderDlg(CLoaderStart& start, CLoaderDlgSystem system,
                       platform::kernel::Clock& runClock)
    : ui::Dialog(IDD_LOADER_DIALOG),
      m_start(start),
      m_system(std::move(system)),
      m_pPort(start.pPort),
      m_runClock(runClock) {
    if (!m_system.serverReachable) {
        m_system.serverReachable = DefaultReachable;
    }
    if (!m_system.startManager) {
        m_system.startManager = DefaultStartManager;
    }
}

CLoaderDlg::~CLoaderDlg() {
    StopThreads(nullptr);
    JoinThreads();
}

bool CLoaderDlg::OnInitDialog() {
    m_self = GetWindow().Handle();
    AddSystemMenuItem(IDM_ABOUTBOX, LoadCp(kMsgAboutMenu));
    SetIcon(kAppIcon);
    m_pMonitor = std::make_unique<platform::devnotify::DeviceMonitor>();
    m_pMonitor->Subscribe(m_self, platform::devnotify::Interest::DevicesChanged);

    CStateStore store;
    switch (m_start.dwStatus) {
        case 1:
            SetTexts("ZR40のソフトウェア更新結果を確認中です。", "");
            m_nPhase = 1;
            store.SetUpdateRequesting(false, &m_bRequestsExisted);
            StartTimer();
            break;
        case 2:
            SetTexts("通信設定ファイルが更新されるのを待っています。", "");
            m_bDriverDlgAtFirstTick = true;
            m_nPhase = 2;
            m_bDriverWaitArmed = true;
            store.SetUpdateRequesting(false, &m_bRequestsExisted);
            StartTimer();
            break;
        case 3:
        case 4:
            SetTexts("ソフトウェア更新情報をサーバーへ登録中です。", "");
            m_bRegisterAtFirstTick = true;
            m_nPhase = 3;
            StartTimer();
            break;
        default:
            SetTexts("ご使用中のZR-40のソフトウェア更新を行います。",
                     "ソフトウェアバージョンを確認してから実行してください。");
            break;
    }
    if (m_start.dwStatus != 0) {
        EnableItem(IDC_START, false);
        EnableItem(ui::IDOK, false);
        ShowItem(IDC_PROGRESS, true);
        EnableItem(IDC_PROGRESS, true);
        EnableItem(IDC_PERCENT, true);
        // The new version is still to be confirmed.
        if (m_start.dwStatus == 1) {
            m_pInhibit = std::make_unique<CMmInhibit>();
        }
    }
    SetItemText(IDC_OLD_VERSION, Cp("\r\nZR-40\r\nソフトウェアバージョン\r\n\r\n") +
                                     m_start.strDeviceVersion.Str().substr(0, 10));
    SetItemText(IDC_NEW_VERSION, Cp("\r\n新しい\r\nソフトウェアバージョン\r\n\r\n") +
                                     m_start.strNewVersion.Str().substr(0, 10));
    return true;
}

void CLoaderDlg::OnDestroy() {
    StopTimer();
    m_pMonitor.reset();
    CloseWaitBoxes();
}

void CLoaderDlg::SetTexts(const char* pszLine1, const char* pszLine2) {
    SetItemText(IDC_STATUS1, Cp(pszLine1));
    SetItemText(IDC_STATUS2, Cp(pszLine2));
}

void CLoaderDlg::SetBar(int nPos) {
    SetProgressPos(IDC_PROGRESS, nPos);
}

void CLoaderDlg::StartTimer() {
    GetWindow().SetTimer(kTimerId, 1000);
    m_bTimerOn = true;
}

void CLoaderDlg::StopTimer() {
    if (IsAlive()) {
        GetWindow().KillTimer(kTimerId);
    }
    m_bTimerOn = false;
}

void CLoaderDlg::SleepMs(std::uint32_t ms) {
    WindowClock().SleepMs(ms);
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
    m_nElapsed = 0;
    m_nSubTicks = 0;
    m_nPercent = 0;
    m_nTick = 0;
    m_nPhase = 0;
    CStateStore store;
    store.SetUpdateRequesting(false, &m_bRequestsExisted);
    store.MarkWriteUnderWay(m_start.strDeviceVersion,
                            CComString::FromUtf8(std::filesystem::current_path().string()));
    StartTimer();
    EnableItem(IDC_START, false);
    EnableItem(ui::IDOK, false);
    m_pAwake = std::make_unique<platform::system::StayAwake>(kToolProgram,
                                                             "The device's firmware is written");
    m_pInhibit = std::make_unique<CMmInhibit>();

    if (!StartThreads({m_start.pScript, m_start.pConfig, m_start.pVersions, m_start.pSums}, m_pPort,
                      "GLOBAL", m_runClock, &m_runClock)) {
        Fail(kMsgSystemError, false);
        return;
    }

    ShowItem(IDC_PROGRESS, true);
    EnableItem(IDC_PROGRESS, true);
    EnableItem(IDC_PERCENT, true);
    SetTexts("ZR-40のソフトウェアを書き換え中です。", "");
}

void CLoaderDlg::ShowPercent(int nPercent) {
    SetBar(nPercent);
    char szText[16];
    std::snprintf(szText, sizeof szText, "%d%%  ", nPercent);
    SetItemText(IDC_PERCENT, szText);
}

void CLoaderDlg::SubTick() {
    if (++m_nSubTicks >= 6) {
        ++m_nPercent;
        m_nSubTicks = 0;
    }
}

void CLoaderDlg::OnProgress() {
    SubTick();
    if (m_nPercent <= 100) {
        ShowPercent(m_nPercent);
    } else {
        m_nPercent = 100;
    }
}

void CLoaderDlg::OnTimerTick() {
    if (!(m_pDrvDlg && m_pDrvDlg->IsAlive())) {
        ++m_nTick;
    }
    switch (m_nPhase) {
        case 0:
            if (m_bRunFailed.load()) {
                return;
            }
            m_nElapsed = std::min(m_nElapsed + 1, kElapsedCap);
            if (m_nPercent != 99 && m_nElapsed <= 20) {
                SubTick();
                m_nPercent = std::min(m_nPercent, 100);
                ShowPercent(std::max(m_nPercent, 1));
            }
            return;
        case 1:
            if (m_start.dwStatus == 1) {
                if (m_nTick == 1) {
                    StopTimer();
                    for (;;) {
                        int nReady = 0;
                        for (int i = 0; i < 10 && nReady != 1; ++i) {
                            if (i > 0) {
                                SleepMs(1000);
                            }
                            nReady = DeviceReadiness();
                        }
                        if (nReady == 1) {
                            break;
                        }
                        const int nMsg = nReady == 2   ? kMsgDataCallAfter
                                         : nReady == 4 ? kMsgConnectionSoft
                                         : nReady == 3 ? kMsgBusyAfter
                                                       : kMsgConnect;
                        Message(nMsg, ui::MbIcon::Information);
                    }
                    StartTimer();
                }
                SetBar(m_nTick * 100 / 5);
                if (m_nTick == 4) {
                    StopTimer();
                    GetWindow().Post({WM_LOADER_CHECK_RESULT, 0, 0, {}});
                }
            } else if (m_nTick * 100 / 20 < 98) {
                SetBar(m_nTick * 100 / 20);
            }
            return;
        case 2:
            if (m_bDriverDlgAtFirstTick) {
                m_bDriverDlgAtFirstTick = false;
                StopTimer();
                OnDriverWait();
                // Stopped after the drivers were installed: no device change will come for them.
                OnDriverCheck();
            } else if (m_nTick == 300) {
                StopTimer();
                OnDriverWait();
            }
            return;
        case 3:
        case 4:
            if (m_bRegisterAtFirstTick) {
                m_bRegisterAtFirstTick = false;
                StopTimer();
                GetWindow().Post({WM_LOADER_REGISTER, 0, 0, {}});
                return;
            }
            if (m_nTick * 100 / 10 < 99) {
                SetBar(m_nTick * 100 / 10);
            }
            if (m_nPhase == 3 && m_nTick == 15 && !(m_pNwDlg && m_pNwDlg->IsAlive())) {
                m_pNwDlg = std::make_unique<CNwConnDlg>(*this, this);
                m_pNwDlg->Create();
            }
            if ((m_nPhase == 4 && m_nTick >= 240) || (m_nPhase == 3 && m_nTick >= 255)) {
                RegistrationTimeout();
            }
            return;
        default:
            return;
    }
}

void CLoaderDlg::OnLoaderEnd() {
    StopTimer();
    CStateStore store;
    if (m_bRunFailed.load()) {
        store.ClearWriteUnderWay();
        store.SetUpdateError(true);
        m_pAwake.reset();
        m_pInhibit.reset();
        if (m_bRequestsExisted) {
            store.SetUpdateRequesting(true);
        }
        EndDialog(ui::IDCANCEL);
        return;
    }
    SetBar(100);
    SetItemText(IDC_PERCENT, Cp("100%  完了"));
    store.WriteSwUpState(1, 9, m_start.strDeviceVersion,
                         CComString::FromUtf8(std::filesystem::current_path().string()));
    CSystemIntegration(WindowClock()).SetRelaunch(true, m_start.os);
    if (m_start.bRecovery) {
        store.SetUpdateError(false);
    }
    m_bWaitingForDevice = true;
    SleepMs(500);
    SetBar(0);
    SetItemText(IDC_PERCENT, " ");
    SetTexts("ZR40を再起動しています。", "しばらくお待ちください。");
    m_nTick = 0;
    m_nPhase = 1;
    StartTimer();
}

int CLoaderDlg::DeviceReadiness() {
    if (m_pPort->FindPort(CUsbPort::kUpdatePort) < 1) {
        return 0;
    }
    const bool bMbnSystem = m_start.os.major == 6 && m_start.os.minor != 0;
    if (m_pPort->FindPort(CUsbPort::kModemPort) < 1) {
        if (!bMbnSystem) {
            m_start.bMbnMode = false;
            return 0;
        }
        m_start.bMbnMode = true;
    } else {
        m_start.bMbnMode = false;
    }
    if (m_start.bMbnMode && m_pPort->AttachMbnInterface() != 1) {
        return 0;
    }
    if (platform::system::IsProcessRunning(kConnectionSoftProcess)) {
        return 4;
    }
    if ((m_start.bMbnMode && m_pPort->GetConnectionState() == 2) ||
        m_pPort->IsDialUpActive() == 2) {
        return 2;
    }
    CriticalSectionLock lock(portLock());
    if (m_pPort->PortOpen() != 1) {
        return 3;
    }
    m_pPort->Close();
    return 1;
}

void CLoaderDlg::OnDeviceChange() {
    if (m_bWaitingForDevice) {
        if (m_pPort->FindPort(CUsbPort::kUpdatePort) > 0) {
            m_bWaitingForDevice = false;
            StopTimer();
            SetBar(100);
            OnCheckResult();
        }
        return;
    }
    if (m_nPhase == 2 && m_bDriverWaitArmed && m_pPort->FindPort(CUsbPort::kUpdatePort) > 0) {
        const bool bMbnSystem = m_start.os.major == 6 && m_start.os.minor != 0;
        if (m_pPort->FindPort(CUsbPort::kModemPort) < 1) {
            if (!bMbnSystem) {
                return;
            }
            m_start.bMbnMode = true;
        } else {
            m_start.bMbnMode = false;
        }
        OnDriverCheck();
    }
}

// Reads one answer on the modem channel: up to four tries, each a short wait and one read.
namespace {

bool AtAsk(CUsbPort& port, platform::kernel::Clock& clock, const char* pszCommand,
           std::uint32_t nCapacity, const std::function<bool(const std::string&)>& done) {
    const auto* pbCommand = reinterpret_cast<const std::uint8_t*>(pszCommand);
    const auto nLength = static_cast<std::uint32_t>(std::strlen(pszCommand));
    if (port.AtWrite(0, pbCommand, nLength) != 1) {
        return false;
    }
    for (int nTry = 0; nTry < 4; ++nTry) {
        if (nTry > 0) {
            clock.SleepMs(1000);
            if (port.AtWrite(0, pbCommand, nLength) != 1) {
                return false;
            }
        }
        port.AtWaitInput(0, 100);
        std::string answer;
        // Whatever the device sends within the wait belongs to this try.
        while (answer.size() < nCapacity) {
            std::uint8_t buffer[64];
            std::uint32_t nGot = 0;
            const std::uint32_t nWant = std::min<std::uint32_t>(
                sizeof buffer, nCapacity - static_cast<std::uint32_t>(answer.size()));
            if (port.AtRead(0, buffer, nWant, nGot) != 1 || nGot == 0) {
                if (port.AtWaitInput(0, 100) != 1) {
                    break;
                }
                continue;
            }
            answer.append(reinterpret_cast<const char*>(buffer), nGot);
        }
        if (done(answer)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CLoaderDlg::ReadResult(CComString& strVersion, CComString& strSerial) {
    if (m_pPort->OpenAtChannels() != 1) {
        return false;
    }
    platform::kernel::Clock& clock = WindowClock();
    bool bOk = AtAsk(*m_pPort, clock, "AT+GMR\r\n", 25, [&](const std::string& answer) {
        const auto at = answer.find("Ver");
        if (at == std::string::npos) {
            return false;
        }
        strVersion = CComString(answer.substr(at, 7).c_str());
        return true;
    });
    bOk = bOk && AtAsk(*m_pPort, clock, "AT+CGSN\r\n", 40, [&](const std::string& answer) {
              // An empty read is no answer yet: the serial names the update record's key.
              if (answer.empty()) {
                  return false;
              }
              if (answer[0] != 'A') {
                  strSerial = CComString(answer.substr(2, 15).c_str());
                  return answer.size() > 2;
              }
              if (answer.size() >= 26) {
                  strSerial = CComString(answer.substr(10, 15).c_str());
                  return true;
              }
              return false;
          });
    m_pPort->CloseAtChannels();
    return bOk;
}

void CLoaderDlg::Message(int nId, ui::MbIcon icon) {
    ui::MessageBox(LoadCp(nId), GetWindowText(), icon, ui::MbButtons::Ok, this);
}

void CLoaderDlg::Fail(int nMessageId, bool bUpdateError) {
    CSystemIntegration(WindowClock()).SetRelaunch(false, m_start.os);
    CStateStore store;
    store.WriteSwUpState(99, 0, {}, {});
    if (bUpdateError) {
        store.SetUpdateError(true);
    }
    m_pInhibit.reset();
    m_pAwake.reset();
    Message(nMessageId, ui::MbIcon::Error);
    EndDialog(ui::IDCANCEL);
}

void CLoaderDlg::OnCheckResult() {
    for (int i = 0; i < 20 && DeviceReadiness() != 1; ++i) {
        SleepMs(1000);
    }
    CComString strVersion;
    CComString strSerial;
    if (m_start.bMbnMode) {
        char szFirmware[10] = {};
        char szDeviceId[20] = {};
        if (m_pPort->GetDeviceInfo(szFirmware, szDeviceId) != 1) {
            Fail(kMsgSystemError, false);
            return;
        }
        strVersion = CComString(szFirmware);
        strSerial = CComString(szDeviceId);
    } else if (!ReadResult(strVersion, strSerial)) {
        Fail(kMsgUpdateFailed, true);
        return;
    }
    if (strVersion != m_start.strNewVersion) {
        Fail(kMsgUpdateFailed, true);
        return;
    }
    // The device runs the new version: ModemManager may have it back.
    m_pInhibit.reset();
    CStateStore store;
    if (store.WriteUpdateListEntry(strSerial, strVersion) != 1) {
        Fail(kMsgSystemError, false);
        return;
    }
    store.WriteSwUpState(2, 9, {}, {});
    SetBar(0);
    SetItemText(IDC_PERCENT, " ");
    if (m_pPort->CheckDriverVersions(m_start.bMbnMode) == 1) {
        store.WriteSwUpState(3, 0, {}, {});
        SetTexts("ソフトウェア更新情報をサーバーへ登録中です。", "");
        GetWindow().Post({WM_LOADER_REGISTER, 0, 0, {}});
    } else {
        store.WriteSwUpState(2, 1, {}, {});
        SetTexts("通信設定ファイルが更新されるのを待っています。", "");
        GetWindow().Post({WM_LOADER_DRIVER_WAIT, 0, 0, {}});
    }
}

void CLoaderDlg::OnDriverWait() {
    CSystemIntegration::SaveConnectionSettings();
    m_bSettingsSaved = true;
    m_nPhase = 2;
    m_bDriverWaitArmed = true;
    if (!(m_pDrvDlg && m_pDrvDlg->IsAlive())) {
        m_pDrvDlg = std::make_unique<CDrvUpDlg>(*this, this);
        m_pDrvDlg->Create();
    }
}

void CLoaderDlg::OnDriverCheck() {
    if (!m_bDriverWaitArmed || m_pPort->CheckDriverVersions(m_start.bMbnMode) != 1) {
        return;
    }
    StopTimer();
    m_bDriverWaitArmed = false;
    while (win::FindWindow(kInstallerTitle) || win::FindWindow(kSoftInstallerTitle)) {
        SleepMs(1000);
    }
    if (m_pDrvDlg) {
        m_pDrvDlg->DestroyWindow();
        m_pDrvDlg.reset();
    }
    CSystemIntegration::RestoreConnectionSettings();
    m_bSettingsSaved = false;
    CStateStore().WriteSwUpState(3, 0, {}, {});
    SetBar(0);
    SetItemText(IDC_PERCENT, " ");
    SetTexts("ソフトウェア更新情報をサーバーへ登録中です。", "");
    GetWindow().Post({WM_LOADER_REGISTER, 0, 0, {}});
}

void CLoaderDlg::OnRegister() {
    if (m_system.serverReachable()) {
        m_nPhase = 3;
    }
    if (m_nPhase != 3) {
        StopTimer();
        m_nPhase = 4;
        if (!(m_pNwDlg && m_pNwDlg->IsAlive())) {
            m_pNwDlg = std::make_unique<CNwConnDlg>(*this, this);
            m_pNwDlg->Create();
        }
    }
    const std::filesystem::path dir = m_start.dwStatus != 0
                                          ? std::filesystem::path(m_start.strExecDir.ToUtf8())
                                          : std::filesystem::current_path();
    // The manager looks for an owed report once, as it starts: the record must be there first.
    CStateStore store;
    store.WriteSwUpState(4, 9, {}, {});
    store.SetUpdateRequesting(true);
    if (m_system.startManager(dir)) {
        m_nTick = 0;
        StartTimer();
        return;
    }
    Fail(kMsgRegisterFailed, false);
}

void CLoaderDlg::CloseWaitBoxes() {
    if (m_pNwDlg) {
        m_pNwDlg->DestroyWindow();
        m_pNwDlg.reset();
    }
    if (m_pDrvDlg) {
        m_pDrvDlg->DestroyWindow();
        m_pDrvDlg.reset();
    }
}

void CLoaderDlg::Finish(int nMessageId) {
    StopTimer();
    if (m_pNwDlg) {
        m_pNwDlg->DestroyWindow();
        m_pNwDlg.reset();
    }
    if (m_bFinished) {
        return;
    }
    m_bFinished = true;
    CSystemIntegration(WindowClock()).SetRelaunch(false, m_start.os);
    CStateStore().WriteSwUpState(99, 0, {}, {});
    m_nPhase = 5;
    SetBar(100);
    m_pAwake.reset();
    if (nMessageId != 0) {
        Message(nMessageId, ui::MbIcon::Information);
    } else {
        std::string text;
        for (int nId = kMsgTimeoutFirst; nId <= kMsgTimeoutLast; ++nId) {
            text += LoadCp(nId);
        }
        ui::MessageBox(text, GetWindowText(), ui::MbIcon::Information, ui::MbButtons::Ok, this);
    }
    EndDialog(ui::IDOK);
}

void CLoaderDlg::OnRegistered() {
    Finish(kMsgSuccess);
}

void CLoaderDlg::RegistrationTimeout() {
    Finish(0);
}

// The box is inside its own handler and destroys its window next; the object stays until the
// box is shown again or the main window ends.
void CLoaderDlg::DriverDialogClosed() {}

void CLoaderDlg::NetworkDialogClosed() {}

std::intptr_t CLoaderDlg::OnMessage(const win::Message& message) {
    switch (message.message) {
        case win::kTimerMessage:
            if (message.wParam == kTimerId && m_bTimerOn) {
                OnTimerTick();
            }
            return 0;
        case WM_LOADER_END:
            OnLoaderEnd();
            return 0;
        case WM_LOADER_PROGRESS:
            OnProgress();
            return 0;
        case WM_LOADER_REGISTERED:
            OnRegistered();
            return 0;
        case WM_LOADER_CHECK_RESULT:
            OnCheckResult();
            return 0;
        case WM_LOADER_REGISTER:
            OnRegister();
            return 0;
        case WM_LOADER_DRIVER_WAIT:
            OnDriverWait();
            return 0;
        case WM_LOADER_DRIVER_CHECK:
            OnDriverCheck();
            return 0;
        case win::kDeviceChangeMessage:
            if (message.wParam == win::kDevNodesChanged) {
                OnDeviceChange();
            }
            return 0;
        case WM_POWERBROADCAST:
            if (message.wParam == PBT_APMQUERYSUSPEND && !IsItemEnabled(ui::IDOK)) {
                return BROADCAST_QUERY_DENY;
            }
            return 1;
        case kWmShowErrorBox:
            Message(static_cast<int>(message.wParam), ui::MbIcon::Error);
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
    if (bFailed) {
        m_bRunFailed = true;
    }
}

void CLoaderDlg::PostLoaderEnd() {
    m_self.Post({WM_LOADER_END, 0, 0, {}});
}

void CLoaderDlg::PostProgress() {
    m_self.Post({WM_LOADER_PROGRESS, 0, 0, {}});
}

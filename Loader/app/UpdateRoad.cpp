#include "Loader/app/UpdateRoad.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "Loader/app/MmInhibit.h"
#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/RunNames.h"
#include "Loader/device/AtChannel.h"
#include "platform/devnotify/DeviceMonitor.h"
#include "platform/net/Reachability.h"
#include "platform/net/UpdateServer.h"
#include "platform/system/Journal.h"
#include "platform/system/Power.h"
#include "platform/system/System.h"

namespace win = platform::window;
using platform::kernel::CriticalSectionLock;

namespace {

constexpr std::uint32_t kTimerId = 1;
constexpr std::uint32_t kElapsedCap = 999999;
constexpr int kMsgSuccess = 118;
constexpr int kMsgRegisterFailed = 214;
constexpr int kMsgConnect = 215;
constexpr int kMsgDataCallAfter = 216;
constexpr int kMsgBusyAfter = 217;
constexpr int kMsgTimeoutFirst = 190;
constexpr int kMsgTimeoutLast = 193;
constexpr std::uint32_t kDriverUnchanged = 9;
constexpr std::uint32_t kStatusDelete = 99;

constexpr char kInstallerTitle[] = "ZR-40 インストーラ";
constexpr char kSoftInstallerTitle[] = "ZR-40接続ソフト インストーラ";

// What `journalctl -t ZR40_SWUpdate` shows of the road.
void Log(int priority, const char* pszWhat, std::vector<platform::system::JournalField> fields) {
    platform::system::Journal(kToolProgram, priority, pszWhat, fields);
}

std::vector<platform::system::JournalField> ErrorRecordFields() {
    const ExecErrorRecord& record = ProcessExecError();
    return {{"ZR40_EXEC_IDX", std::to_string(record.ExecIdx.load())},
            {"ZR40_EXEC_INFO", std::to_string(record.ExecInfo.load())},
            {"ZR40_EXEC_DETAIL", std::to_string(record.ExecDetail.load())},
            {"ZR40_ERR_CONTENTS", std::to_string(record.ErrContents.load())},
            {"ZR40_ERR_DETAIL", std::to_string(record.ErrDetail.load())}};
}

}  // namespace

CUpdateRoad::CUpdateRoad(CLoaderStart& start, IRoadView& view, win::Window& window,
                         platform::kernel::Clock& clock,
                         platform::kernel::CriticalSection& portLock, CRoadSystem system,
                         platform::registry::Location store)
    : m_start(start),
      m_view(view),
      m_window(window),
      m_clock(clock),
      m_portLock(portLock),
      m_system(std::move(system)),
      m_store(std::move(store)),
      m_pPort(start.pPort) {
    if (m_start.toolDir.empty()) {
        m_start.toolDir = platform::system::ProgramDir();
    }
    if (!m_system.serverReachable) {
        m_system.serverReachable = [] {
            return platform::net::IsServerReachable(platform::net::ConfiguredUpdateServer());
        };
    }
    if (!m_system.startManager) {
        m_system.startManager = [this](const std::filesystem::path& dir) {
            // A source root cannot trust is refused; an installation that fails otherwise
            // still leaves the manager installed earlier to start.
            return CSystemIntegration(m_clock).InstallManager(dir) !=
                       CSystemIntegration::kInstallRefused &&
                   CSystemIntegration::StartManager().Started();
        };
    }
}

CUpdateRoad::~CUpdateRoad() {
    End();
}

CComString CUpdateRoad::ToolDirText() const {
    return CComString::FromUtf8(m_start.toolDir.string());
}

void CUpdateRoad::End() {
    StopTimer();
    m_pMonitor.reset();
}

void CUpdateRoad::Begin() {
    m_pMonitor = std::make_unique<platform::devnotify::DeviceMonitor>();
    m_pMonitor->Subscribe(m_window.Handle(), platform::devnotify::Interest::DevicesChanged);
    CStateStore store(m_store);
    switch (m_start.dwStatus) {
        case 1:
            m_view.ShowTexts(RoadTexts::kResultCheck);
            m_phase = RoadPhase::kRestarting;
            store.SetUpdateRequesting(false, &m_bRequestsExisted);
            // The new version is still to be confirmed.
            m_pInhibit = std::make_unique<CMmInhibit>();
            StartTimer();
            break;
        case 2:
            m_view.ShowTexts(RoadTexts::kDriverWait);
            m_bDriverDlgAtFirstTick = true;
            m_phase = RoadPhase::kDriverWait;
            m_bDriverWaitArmed = true;
            store.SetUpdateRequesting(false, &m_bRequestsExisted);
            StartTimer();
            break;
        case 3:
        case 4:
            m_view.ShowTexts(RoadTexts::kRegistering);
            m_bRegisterAtFirstTick = true;
            m_phase = RoadPhase::kRegistering;
            StartTimer();
            break;
        default:
            m_view.ShowTexts(RoadTexts::kFresh);
            return;
    }
    m_view.EnableButtons(false);
    m_view.ShowProgressControls();
}

void CUpdateRoad::StartWrite(const std::function<bool()>& startRun) {
    m_nElapsed = 0;
    m_nSubTicks = 0;
    m_nPercent = 0;
    m_nTick = 0;
    m_phase = RoadPhase::kWriting;
    CStateStore store(m_store);
    store.SetUpdateRequesting(false, &m_bRequestsExisted);
    store.MarkWriteUnderWay(m_start.strDeviceVersion, ToolDirText());
    StartTimer();
    m_view.EnableButtons(false);
    m_pAwake = std::make_unique<platform::system::StayAwake>(kToolProgram,
                                                             "The device's firmware is written");
    m_pInhibit = std::make_unique<CMmInhibit>();
    if (!startRun()) {
        Fail(kMsgSystemError, false);
        return;
    }
    m_view.ShowProgressControls();
    m_view.ShowTexts(RoadTexts::kWriting);
}

bool CUpdateRoad::HandleMessage(const win::Message& message) {
    switch (message.message) {
        case win::kTimerMessage:
            if (message.wParam != kTimerId) {
                return false;
            }
            if (m_bTimerOn) {
                OnTimerTick();
            }
            return true;
        case WM_LOADER_END:
            OnLoaderEnd();
            return true;
        case WM_LOADER_PROGRESS:
            OnProgress();
            return true;
        case WM_LOADER_REGISTERED:
            // Only the manager this run handed the record to can confirm it.
            if (m_bManagerStarted &&
                (m_phase == RoadPhase::kRegistering || m_phase == RoadPhase::kRegisteringOffline)) {
                Finish({kMsgSuccess});
            }
            return true;
        case WM_LOADER_CHECK_RESULT:
            OnCheckResult();
            return true;
        case WM_LOADER_REGISTER:
            OnRegister();
            return true;
        case WM_LOADER_DRIVER_WAIT:
            OnDriverWait();
            return true;
        case WM_LOADER_DRIVER_CHECK:
            OnDriverCheck();
            return true;
        case win::kDeviceChangeMessage:
            if (message.wParam == win::kDevNodesChanged) {
                OnDeviceChange();
            }
            return true;
        default:
            return false;
    }
}

void CUpdateRoad::StartTimer() {
    m_window.SetTimer(kTimerId, 1000);
    m_bTimerOn = true;
}

void CUpdateRoad::StopTimer() {
    if (m_bTimerOn) {
        m_window.KillTimer(kTimerId);
    }
    m_bTimerOn = false;
}

void CUpdateRoad::Post(std::uint32_t message) {
    m_window.Post({message, 0, 0, {}});
}

void CUpdateRoad::ShowPercent(int nPercent) {
    m_view.SetProgress(nPercent);
    char szText[16];
    std::snprintf(szText, sizeof szText, "%d%%  ", nPercent);
    m_view.SetPercentText(szText);
}

void CUpdateRoad::SubTick() {
    if (++m_nSubTicks >= 6) {
        ++m_nPercent;
        m_nSubTicks = 0;
    }
}

void CUpdateRoad::OnProgress() {
    SubTick();
    if (m_nPercent <= 100) {
        ShowPercent(m_nPercent);
    } else {
        m_nPercent = 100;
    }
}

void CUpdateRoad::OnTimerTick() {
    if (!m_view.BoxShown(WaitBox::kDriver)) {
        ++m_nTick;
    }
    switch (m_phase) {
        case RoadPhase::kWriting:
            TickWriting();
            return;
        case RoadPhase::kRestarting:
            TickRestarting();
            return;
        case RoadPhase::kDriverWait:
            TickDriverWait();
            return;
        case RoadPhase::kRegistering:
        case RoadPhase::kRegisteringOffline:
            TickRegistering();
            return;
        case RoadPhase::kDone:
            return;
    }
}

void CUpdateRoad::TickWriting() {
    if (m_bRunFailed.load()) {
        return;
    }
    m_nElapsed = std::min(m_nElapsed + 1, kElapsedCap);
    if (m_nPercent != 99 && m_nElapsed <= 20) {
        SubTick();
        m_nPercent = std::min(m_nPercent, 100);
        ShowPercent(std::max(m_nPercent, 1));
    }
}

void CUpdateRoad::TickRestarting() {
    if (m_start.dwStatus != 1) {
        // The device's return ends this wait.
        if (m_nTick * 100 / 20 < 98) {
            m_view.SetProgress(m_nTick * 100 / 20);
        }
        return;
    }
    if (m_nTick == 1) {
        StopTimer();
        WaitUntilReady();
        StartTimer();
    }
    m_view.SetProgress(m_nTick * 100 / 5);
    if (m_nTick == 4) {
        StopTimer();
        Post(WM_LOADER_CHECK_RESULT);
    }
}

// Resumed after the write: the user is told what keeps the result from being checked until
// nothing does.
void CUpdateRoad::WaitUntilReady() {
    for (;;) {
        Readiness readiness = Readiness::kAbsent;
        for (int i = 0; i < 10 && readiness != Readiness::kReady; ++i) {
            if (i > 0) {
                m_clock.SleepMs(1000);
            }
            readiness = DeviceReadiness();
        }
        if (readiness == Readiness::kReady) {
            return;
        }
        const int nMessage = readiness == Readiness::kDataCall         ? kMsgDataCallAfter
                             : readiness == Readiness::kConnectionSoft ? kMsgConnectionSoft
                             : readiness == Readiness::kBusy           ? kMsgBusyAfter
                                                                       : kMsgConnect;
        m_view.ShowMessage({nMessage}, IRoadView::Icon::kInformation);
    }
}

void CUpdateRoad::TickDriverWait() {
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
}

void CUpdateRoad::TickRegistering() {
    if (m_bRegisterAtFirstTick) {
        m_bRegisterAtFirstTick = false;
        StopTimer();
        Post(WM_LOADER_REGISTER);
        return;
    }
    if (m_nTick * 100 / 10 < 99) {
        m_view.SetProgress(m_nTick * 100 / 10);
    }
    const bool bOnline = m_phase == RoadPhase::kRegistering;
    if (bOnline && m_nTick == 15) {
        m_view.ShowBox(WaitBox::kNetwork);
    }
    if ((!bOnline && m_nTick >= 240) || (bOnline && m_nTick >= 255)) {
        std::vector<int> textIds;
        for (int nId = kMsgTimeoutFirst; nId <= kMsgTimeoutLast; ++nId) {
            textIds.push_back(nId);
        }
        Finish(std::move(textIds));
    }
}

void CUpdateRoad::OnLoaderEnd() {
    StopTimer();
    CStateStore store(m_store);
    if (m_bRunFailed.load()) {
        Log(LOG_ERR, "the firmware write failed", ErrorRecordFields());
        store.ClearWriteUnderWay();
        store.SetUpdateError(true);
        m_pAwake.reset();
        m_pInhibit.reset();
        if (m_bRequestsExisted) {
            store.SetUpdateRequesting(true);
        }
        m_view.Close(false);
        return;
    }
    m_view.SetProgress(100);
    m_view.SetPercentText("100%  完了");
    store.WriteSwUpState(1, kDriverUnchanged, m_start.strDeviceVersion, ToolDirText());
    Log(LOG_NOTICE, "firmware written; the device restarts",
        {{"ZR40_STATUS", "1"}, {"ZR40_OLD_VERSION", m_start.strDeviceVersion.ToUtf8()}});
    CSystemIntegration(m_clock).SetRelaunch(true, m_start.os, m_start.toolDir);
    if (m_start.bRecovery) {
        store.SetUpdateError(false);
    }
    m_bWaitingForDevice = true;
    m_clock.SleepMs(500);
    m_view.SetProgress(0);
    m_view.SetPercentText(" ");
    m_view.ShowTexts(RoadTexts::kRestarting);
    m_nTick = 0;
    m_phase = RoadPhase::kRestarting;
    StartTimer();
}

bool CUpdateRoad::ModeOfPresentDevice() {
    if (m_pPort->FindPort(CUsbPort::kModemPort) >= 1) {
        m_start.bMbnMode = false;
        return true;
    }
    // Later systems than 6.0 reach a device without a modem port through Mobile Broadband.
    m_start.bMbnMode = m_start.os.major == 6 && m_start.os.minor != 0;
    return m_start.bMbnMode;
}

Readiness CUpdateRoad::DeviceReadiness() {
    if (m_pPort->FindPort(CUsbPort::kUpdatePort) < 1 || !ModeOfPresentDevice()) {
        return Readiness::kAbsent;
    }
    if (m_start.bMbnMode && m_pPort->AttachMbnInterface() != 1) {
        return Readiness::kAbsent;
    }
    if (platform::system::IsProcessRunning(kConnectionSoftProcess)) {
        return Readiness::kConnectionSoft;
    }
    if ((m_start.bMbnMode && m_pPort->GetConnectionState() == 2) ||
        m_pPort->IsDialUpActive() == 2) {
        return Readiness::kDataCall;
    }
    CriticalSectionLock lock(m_portLock);
    if (m_pPort->PortOpen() != 1) {
        return Readiness::kBusy;
    }
    m_pPort->Close();
    return Readiness::kReady;
}

void CUpdateRoad::OnDeviceChange() {
    if (m_bWaitingForDevice) {
        if (m_pPort->FindPort(CUsbPort::kUpdatePort) > 0) {
            m_bWaitingForDevice = false;
            StopTimer();
            m_view.SetProgress(100);
            OnCheckResult();
        }
        return;
    }
    if (m_phase == RoadPhase::kDriverWait && m_bDriverWaitArmed &&
        m_pPort->FindPort(CUsbPort::kUpdatePort) > 0 && ModeOfPresentDevice()) {
        OnDriverCheck();
    }
}

bool CUpdateRoad::ReadResult(CComString& strVersion, CComString& strSerial, bool& bSystemError) {
    bSystemError = false;
    if (m_start.bMbnMode) {
        char szFirmware[10] = {};
        char szDeviceId[20] = {};
        if (m_pPort->GetDeviceInfo(szFirmware, szDeviceId) != 1) {
            bSystemError = true;
            return false;
        }
        strVersion = CComString(szFirmware);
        strSerial = CComString(szDeviceId);
        return true;
    }
    CAtChannels channels(*m_pPort, m_clock);
    return channels.AskVersion(AtVersionRule::kUntilVersion, strVersion) == AtAnswer::kRead &&
           channels.AskSerial(strSerial) == AtAnswer::kRead;
}

void CUpdateRoad::OnCheckResult() {
    for (int i = 0; i < 20 && DeviceReadiness() != Readiness::kReady; ++i) {
        m_clock.SleepMs(1000);
    }
    CComString strVersion;
    CComString strSerial;
    bool bSystemError = false;
    if (!ReadResult(strVersion, strSerial, bSystemError)) {
        Fail(bSystemError ? kMsgSystemError : kMsgRunFailed, !bSystemError);
        return;
    }
    if (strVersion != m_start.strNewVersion) {
        Fail(kMsgRunFailed, true);
        return;
    }
    // The device runs the new version: ModemManager may have it back.
    m_pInhibit.reset();
    if (CStateStore(m_store).WriteUpdateListEntry(strSerial, strVersion) != 1) {
        Fail(kMsgSystemError, false);
        return;
    }
    Log(LOG_NOTICE, "the device runs the new version",
        {{"ZR40_STATUS", "2"},
         {"ZR40_SERIAL", strSerial.ToUtf8()},
         {"ZR40_VERSION", strVersion.ToUtf8()}});
    GoOnAfterResult();
}

void CUpdateRoad::GoOnAfterResult() {
    CStateStore store(m_store);
    store.WriteSwUpState(2, kDriverUnchanged, {}, {});
    m_view.SetProgress(0);
    m_view.SetPercentText(" ");
    if (m_pPort->CheckDriverVersions(m_start.bMbnMode) == 1) {
        store.WriteSwUpState(3, 0, {}, {});
        Log(LOG_NOTICE, "the communication settings are current", {{"ZR40_STATUS", "3"}});
        m_view.ShowTexts(RoadTexts::kRegistering);
        Post(WM_LOADER_REGISTER);
    } else {
        store.WriteSwUpState(2, 1, {}, {});
        Log(LOG_NOTICE, "waiting for the communication settings", {{"ZR40_STATUS", "2"}});
        m_view.ShowTexts(RoadTexts::kDriverWait);
        Post(WM_LOADER_DRIVER_WAIT);
    }
}

void CUpdateRoad::OnDriverWait() {
    CSystemIntegration::SaveConnectionSettings();
    m_phase = RoadPhase::kDriverWait;
    m_bDriverWaitArmed = true;
    m_view.ShowBox(WaitBox::kDriver);
}

void CUpdateRoad::OnDriverCheck() {
    if (!m_bDriverWaitArmed || m_pPort->CheckDriverVersions(m_start.bMbnMode) != 1) {
        return;
    }
    StopTimer();
    m_bDriverWaitArmed = false;
    while (win::FindWindow(kInstallerTitle) || win::FindWindow(kSoftInstallerTitle)) {
        m_clock.SleepMs(1000);
    }
    m_view.CloseBox(WaitBox::kDriver);
    CSystemIntegration::RestoreConnectionSettings();
    CStateStore(m_store).WriteSwUpState(3, 0, {}, {});
    Log(LOG_NOTICE, "the communication settings are current", {{"ZR40_STATUS", "3"}});
    m_view.SetProgress(0);
    m_view.SetPercentText(" ");
    m_view.ShowTexts(RoadTexts::kRegistering);
    Post(WM_LOADER_REGISTER);
}

void CUpdateRoad::OnRegister() {
    if (m_system.serverReachable()) {
        m_phase = RoadPhase::kRegistering;
    }
    // A resumed run is in the online phase already and stays there.
    if (m_phase != RoadPhase::kRegistering) {
        StopTimer();
        m_phase = RoadPhase::kRegisteringOffline;
        m_view.ShowBox(WaitBox::kNetwork);
    }
    // The manager looks for an owed report once, as it starts: the record must be there first.
    CStateStore store(m_store);
    store.WriteSwUpState(4, kDriverUnchanged, {}, {});
    store.SetUpdateRequesting(true);
    if (m_system.startManager(m_start.toolDir)) {
        Log(LOG_NOTICE, "the update record is handed to the manager", {{"ZR40_STATUS", "4"}});
        m_bManagerStarted = true;
        m_nTick = 0;
        StartTimer();
        return;
    }
    Fail(kMsgRegisterFailed, false);
}

void CUpdateRoad::Fail(int nMessageId, bool bUpdateError) {
    Log(LOG_ERR, "the update failed", {{"ZR40_MESSAGE_ID", std::to_string(nMessageId)}});
    CSystemIntegration(m_clock).SetRelaunch(false, m_start.os);
    CStateStore store(m_store);
    store.WriteSwUpState(kStatusDelete, 0, {}, {});
    if (bUpdateError) {
        store.SetUpdateError(true);
    }
    m_pInhibit.reset();
    m_pAwake.reset();
    m_view.ShowMessage({nMessageId}, IRoadView::Icon::kError);
    m_view.Close(false);
}

void CUpdateRoad::Finish(std::vector<int> textIds) {
    StopTimer();
    m_view.CloseBox(WaitBox::kNetwork);
    if (m_bFinished) {
        return;
    }
    m_bFinished = true;
    CSystemIntegration(m_clock).SetRelaunch(false, m_start.os);
    CStateStore(m_store).WriteSwUpState(kStatusDelete, 0, {}, {});
    m_phase = RoadPhase::kDone;
    Log(LOG_NOTICE,
        textIds.size() == 1 ? "the update is complete"
                            : "the update is complete; the manager registers it later",
        {});
    m_view.SetProgress(100);
    m_pAwake.reset();
    m_view.ShowMessage(textIds, IRoadView::Icon::kInformation);
    m_view.Close(true);
}

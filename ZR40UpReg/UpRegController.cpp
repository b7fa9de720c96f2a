#include "ZR40UpReg/UpRegController.h"

#include <array>

namespace window = platform::window;

namespace {

constexpr std::array<std::uint32_t, 6> kRetrySeconds = {10, 10, 60, 60, 60, 86400};
constexpr int kLastRetryIndex = 5;
constexpr std::int64_t kDaySeconds = 86400;
constexpr std::uint32_t kDayMs = 86'400'000;
constexpr std::uint32_t kVersionRetryMs = 300'000;

int ClampIndex(int nIndex) {
    return nIndex < 0 ? 0 : (nIndex > kLastRetryIndex ? kLastRetryIndex : nIndex);
}

}  // namespace

CUpRegController::CUpRegController(window::Window& window, UpdateWorker& worker, IUpRegView& view)
    : m_window(window), m_worker(worker), m_view(view) {}

bool CUpRegController::HandleMessage(const window::Message& msg) {
    switch (msg.message) {
        case WM_NOTIFY_RESULT:
            OnNotificationResult(msg.wParam);
            return true;
        case WM_VERSION_RESULT:
            OnVersionResult(msg.wParam);
            return true;
        case WM_MANUAL_RESULT:
            OnManualResult(msg.wParam);
            return true;
        case window::kTimerMessage:
            switch (msg.wParam) {
                case kNotifyRetryTimer:
                    OnNotifyRetryTimer();
                    return true;
                case kVersionRetryTimer:
                    OnVersionRetryTimer();
                    return true;
                case kVersionDailyTimer:
                    OnVersionDailyTimer();
                    return true;
                default:
                    return false;
            }
        default:
            return false;
    }
}

void CUpRegController::OnNotificationResult(std::uintptr_t wParam) {
    if (wParam != 0) {
        ScheduleNextRetry();
        return;
    }
    m_nRetryIndex = 0;
    CUpRegStore store = m_worker.Environment().Store();
    store.DeleteRetryState();
    // More reports owed: the next goes out now, not at the next logon.
    if (store.IsUpdateRequesting() != 0) {
        m_worker.TriggerNotification();
    }
    window::PostToWindowsTitled(kToolWindowTitle, window::Message{WM_LOADER_REGISTERED, 0, 0, {}});
}

void CUpRegController::ScheduleNextRetry() {
    const int index = ClampIndex(m_nRetryIndex);
    m_window.SetTimer(kNotifyRetryTimer, kRetrySeconds[static_cast<std::size_t>(index)] * 1000);
    m_worker.Environment().Store().WriteRetryState(index);
    m_nRetryIndex = index < kLastRetryIndex ? index + 1 : index;
}

void CUpRegController::OnNotifyRetryTimer() {
    m_window.KillTimer(kNotifyRetryTimer);
    if (m_worker.Environment().Store().IsUpdateRequesting() != 0) {
        m_worker.TriggerNotification();
    } else {
        ScheduleNextRetry();
    }
}

void CUpRegController::NotificationStartupCheck() {
    CUpRegStore store = m_worker.Environment().Store();
    if (store.IsUpdateRequesting() == 0) {
        return;
    }
    if (store.HasRetryState() == 0) {
        m_worker.TriggerNotification();
        return;
    }
    int count = 0;
    std::int64_t elapsed = 0;
    if (store.ReadRetryState(count, elapsed) == 0) {
        ScheduleNextRetry();
        return;
    }
    count = ClampIndex(count);
    std::int64_t remaining = kRetrySeconds[static_cast<std::size_t>(count)] - elapsed;
    if (remaining < 0) {
        remaining = 0;
    }
    if (remaining > kDaySeconds) {
        // A start time in the future (the clock was set back) waits one interval, not longer.
        remaining = kRetrySeconds[static_cast<std::size_t>(count)];
    }
    m_nRetryIndex = count;
    m_window.SetTimer(kNotifyRetryTimer, static_cast<std::uint32_t>(remaining) * 1000);
    if (m_nRetryIndex < kLastRetryIndex) {
        ++m_nRetryIndex;
    }
}

void CUpRegController::OnVersionResult(std::uintptr_t wParam) {
    switch (wParam) {
        case kVersionNotOlder:
        case kVersionRetryFailed:
            ResetVersionSchedule();
            break;
        case kVersionCheckFailed:
            RetryVersionCheck();
            break;
        case kVersionNewer:
            m_view.NewVersionBalloon();
            ResetVersionSchedule();
            break;
        case kVersionArrivedOlder:
            m_view.NewVersionBalloon();
            break;
        default:
            break;
    }
}

void CUpRegController::ResetVersionSchedule() {
    m_nVersionRetry = 0;
    m_worker.Environment().Store().WriteVerLastDate();
    m_window.SetTimer(kVersionDailyTimer, kDayMs);
}

void CUpRegController::RetryVersionCheck() {
    if (m_nVersionRetry == 0) {
        m_window.SetTimer(kVersionRetryTimer, kVersionRetryMs);
        m_nVersionRetry = 1;
    } else {
        ResetVersionSchedule();
    }
}

void CUpRegController::OnVersionRetryTimer() {
    m_window.KillTimer(kVersionRetryTimer);
    m_worker.SetCheckState(kCheckRetrying);
    m_worker.TriggerVersionCheck();
}

void CUpRegController::OnVersionDailyTimer() {
    m_window.SetTimer(kVersionDailyTimer, kDayMs);
    m_worker.SetCheckState(kCheckNormal);
    m_worker.TriggerVersionCheck();
}

void CUpRegController::VersionStartupCheck() {
    CUpRegStore store = m_worker.Environment().Store();
    bool bOn = true;
    store.ReadVerCheck(bOn);
    if (!bOn) {
        return;
    }
    std::int64_t elapsed = 0;
    const bool bDue = store.ReadVerLastDate(elapsed) == 0 || elapsed > kDaySeconds || elapsed < 0;
    if (!bDue) {
        m_window.SetTimer(kVersionDailyTimer, kDayMs - static_cast<std::uint32_t>(elapsed) * 1000);
        return;
    }
    if (!m_worker.TriggerVersionCheck()) {
        RetryVersionCheck();
    }
}

void CUpRegController::DeviceArrivalCheck() {
    const WorkerEnvironment& env = m_worker.Environment();
    VersionPage page;
    if (m_worker.TakeServerVersion(page)) {
        env.Store().WriteLastVer(page.strDateCode, page.strName);
        const bool bOlder = env.devices.IsDeviceOlder(page.strDateCode);
        m_window.Post(
            window::Message{WM_VERSION_RESULT, bOlder ? kVersionNewer : kVersionNotOlder, 0, {}});
        m_worker.SetCheckState(kCheckNormal);
        return;
    }
    if (m_worker.CheckState() == kCheckNoDeviceOnRetry) {
        m_worker.SetCheckState(kCheckDeviceArrived);
        m_worker.TriggerVersionCheck();
        return;
    }
    std::string dateCode;
    std::string name;
    if (env.Store().ReadLastVer(dateCode, name) != 0 && !dateCode.empty() &&
        env.devices.IsDeviceOlder(dateCode)) {
        m_window.Post(window::Message{WM_VERSION_RESULT, kVersionArrivedOlder, 0, {}});
    }
}

void CUpRegController::ManualCheck() {
    m_worker.TriggerManualCheck();
}

void CUpRegController::OnManualResult(std::uintptr_t wParam) {
    const std::string name = m_worker.TakeManualVersionName();
    constexpr auto info = IUpRegView::Icon::Information;
    switch (wParam) {
        case kManualOffline:
            m_view.ShowMessage(IDS_OFFLINE, info, {});
            return;
        case kManualMaintenance:
            m_view.ShowMessage(IDS_MAINTENANCE, info, {});
            return;
        case kManualFailed:
            m_view.ShowMessage(IDS_CHECK_FAILED, info, {});
            return;
        case kManualNoDevice:
            m_view.ShowMessage(IDS_LATEST_VERSION, info, name);
            break;
        case kManualUpToDate:
            m_view.ShowMessage(IDS_UP_TO_DATE, info, name);
            break;
        case kManualNewer:
            m_view.OpenNewVersionDialog(name);
            break;
        default:
            return;
    }
    m_worker.ClearServerVersion();
    m_worker.SetCheckState(kCheckNormal);
    bool bOn = true;
    m_worker.Environment().Store().ReadVerCheck(bOn);
    if (bOn) {
        ResetVersionSchedule();
    }
}

void CUpRegController::VerCheckChanged(bool bBefore, bool bAfter) {
    CUpRegStore store = m_worker.Environment().Store();
    if (!bAfter) {
        m_nVersionRetry = 0;
        store.DeleteVerLastDate();
        m_window.KillTimer(kVersionDailyTimer);
    } else if (!bBefore) {
        ResetVersionSchedule();
    }
}

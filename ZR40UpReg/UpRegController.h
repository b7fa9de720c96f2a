// What the manager's dialog does with its two background jobs, without the dialog: the results
// the jobs post, the timers on the dialog's window, the retry schedules, the checks at start-up,
// on device arrival and on the manual-check button. Runs on the window's thread only.
//
// The dialog owns one, forwards its messages through HandleMessage, and shows what it is asked
// to through IUpRegView.
#pragma once

#include <cstdint>
#include <string>

#include "ZR40UpReg/UpdateWorker.h"
#include "platform/window/Window.h"

// Timers on the dialog's window.
inline constexpr std::uint32_t kNotifyRetryTimer = 1056;
inline constexpr std::uint32_t kVersionRetryTimer = 1057;
inline constexpr std::uint32_t kVersionDailyTimer = 1058;

// Ids of the manager's string table.
inline constexpr int IDS_NEW_VERSION = 132;
inline constexpr int IDS_NOTICE = 133;
inline constexpr int IDS_UP_TO_DATE = 134;      // %s: the server's version name
inline constexpr int IDS_LATEST_VERSION = 135;  // %s: the server's version name
inline constexpr int IDS_MAINTENANCE = 136;
inline constexpr int IDS_CHECK_FAILED = 137;
inline constexpr int IDS_OFFLINE = 138;
inline constexpr int IDS_REPORT_PENDING = 139;
inline constexpr int IDS_UNSUPPORTED_OS = 140;

class IUpRegView {
  public:
    enum class Icon { Information, Warning };

    virtual ~IUpRegView() = default;
    // A message box with the application's title as caption, an OK button, in the foreground;
    // strArg fills the text's %s.
    virtual void ShowMessage(int nStringId, Icon icon, const std::string& strArg) = 0;
    // The balloon of messages 133/132 on the tray icon (without a tray, a desktop notice), or
    // owed until the window is next hidden to the tray when it is open now.
    virtual void NewVersionBalloon() = 0;
    // The new-version dialog with the server's version name.
    virtual void OpenNewVersionDialog(const std::string& strName) = 0;
};

class CUpRegController {
  public:
    CUpRegController(platform::window::Window& window, UpdateWorker& worker, IUpRegView& view);

    // The job results and the timers; false for any other message.
    bool HandleMessage(const platform::window::Message& msg);

    void OnNotificationResult(std::uintptr_t wParam);
    void OnVersionResult(std::uintptr_t wParam);
    void OnManualResult(std::uintptr_t wParam);
    void OnNotifyRetryTimer();
    void OnVersionRetryTimer();
    void OnVersionDailyTimer();

    void NotificationStartupCheck();
    void ScheduleNextRetry();
    void VersionStartupCheck();
    void RetryVersionCheck();
    void ResetVersionSchedule();
    // A device update port arrived while the periodic check is on.
    void DeviceArrivalCheck();
    // The button: the check runs on the worker, and its answer shows when WM_MANUAL_RESULT comes.
    void ManualCheck();
    // The settings dialog stored VerCheck: it was bBefore and is bAfter now.
    void VerCheckChanged(bool bBefore, bool bAfter);

    int NotifyRetryIndex() const { return m_nRetryIndex; }
    int VersionRetryCount() const { return m_nVersionRetry; }

  private:
    platform::window::Window& m_window;
    UpdateWorker& m_worker;
    IUpRegView& m_view;
    int m_nRetryIndex = 0;
    int m_nVersionRetry = 0;
};

// The update manager's background jobs: sending owed update reports, checking the server for
// newer firmware, and the check the user asks for with the window's button. Each runs on its own
// thread, woken by its own trigger event, and answers the dialog's window with a posted message
// only: nothing that waits on the network ever runs on the window's thread.
//
// The events are manual-reset: a thread resets its trigger once a run is over, so triggers that
// arrive during a run are merged into it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ZR40UpReg/UpRegStore.h"
#include "ZR40UpReg/VersionCheck.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Thread.h"
#include "platform/net/Http.h"
#include "platform/net/UpdateServer.h"
#include "platform/window/Window.h"

// wParam 0 = sent (or nothing left to send), 1 = failed.
inline constexpr std::uint32_t WM_NOTIFY_RESULT = 0x8001;
// wParam: one of the VersionResult values.
inline constexpr std::uint32_t WM_VERSION_RESULT = 0x8002;
// wParam: one of the ManualResult values.
inline constexpr std::uint32_t WM_MANUAL_RESULT = 0x8005;
// Posted to the update tool once its report has been registered.
inline constexpr std::uint32_t WM_LOADER_REGISTERED = 0x0401;
inline constexpr const char* kToolWindowTitle = "ZR-40ソフトウェア更新ツール";

enum VersionResult : std::uintptr_t {
    kVersionNotOlder = 0,
    kVersionCheckFailed = 1,
    kVersionRetryFailed = 2,  // a device is present
    kVersionNewer = 3,
    kVersionArrivedOlder = 4,  // against the stored LastVer
};

// What the check the user asked for found.
enum ManualResult : std::uintptr_t {
    kManualOffline = 0,
    kManualMaintenance = 1,  // the server answered 503
    kManualFailed = 2,
    kManualNoDevice = 3,  // the server's version is known, no device to compare
    kManualUpToDate = 4,
    kManualNewer = 5,
};

enum VersionCheckState : int {
    kCheckNormal = 0,
    kCheckRetrying = 1,
    kCheckNoDeviceOnRetry = 2,
    kCheckDeviceArrived = 3,  // the next check lets the device settle first
};

struct WorkerEnvironment {
    platform::kernel::Clock* clock = nullptr;  // null: the system clock
    // Stores with their own "now"; null: the current user's store on the system's time.
    std::function<CUpRegStore()> store;
    // Empty: IsServerReachable for the configured server.
    std::function<bool()> serverReachable;
    // Empty: the configured server.
    std::function<platform::net::UpdateServer()> server;
    DeviceAccess devices;

    platform::kernel::Clock& Clock() const;
    CUpRegStore Store() const;
    bool ServerReachable() const;
    platform::net::UpdateServer Server() const;
    bool ToolWindowExists() const;
};

class UpdateWorker {
  public:
    explicit UpdateWorker(WorkerEnvironment env = {});
    ~UpdateWorker();  // stops the threads
    UpdateWorker(const UpdateWorker&) = delete;
    UpdateWorker& operator=(const UpdateWorker&) = delete;

    // Starts what is not running; a thread that has ended takes the others down with it first.
    // False when a thread could not be made (then none runs).
    bool StartThreads(platform::window::WindowHandle window);
    // Sets quit, ends a request in flight, and joins the threads.
    void StopThreads();

    // While the threads are down, the triggers start nothing and say so once on stderr.
    void TriggerNotification();
    // Starts nothing (false) while the update tool's window exists or the server is unreachable.
    bool TriggerVersionCheck();
    // The check of the window's button; WM_MANUAL_RESULT answers it.
    void TriggerManualCheck();
    // The server's version name for the oldest WM_MANUAL_RESULT not yet handled (empty for one
    // without a name).
    std::string TakeManualVersionName();

    int CheckState() const { return m_nCheckState.load(); }
    void SetCheckState(int nState) { m_nCheckState.store(nState); }

    // The server's values from a check whose result has not been used yet.
    bool TakeServerVersion(VersionPage& page);
    void ClearServerVersion();

    const WorkerEnvironment& Environment() const { return m_env; }

  private:
    class Job;
    struct ManualOutcome {
        ManualResult result = kManualFailed;
        std::string strName;
    };
    void NotificationThread();
    void VersionThread();
    void ManualThread();
    // Nothing when quit came first.
    std::optional<ManualOutcome> ManualCheck();
    // False, once said on stderr, when the job's thread is not there to take its trigger.
    bool JobReady(const std::unique_ptr<Job>& job,
                  const std::shared_ptr<platform::kernel::Event>& ready, const char* what);
    // Waits seconds on the clock, a second at a time; false when quit came first.
    bool WaitSeconds(int nSeconds);
    bool QuitSet() const { return m_quit->Wait(0); }
    void Post(std::uint32_t message, std::uintptr_t wParam);

    WorkerEnvironment m_env;
    std::unique_ptr<Job> m_notifyThread;
    std::unique_ptr<Job> m_versionThread;
    std::unique_ptr<Job> m_manualThread;
    std::mutex m_versionLock;
    VersionPage m_serverVersion;            // guarded by m_versionLock
    std::deque<std::string> m_manualNames;  // guarded by m_versionLock
    platform::window::WindowHandle m_window;
    std::shared_ptr<platform::kernel::Event> m_quit;
    std::shared_ptr<platform::kernel::Event> m_notifyTrigger;
    std::shared_ptr<platform::kernel::Event> m_notifyReady;
    std::shared_ptr<platform::kernel::Event> m_versionTrigger;
    std::shared_ptr<platform::kernel::Event> m_versionReady;
    std::shared_ptr<platform::kernel::Event> m_manualTrigger;
    std::shared_ptr<platform::kernel::Event> m_manualReady;
    bool m_bToldDown = false;  // window thread only
    std::atomic<int> m_nCheckState{kCheckNormal};
    // Replaced after each stop: a cancelled one stays cancelled.
    std::unique_ptr<platform::net::Canceller> m_canceller;
};

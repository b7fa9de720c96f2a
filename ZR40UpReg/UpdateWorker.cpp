#include "ZR40UpReg/UpdateWorker.h"

#include <array>
#include <cstdio>
#include <optional>

#include "ZR40UpReg/Notify.h"
#include "platform/net/Reachability.h"

namespace kernel = platform::kernel;
namespace net = platform::net;
namespace window = platform::window;

namespace {
constexpr int kNetworkRetestSeconds = 5;
constexpr int kDeviceSettleSeconds = 20;
constexpr int kManualFetches = 4;
constexpr std::uint32_t kManualFetchGapMs = 1000;
}  // namespace

kernel::Clock& WorkerEnvironment::Clock() const {
    return clock != nullptr ? *clock : kernel::SystemClock();
}

CUpRegStore WorkerEnvironment::Store() const {
    return store ? store() : CUpRegStore();
}

bool WorkerEnvironment::ServerReachable() const {
    return serverReachable ? serverReachable() : net::IsServerReachable(Server());
}

net::UpdateServer WorkerEnvironment::Server() const {
    return server ? server() : net::ConfiguredUpdateServer();
}

bool WorkerEnvironment::ToolWindowExists() const {
    return window::FindWindow(kToolWindowTitle);
}

class UpdateWorker::Job : public kernel::WorkerThread {
  public:
    explicit Job(std::function<void()> body) : m_body(std::move(body)) {}

  protected:
    int Run() override {
        m_body();
        return 0;
    }

  private:
    std::function<void()> m_body;
};

UpdateWorker::UpdateWorker(WorkerEnvironment env)
    : m_env(std::move(env)),
      m_quit(kernel::Event::Create(true, false)),
      m_notifyTrigger(kernel::Event::Create(true, false)),
      m_notifyReady(kernel::Event::Create(true, false)),
      m_versionTrigger(kernel::Event::Create(true, false)),
      m_versionReady(kernel::Event::Create(true, false)),
      m_manualTrigger(kernel::Event::Create(true, false)),
      m_manualReady(kernel::Event::Create(true, false)) {}

UpdateWorker::~UpdateWorker() {
    StopThreads();
}

bool UpdateWorker::StartThreads(window::WindowHandle window) {
    const auto ended = [](const std::unique_ptr<Job>& job) { return job && job->Handle().Wait(0); };
    if (ended(m_notifyThread) || ended(m_versionThread) || ended(m_manualThread)) {
        StopThreads();
    }
    if (!m_notifyThread && !m_versionThread && !m_manualThread) {
        m_window = std::move(window);
        m_canceller = std::make_unique<net::Canceller>();
        std::lock_guard lock(m_versionLock);
        m_manualNames.clear();
    }
    const auto start = [](std::unique_ptr<Job>& job, std::function<void()> body) {
        if (job) {
            return true;
        }
        job = std::make_unique<Job>(std::move(body));
        if (job->Create() == 0) {
            job.reset();
            return false;
        }
        job->Resume();
        return true;
    };
    if (!start(m_notifyThread, [this] { NotificationThread(); }) ||
        !start(m_versionThread, [this] { VersionThread(); }) ||
        !start(m_manualThread, [this] { ManualThread(); })) {
        StopThreads();
        return false;
    }
    m_bToldDown = false;
    return true;
}

void UpdateWorker::StopThreads() {
    m_quit->Set();
    if (m_canceller) {
        m_canceller->Cancel();
    }
    for (std::unique_ptr<Job>* job : {&m_notifyThread, &m_versionThread, &m_manualThread}) {
        if (*job) {
            (*job)->Handle().Wait(kernel::kInfinite);
            job->reset();
        }
    }
    m_notifyReady->Reset();
    m_versionReady->Reset();
    m_manualReady->Reset();
    m_quit->Reset();
}

bool UpdateWorker::JobReady(const std::unique_ptr<Job>& job,
                            const std::shared_ptr<kernel::Event>& ready, const char* what) {
    if (!job || job->Handle().Wait(0)) {
        // Its ready event would never come: waiting for it would hang the window.
        if (!m_bToldDown) {
            m_bToldDown = true;
            std::fprintf(stderr, "ZR40_UpManager: background jobs not running; %s not started\n",
                         what);
        }
        return false;
    }
    const std::array events{ready, m_quit};
    kernel::WaitAny(events, kernel::kInfinite);
    return true;
}

void UpdateWorker::TriggerNotification() {
    if (JobReady(m_notifyThread, m_notifyReady, "report")) {
        m_notifyTrigger->Set();
    }
}

bool UpdateWorker::TriggerVersionCheck() {
    if (!JobReady(m_versionThread, m_versionReady, "version check") || m_env.ToolWindowExists() ||
        !m_env.ServerReachable()) {
        return false;
    }
    m_versionTrigger->Set();
    return true;
}

void UpdateWorker::TriggerManualCheck() {
    if (JobReady(m_manualThread, m_manualReady, "manual check")) {
        m_manualTrigger->Set();
    }
}

std::string UpdateWorker::TakeManualVersionName() {
    std::lock_guard lock(m_versionLock);
    if (m_manualNames.empty()) {
        return {};
    }
    std::string name = std::move(m_manualNames.front());
    m_manualNames.pop_front();
    return name;
}

bool UpdateWorker::TakeServerVersion(VersionPage& page) {
    std::lock_guard lock(m_versionLock);
    if (m_serverVersion.strDateCode.size() != 6 || m_serverVersion.strName.size() != 7) {
        return false;
    }
    page = std::exchange(m_serverVersion, {});
    return true;
}

void UpdateWorker::ClearServerVersion() {
    std::lock_guard lock(m_versionLock);
    m_serverVersion = {};
}

bool UpdateWorker::WaitSeconds(int nSeconds) {
    const std::array events{m_quit};
    for (int i = 0; i < nSeconds; ++i) {
        if (m_env.Clock().WaitAny(events, 1000) == 0) {
            return false;
        }
    }
    return true;
}

void UpdateWorker::Post(std::uint32_t message, std::uintptr_t wParam) {
    m_window.Post(window::Message{message, wParam, 0, {}});
}

void UpdateWorker::NotificationThread() {
    m_notifyReady->Set();
    bool bLastSucceeded = false;
    const std::array events{m_quit, m_notifyTrigger};
    for (;;) {
        if (kernel::WaitAny(events, kernel::kInfinite) != 1) {
            return;
        }
        CUpRegStore store = m_env.Store();
        std::string serial;
        bool bSent = false;
        if (store.HasUpdateListEntry(serial) == 0) {
            if (bLastSucceeded) {
                store.DeleteUpdateRequesting();
            }
            bSent = bLastSucceeded;
        } else {
            while (!m_env.ServerReachable()) {
                if (!WaitSeconds(kNetworkRetestSeconds)) {
                    return;
                }
            }
            std::string dateTime;
            std::string version;
            if (store.ReadUpdateListEntry(serial, dateTime, version) != 0) {
                const std::string body = BuildNotifyBody(serial, version, dateTime);
                bSent = SendNotification(m_env.Server(), body, m_canceller.get()) == 200;
            }
            if (bSent) {
                store.DeleteSentReport(serial);
            }
            bLastSucceeded = bSent;
        }
        // Before the result goes out: a trigger it prompts starts the next run.
        m_notifyTrigger->Reset();
        Post(WM_NOTIFY_RESULT, bSent ? 0 : 1);
    }
}

void UpdateWorker::VersionThread() {
    m_versionReady->Set();
    const std::array events{m_quit, m_versionTrigger};
    for (;;) {
        if (kernel::WaitAny(events, kernel::kInfinite) != 1) {
            return;
        }
        if (m_nCheckState.load() == kCheckDeviceArrived && !WaitSeconds(kDeviceSettleSeconds)) {
            return;
        }
        const VersionFetch fetch = FetchVersionPage(m_env.Server(), m_canceller.get());
        if (QuitSet()) {
            return;
        }
        {
            std::lock_guard lock(m_versionLock);
            m_serverVersion = fetch.parsed ? fetch.page : VersionPage{};
        }
        const bool bPresent = m_env.devices.IsDevicePresent();
        std::optional<std::uintptr_t> result;
        if (!fetch.parsed) {
            // A failure never reaches the comparison: the values of an earlier success stay.
            const int state = m_nCheckState.load();
            if (bPresent) {
                result = state >= kCheckRetrying ? kVersionRetryFailed : kVersionCheckFailed;
                m_nCheckState.store(kCheckNormal);
            } else if (state == kCheckRetrying) {
                m_nCheckState.store(kCheckNoDeviceOnRetry);
            } else {
                result = kVersionCheckFailed;
            }
        } else if (bPresent) {
            VersionPage page;
            if (TakeServerVersion(page)) {
                m_env.Store().WriteLastVer(page.strDateCode, page.strName);
                result = m_env.devices.IsDeviceOlder(page.strDateCode) ? kVersionNewer
                                                                       : kVersionNotOlder;
                m_nCheckState.store(kCheckNormal);
            }
        }
        m_versionTrigger->Reset();
        if (result) {
            Post(WM_VERSION_RESULT, *result);
        }
    }
}

void UpdateWorker::ManualThread() {
    m_manualReady->Set();
    const std::array events{m_quit, m_manualTrigger};
    for (;;) {
        if (kernel::WaitAny(events, kernel::kInfinite) != 1) {
            return;
        }
        const std::optional<ManualOutcome> outcome = ManualCheck();
        if (!outcome) {
            return;
        }
        {
            std::lock_guard lock(m_versionLock);
            m_manualNames.push_back(outcome->strName);
        }
        // Presses during the run were answered by it.
        m_manualTrigger->Reset();
        Post(WM_MANUAL_RESULT, outcome->result);
    }
}

std::optional<UpdateWorker::ManualOutcome> UpdateWorker::ManualCheck() {
    if (!m_env.ServerReachable()) {
        return ManualOutcome{kManualOffline, {}};
    }
    VersionFetch fetch;
    const std::array quit{m_quit};
    for (int i = 0; i < kManualFetches; ++i) {
        if (i > 0 && m_env.Clock().WaitAny(quit, kManualFetchGapMs) == 0) {
            return std::nullopt;
        }
        fetch = FetchVersionPage(m_env.Server(), m_canceller.get());
        if (QuitSet()) {
            return std::nullopt;
        }
        if (fetch.status == 200) {
            break;
        }
    }
    if (!fetch.parsed) {
        return ManualOutcome{fetch.status == 503 ? kManualMaintenance : kManualFailed, {}};
    }
    m_env.Store().WriteLastVer(fetch.page.strDateCode, fetch.page.strName);
    if (!m_env.devices.IsDevicePresent()) {
        return ManualOutcome{kManualNoDevice, fetch.page.strName};
    }
    return ManualOutcome{
        m_env.devices.IsDeviceOlder(fetch.page.strDateCode) ? kManualNewer : kManualUpToDate,
        fetch.page.strName};
}

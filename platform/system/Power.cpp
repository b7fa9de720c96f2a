#include "platform/system/Power.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/system/Bus.h"

namespace platform::system {

namespace {

constexpr char kLogin[] = "org.freedesktop.login1";
constexpr char kLoginPath[] = "/org/freedesktop/login1";
constexpr char kLoginManager[] = "org.freedesktop.login1.Manager";

// Waits for the bus or for `stopFd`; false once the stop was asked for or the bus is gone.
bool WaitForBus(sd_bus* bus, int stopFd) {
    const int events = sd_bus_get_events(bus);
    if (events < 0) {
        return false;
    }
    const int timeoutMs = BusTimeoutMs(bus);
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
        return false;
    }
    return (fds[1].revents & POLLIN) == 0;
}

}  // namespace

// A firmware write cut short leaves a device that does not start: closing the lid or shutting
// down waits as well as a suspend.
constexpr char kWhat[] = "shutdown:sleep:idle:handle-lid-switch";

StayAwake::StayAwake(std::string_view who, std::string_view why) {
    const BusPtr bus = OpenSystemBus();
    if (!bus) {
        SayOnce("logind", "no system bus: suspend, shutdown and idle are not held off");
        return;
    }
    const std::string whoText(who);
    const std::string whyText(why);
    sd_bus_error error{};
    sd_bus_message* raw = nullptr;
    const int rc =
        sd_bus_call_method(bus.get(), kLogin, kLoginPath, kLoginManager, "Inhibit", &error, &raw,
                           "ssss", kWhat, whoText.c_str(), whyText.c_str(), "block");
    MessagePtr reply(raw);
    int fd = -1;
    if (rc < 0 || sd_bus_message_read(reply.get(), "h", &fd) < 0) {
        SayOnce("logind-inhibit", std::string("logind refused an inhibitor (") +
                                      (error.message != nullptr ? error.message : "no answer") +
                                      "): suspend, shutdown and idle are not held off");
        sd_bus_error_free(&error);
        return;
    }
    sd_bus_error_free(&error);
    // The reply owns the received descriptor; the lock lasts as long as our copy.
    lock_.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

struct ResumeWatcher::Impl {
    std::function<void()> onResume;
    BusPtr bus;
    sd_bus_slot* slot = nullptr;
    fd::UniqueFd stop;
    std::thread thread;

    static int OnPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
        int going = 0;
        if (sd_bus_message_read(message, "b", &going) >= 0 && going == 0) {
            static_cast<Impl*>(userdata)->onResume();
        }
        return 0;
    }

    void Run() {
        while (true) {
            const int rc = sd_bus_process(bus.get(), nullptr);
            if (rc < 0) {
                return;
            }
            if (rc == 0 && !WaitForBus(bus.get(), stop.Get())) {
                return;
            }
        }
    }
};

ResumeWatcher::ResumeWatcher(std::function<void()> onResume) : impl_(std::make_unique<Impl>()) {
    impl_->onResume = std::move(onResume);
    impl_->bus = OpenSystemBus();
    impl_->stop.Reset(::eventfd(0, EFD_CLOEXEC));
    // The match is in place when this returns, so no resume after construction is missed.
    if (!impl_->bus || !impl_->stop.Valid() ||
        sd_bus_match_signal(impl_->bus.get(), &impl_->slot, kLogin, kLoginPath, kLoginManager,
                            "PrepareForSleep", &Impl::OnPrepareForSleep, impl_.get()) < 0) {
        SayOnce("logind-resume", "no logind on the system bus: resumes are not reported");
        impl_->bus.reset();
        return;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

ResumeWatcher::~ResumeWatcher() {
    if (impl_->thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(impl_->stop.Get(), &one, sizeof one);
        impl_->thread.join();
    }
    sd_bus_slot_unref(impl_->slot);
}

bool ResumeWatcher::Active() const {
    return impl_->thread.joinable();
}

namespace {

std::atomic<int> g_sessionPipe{-1};
std::atomic<bool> g_sessionWatched{false};
constexpr int kSessionSignals[] = {SIGTERM, SIGHUP};

extern "C" void OnSessionSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_sessionPipe.load(), &byte, 1);
    errno = saved;
}

}  // namespace

struct SessionEndWatcher::Impl {
    std::function<void(int)> onEnd;
    fd::UniqueFd readEnd;
    fd::UniqueFd writeEnd;
    struct sigaction old[2] = {};
    std::thread thread;

    void Run() {
        unsigned char byte = 0;
        while (true) {
            const ssize_t n = ::read(readEnd.Get(), &byte, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n != 1 || byte == 0) {
                return;
            }
            onEnd(byte);
        }
    }
};

SessionEndWatcher::SessionEndWatcher(std::function<void(int signal)> onEnd)
    : impl_(std::make_unique<Impl>()) {
    impl_->onEnd = std::move(onEnd);
    if (g_sessionWatched.exchange(true)) {
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        g_sessionWatched = false;
        return;
    }
    impl_->readEnd.Reset(fds[0]);
    impl_->writeEnd.Reset(fds[1]);
    // A handler must never block on a full pipe.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_sessionPipe = fds[1];
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    struct sigaction action = {};
    action.sa_handler = &OnSessionSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < 2; ++i) {
        ::sigaction(kSessionSignals[i], &action, &impl_->old[i]);
    }
}

SessionEndWatcher::~SessionEndWatcher() {
    if (!impl_->thread.joinable()) {
        return;
    }
    for (std::size_t i = 0; i < 2; ++i) {
        ::sigaction(kSessionSignals[i], &impl_->old[i], nullptr);
    }
    const unsigned char stop = 0;
    [[maybe_unused]] const ssize_t n = ::write(impl_->writeEnd.Get(), &stop, 1);
    impl_->thread.join();
    g_sessionPipe = -1;
    g_sessionWatched = false;
}

bool SessionEndWatcher::Active() const {
    return impl_->thread.joinable();
}

}  // namespace platform::system

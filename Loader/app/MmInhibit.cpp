#include "Loader/app/MmInhibit.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/mobile/Mobile.h"

namespace sys = platform::system;

namespace {

constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kPath[] = "/org/freedesktop/ModemManager1";
constexpr char kInterface[] = "org.freedesktop.ModemManager1";

bool CallInhibitDevice(sd_bus* bus, const std::string& uid, bool bInhibit) {
    sd_bus_message* rawCall = nullptr;
    if (sd_bus_message_new_method_call(bus, &rawCall, kService, kPath, kInterface,
                                       "InhibitDevice") < 0) {
        return false;
    }
    sys::MessagePtr call(rawCall);
    // A ModemManager that is not running has nothing to leave alone.
    sd_bus_message_set_auto_start(call.get(), 0);
    if (sd_bus_message_append(call.get(), "sb", uid.c_str(), static_cast<int>(bInhibit)) < 0) {
        return false;
    }
    sd_bus_error error{};
    sd_bus_message* rawReply = nullptr;
    const int rc = sd_bus_call(bus, call.get(), sys::kBusCallTimeoutUs, &error, &rawReply);
    sys::MessagePtr reply(rawReply);
    if (rc < 0) {
        sys::SayOnce("mm-inhibit", std::string("ModemManager does not leave the device alone (") +
                                       (error.message != nullptr ? error.message : "") + ")");
    }
    sd_bus_error_free(&error);
    return rc >= 0;
}

}  // namespace

CMmInhibit::CMmInhibit() {
    Inhibit(platform::mobile::ModemManagerDeviceUids());
}

CMmInhibit::CMmInhibit(std::vector<std::string> uids) {
    Inhibit(std::move(uids));
}

CMmInhibit::~CMmInhibit() {
    Release();
}

void CMmInhibit::Inhibit(std::vector<std::string> uids) {
    if (uids.empty()) {
        sys::SayOnce("mm-inhibit-none",
                     "ModemManager does not manage the device: nothing to inhibit");
        return;
    }
    m_bus = sys::OpenSystemBus();
    if (!m_bus) {
        sys::SayOnce("mm-inhibit-bus", "no system bus: ModemManager is not asked to inhibit");
        return;
    }
    // Watched before the first request, so that a restart in between is not missed.
    const int rcMatch =
        sd_bus_match_signal(m_bus.get(), nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
    for (auto& uid : uids) {
        if (CallInhibitDevice(m_bus.get(), uid, true)) {
            m_uids.push_back(std::move(uid));
        }
    }
    if (m_uids.empty()) {
        m_bus.reset();
        return;
    }
    m_stop.Reset(::eventfd(0, EFD_CLOEXEC));
    if (rcMatch < 0 || !m_stop.Valid()) {
        sys::SayOnce("mm-inhibit-watch", "a restart of ModemManager will not be noticed");
        return;
    }
    m_watcher = std::thread([this] { Watch(); });
}

namespace {

// A NameOwnerChanged that gives ModemManager's name a new owner.
bool ModemManagerCameBack(sd_bus_message* message) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    return sd_bus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged") > 0 &&
           sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) >= 0 &&
           std::strcmp(name, kService) == 0 && *newOwner != '\0';
}

}  // namespace

void CMmInhibit::Watch() {
    for (;;) {
        sd_bus_message* raw = nullptr;
        const int rc = sd_bus_process(m_bus.get(), &raw);
        sys::MessagePtr message(raw);
        if (rc < 0) {
            return;
        }
        if (message && ModemManagerCameBack(message.get())) {
            for (const auto& uid : m_uids) {
                (void)CallInhibitDevice(m_bus.get(), uid, true);
            }
            m_nRenewals.fetch_add(1);
        }
        if (rc > 0) {
            continue;
        }
        pollfd fds[2] = {{sd_bus_get_fd(m_bus.get()), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
    }
}

void CMmInhibit::Release() {
    if (m_watcher.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stop.Get(), &one, sizeof one);
        m_watcher.join();
    }
    if (!m_bus) {
        return;
    }
    for (const auto& uid : m_uids) {
        // A failure here is healed by closing the connection just after.
        (void)CallInhibitDevice(m_bus.get(), uid, false);
    }
    m_uids.clear();
    m_bus.reset();
}

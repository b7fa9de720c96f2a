#include "platform/system/Notices.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "platform/system/Bus.h"

namespace platform::system {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kDefaultAction[] = "default";

// Most services read the body as markup.
std::string EscapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::int32_t ExpireTimeout(std::uint32_t ms) {
    if (ms == 0) {
        return -1;  // the service's own
    }
    return static_cast<std::int32_t>(
        std::min<std::uint32_t>(ms, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

struct DesktopNotices::Impl {
    std::function<void(std::uint64_t)> onClick;
    sd_bus* bus = nullptr;
    // Notices up on the desktop: the service's id, and whose it is.
    std::map<std::uint32_t, std::uint64_t> live;
    // Each sender's latest notice, which its next one replaces.
    std::map<std::uint64_t, std::uint32_t> latest;
    // Notices asked for and not answered yet, by the call's cookie; sender 0 once withdrawn.
    std::map<std::uint64_t, std::uint64_t> asked;

    ~Impl() {
        if (bus == nullptr) {
            return;
        }
        // A notice does not outlive the program that would act on its click.
        if (!live.empty() && sd_bus_is_ready(bus) > 0) {
            for (const auto& [id, sender] : live) {
                CloseNotice(id);
            }
            sd_bus_flush(bus);
        }
        sd_bus_close_unref(bus);
    }

    void Drop() {
        if (bus != nullptr) {
            sd_bus_close_unref(bus);
            bus = nullptr;
        }
        live.clear();
        latest.clear();
        asked.clear();
    }

    void CloseNotice(std::uint32_t id) {
        // No reply asked for: nothing waits on it.
        sd_bus_call_method_async(bus, nullptr, kService, kPath, kInterface, "CloseNotification",
                                 nullptr, nullptr, "u", id);
    }

    void Forget(std::uint32_t id) {
        const auto it = live.find(id);
        if (it == live.end()) {
            return;
        }
        if (const auto mine = latest.find(it->second); mine != latest.end() && mine->second == id) {
            latest.erase(mine);
        }
        live.erase(it);
    }

    static int OnShown(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<Impl*>(userdata);
        std::uint64_t cookie = 0;
        if (sd_bus_message_get_reply_cookie(reply, &cookie) < 0) {
            return 0;
        }
        const auto it = self->asked.find(cookie);
        if (it == self->asked.end()) {
            return 0;
        }
        const std::uint64_t sender = it->second;
        self->asked.erase(it);
        if (sd_bus_message_is_method_error(reply, nullptr) != 0) {
            const sd_bus_error* error = sd_bus_message_get_error(reply);
            SayOnce("notices",
                    std::string("no desktop notification service (") +
                        (error != nullptr && error->name != nullptr ? error->name : "no answer") +
                        "): notices without a tray are not shown");
            return 0;
        }
        std::uint32_t id = 0;
        if (sd_bus_message_read(reply, "u", &id) < 0 || id == 0) {
            return 0;
        }
        if (sender == 0) {
            self->CloseNotice(id);
            return 0;
        }
        // A service may give a new id when the notice to replace had gone meanwhile.
        if (const auto before = self->latest.find(sender);
            before != self->latest.end() && before->second != id) {
            self->live.erase(before->second);
        }
        self->live[id] = sender;
        self->latest[sender] = id;
        return 0;
    }

    static int OnAction(sd_bus_message* signal, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<Impl*>(userdata);
        std::uint32_t id = 0;
        const char* key = nullptr;
        if (sd_bus_message_read(signal, "us", &id, &key) < 0 ||
            std::string_view(key) != kDefaultAction) {
            return 0;
        }
        const auto it = self->live.find(id);
        if (it == self->live.end()) {
            return 0;
        }
        const std::uint64_t sender = it->second;
        // A click takes the notice away, as it does a balloon: one click, one action.
        self->Forget(id);
        self->CloseNotice(id);
        if (self->onClick) {
            self->onClick(sender);
        }
        return 0;
    }

    static int OnClosed(sd_bus_message* signal, void* userdata, sd_bus_error* /*error*/) {
        std::uint32_t id = 0;
        std::uint32_t reason = 0;
        if (sd_bus_message_read(signal, "uu", &id, &reason) >= 0) {
            static_cast<Impl*>(userdata)->Forget(id);
        }
        return 0;
    }
};

DesktopNotices::DesktopNotices(std::function<void(std::uint64_t)> onClick)
    : impl_(std::make_unique<Impl>()) {
    impl_->onClick = std::move(onClick);
    BusPtr bus = OpenSessionBus();
    if (!bus) {
        SayOnce("notices-bus", "no session bus: notices without a tray are not shown");
        return;
    }
    // The matches are asked for before any notice goes out, and the bus keeps a sender's order,
    // so no signal about a notice of ours can pass them.
    Impl* impl = impl_.get();
    if (sd_bus_match_signal_async(bus.get(), nullptr, kService, kPath, kInterface, "ActionInvoked",
                                  &Impl::OnAction, nullptr, impl) < 0 ||
        sd_bus_match_signal_async(bus.get(), nullptr, kService, kPath, kInterface,
                                  "NotificationClosed", &Impl::OnClosed, nullptr, impl) < 0) {
        return;
    }
    impl_->bus = bus.release();
}

DesktopNotices::~DesktopNotices() = default;

void DesktopNotices::Show(std::uint64_t sender, const Notice& notice) {
    sd_bus* bus = impl_->bus;
    if (bus == nullptr) {
        return;
    }
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, kService, kPath, kInterface, "Notify") < 0) {
        return;
    }
    const MessagePtr call(raw);
    sd_bus_message* m = call.get();
    const auto before = impl_->latest.find(sender);
    const std::uint32_t replaces = before != impl_->latest.end() ? before->second : 0;
    const std::string body = EscapeMarkup(notice.text);
    // The default action is what a click on the notice invokes; it has no button of its own.
    bool ok = sd_bus_message_append(m, "susss", notice.appName.c_str(), replaces, "",
                                    notice.title.c_str(), body.c_str()) >= 0 &&
              sd_bus_message_append(m, "as", 2, kDefaultAction, notice.title.c_str()) >= 0 &&
              sd_bus_message_open_container(m, 'a', "{sv}") >= 0;
    const bool image = notice.imageWidth > 0 && notice.imageHeight > 0 &&
                       notice.imageRgba.size() == static_cast<std::size_t>(notice.imageWidth) *
                                                      static_cast<std::size_t>(notice.imageHeight) *
                                                      4;
    if (ok && image) {
        ok = sd_bus_message_open_container(m, 'e', "sv") >= 0 &&
             sd_bus_message_append(m, "s", "image-data") >= 0 &&
             sd_bus_message_open_container(m, 'v', "(iiibiiay)") >= 0 &&
             sd_bus_message_open_container(m, 'r', "iiibiiay") >= 0 &&
             sd_bus_message_append(m, "iiibii", notice.imageWidth, notice.imageHeight,
                                   notice.imageWidth * 4, 1, 8, 4) >= 0 &&
             sd_bus_message_append_array(m, 'y', notice.imageRgba.data(),
                                         notice.imageRgba.size()) >= 0 &&
             sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0 &&
             sd_bus_message_close_container(m) >= 0;
    }
    ok = ok && sd_bus_message_close_container(m) >= 0 &&
         sd_bus_message_append(m, "i", ExpireTimeout(notice.timeoutMs)) >= 0;
    std::uint64_t cookie = 0;
    if (ok && sd_bus_call_async(bus, nullptr, m, &Impl::OnShown, impl_.get(), 0) >= 0 &&
        sd_bus_message_get_cookie(m, &cookie) >= 0) {
        impl_->asked[cookie] = sender;
    }
}

void DesktopNotices::Withdraw(std::uint64_t sender) {
    if (impl_->bus == nullptr) {
        return;
    }
    for (auto it = impl_->live.begin(); it != impl_->live.end();) {
        if (it->second == sender) {
            impl_->CloseNotice(it->first);
            it = impl_->live.erase(it);
        } else {
            ++it;
        }
    }
    impl_->latest.erase(sender);
    for (auto& [cookie, whose] : impl_->asked) {
        if (whose == sender) {
            whose = 0;
        }
    }
}

DesktopNotices::Wait DesktopNotices::NextWait() const {
    sd_bus* bus = impl_->bus;
    if (bus == nullptr) {
        return {};
    }
    const int fd = sd_bus_get_fd(bus);
    const int events = sd_bus_get_events(bus);
    if (fd < 0 || events < 0) {
        return {};
    }
    Wait wait;
    wait.fd = fd;
    wait.readable = (events & POLLIN) != 0;
    wait.writable = (events & POLLOUT) != 0;
    if (const int ms = BusTimeoutMs(bus); ms >= 0) {
        wait.timeoutMs = std::min(ms, 60'000);
    }
    return wait;
}

void DesktopNotices::Process() {
    while (impl_->bus != nullptr) {
        const int rc = sd_bus_process(impl_->bus, nullptr);
        if (rc < 0) {
            SayOnce("notices-lost",
                    "the session bus went away: notices without a tray are not shown");
            impl_->Drop();
            return;
        }
        if (rc == 0) {
            return;
        }
    }
}

}  // namespace platform::system

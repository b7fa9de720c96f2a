// logind as far as the programs ask it about sessions: ListSessions and each session's
// properties, and Inhibit, which hands out the write end of a pipe whose read end the fake keeps,
// so that it sees the holder let go. Served on a testsupport::BusService:
//
//   testsupport::FakeLogin login({{.id = "2", .uid = 1000, .type = "wayland"}});
//   testsupport::BusService service(bus.Address(), [&](sd_bus* b) { login.Serve(b); });
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct FakeSession {
    std::string id;  // letters and digits
    uid_t uid = 0;
    std::string type = "tty";
    std::string display{};
    std::string sessionClass = "user";
    std::string state = "active";
    bool active = true;
    bool remote = false;

    std::string Path() const { return "/org/freedesktop/login1/session/_" + id; }
};

class FakeLogin {
  public:
    explicit FakeLogin(std::vector<FakeSession> sessions = {}) : sessions_(std::move(sessions)) {}
    ~FakeLogin() {
        for (const int fd : locks_) {
            ::close(fd);
        }
    }
    FakeLogin(const FakeLogin&) = delete;
    FakeLogin& operator=(const FakeLogin&) = delete;

    // Called on the service's thread with each Inhibit's "what" as it comes; set before serving.
    std::function<void(const std::string& what)> onInhibit;

    // Whether a lock was handed out and its holder still has it.
    bool Held() {
        std::lock_guard lock(mutex_);
        for (const int fd : locks_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    // On the service's thread, before it serves.
    void Serve(sd_bus* bus) {
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", kManager, this);
        for (FakeSession& session : sessions_) {
            sd_bus_add_object_vtable(bus, nullptr, session.Path().c_str(),
                                     "org.freedesktop.login1.Session", kSession, &session);
        }
        sd_bus_request_name(bus, "org.freedesktop.login1", 0);
    }

  private:
    static int ListSessions(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const auto* self = static_cast<FakeLogin*>(userdata);
        sd_bus_message* reply = nullptr;
        int rc = sd_bus_message_new_method_return(m, &reply);
        rc = rc < 0 ? rc : sd_bus_message_open_container(reply, 'a', "(susso)");
        for (const FakeSession& s : self->sessions_) {
            const std::string name = "user" + std::to_string(s.uid);
            rc = rc < 0 ? rc
                        : sd_bus_message_append(reply, "(susso)", s.id.c_str(),
                                                static_cast<std::uint32_t>(s.uid), name.c_str(),
                                                "seat0", s.Path().c_str());
        }
        rc = rc < 0 ? rc : sd_bus_message_close_container(reply);
        rc = rc < 0 ? rc : sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return rc;
    }

    static int Inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeLogin*>(userdata);
        const char* what = nullptr;
        if (const int rc = sd_bus_message_read(m, "s", &what); rc < 0) {
            return rc;
        }
        if (self->onInhibit) {
            self->onInhibit(what);
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return -errno;
        }
        {
            std::lock_guard lock(self->mutex_);
            self->locks_.push_back(fds[0]);
        }
        const int rc = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);  // the reply carries its own copy
        return rc;
    }

    static int Property(sd_bus*, const char*, const char*, const char* property,
                        sd_bus_message* reply, void* userdata, sd_bus_error*) {
        const auto* s = static_cast<const FakeSession*>(userdata);
        const std::string_view name(property);
        if (name == "Active" || name == "Remote") {
            return sd_bus_message_append(
                reply, "b", static_cast<int>(name == "Active" ? s->active : s->remote));
        }
        const std::string& text = name == "Type"      ? s->type
                                  : name == "Display" ? s->display
                                  : name == "Class"   ? s->sessionClass
                                  : name == "State"   ? s->state
                                                      : s->id;
        return sd_bus_message_append(reply, "s", text.c_str());
    }

    static inline const sd_bus_vtable kManager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ListSessions", "", "a(susso)", &FakeLogin::ListSessions,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogin::Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
        SD_BUS_VTABLE_END,
    };
    static inline const sd_bus_vtable kSession[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Id", "s", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Type", "s", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Display", "s", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Class", "s", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("State", "s", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Active", "b", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Remote", "b", &FakeLogin::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END,
    };

    std::vector<FakeSession> sessions_;
    std::mutex mutex_;
    std::vector<int> locks_;
};

// A socket file such as a session bus or a compositor leaves in the runtime directory; nobody
// listens on it.
inline bool MakeSocketFile(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool made =
        fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return made;
}

}  // namespace testsupport

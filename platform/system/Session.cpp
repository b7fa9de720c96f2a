#include "platform/system/Session.h"

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/system/Bus.h"

namespace platform::system {

namespace {

namespace fs = std::filesystem;

constexpr char kLogin[] = "org.freedesktop.login1";
constexpr char kLoginPath[] = "/org/freedesktop/login1";
constexpr char kLoginManager[] = "org.freedesktop.login1.Manager";
constexpr char kLoginSession[] = "org.freedesktop.login1.Session";

struct Session {
    std::string type;
    std::string display;
    std::string sessionClass;
    std::string state;
    bool active = false;
    bool remote = false;

    bool Graphical() const { return type == "x11" || type == "wayland" || type == "mir"; }
    // Larger is better.
    auto Rank() const {
        return std::make_tuple(sessionClass == "user", active, state == "active", !remote);
    }
};

std::vector<std::string> SessionPathsOf(sd_bus* bus, uid_t uid) {
    sd_bus_error error{};
    sd_bus_message* raw = nullptr;
    const int rc = sd_bus_call_method(bus, kLogin, kLoginPath, kLoginManager, "ListSessions",
                                      &error, &raw, "");
    MessagePtr reply(raw);
    sd_bus_error_free(&error);
    std::vector<std::string> paths;
    if (rc < 0 || sd_bus_message_enter_container(reply.get(), 'a', "(susso)") < 0) {
        return paths;
    }
    const char* id = nullptr;
    std::uint32_t owner = 0;
    const char* name = nullptr;
    const char* seat = nullptr;
    const char* path = nullptr;
    while (sd_bus_message_read(reply.get(), "(susso)", &id, &owner, &name, &seat, &path) > 0) {
        if (owner == uid) {
            paths.emplace_back(path);
        }
    }
    return paths;
}

std::optional<Session> ReadSession(sd_bus* bus, const std::string& path) {
    sd_bus_error error{};
    sd_bus_message* raw = nullptr;
    const int rc = sd_bus_call_method(bus, kLogin, path.c_str(), "org.freedesktop.DBus.Properties",
                                      "GetAll", &error, &raw, "s", kLoginSession);
    MessagePtr reply(raw);
    sd_bus_error_free(&error);
    if (rc < 0 || sd_bus_message_enter_container(reply.get(), 'a', "{sv}") < 0) {
        return std::nullopt;
    }
    Session session;
    while (sd_bus_message_enter_container(reply.get(), 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(reply.get(), "s", &name) < 0) {
            return std::nullopt;
        }
        const std::string_view property(name);
        std::string* text = property == "Type"      ? &session.type
                            : property == "Display" ? &session.display
                            : property == "Class"   ? &session.sessionClass
                            : property == "State"   ? &session.state
                                                    : nullptr;
        bool* flag = property == "Active"   ? &session.active
                     : property == "Remote" ? &session.remote
                                            : nullptr;
        int read = 0;
        if (text != nullptr) {
            const char* value = nullptr;
            read = sd_bus_message_read(reply.get(), "v", "s", &value);
            if (read >= 0) {
                *text = value;
            }
        } else if (flag != nullptr) {
            int value = 0;
            read = sd_bus_message_read(reply.get(), "v", "b", &value);
            *flag = value != 0;
        } else {
            read = sd_bus_message_skip(reply.get(), "v");
        }
        if (read < 0 || sd_bus_message_exit_container(reply.get()) < 0) {
            return std::nullopt;
        }
    }
    return session;
}

std::optional<Session> GraphicalSession(uid_t uid) {
    const BusPtr bus = OpenSystemBus();
    if (!bus) {
        return std::nullopt;
    }
    std::optional<Session> best;
    for (const std::string& path : SessionPathsOf(bus.get(), uid)) {
        auto session = ReadSession(bus.get(), path);
        if (session && session->Graphical() && (!best || session->Rank() > best->Rank())) {
            best = std::move(session);
        }
    }
    return best;
}

bool IsSocket(const fs::path& path) {
    std::error_code ec;
    return fs::is_socket(fs::symlink_status(path, ec));
}

// The compositor's socket with the lowest number, as a client would try them.
std::string WaylandSocketIn(const fs::path& dir) {
    constexpr std::string_view kPrefix = "wayland-";
    std::optional<unsigned> lowest;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) {
            continue;
        }
        unsigned number = 0;
        const char* first = name.data() + kPrefix.size();
        const char* last = name.data() + name.size();
        const auto [ptr, err] = std::from_chars(first, last, number);
        if (err == std::errc() && ptr == last && (!lowest || number < *lowest) &&
            IsSocket(it->path())) {
            lowest = number;
        }
    }
    return lowest ? std::string(kPrefix) + std::to_string(*lowest) : std::string();
}

}  // namespace

UserSession FindUserSession(uid_t uid) {
    UserSession found;
    found.runtimeDir = "/run/user/" + std::to_string(uid);
    const fs::path runtime = paths::Relocate(found.runtimeDir);
    if (IsSocket(runtime / "bus")) {
        found.busAddress = "unix:path=" + found.runtimeDir + "/bus";
    }
    if (const auto session = GraphicalSession(uid)) {
        found.type = session->type;
        found.display = session->display;
        if (session->type == "wayland") {
            found.waylandDisplay = WaylandSocketIn(runtime);
        }
    }
    return found;
}

}  // namespace platform::system

#include "platform/paths/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>

namespace platform::paths {
namespace {

const char* NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

template <typename T>
std::optional<T> ParseId(std::string_view text) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// name:password:uid:gid:gecos:home:shell
std::optional<User> ParsePasswdLine(std::string_view line) {
    std::string_view fields[7];
    std::size_t count = 0;
    while (count < 7) {
        const auto colon = line.find(':');
        fields[count++] = line.substr(0, colon);
        if (colon == std::string_view::npos) {
            break;
        }
        line.remove_prefix(colon + 1);
    }
    if (count < 6) {
        return std::nullopt;
    }
    const auto uid = ParseId<uid_t>(fields[2]);
    const auto gid = ParseId<gid_t>(fields[3]);
    if (!uid || !gid || fields[0].empty()) {
        return std::nullopt;
    }
    return User{*uid, *gid, std::string(fields[0]), std::filesystem::path(fields[5])};
}

std::vector<User> RelocatedAccounts() {
    std::vector<User> users;
    std::ifstream in(Relocate("/etc/passwd"));
    std::string line;
    while (std::getline(in, line)) {
        if (auto user = ParsePasswdLine(line)) {
            users.push_back(std::move(*user));
        }
    }
    return users;
}

bool UseRelocatedAccounts() {
    std::error_code ec;
    return Relocated() && std::filesystem::is_regular_file(Relocate("/etc/passwd"), ec);
}

User FromPasswd(const passwd& pw) {
    return User{pw.pw_uid, pw.pw_gid, pw.pw_name, std::filesystem::path(pw.pw_dir)};
}

std::vector<User> SystemAccounts() {
    std::vector<User> users;
    setpwent();
    while (const passwd* pw = getpwent()) {
        users.push_back(FromPasswd(*pw));
    }
    endpwent();
    return users;
}

std::filesystem::path XdgOr(const User& user, const char* variable,
                            const std::filesystem::path& fallback) {
    if (const char* value = NonEmptyEnv(variable); value != nullptr && getuid() == user.uid) {
        std::filesystem::path path(value);
        if (path.is_absolute()) {
            return Relocate(path);
        }
    }
    return Relocate(fallback);
}

}  // namespace

std::filesystem::path Root() {
    const char* value = NonEmptyEnv(kRootVariable);
    return value != nullptr ? std::filesystem::path(value) : std::filesystem::path("/");
}

bool Relocated() {
    return Root() != std::filesystem::path("/");
}

std::filesystem::path Relocate(const std::filesystem::path& absolute) {
    if (!Relocated()) {
        return absolute;
    }
    return Root() / absolute.relative_path();
}

std::optional<User> LookupUser(uid_t uid) {
    if (UseRelocatedAccounts()) {
        for (auto& user : RelocatedAccounts()) {
            if (user.uid == uid) {
                return user;
            }
        }
        return std::nullopt;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd pw{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) {
        return std::nullopt;
    }
    return FromPasswd(*found);
}

User CurrentUser() {
    uid_t uid = getuid();
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
        if (const char* value = NonEmptyEnv(variable)) {
            if (const auto parsed = ParseId<uid_t>(value)) {
                uid = *parsed;
                break;
            }
        }
    }
    if (auto user = LookupUser(uid)) {
        return *user;
    }
    const char* home = NonEmptyEnv("HOME");
    return User{uid, uid == getuid() ? getgid() : static_cast<gid_t>(uid), std::to_string(uid),
                std::filesystem::path(home != nullptr && uid == getuid() ? home : "/")};
}

std::vector<User> ProfileUsers() {
    constexpr uid_t kFirstPerson = 1000;
    constexpr uid_t kOverflow = 65534;
    std::vector<User> profiles;
    for (auto& user : UseRelocatedAccounts() ? RelocatedAccounts() : SystemAccounts()) {
        std::error_code ec;
        if (user.uid >= kFirstPerson && user.uid != kOverflow && !user.home.empty() &&
            std::filesystem::is_directory(Relocate(user.home), ec)) {
            profiles.push_back(std::move(user));
        }
    }
    std::sort(profiles.begin(), profiles.end(),
              [](const User& a, const User& b) { return a.uid < b.uid; });
    return profiles;
}

std::string ProfileId(uid_t uid) {
    return "uid-" + std::to_string(uid);
}

std::optional<uid_t> ProfileUid(const std::string& id) {
    constexpr std::string_view kPrefix = "uid-";
    if (!std::string_view(id).starts_with(kPrefix)) {
        return std::nullopt;
    }
    return ParseId<uid_t>(std::string_view(id).substr(kPrefix.size()));
}

std::filesystem::path ConfigDir(const User& user) {
    return XdgOr(user, "XDG_CONFIG_HOME", user.home / ".config");
}

std::filesystem::path UserStoreFile(const User& user) {
    return ConfigDir(user) / "zr40" / "registry.sqlite";
}

std::filesystem::path MachineStoreFile() {
    return Relocate("/var/lib/zr40/registry.sqlite");
}

std::filesystem::path RuntimeDir(const User& user) {
    return XdgOr(user, "XDG_RUNTIME_DIR", "/run/user/" + std::to_string(user.uid)) / "zr40";
}

std::filesystem::path StateDir(const User& user) {
    return XdgOr(user, "XDG_STATE_HOME", user.home / ".local" / "state") / "zr40";
}

std::filesystem::path InstallDir() {
    return Relocate("/opt/Norvale/mirato ZR40");
}

std::filesystem::path UserAutostartDir(const User& user) {
    return ConfigDir(user) / "autostart";
}

std::filesystem::path AllUsersAutostartDir() {
    return Relocate("/etc/xdg/autostart");
}

}  // namespace platform::paths

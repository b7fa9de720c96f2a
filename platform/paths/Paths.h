// Where the programs keep their files, for whom, and the one variable that moves all of it.
//
// ZR40_ROOT, when set and not empty, is put in front of every absolute path below (and of the
// account database read for users), so tests, the demo and CI keep a whole system in one folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::paths {

inline constexpr const char* kRootVariable = "ZR40_ROOT";

// $ZR40_ROOT when set and not empty, else "/".
std::filesystem::path Root();
bool Relocated();
// Root() followed by an absolute path ("/var/lib" → "<root>/var/lib").
std::filesystem::path Relocate(const std::filesystem::path& absolute);

struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::filesystem::path home;  // as the account names it, not relocated
};

// From <root>/etc/passwd when relocated and that file exists, else from the system's accounts.
std::optional<User> LookupUser(uid_t uid);

// The person the programs act for: PKEXEC_UID, else SUDO_UID, else the real user id. A user id
// without an account still gets a user: named by its number, with $HOME (or "/") as home.
User CurrentUser();

// The accounts whose stores count as user profiles: user id 1000 or more (but not the overflow
// id 65534) with an existing home directory, in user-id order.
std::vector<User> ProfileUsers();
// Stable id text of a profile, derived from its user id ("uid-1000").
std::string ProfileId(uid_t uid);
std::optional<uid_t> ProfileUid(const std::string& id);

// $XDG_CONFIG_HOME when the process runs as that user (real uid) and it is absolute, else
// <home>/.config; relocated.
std::filesystem::path ConfigDir(const User& user);
// The user's state store: <config>/zr40/registry.sqlite.
std::filesystem::path UserStoreFile(const User& user);
// The machine store: /var/lib/zr40/registry.sqlite.
std::filesystem::path MachineStoreFile();
// $XDG_RUNTIME_DIR/zr40 when the process runs as that user and the variable is absolute, else
// /run/user/<uid>/zr40; relocated. Window sockets and single-instance locks live here.
std::filesystem::path RuntimeDir(const User& user);
// $XDG_STATE_HOME/zr40 when the process runs as that user and the variable is absolute, else
// <home>/.local/state/zr40; relocated. The update tool's error log lives here.
std::filesystem::path StateDir(const User& user);
// Where the update manager is installed: /opt/Norvale/mirato ZR40.
std::filesystem::path InstallDir();
// XDG autostart folders: <config>/autostart and /etc/xdg/autostart.
std::filesystem::path UserAutostartDir(const User& user);
std::filesystem::path AllUsersAutostartDir();

}  // namespace platform::paths

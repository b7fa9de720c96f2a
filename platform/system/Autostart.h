// Run at logon: XDG autostart entries, for the current user or for all users.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::system {

enum class AutostartScope {
    kCurrentUser,  // paths::UserAutostartDir(paths::CurrentUser()), owned by that user
    kAllUsers,     // paths::AllUsersAutostartDir()
};

struct AutostartEntry {
    std::string name;  // also names the file: <escaped name>.desktop
    std::filesystem::path program;
    std::vector<std::string> args;
    std::optional<unsigned> delaySeconds;
};

std::filesystem::path AutostartFile(AutostartScope scope, std::string_view name);

// Writes the entry atomically, replacing one of the same name. False when the program path
// cannot be written as an Exec key (it contains '=' or is empty) or the file cannot be written.
bool SetAutostart(AutostartScope scope, const AutostartEntry& entry);

// True when no such entry is left.
bool RemoveAutostart(AutostartScope scope, std::string_view name);

// The Exec value for program and args, quoted and escaped so that a launcher runs them
// literally.
std::string DesktopExecValue(const std::filesystem::path& program,
                             const std::vector<std::string>& args);

}  // namespace platform::system

// What the programs ask of the operating system at start-up and while they run: the version
// record, rights, the single-instance lock, the running processes and where the programs live.
//
// The person the programs act for is platform::paths::CurrentUser().
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"

namespace platform::system {

// Sets the reported version ("5.1", "6.0", "10.0", optionally ".<build>"); unset means 6.1.
inline constexpr char kOsVersionVariable[] = "ZR40_OS_VERSION";

inline constexpr unsigned kPlatformNt = 2;

struct OsVersion {
    unsigned platformId = kPlatformNt;
    unsigned major = 6;
    unsigned minor = 1;
    unsigned build = 7601;
    std::string servicePack = "Service Pack 1";
};

// A Windows-7-class system unless kOsVersionVariable says otherwise; a malformed value keeps
// 6.1 and is reported once on stderr.
OsVersion GetOsVersion();

// Effective user id 0.
bool IsAdministrator();

enum class InstanceState {
    kOwned,           // this object holds the lock
    kAlreadyRunning,  // another holder, in this process or another
    kFailed,          // the lock file could not be made; nothing is known
};

// A named single-instance lock: an flock on "<name>.lock" in the current user's runtime
// directory, held for the object's lifetime. Any name may be given; characters unsafe in a
// file name are escaped.
class SingleInstance {
  public:
    explicit SingleInstance(std::string_view name);

    InstanceState State() const { return state_; }
    bool Owned() const { return state_ == InstanceState::kOwned; }
    const std::filesystem::path& File() const { return file_; }

  private:
    std::filesystem::path file_;
    fd::UniqueFd fd_;
    InstanceState state_ = InstanceState::kFailed;
};

// A name turned into one safe file-name component: letters, digits, '_', '-' and '.' (not
// leading) stay, everything else becomes %XX. Never empty.
std::string EscapeFileName(std::string_view name);

// Executable base names of the running processes: the catalogue's Process records when the
// device catalogue is in use, else /proc (the executable's name, or the process's short name
// when the executable cannot be read).
std::vector<std::string> RunningProcessNames();
bool IsProcessRunning(std::string_view baseName);

// The folder of the running executable.
std::filesystem::path ProgramDir();

}  // namespace platform::system

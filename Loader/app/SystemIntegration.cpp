#include "Loader/app/SystemIntegration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "Loader/common/ComLog.h"
#include "Loader/common/ComString.h"
#include "Loader/common/ErrorRecord.h"
#include "platform/fd/UniqueFd.h"
#include "platform/paths/Owned.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/system/Autostart.h"
#include "platform/window/Window.h"

namespace fs = std::filesystem;
namespace reg = platform::registry;
namespace sys = platform::system;
namespace paths = platform::paths;

namespace {

// Set and not empty.
std::optional<std::string> EnvValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::optional<std::string>(value) : std::nullopt;
}

bool IsRegularFile(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec);
}

// Through a temporary file and a rename, so that a failed copy never leaves a half program
// where the next logon would start it.
bool CopyProgram(const fs::path& from, const fs::path& to) {
    const fs::path temp = to.string() + ".new";
    std::error_code ec;
    fs::remove(temp, ec);
    if (!fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec)) {
        fs::remove(temp, ec);
        return false;
    }
    // Through the copy's own descriptor, never by name.
    const platform::fd::UniqueFd copy(::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!copy.Valid() || ::fchmod(copy.Get(), 0755) != 0) {
        ec = std::error_code(errno, std::generic_category());
    } else {
        fs::rename(temp, to, ec);
    }
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool WriteUninstallEntry(const fs::path& uiProgram) {
    const CComString strName = CComString::FromUtf8(kManagerWindowTitle);
    const std::string path = uiProgram.string();
    reg::Store store(reg::MachineStore());
    return store
        .Write([&](reg::Txn& txn) -> reg::Error {
            if (auto created = txn.CreateKey(kUninstallKey); !created.ok()) {
                return created.error();
            }
            if (auto e =
                    txn.SetString(kUninstallKey, "DisplayName", strName.View(), reg::Zero::kStored);
                !e.ok()) {
                return e;
            }
            if (auto e = txn.SetString(kUninstallKey, "DisplayIcon", path, reg::Zero::kStored);
                !e.ok()) {
                return e;
            }
            return txn.SetString(kUninstallKey, "UninstallString", path, reg::Zero::kStored);
        })
        .ok();
}

// Copies `fromKey` to `toKey` in every profile's own store that has `fromKey`; with `deleteFrom`
// the source goes once its copy is whole.
int CopyInEveryProfile(const char* fromKey, const char* toKey, bool deleteFrom) {
    int nHandled = 0;
    for (const paths::User& user : paths::ProfileUsers()) {
        reg::Store store(reg::UserStore(user));
        if (!store.OpenKey(fromKey).ok()) {
            continue;
        }
        if (!reg::CopyTree(store, fromKey, store, toKey).ok()) {
            continue;
        }
        if (deleteFrom && !store.DeleteKey(fromKey).ok()) {
            continue;
        }
        ++nHandled;
    }
    return nHandled;
}

}  // namespace

CSystemIntegration::CSystemIntegration(platform::kernel::Clock& clock) : m_clock(clock) {}

int CSystemIntegration::SetRelaunch(bool bOn, const sys::OsVersion& os, const fs::path& toolDir) {
    if (!bOn) {
        return sys::RemoveAutostart(sys::AutostartScope::kCurrentUser, kRelaunchEntry) ? 1 : 0;
    }
    std::error_code ec;
    const fs::path tool = fs::absolute(toolDir, ec) / kToolProgram;
    if (ec) {
        return 0;
    }
    sys::AutostartEntry entry;
    entry.name = kRelaunchEntry;
    entry.program = "pkexec";
    entry.args = {tool.string()};
    // The older branch stood for a plain run-at-logon value, which knows no delay.
    if (os.major != 5) {
        entry.delaySeconds = kRelaunchDelaySeconds;
    }
    return sys::SetAutostart(sys::AutostartScope::kCurrentUser, entry) ? 1 : 0;
}

int CSystemIntegration::PostManagerQuit() {
    return platform::window::PostToWindowsTitled(kManagerWindowTitle, {WM_MANAGER_QUIT, 0, 0, {}});
}

void CSystemIntegration::CloseRunningManager() {
    if (PostManagerQuit() == 0) {
        return;
    }
    for (std::uint32_t waited = 0;
         platform::window::FindWindow(kManagerWindowTitle) && waited < kManagerCloseLimitMs;
         waited += kManagerClosePollMs) {
        m_clock.SleepMs(kManagerClosePollMs);
    }
}

int CSystemIntegration::InstallManager(const fs::path& dir) {
    const fs::path source = dir / kManagerFolder;
    if (!IsRegularFile(source / kManagerProgram) || !IsRegularFile(source / kManagerUiProgram)) {
        return 0;
    }
    const fs::path installDir = paths::InstallDir();

    CloseRunningManager();
    {
        reg::Store machine(reg::MachineStore());
        const reg::Error removed = machine.DeleteKey(kUninstallKey);
        (void)removed;  // absent counts as done, anything else does not stop the installation
    }
    if (sys::RemoveAutostart(sys::AutostartScope::kAllUsers, kManagerAutostartEntry)) {
        std::error_code ec;
        fs::remove(installDir / kManagerProgram, ec);
    }

    paths::User owner;
    owner.uid = ::geteuid();
    owner.gid = ::getegid();
    if (!paths::OpenOwnedDir(installDir, owner, 0755, paths::Missing::kCreate).ok()) {
        return 0;
    }
    for (const char* name : {kManagerProgram, kManagerUiProgram}) {
        if (!CopyProgram(source / name, installDir / name)) {
            return 0;
        }
    }

    sys::AutostartEntry entry;
    entry.name = kManagerAutostartEntry;
    entry.program = installDir / kManagerProgram;
    entry.args = {"/minimize"};
    const bool bAutostart = sys::SetAutostart(sys::AutostartScope::kAllUsers, entry);
    const bool bUninstall = WriteUninstallEntry(installDir / kManagerUiProgram);
    return bAutostart && bUninstall ? 1 : 0;
}

sys::StartResult CSystemIntegration::StartManager() {
    const fs::path installDir = paths::InstallDir();
    sys::StartOptions options;
    options.show = sys::Show::kMinimized;
    options.workingDir = installDir;
    // The manager outlives the tool in the user's session; a terminal the tool ran in, or a
    // test's scripted user, is not its own.
    options.ownStreams = true;
    options.output = EnvValue(kManagerOutputVariable).value_or("");
    options.environment = {{"ZR40_UI", EnvValue(kManagerUiVariable)},
                           {"ZR40_UI_SCRIPT", EnvValue(kManagerUiScriptVariable)},
                           {kManagerUiVariable, std::nullopt},
                           {kManagerUiScriptVariable, std::nullopt},
                           {kManagerOutputVariable, std::nullopt}};
    return sys::StartProgram(installDir / kManagerProgram, {}, options);
}

int CSystemIntegration::SaveConnectionSettings() {
    return CopyInEveryProfile(kConnectionSoftKey, kConnectionSoftSaveKey, false);
}

int CSystemIntegration::RestoreConnectionSettings() {
    return CopyInEveryProfile(kConnectionSoftSaveKey, kConnectionSoftKey, true);
}

int CSystemIntegration::OpenErrorLog(CComLog& log) {
    const paths::User user = paths::CurrentUser();
    const fs::path dir = paths::StateDir(user);
    const paths::Opened folder = paths::OpenOwnedDir(dir, user, 0700, paths::Missing::kCreate);
    if (!folder.ok()) {
        return 0;
    }
    paths::Opened file = paths::OpenOwnedFile(folder.fd.Get(), kErrorLogName,
                                              O_RDWR | O_CREAT | O_TRUNC, 0644, user);
    if (!file.ok()) {
        return 0;
    }
    return log.Adopt(file.fd.Release(),
                     CComString(std::string_view((dir / kErrorLogName).native())));
}

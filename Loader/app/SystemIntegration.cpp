#include "Loader/app/SystemIntegration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

// Owned by root or by us, and changeable by nobody else: group and others may not write, except
// in a sticky folder, where they cannot replace what is ours.
bool OwnedByUs(const struct stat& st, bool bFolder) {
    const bool bOwner = st.st_uid == 0 || st.st_uid == ::geteuid();
    const bool bSticky = bFolder && (st.st_mode & S_ISVTX) != 0;
    return bOwner && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || bSticky);
}

// The folder and every folder above it, none of them a link.
bool TrustedFolder(const fs::path& dir) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(dir, ec).lexically_normal();
    if (ec) {
        return false;
    }
    fs::path walked = "/";
    for (const fs::path& part : absolute.relative_path()) {
        walked /= part;
        struct stat st {};
        if (::lstat(walked.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !OwnedByUs(st, true)) {
            return false;
        }
    }
    struct stat root {};
    return ::lstat("/", &root) == 0 && OwnedByUs(root, true);
}

// A regular file that is not a link and that only we could have written.
platform::fd::UniqueFd OpenTrusted(const fs::path& file) {
    platform::fd::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !OwnedByUs(st, false)) {
        return {};
    }
    return fd;
}

bool SyncFolder(const fs::path& dir) {
    platform::fd::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Valid() && ::fsync(fd.Get()) == 0;
}

// Through a temporary file, synced, and a rename, so that a failed copy or a power cut never
// leaves a half program where the next logon would start it.
bool CopyProgram(int fromFd, const fs::path& to) {
    const fs::path temp = to.string() + ".new";
    ::unlink(temp.c_str());
    platform::fd::UniqueFd out(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
    bool ok = out.Valid() && ::fchmod(out.Get(), 0755) == 0;
    char buffer[65536];
    for (ssize_t n = 0; ok && (n = ::read(fromFd, buffer, sizeof buffer)) != 0;) {
        ok = n > 0 && ::write(out.Get(), buffer, static_cast<std::size_t>(n)) == n;
    }
    ok = ok && ::fsync(out.Get()) == 0 && ::rename(temp.c_str(), to.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
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
    // The path itself, links resolved: pkexec finds the tool's polkit action by the exact path
    // it is given, and the action names the installed program.
    std::error_code ec;
    const fs::path dir = fs::absolute(toolDir, ec);
    const fs::path tool = ec ? fs::path() : fs::weakly_canonical(dir / kToolProgram, ec);
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
    if (!TrustedFolder(source)) {
        std::fprintf(stderr, "%s: not installing the manager from %s: not the administrator's\n",
                     kToolProgram, source.c_str());
        return CSystemIntegration::kInstallRefused;
    }
    platform::fd::UniqueFd programs[2];
    const char* names[2] = {kManagerProgram, kManagerUiProgram};
    for (int i = 0; i < 2; ++i) {
        struct stat st {};
        if (::lstat((source / names[i]).c_str(), &st) != 0) {
            return 0;
        }
        programs[i] = OpenTrusted(source / names[i]);
        if (!programs[i].Valid()) {
            std::fprintf(stderr, "%s: not installing %s: not the administrator's\n", kToolProgram,
                         (source / names[i]).c_str());
            return CSystemIntegration::kInstallRefused;
        }
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
    if (!CopyProgram(programs[0].Get(), installDir / kManagerProgram) ||
        !CopyProgram(programs[1].Get(), installDir / kManagerUiProgram) ||
        !SyncFolder(installDir)) {
        return 0;
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

#include "platform/system/Autostart.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/fd/UniqueFd.h"
#include "platform/paths/Owned.h"
#include "platform/paths/Paths.h"
#include "platform/system/System.h"

namespace platform::system {

namespace {

namespace fs = std::filesystem;

// Characters that make a launcher split or interpret an argument unless it is quoted.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string QuoteArg(std::string_view arg) {
    std::string out;
    const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string_view::npos;
    if (quote) {
        out += '"';
    }
    for (const char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            out += '\\';
        }
        out += c;
        if (c == '%') {
            out += '%';  // otherwise a field code
        }
    }
    if (quote) {
        out += '"';
    }
    return out;
}

// The escapes of a string value, applied to the whole value after quoting.
std::string EscapeValue(std::string_view value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    if (!out.empty() && out.front() == ' ') {
        out.replace(0, 1, "\\s");
    }
    return out;
}

paths::User Owner(AutostartScope scope) {
    if (scope == AutostartScope::kCurrentUser) {
        return paths::CurrentUser();
    }
    return paths::User{0, 0, "root", "/root"};
}

fs::path Dir(AutostartScope scope) {
    return scope == AutostartScope::kCurrentUser ? paths::UserAutostartDir(paths::CurrentUser())
                                                 : paths::AllUsersAutostartDir();
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The rename is on disk once its folder is. The folder is opened afresh for reading, through
// the descriptor the walk gave.
bool SyncFolder(int dirFd) {
    const fd::UniqueFd fd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Valid() && ::fsync(fd.Get()) == 0;
}

// A reader sees the old entry or the new one, never a part; after a crash, the new one once this
// has said so. The file is made and renamed as the folder's owner, in the folder opened without
// following links; rename replaces whatever lies under the name, a link included, without
// following it.
bool ReplaceFile(int dirFd, const std::string& name, std::string_view content,
                 const paths::User& owner) {
    static std::atomic<unsigned> s_nextTemp{0};
    const paths::ActingAs as(owner);
    if (!as.ok()) {
        return false;
    }
    std::string temp;
    paths::Opened file;
    for (int round = 0; round < 8 && !file.ok(); ++round) {
        temp = "." + name + "." + std::to_string(::getpid()) + "-" +
               std::to_string(s_nextTemp.fetch_add(1));
        file = paths::OpenOwnedFile(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644, owner);
        if (!file.ok() && file.error != EEXIST) {
            return false;
        }
    }
    bool ok = file.ok() && WriteAll(file.fd.Get(), content) && ::fsync(file.fd.Get()) == 0;
    file.fd.Reset();
    ok = ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0;
    if (!ok) {
        ::unlinkat(dirFd, temp.c_str(), 0);
    }
    return ok && SyncFolder(dirFd);
}

std::string FileName(std::string_view name) {
    return EscapeFileName(name) + ".desktop";
}

}  // namespace

std::string DesktopExecValue(const fs::path& program, const std::vector<std::string>& args) {
    std::string exec = QuoteArg(program.string());
    for (const auto& arg : args) {
        exec += ' ';
        exec += QuoteArg(arg);
    }
    return EscapeValue(exec);
}

fs::path AutostartFile(AutostartScope scope, std::string_view name) {
    return Dir(scope) / FileName(name);
}

bool SetAutostart(AutostartScope scope, const AutostartEntry& entry) {
    // The executable of an Exec key may not hold '='; no quoting changes that.
    if (entry.program.empty() || entry.program.string().find('=') != std::string::npos) {
        return false;
    }
    const paths::User owner = Owner(scope);
    const paths::Opened dir = paths::OpenOwnedDir(Dir(scope), owner, 0755, paths::Missing::kCreate);
    if (!dir.ok()) {
        return false;
    }
    std::string content = "[Desktop Entry]\nType=Application\nName=" + EscapeValue(entry.name) +
                          "\nExec=" + DesktopExecValue(entry.program, entry.args) +
                          "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    if (entry.delaySeconds) {
        content += "X-GNOME-Autostart-Delay=" + std::to_string(*entry.delaySeconds) + "\n";
    }
    return ReplaceFile(dir.fd.Get(), FileName(entry.name), content, owner);
}

bool RemoveAutostart(AutostartScope scope, std::string_view name) {
    const paths::User owner = Owner(scope);
    const paths::Opened dir = paths::OpenOwnedDir(Dir(scope), owner, 0755, paths::Missing::kFail);
    if (!dir.ok()) {
        return dir.error == ENOENT;  // no folder, no entry
    }
    const paths::ActingAs as(owner);
    return as.ok() && (::unlinkat(dir.fd.Get(), FileName(name).c_str(), 0) == 0 || errno == ENOENT);
}

}  // namespace platform::system

#include "platform/system/Autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fd/UniqueFd.h"
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

// The rename is on disk once its folder is.
bool SyncFolder(const fs::path& dir) {
    const fd::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Valid() && ::fsync(fd.Get()) == 0;
}

// A reader sees the old entry or the new one, never a part; after a crash, the new one once this
// has said so.
bool ReplaceFile(const fs::path& file, std::string_view content, const paths::User& owner) {
    std::string temp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    fd::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.Valid()) {
        return false;
    }
    bool ok = ::fchmod(fd.Get(), 0644) == 0;
    if (ok && geteuid() == 0 && owner.uid != 0) {
        ok = ::fchown(fd.Get(), owner.uid, owner.gid) == 0;
    }
    ok = ok && WriteAll(fd.Get(), content) && ::fsync(fd.Get()) == 0;
    fd.Reset();
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok && SyncFolder(file.parent_path());
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
    return Dir(scope) / (EscapeFileName(name) + ".desktop");
}

bool SetAutostart(AutostartScope scope, const AutostartEntry& entry) {
    // The executable of an Exec key may not hold '='; no quoting changes that.
    if (entry.program.empty() || entry.program.string().find('=') != std::string::npos) {
        return false;
    }
    const paths::User owner = Owner(scope);
    const fs::path file = AutostartFile(scope, entry.name);
    if (!paths::MakeOwnedDirs(file.parent_path(), 0755, owner)) {
        return false;
    }
    std::string content = "[Desktop Entry]\nType=Application\nName=" + EscapeValue(entry.name) +
                          "\nExec=" + DesktopExecValue(entry.program, entry.args) +
                          "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    if (entry.delaySeconds) {
        content += "X-GNOME-Autostart-Delay=" + std::to_string(*entry.delaySeconds) + "\n";
    }
    return ReplaceFile(file, content, owner);
}

bool RemoveAutostart(AutostartScope scope, std::string_view name) {
    const fs::path file = AutostartFile(scope, name);
    return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}

}  // namespace platform::system

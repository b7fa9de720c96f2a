#include "platform/system/Launch.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>

#include "platform/fd/UniqueFd.h"
#include "platform/paths/Paths.h"
#include "platform/system/Session.h"

extern char** environ;

namespace platform::system {

namespace {

namespace fs = std::filesystem;

// What the forked processes tell the caller through the close-on-exec pipe. The pipe reaches
// end-of-file once both have gone: the middle one exited and the program was executed.
struct Report {
    int kind;
    int value;
};
constexpr int kReportPid = 1;
constexpr int kReportErrno = 2;

int CodeFor(int error) {
    switch (error) {
        case ENOENT:
            return kFileNotFound;
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return kPathNotFound;
        case EACCES:
        case EPERM:
        case ETXTBSY:
        case EISDIR:
            return kAccessDenied;
        case ENOMEM:
        case EAGAIN:
        case E2BIG:
            return kOutOfMemory;
        case ENOEXEC:
        case ELIBBAD:
            return kBadFormat;
        default:
            return kOutOfResources;
    }
}

const char* ShowText(Show show) {
    switch (show) {
        case Show::kMinimized:
            return "minimized";
        case Show::kHidden:
            return "hidden";
        case Show::kNormal:
            break;
    }
    return "normal";
}

struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

// Looked up before the fork: the child of a threaded process may only make system calls.
std::vector<gid_t> GroupsOf(const paths::User& user) {
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 32);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

class Environment {
  public:
    Environment() {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            const std::string text(*entry);
            const auto eq = text.find('=');
            if (eq != std::string::npos && eq != 0) {
                vars_[text.substr(0, eq)] = text.substr(eq + 1);
            }
        }
    }
    void Set(const std::string& name, std::string value) { vars_[name] = std::move(value); }
    void Remove(const std::string& name) { vars_.erase(name); }
    void SetDefault(const std::string& name, std::string value) {
        vars_.try_emplace(name, std::move(value));
    }
    std::optional<std::string> Get(const std::string& name) const {
        const auto it = vars_.find(name);
        return it == vars_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> entries;
        for (const auto& [name, value] : vars_) {
            entries.push_back(name + "=" + value);
        }
        return entries;
    }

  private:
    std::map<std::string, std::string> vars_;
};

// The user's desktop session, whatever pkexec or sudo left us: what the session itself says
// wins, and our own DISPLAY, XAUTHORITY (both kept by pkexec for a program allowed a GUI),
// WAYLAND_DISPLAY and session bus stand in for what it does not say.
void ForUser(Environment& env, const paths::User& user) {
    const UserSession session = FindUserSession(user.uid);
    env.Set("HOME", user.home.string());
    env.Set("USER", user.name);
    env.Set("LOGNAME", user.name);
    env.Set("XDG_RUNTIME_DIR", session.runtimeDir);
    if (!session.busAddress.empty()) {
        env.Set("DBUS_SESSION_BUS_ADDRESS", session.busAddress);
    } else {
        env.SetDefault("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + session.runtimeDir + "/bus");
    }
    if (!session.type.empty()) {
        env.Set("XDG_SESSION_TYPE", session.type);
    }
    if (!session.display.empty()) {
        env.Set("DISPLAY", session.display);
    }
    if (!session.waylandDisplay.empty()) {
        env.Set("WAYLAND_DISPLAY", session.waylandDisplay);
    }
}

// As execvp would, but before the fork. The error is what exec would have said.
std::optional<fs::path> Resolve(const fs::path& program, const Environment& env, int& error) {
    if (program.empty()) {
        error = ENOENT;
        return std::nullopt;
    }
    if (program.string().find('/') != std::string::npos) {
        return program;
    }
    const std::string path = env.Get("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    error = ENOENT;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto colon = path.find(':', start);
        const std::string dir =
            path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const fs::path candidate = (dir.empty() ? fs::path(".") : fs::path(dir)) / program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            error = EACCES;
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return std::nullopt;
}

void Tell(int fd, int kind, int value) {
    const Report report{kind, value};
    while (::write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

// Standard input from /dev/null, output and errors to `output` or /dev/null. Runs in the forked
// program, after it became its user and before exec.
void OwnStreams(const char* output) {
    int in = ::open("/dev/null", O_RDONLY);
    int out = output != nullptr ? ::open(output, O_WRONLY | O_CREAT | O_APPEND, 0600) : -1;
    if (out < 0) {
        out = ::open("/dev/null", O_WRONLY);
    }
    // No O_CLOEXEC: an open that lands on 0, 1 or 2 (one of ours was closed) is its own dup2
    // target, and dup2 onto itself would keep the flag.
    if (in >= 0) {
        ::dup2(in, STDIN_FILENO);
    }
    if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    for (const int fd : {in, out}) {
        if (fd > STDERR_FILENO) {
            ::close(fd);
        }
    }
}

// Runs in the forked program: only async-signal-safe calls from here on.
[[noreturn]] void ExecChild(int reportFd, const char* program, char* const* argv, char* const* envp,
                            const Identity* identity, const char* workingDir, bool ownStreams,
                            const char* output) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    // Its own session: the program outlives a Ctrl-C or a closed terminal of its starter.
    ::setsid();
    if (identity != nullptr) {
        if (::setgroups(identity->groups.size(), identity->groups.data()) != 0 ||
            ::setgid(identity->gid) != 0 || ::setuid(identity->uid) != 0) {
            Tell(reportFd, kReportErrno, errno);
            ::_exit(127);
        }
    }
    if (workingDir != nullptr && ::chdir(workingDir) != 0) {
        Tell(reportFd, kReportErrno, errno);
        ::_exit(127);
    }
    if (ownStreams) {
        OwnStreams(output);
    }
    ::execve(program, argv, envp);
    Tell(reportFd, kReportErrno, errno);
    ::_exit(127);
}

}  // namespace

StartResult StartProgram(const fs::path& program, const std::vector<std::string>& args,
                         const StartOptions& options) {
    Environment env;
    env.Set(kShowVariable, ShowText(options.show));

    std::optional<Identity> identity;
    const paths::User user = paths::CurrentUser();
    if (geteuid() == 0 && user.uid != 0 && !options.keepRoot) {
        identity = Identity{user.uid, user.gid, GroupsOf(user)};
        ForUser(env, user);
    }
    for (const auto& [name, value] : options.environment) {
        value ? env.Set(name, *value) : env.Remove(name);
    }

    int error = 0;
    const auto resolved = Resolve(program, env, error);
    if (!resolved) {
        return {CodeFor(error), -1};
    }

    std::vector<std::string> argvText;
    argvText.push_back(program.string());
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvText) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envText = env.Entries();
    std::vector<char*> envp;
    for (auto& entry : envText) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const std::string programText = resolved->string();
    const std::string dirText = options.workingDir.string();
    // Absolute: the program's working directory is not ours.
    std::error_code ec;
    const std::string outputText =
        options.output.empty() ? std::string() : fs::absolute(options.output, ec).string();

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {CodeFor(errno), -1};
    }
    fd::UniqueFd readEnd(fds[0]);
    fd::UniqueFd writeEnd(fds[1]);

    // Two forks: the middle process exits at once, so the program is nobody's zombie and the
    // caller waits only for the middle one.
    const pid_t middle = ::fork();
    if (middle < 0) {
        return {CodeFor(errno), -1};
    }
    if (middle == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            ExecChild(writeEnd.Get(), programText.c_str(), argv.data(), envp.data(),
                      identity ? &*identity : nullptr, dirText.empty() ? nullptr : dirText.c_str(),
                      options.ownStreams, outputText.empty() ? nullptr : outputText.c_str());
        }
        Tell(writeEnd.Get(), child < 0 ? kReportErrno : kReportPid, child < 0 ? errno : child);
        ::_exit(0);
    }
    writeEnd.Reset();

    StartResult result{kOutOfResources, -1};
    std::optional<int> childError;
    Report report{};
    for (;;) {
        const ssize_t n = ::read(readEnd.Get(), &report, sizeof report);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n != static_cast<ssize_t>(sizeof report)) {
            break;
        }
        if (report.kind == kReportPid) {
            result.pid = report.value;
        } else if (report.kind == kReportErrno) {
            childError = report.value;
        }
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (childError) {
        return {CodeFor(*childError), -1};
    }
    if (result.pid > 0) {
        result.code = kStarted;
    }
    return result;
}

StartResult OpenUrl(std::string_view url) {
    const auto startsWithNoCase = [url](std::string_view prefix) {
        if (url.size() <= prefix.size()) {
            return false;
        }
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            const char c = url[i];
            if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != prefix[i]) {
                return false;
            }
        }
        return true;
    };
    if (!startsWithNoCase("http://") && !startsWithNoCase("https://")) {
        return {kNoAssociation, -1};
    }
    // A URL has no blanks or control characters; what has them is not passed to a helper
    // script at all.
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            return {kNoAssociation, -1};
        }
    }
    return StartProgram("xdg-open", {std::string(url)});
}

}  // namespace platform::system

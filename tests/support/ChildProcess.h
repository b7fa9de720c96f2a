// A program under test as a child process with its streams on pipes. Every wait polls the
// output pipe and the child's pidfd against a deadline, which only guards against a hang; a
// child still running when the object goes is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"

extern char** environ;

namespace testsupport {

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline In(std::chrono::milliseconds ms) {
    return std::chrono::steady_clock::now() + ms;
}

// Milliseconds left for poll; negative once the deadline has passed.
inline int MsLeft(Deadline until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return static_cast<int>(left.count());
}

inline int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits for a process that is not ours (a program another program started) to end; true once
// it is gone.
inline bool WaitUntilGone(pid_t pid, Deadline until) {
    const platform::fd::UniqueFd pidfd(PidfdOpen(pid));
    if (!pidfd.Valid()) {
        return errno == ESRCH;
    }
    pollfd p{pidfd.Get(), POLLIN, 0};
    const int msLeft = MsLeft(until);
    return msLeft >= 0 && ::poll(&p, 1, msLeft) > 0;
}

class ChildProcess {
  public:
    struct Options {
        // Empty: the test's own.
        std::filesystem::path cwd{};
        // NAME=value entries; none: the test's environment as it is at the start.
        std::optional<std::vector<std::string>> env{};
        // A pipe to its standard input; otherwise it shares the test's.
        bool input = false;
        // Its standard error on the output pipe, interleaved as written; otherwise the test's.
        bool errorsWithOutput = true;
    };

    // argv[0] is the program's path.
    ChildProcess(const std::vector<std::string>& argv, const Options& options) {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        if ((options.input && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0) {
            ended_ = true;
            return;
        }
        platform::fd::UniqueFd childIn(in[0]);
        platform::fd::UniqueFd childOut(out[1]);
        input_.Reset(in[1]);
        output_.Reset(out[0]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (options.input) {
            posix_spawn_file_actions_adddup2(&actions, childIn.Get(), STDIN_FILENO);
        }
        posix_spawn_file_actions_adddup2(&actions, childOut.Get(), STDOUT_FILENO);
        if (options.errorsWithOutput) {
            posix_spawn_file_actions_adddup2(&actions, childOut.Get(), STDERR_FILENO);
        }
        if (!options.cwd.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
        }
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (std::string& arg : args) {
            argp.push_back(arg.data());
        }
        argp.push_back(nullptr);
        std::vector<std::string> entries = options.env.value_or(std::vector<std::string>{});
        std::vector<char*> envp;
        for (std::string& entry : entries) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        if (args.empty() || posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argp.data(),
                                        options.env ? envp.data() : environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        // Unreaped, the pid cannot be taken by another process before this.
        if (pid_ > 0) {
            started_ = true;
            exit_.Reset(PidfdOpen(pid_));
        }
    }
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return started_; }

    bool Write(std::string_view text) {
        return ::write(input_.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // The end of its input, as a closed terminal.
    void CloseInput() { input_.Reset(); }

    // The next line of its output; nothing once the output has ended or the deadline has
    // passed. An unfinished last line is never given.
    std::optional<std::string> NextLine(Deadline until) {
        for (;;) {
            if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
                lines_.push_back(pending_.substr(0, nl));
                pending_.erase(0, nl + 1);
                return lines_.back();
            }
            if (ended_) {
                return std::nullopt;
            }
            pollfd p{output_.Get(), POLLIN, 0};
            const int msLeft = MsLeft(until);
            if (msLeft < 0 || ::poll(&p, 1, msLeft) <= 0) {
                return std::nullopt;
            }
            ReadChunk();
        }
    }

    // Reads lines until one holds `part`; false when the output ended or the deadline came.
    bool WaitFor(std::string_view part, Deadline until) {
        while (const auto line = NextLine(until)) {
            if (line->find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Its exit status (128 + the signal when a signal ended it), collecting its output
    // meanwhile; nothing when the deadline came first. Programs it started may hold the output
    // open, so the exit is watched, not the output's end.
    std::optional<int> Wait(Deadline until) {
        while (pid_ > 0) {
            pollfd p[2] = {{ended_ ? -1 : output_.Get(), POLLIN, 0}, {exit_.Get(), POLLIN, 0}};
            const int msLeft = MsLeft(until);
            if (msLeft < 0 || ::poll(p, 2, msLeft) <= 0) {
                return std::nullopt;
            }
            if (p[0].revents != 0) {
                ReadChunk();
                continue;  // its last words before the exit are read first
            }
            Reap();
        }
        return status_;
    }

    // Reads its output to the end and waits for its exit; false, and killed, when the
    // deadline came first.
    bool Finish(Deadline until) {
        while (NextLine(until)) {
        }
        if (ended_ && Wait(until)) {
            return true;
        }
        Kill();
        return false;
    }

    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Reap();
        }
    }

    // Asks it to end, for a program that cleans up after itself; Wait sees it go.
    void Signal(int signal) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
        }
    }

    // The lines NextLine has given.
    const std::vector<std::string>& Lines() const { return lines_; }
    // Everything read from its output.
    const std::string& Text() const { return text_; }

  private:
    void ReadChunk() {
        char chunk[4096];
        ssize_t n = -1;
        do {
            n = ::read(output_.Get(), chunk, sizeof chunk);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            ended_ = true;
            return;
        }
        text_.append(chunk, static_cast<std::size_t>(n));
        pending_.append(chunk, static_cast<std::size_t>(n));
    }

    void Reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        exit_.Reset();
    }

    pid_t pid_ = -1;
    platform::fd::UniqueFd input_;
    platform::fd::UniqueFd output_;
    platform::fd::UniqueFd exit_;
    std::optional<int> status_;
    std::string text_;
    std::string pending_;
    std::vector<std::string> lines_;
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace testsupport

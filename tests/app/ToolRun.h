// The update tool as a process of its own, as a user or the relaunch at logon starts it: the
// environment is the test's, and the scripted host's record (ZR40_UI=scripted) is read line by
// line from its stderr.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"

extern char** environ;

namespace tooltest {

namespace fs = std::filesystem;
using Deadline = std::chrono::steady_clock::time_point;

inline Deadline In(std::chrono::milliseconds ms) {
    return std::chrono::steady_clock::now() + ms;
}

class ToolProcess {
  public:
    ToolProcess(const fs::path& program, const fs::path& cwd) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        const std::string path = program.string();
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_.Reset(out[0]);
    }
    ~ToolProcess() { Kill(); }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool Started() const { return pid_ > 0; }

    // The next line; nothing once the output has ended or the deadline has passed.
    std::optional<std::string> NextLine(Deadline until) {
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                lines_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
                return lines_.back();
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{out_.Get(), POLLIN, 0};
            if (ended_ || left.count() < 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(out_.Get(), chunk, sizeof chunk);
            if (n <= 0) {
                ended_ = true;
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads until a line holds `part`; false when the output ended or the deadline came first.
    bool WaitFor(std::string_view part, Deadline until) {
        while (const auto line = NextLine(until)) {
            if (line->find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Reads until the output ends; false when the guard ran out (the process is then killed).
    bool Finish(Deadline guard) {
        while (NextLine(guard)) {
        }
        const bool ended = ended_;
        ended ? Reap() : Kill();
        return ended;
    }

    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
        }
        Reap();
    }

    const std::vector<std::string>& Lines() const { return lines_; }
    std::string Text() const {
        std::string text;
        for (const std::string& line : lines_) {
            text += line + "\n";
        }
        return text;
    }
    // The message boxes shown, in order, as recorded.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& line : lines_) {
            if (line.starts_with("msgbox")) {
                boxes.push_back(line);
            }
        }
        return boxes;
    }

  private:
    void Reap() {
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    platform::fd::UniqueFd out_;
    std::string buffer_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// A folder to run the tool from: its ZR40_UpMng holds `manager` under both names the
// installation copies.
inline bool MakeToolFolder(const fs::path& dir, const fs::path& manager) {
    std::error_code ec;
    fs::create_directories(dir / "ZR40_UpMng", ec);
    for (const char* name : {"ZR40_UpManager", "ZR40_UpMng_ui"}) {
        fs::copy_file(manager, dir / "ZR40_UpMng" / name, fs::copy_options::overwrite_existing, ec);
    }
    return !ec;
}

}  // namespace tooltest

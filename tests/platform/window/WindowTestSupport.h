// A second process for the window tests and the benchmark: window_helper started with
// posix_spawn, its "ready" line read from a pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "platform/window/Window.h"

extern char** environ;

namespace windowtest {

// Only a guard against hangs.
inline constexpr int kGuardMs = 30000;

class Helper {
  public:
    explicit Helper(std::vector<std::string> args) {
        std::string program = ZR_WINDOW_HELPER;
        std::vector<char*> argv = {program.data()};
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (::posix_spawn(&m_pid, ZR_WINDOW_HELPER, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out.Reset(out[0]);
    }
    ~Helper() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t Pid() const { return m_pid; }

    bool Ready() {
        std::string text;
        char c;
        pollfd p{m_out.Get(), POLLIN, 0};
        while (::poll(&p, 1, kGuardMs) > 0 && ::read(m_out.Get(), &c, 1) == 1) {
            if (c == '\n') {
                return text == "ready";
            }
            text.push_back(c);
        }
        return false;
    }

    // The exit code once it ended (-1 otherwise); with a signal, after sending it.
    int Wait(int sig = 0) {
        if (m_pid <= 0) {
            return -1;
        }
        if (sig != 0) {
            ::kill(m_pid, sig);
        }
        int status = 0;
        const pid_t pid = m_pid;
        m_pid = -1;
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

  private:
    pid_t m_pid = -1;
    platform::fd::UniqueFd m_out;
};

// Dispatches until pred holds, waiting on the window's descriptor as a toolkit loop would.
template <class Pred>
bool PumpUntil(platform::window::Window& window, Pred pred) {
    while (!pred()) {
        pollfd p{window.WakeFd(), POLLIN, 0};
        if (::poll(&p, 1, kGuardMs) <= 0) {
            return false;
        }
        window.ProcessPending();
    }
    return true;
}

}  // namespace windowtest

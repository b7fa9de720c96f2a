// Runs the real zr40-serverd on 127.0.0.1 and reads what it logs. Reads are bounded by kGuardMs
// so a broken server fails the test instead of hanging it; the server is stopped with the rig.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace net_test {

inline constexpr int kGuardMs = 30000;

class Serverd {
  public:
    explicit Serverd(const std::vector<std::string>& args = {}) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> words{ZR_SERVERD};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&m_pid, ZR_SERVERD, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
        const std::string first = Line();
        const std::string prefix = "listening 127.0.0.1:";
        if (first.starts_with(prefix)) {
            m_port = std::stoi(first.substr(prefix.size()));
        }
    }
    ~Serverd() {
        Stop();
        if (m_out >= 0) {
            ::close(m_out);
        }
    }
    Serverd(const Serverd&) = delete;
    Serverd& operator=(const Serverd&) = delete;

    int Port() const { return m_port; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    // The next line it printed without its newline; empty when none came within the guard.
    std::string Line() {
        for (;;) {
            if (const auto end = m_buffer.find('\n'); end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            pollfd p{m_out, POLLIN, 0};
            char chunk[4096];
            const ssize_t n = ::poll(&p, 1, kGuardMs) > 0 ? ::read(m_out, chunk, sizeof chunk) : 0;
            if (n <= 0) {
                return {};
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit status after SIGTERM; -1 when it did not exit normally.
    int Stop() {
        if (m_pid <= 0) {
            return -1;
        }
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
    std::string m_buffer;
};

}  // namespace net_test

// Runs the real zr40-devsim in a temporary directory and talks to its pseudo-terminals with plain
// POSIX calls, as the PC side would. Every wait is bounded by kGuard so that a broken simulator
// fails the test instead of hanging it; the simulator is killed when the rig goes away.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "sim/imagegen/ImageLayout.h"
#include "tests/support/TempDir.h"

namespace devsim_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Only a guard against hangs; nothing is asserted about time.
inline constexpr int kGuardMs = 30000;

inline fs::path ImageDir() {
    const char* dir = std::getenv("ZR_IMAGE_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path(ZR_IMAGE_DIR_BUILT);
}

inline Bytes ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The frames of an image file, split by their length fields.
inline std::vector<Bytes> ImageFrames(const std::string& module) {
    Bytes file = ReadFileBytes(ImageDir() / ("QRV_" + module + ".cvt"));
    std::vector<Bytes> frames;
    std::size_t pos = 0;
    while (pos + 8 <= file.size()) {
        std::uint32_t length = sim::image::ReadBe32(&file[pos + 4]);
        if (length < 8 || pos + length > file.size()) {
            break;
        }
        frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos),
                            file.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
    }
    return frames;
}

inline Bytes Db(std::uint16_t word, const Bytes& payload = {}) {
    Bytes frame = {
        'D', 'B', static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word), 0, 0,
        0,   0};
    sim::image::WriteBe32(&frame[4], static_cast<std::uint32_t>(8 + payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

inline Bytes Erase(std::uint16_t word, std::uint16_t first, std::uint16_t last) {
    return Db(word, {static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first),
                     static_cast<std::uint8_t>(last >> 8), static_cast<std::uint8_t>(last)});
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// One device function opened through its symlink, raw, as the tool's port layer does.
class Terminal {
  public:
    explicit Terminal(const fs::path& path) {
        m_port.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (m_port.Valid()) {
            termios t{};
            ::tcgetattr(m_port.Get(), &t);
            ::cfmakeraw(&t);
            ::tcsetattr(m_port.Get(), TCSANOW, &t);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool IsOpen() const { return m_port.Valid(); }
    int Fd() const { return m_port.Get(); }

    // In 4,096-byte pieces, as the tool writes.
    bool Write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            std::size_t piece = std::min<std::size_t>(4096, bytes.size() - done);
            ssize_t n = ::write(m_port.Get(), bytes.data() + done, piece);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            pollfd p{m_port.Get(), POLLOUT, 0};
            if (::poll(&p, 1, kGuardMs) <= 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
                return false;
            }
        }
        return true;
    }

    // Exactly n bytes, or fewer when the guard ran out or the device went away.
    Bytes Read(std::size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{m_port.Get(), POLLIN, 0};
            if (::poll(&p, 1, kGuardMs) <= 0) {
                break;
            }
            std::uint8_t buf[4096];
            ssize_t got = ::read(m_port.Get(), buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // One DB frame as its length field tells.
    Bytes ReadDb() {
        Bytes frame = Read(8);
        if (frame.size() == 8) {
            std::uint32_t length = sim::image::ReadBe32(&frame[4]);
            if (length > 8 && length < 0x10000) {
                Bytes rest = Read(length - 8);
                frame.insert(frame.end(), rest.begin(), rest.end());
            }
        }
        return frame;
    }

    // An AT answer: everything up to and including its final result code.
    std::string ReadAt() {
        std::string text;
        while (!text.ends_with("OK\r\n") && !text.ends_with("ERROR\r\n")) {
            Bytes b = Read(1);
            if (b.empty()) {
                break;
            }
            text.push_back(static_cast<char>(b[0]));
        }
        return text;
    }

    std::string Command(const std::string& line) {
        Write(Text(line));
        return ReadAt();
    }

    // The device side closed: what a vanished device looks like to the PC.
    bool HungUp() {
        pollfd p{m_port.Get(), POLLIN, 0};
        return ::poll(&p, 1, kGuardMs) > 0 && (p.revents & POLLHUP) != 0;
    }

  private:
    platform::fd::UniqueFd m_port;
};

// The answer of an acknowledged DB command.
inline Bytes Ack(std::uint16_t word) {
    return Db(word);
}

inline Bytes ErrorAnswer(std::int32_t code) {
    Bytes payload(4);
    sim::image::WriteBe32(payload.data(), static_cast<std::uint32_t>(code));
    return Db(0x80FF, payload);
}

struct CatalogLine {
    std::string kind;
    std::string id;
    std::map<std::string, std::string> props;
};

inline std::vector<CatalogLine> ReadCatalog(const fs::path& path) {
    std::vector<CatalogLine> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) {
            fields.push_back(field);
        }
        CatalogLine record;
        record.kind = fields.size() > 0 ? fields[0] : "";
        record.id = fields.size() > 1 ? fields[1] : "";
        for (std::size_t i = 2; i < fields.size(); ++i) {
            std::size_t eq = fields[i].find('=');
            record.props[fields[i].substr(0, eq)] =
                eq == std::string::npos ? "" : fields[i].substr(eq + 1);
        }
        records.push_back(record);
    }
    return records;
}

inline const CatalogLine* FindKind(const std::vector<CatalogLine>& records,
                                   const std::string& kind) {
    for (const CatalogLine& r : records) {
        if (r.kind == kind) {
            return &r;
        }
    }
    return nullptr;
}

using testsupport::TempDir;

// The simulator process. Its stdout is read line by line for the event lines.
class DevSim {
  public:
    // dir: run directory; args: further options. --reenum-ms defaults to 20 here.
    DevSim(const fs::path& dir, std::vector<std::string> args) : m_dir(dir) {
        std::vector<std::string> argv = {ZR_DEVSIM, "--dir", dir.string(), "--reenum-ms", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<char*> cargv;
        for (std::string& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            // Even a test that crashes must not leave a simulator behind.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(ZR_DEVSIM, cargv.data());
            ::_exit(127);
        }
        ::close(out[1]);  // the child's copy is the only writer left
        m_out.Reset(out[0]);
    }

    ~DevSim() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    DevSim(const DevSim&) = delete;
    DevSim& operator=(const DevSim&) = delete;

    const fs::path& Dir() const { return m_dir; }
    fs::path UpdateLink() const { return m_dir / "ttyZR40_UPDATE"; }
    fs::path ModemLink() const { return m_dir / "ttyZR40_MODEM"; }
    fs::path SecondLink() const {
        return m_dir / "ttyZR40_MODEM_{0254B0B5-AA88-461f-8044-3D5C47AB5709}";
    }
    fs::path Catalog() const { return m_dir / "catalog.txt"; }

    // The next event line; empty at end of output or when the guard ran out.
    std::string NextLine() {
        while (true) {
            std::size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                m_lines.push_back(line);
                return line;
            }
            pollfd p{m_out.Get(), POLLIN, 0};
            if (!m_out.Valid() || ::poll(&p, 1, kGuardMs) <= 0) {
                return {};
            }
            char buf[1024];
            ssize_t n = ::read(m_out.Get(), buf, sizeof buf);
            if (n <= 0) {
                m_ended = n == 0;
                return {};
            }
            m_buffer.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Reads event lines until this one; false when it never came.
    bool WaitFor(const std::string& wanted) {
        for (std::string line = NextLine(); !line.empty(); line = NextLine()) {
            if (line == wanted) {
                return true;
            }
        }
        return false;
    }

    // Reads event lines until one that starts with prefix, and returns it; empty when none came.
    std::string WaitForPrefix(const std::string& prefix) {
        for (std::string line = NextLine(); !line.empty(); line = NextLine()) {
            if (line.starts_with(prefix)) {
                return line;
            }
        }
        return {};
    }

    // Every line read so far, for failure messages.
    std::string Seen() const {
        std::string all;
        for (const std::string& l : m_lines) {
            all += l + " | ";
        }
        return all;
    }

    bool Raise(int sig) { return m_pid > 0 && ::kill(m_pid, sig) == 0; }

    // SIGTERM, then the exit code once the process has ended (-1 if it did not exit normally).
    int Stop() { return Signal(SIGTERM); }

    // Waits for the process to end on its own (e.g. after a usage error).
    int Wait() { return Signal(0); }

  private:
    int Signal(int sig) {
        if (m_pid <= 0) {
            return -1;
        }
        if (sig != 0) {
            ::kill(m_pid, sig);
        }
        // The process closes its stdout as it ends.
        while (!NextLine().empty()) {
        }
        int status = 0;
        pid_t pid = m_pid;
        m_pid = -1;
        if (!m_ended) {
            ::kill(pid, SIGKILL);
        }
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

    fs::path m_dir;
    pid_t m_pid = -1;
    platform::fd::UniqueFd m_out;
    std::string m_buffer;
    std::vector<std::string> m_lines;
    bool m_ended = false;  // its stdout reached end of file
};

}  // namespace devsim_test

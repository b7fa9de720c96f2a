#include "sim/devsim/Pty.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace sim::devsim {

namespace {

using platform::fd::UniqueFd;

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

int MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return 0;
    }
    ::cfmakeraw(&t);
    return ::tcsetattr(fd, TCSANOW, &t) == 0 ? 1 : 0;
}

}  // namespace

int PseudoTerminal::Open(const std::string& linkPath, std::string& error) {
    Close();
    int master = -1;
    int slave = -1;
    termios raw{};
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B115200);
    ::cfsetospeed(&raw, B115200);
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        error = SysError("openpty");
        return 0;
    }
    m_master.Reset(master);
    m_slave.Reset(slave);
    char name[PATH_MAX];
    if (::ttyname_r(slave, name, sizeof name) != 0 || MakeRaw(master) == 0) {
        error = SysError("pseudo-terminal set-up");
        Close();
        return 0;
    }
    m_slavePath = name;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        error = SysError("O_NONBLOCK");
        Close();
        return 0;
    }
    // Replace the link in one step: a reader following it sees the old or the new terminal.
    const std::string tmp = linkPath + ".tmp";
    ::unlink(tmp.c_str());
    if (::symlink(m_slavePath.c_str(), tmp.c_str()) != 0 ||
        ::rename(tmp.c_str(), linkPath.c_str()) != 0) {
        error = SysError("symlink " + linkPath);
        ::unlink(tmp.c_str());
        Close();
        return 0;
    }
    m_link = linkPath;
    return 1;
}

int PseudoTerminal::OpenTty(const std::string& path, std::string& error) {
    Close();
    m_master.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_master.Valid()) {
        error = SysError(path);
        return 0;
    }
    // The line discipline's defaults (echo, canonical input, CR/LF mapping) would answer for
    // the device.
    if (MakeRaw(m_master.Get()) == 0) {
        error = SysError("raw " + path);
        Close();
        return 0;
    }
    m_slavePath = path;
    return 1;
}

void PseudoTerminal::Close() {
    m_master.Reset();
    m_busy.Reset();
    m_slave.Reset();
    if (!m_link.empty()) {
        ::unlink(m_link.c_str());
        m_link.clear();
    }
    m_slavePath.clear();
}

int PseudoTerminal::HoldBusy(std::string& error) {
    UniqueFd fd(::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0 || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = SysError("holding " + m_slavePath);
        return 0;
    }
    m_busy = std::move(fd);
    return 1;
}

}  // namespace sim::devsim

// A pseudo-terminal that plays one serial function of the device, reached through a stable
// symlink. The simulator owns the master; the PC side opens the slave through the symlink.
#pragma once

#include <string>

namespace sim::devsim {

// One owner per descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    void Reset(int fd = -1);

  private:
    int m_fd = -1;
};

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // A raw pair (no echo, no line editing, no CR/LF mapping on either side), master
    // non-blocking, and linkPath pointing at the slave. 1, or 0 with error set.
    int Open(const std::string& linkPath, std::string& error);

    // Master first, so that a PC holding the slave sees the hang-up; then the symlink.
    void Close();

    // Another program holds the slave: a second descriptor with an exclusive flock.
    int HoldBusy(std::string& error);

    int Master() const { return m_master.Get(); }
    const std::string& SlavePath() const { return m_slavePath; }

  private:
    UniqueFd m_master;
    // Kept open so that the master never sees a hang-up while the PC has the port closed.
    UniqueFd m_slave;
    UniqueFd m_busy;
    std::string m_link;
    std::string m_slavePath;
};

}  // namespace sim::devsim

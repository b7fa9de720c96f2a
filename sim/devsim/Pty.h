// A pseudo-terminal that plays one serial function of the device, reached through a stable
// symlink. The simulator owns the master; the PC side opens the slave through the symlink.
#pragma once

#include <string>

#include "platform/fd/UniqueFd.h"

namespace sim::devsim {

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // A raw pair (no echo, no line editing, no CR/LF mapping on either side), master
    // non-blocking, and linkPath pointing at the slave. 1, or 0 with error set.
    int Open(const std::string& linkPath, std::string& error);

    // An existing terminal instead of a new pair (a USB gadget's ttyGS line): raw, non-blocking,
    // no link. 1, or 0 with error set.
    int OpenTty(const std::string& path, std::string& error);

    // Master first, so that a PC holding the slave sees the hang-up; then the symlink.
    void Close();

    // Another program holds the slave: a second descriptor with an exclusive flock.
    int HoldBusy(std::string& error);

    int Master() const { return m_master.Get(); }
    const std::string& SlavePath() const { return m_slavePath; }

  private:
    platform::fd::UniqueFd m_master;
    // Kept open so that the master never sees a hang-up while the PC has the port closed.
    platform::fd::UniqueFd m_slave;
    platform::fd::UniqueFd m_busy;
    std::string m_link;
    std::string m_slavePath;
};

}  // namespace sim::devsim

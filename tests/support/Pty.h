// A pseudo-terminal pair on which a test plays the device: the port under test opens Path(), the
// test reads and writes the master.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fd/UniqueFd.h"

namespace testsupport {

class PtyPair {
  public:
    // Slave::KeptOpen: a slave descriptor of the test's own stays open (non-blocking), so that the
    // test can look at what reached the port's side and the master never sees a hang-up.
    enum class Slave { Closed, KeptOpen };

    explicit PtyPair(Slave slave = Slave::Closed)
        : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        char name[128] = {};
        if (!m_master.Valid() || ::grantpt(m_master.Get()) != 0 ||
            ::unlockpt(m_master.Get()) != 0 ||
            ::ptsname_r(m_master.Get(), name, sizeof name) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << errno;
        }
        m_path = name;
        if (slave == Slave::KeptOpen) {
            m_slave.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return m_path; }
    int Master() const { return m_master.Get(); }
    int SlaveFd() const { return m_slave.Get(); }
    // The device goes away: the port sees a hang-up.
    void CloseMaster() { m_master.Reset(); }

  private:
    // Declared first so that it closes last: the master goes first, as on an unplug.
    platform::fd::UniqueFd m_slave;
    platform::fd::UniqueFd m_master;
    std::string m_path;
};

}  // namespace testsupport

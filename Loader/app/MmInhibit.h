// Keeps ModemManager away from the device while the tool works with it: ModemManager would
// otherwise probe the device's ports with its own AT commands, in the middle of ours, and again
// each time the device comes back from a reset.
//
// The inhibition is held on a bus connection of the object's own; ModemManager drops it by itself
// when that connection ends, so a crash of the tool cannot leave the device inhibited. It names
// the physical USB device, which stays the same across the device's reset. A ModemManager that
// restarts has forgotten it: the connection's own thread asks again as soon as the name has an
// owner again.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "platform/system/Bus.h"

class CMmInhibit {
  public:
    // Every modem of the device that ModemManager manages now.
    CMmInhibit();
    // The given ModemManager device uids.
    explicit CMmInhibit(std::vector<std::string> uids);
    ~CMmInhibit();
    CMmInhibit(const CMmInhibit&) = delete;
    CMmInhibit& operator=(const CMmInhibit&) = delete;

    // Ends every inhibition now; the destructor does it otherwise.
    void Release();
    // The uids ModemManager accepted.
    const std::vector<std::string>& Inhibited() const { return m_uids; }

    // How often ModemManager came back and was asked again.
    int Renewals() const { return m_nRenewals.load(); }

  private:
    void Inhibit(std::vector<std::string> uids);
    // The connection's thread: renews after a restart, lets go when stopped.
    void Watch();

    platform::system::BusPtr m_bus;
    std::vector<std::string> m_uids;
    platform::fd::UniqueFd m_stop;
    std::thread m_watcher;
    std::atomic<int> m_nRenewals{0};
};

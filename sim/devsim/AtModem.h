// One AT channel of the modem port.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sim/devsim/Options.h"

namespace sim::devsim {

// What the running firmware tells over AT; the simulator changes version after a reset.
struct ModemInfo {
    std::string version;
    std::string serial;
    Area area = Area::Home;
    bool silent = false;
};

class AtChannel {
  public:
    // Longer command lines are refused with "ERROR" when they end.
    static constexpr std::size_t kMaxLine = 256;

    AtChannel(const ModemInfo& info, bool echo) : m_info(info), m_echo(echo) {}

    // Takes the bytes the PC wrote; appends what the modem answers to out.
    void Feed(std::span<const std::uint8_t> input, std::string& out);

  private:
    std::string Execute(const std::string& line);

    const ModemInfo& m_info;
    bool m_echo;
    std::string m_line;
    bool m_overflow = false;
};

}  // namespace sim::devsim

// The update port while the device runs its firmware: the version request and the request that
// restarts the device as its boot loader.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "sim/devsim/Host.h"

namespace sim::devsim {

inline constexpr std::array<std::uint8_t, 10> kVersionRequest = {0xFF, 0xFD, 0xEF, 0xFD, 0xEE,
                                                                 0x6F, 0x00, 0x01, 0x40, 0xFE};
inline constexpr std::array<std::uint8_t, 8> kDownloadModeRequest = {0xFF, 0x55, 0x00, 0x42,
                                                                     0x00, 0x01, 0x01, 0xFE};
inline constexpr std::size_t kVersionAnswerSize = 18;
inline constexpr std::size_t kDateCodeOffset = 9;

// The 18-byte answer: the request's header, length 9, answer opcode 0xC0, the six date-code
// characters, two reserved bytes and the end mark.
Bytes BuildVersionAnswer(const std::string& dateCode);

class NormalPort : public PortEngine {
  public:
    explicit NormalPort(const std::string& dateCode) : m_dateCode(dateCode) {}
    std::size_t Step(std::span<const std::uint8_t> input, Host& host) override;

  private:
    std::string m_dateCode;
};

}  // namespace sim::devsim

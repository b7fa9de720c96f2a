// What the protocol engines of the update port ask of the device around them. The engines know
// nothing of file descriptors or time; the simulator's event loop implements this.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::devsim {

using Bytes = std::vector<std::uint8_t>;

class Host {
  public:
    virtual ~Host() = default;
    // Queues bytes for the port. They go out delayMs after the previous queued bytes are due,
    // never before them; frameLog (e.g. "DB 2805 8") is written as "tx ..." when they go out.
    virtual void Send(Bytes bytes, std::uint32_t delayMs, std::string frameLog) = 0;
    // One line of the frame log ("rx DB 2805 12").
    virtual void FrameLog(std::string_view line) = 0;
    // One event line on stdout.
    virtual void Event(std::string_view line) = 0;
    // The engine has stopped for good: the device leaves the mode the engine serves. Input after
    // the request is not fed to the engine.
    virtual void EnterDownloadMode() = 0;
    virtual void Reset() = 0;
    virtual void Unplug() = 0;
    // The device stops reading the port (a fault); input already taken is fed again once it
    // goes on.
    virtual void Stall() = 0;
};

// Engines consume input one frame (or one run of dropped bytes) per call; 0 means "need more".
class PortEngine {
  public:
    virtual ~PortEngine() = default;
    virtual std::size_t Step(std::span<const std::uint8_t> input, Host& host) = 0;
};

inline std::uint16_t ReadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace sim::devsim

// The device's boot loader on the update port: DB frames (erase, image download, finish,
// checksum, version record, module versions, reset), the D0 first stage and S-record text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/devsim/Flash.h"
#include "sim/devsim/Host.h"
#include "sim/devsim/Options.h"
#include "sim/imagegen/ImageLayout.h"

namespace sim::devsim {

inline constexpr std::int32_t kErrFormat = -6;
inline constexpr std::uint16_t kErrorWord = 0x80FF;
// Longest DB frame the loader accepts for a command it does not know; its payload is skipped.
inline constexpr std::uint32_t kMaxUnknownFrame = 8 + 256;
// Largest D0 memory window and block the first stage accepts.
inline constexpr std::uint32_t kMaxD0Window = 0x01000000;
inline constexpr std::uint32_t kMaxD0Count = 0x7800;

// What survives a re-enumeration and a reset: the flash and what the loader wrote about it.
struct DeviceMemory {
    FlashModel flash;
    std::map<std::uint8_t, image::ImageInfo> areas;  // last image header per area code
    std::string versionRecord;
};

Bytes DbFrame(std::uint16_t word, std::span<const std::uint8_t> payload = {});
Bytes DbError(std::int32_t code);

class BootLoader : public PortEngine {
  public:
    BootLoader(Options& options, DeviceMemory& memory) : m_options(options), m_memory(memory) {}

    // Power-up: an unfinished download and the first stage's state are forgotten.
    void Restart();

    std::size_t Step(std::span<const std::uint8_t> input, Host& host) override;

    // The receive time-out ran out with only part of a frame in: that part is dropped without an
    // answer, and the loader hunts for the next DB frame.
    void Cut(std::span<const std::uint8_t> partial, Host& host);

  private:
    struct Download {
        const image::Module* module = nullptr;
        std::uint16_t word = 0;
        std::uint32_t next = 0;       // flash address of the next data byte
        std::uint32_t remaining = 0;  // data bytes still expected
        std::uint32_t frames = 0;     // frames of this download so far, header included
    };

    std::size_t StepDb(std::span<const std::uint8_t> input, Host& host);
    std::size_t StepD0(std::span<const std::uint8_t> input, Host& host);
    std::size_t StepSRecord(std::span<const std::uint8_t> input, Host& host);
    std::size_t DropGarbage(std::span<const std::uint8_t> input, Host& host);
    std::size_t Resync(std::span<const std::uint8_t> input, Host& host);

    void HandleDb(std::uint16_t word, std::span<const std::uint8_t> payload, Host& host);
    void HandleImageFrame(std::uint16_t word, std::span<const std::uint8_t> payload, Host& host);
    // 1, or 0 after answering the error; a header frame opens the download.
    int StartDownload(std::uint16_t word, std::span<const std::uint8_t> payload, Host& host);
    int WriteData(std::uint16_t word, std::span<const std::uint8_t> payload, std::uint32_t& blocks,
                  Host& host);
    void HandleD0(std::uint8_t opcode, std::span<const std::uint8_t> data, Host& host);

    // Which download and frame number an image frame whose first bytes are input belongs to;
    // empty when that is not known yet or the frame belongs to none.
    std::optional<std::pair<const image::Module*, std::uint32_t>> FrameOf(
        std::span<const std::uint8_t> input) const;
    FrameFault* TakeFault(FaultKind kind, const image::Module* module, std::uint32_t frame);
    // The stall fault of that frame, fired once input holds its byte count.
    FrameFault* TakeStall(const image::Module* module, std::uint32_t frame, std::size_t held);

    void Answer(Bytes bytes, std::uint32_t delayMs, std::string log, Host& host);
    void Ack(std::uint16_t word, std::uint32_t delayMs, Host& host);
    void Error(std::int32_t code, Host& host);
    void D0Answer(std::uint8_t opcode, std::initializer_list<std::uint8_t> data, Host& host);

    Options& m_options;
    DeviceMemory& m_memory;
    std::optional<Download> m_download;
    // The module whose data last arrived completely, for the finish command's fault.
    const image::Module* m_lastDownloaded = nullptr;
    // Since a cut, until a DB frame starts.
    bool m_resync = false;
    // First stage.
    bool m_loading = false;
    bool m_zeroLedNext = false;
    std::vector<std::uint8_t> m_window;
    std::uint32_t m_windowFill = 0;
    std::uint16_t m_nextBlock = 0;
};

}  // namespace sim::devsim

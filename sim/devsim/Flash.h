// The device's NOR flash: 64 KiB erase blocks, kept sparse (only blocks that were erased hold
// memory, and only once something is written into them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace sim::devsim {

// Device error codes the flash model answers with.
inline constexpr std::int32_t kErrWrite = -2;
inline constexpr std::int32_t kErrAddress = -4;

class FlashModel {
  public:
    // 64 MiB: every area of the image table lies well inside.
    static constexpr std::uint32_t kBlockCount = 0x400;
    // What a block that was never erased reads as (the old firmware, unknown to us).
    static constexpr std::uint8_t kOldContent = 0x00;

    // 0, or kErrAddress when the range is empty or reaches past the flash.
    std::int32_t Erase(std::uint32_t firstBlock, std::uint32_t lastBlock);

    // A byte may be programmed once after its block was erased. 0; kErrWrite when a byte of the
    // range is not erased (nothing is written then); kErrAddress past the end of the flash.
    std::int32_t Write(std::uint32_t address, std::span<const std::uint8_t> data);

    // Byte sum modulo 65,536 of [address, address + length); 0 when the range leaves the flash.
    std::uint16_t Sum16(std::uint32_t address, std::uint32_t length) const;

    // Blocks that hold written data (memory in use is about 72 KiB per block).
    std::size_t BlocksWithData() const;

  private:
    struct Block {
        std::vector<std::uint8_t> data;         // empty while erased and unwritten
        std::vector<std::uint64_t> programmed;  // one bit per byte, same lifetime as data
    };

    std::map<std::uint32_t, Block> m_blocks;  // erased blocks only
};

}  // namespace sim::devsim

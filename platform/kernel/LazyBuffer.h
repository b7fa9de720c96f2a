// Large work memory that costs nothing until used: an anonymous mapping whose untouched pages
// stay unmapped, handed out in windows that read as the fill byte where nothing was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace platform::kernel {

class LazyBuffer {
  public:
    // Filled in whole chunks, so a window's first use costs at most one chunk beyond it.
    static constexpr std::size_t kChunk = 64 * 1024;

    LazyBuffer() = default;
    ~LazyBuffer();
    LazyBuffer(const LazyBuffer&) = delete;
    LazyBuffer& operator=(const LazyBuffer&) = delete;

    // Maps `size` bytes (none before); false when the system refuses, leaving the buffer empty.
    bool Allocate(std::size_t size, std::uint8_t fill);

    // The whole mapping, unfilled: bytes no window has covered read as zero.
    std::uint8_t* Data() const { return data_; }
    std::size_t Size() const { return size_; }

    // Bytes [offset, offset + size), each chunk set to the fill byte the first time a window
    // covers it, so later windows keep what was written. Empty when out of range. Safe from
    // several threads; the bytes themselves are the callers' to share.
    std::span<std::uint8_t> Window(std::size_t offset, std::size_t size);

    // Bytes of the chunks filled so far.
    std::size_t FilledBytes() const;

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::uint8_t fill_ = 0;
    mutable std::mutex mutex_;
    std::vector<bool> filled_;  // one flag a chunk
    std::size_t filledBytes_ = 0;
};

}  // namespace platform::kernel

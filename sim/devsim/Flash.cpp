#include "sim/devsim/Flash.h"

#include <algorithm>
#include <cstdint>

#include "sim/imagegen/ImageLayout.h"

namespace sim::devsim {

namespace {

constexpr std::uint32_t kBlockSize = image::kBlockSize;
constexpr std::uint64_t kFlashSize = std::uint64_t{FlashModel::kBlockCount} * kBlockSize;

// Calls fn(word, mask) for each 64-bit word that bits [from, to) of a bitmap touch; fn returns
// true to stop early. The callers' ranges never leave one block.
template <typename Fn>
bool ForEachWord(std::uint32_t from, std::uint32_t to, Fn fn) {
    while (from < to) {
        std::uint32_t shift = from % 64;
        std::uint32_t count = std::min<std::uint32_t>(64 - shift, to - from);
        std::uint64_t mask = (count == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << count) - 1))
                             << shift;
        if (fn(from / 64, mask)) {
            return true;
        }
        from += count;
    }
    return false;
}

bool AnySet(const std::vector<std::uint64_t>& bits, std::uint32_t from, std::uint32_t to) {
    return ForEachWord(from, to, [&bits](std::uint32_t word, std::uint64_t mask) {
        return (bits[word] & mask) != 0;
    });
}

void SetBits(std::vector<std::uint64_t>& bits, std::uint32_t from, std::uint32_t to) {
    ForEachWord(from, to, [&bits](std::uint32_t word, std::uint64_t mask) {
        bits[word] |= mask;
        return false;
    });
}

// Calls fn(block, offset, count, done) for each piece of [address, address + length) that lies
// in one block, `done` bytes into the range; fn returns true to stop early.
template <typename Fn>
bool ForEachBlockPiece(std::uint64_t address, std::uint64_t length, Fn fn) {
    for (std::uint64_t pos = address, end = address + length; pos < end;) {
        auto block = static_cast<std::uint32_t>(pos / kBlockSize);
        auto offset = static_cast<std::uint32_t>(pos % kBlockSize);
        auto count =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlockSize - offset, end - pos));
        if (fn(block, offset, count, static_cast<std::size_t>(pos - address))) {
            return true;
        }
        pos += count;
    }
    return false;
}

}  // namespace

std::int32_t FlashModel::Erase(std::uint32_t firstBlock, std::uint32_t lastBlock) {
    if (firstBlock > lastBlock || lastBlock >= kBlockCount) {
        return kErrAddress;
    }
    for (std::uint32_t b = firstBlock; b <= lastBlock; ++b) {
        m_blocks[b] = Block{};
    }
    return 0;
}

std::int32_t FlashModel::Write(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (std::uint64_t{address} + data.size() > kFlashSize) {
        return kErrAddress;
    }
    // Check the whole range first so that a refused write leaves the flash as it was.
    const bool refused = ForEachBlockPiece(
        address, data.size(),
        [this](std::uint32_t block, std::uint32_t offset, std::uint32_t count, std::size_t) {
            auto it = m_blocks.find(block);
            return it == m_blocks.end() || (!it->second.programmed.empty() &&
                                            AnySet(it->second.programmed, offset, offset + count));
        });
    if (refused) {
        return kErrWrite;
    }
    ForEachBlockPiece(address, data.size(),
                      [this, data](std::uint32_t index, std::uint32_t offset, std::uint32_t count,
                                   std::size_t done) {
                          Block& block = m_blocks[index];
                          if (block.data.empty()) {
                              block.data.assign(kBlockSize, 0xFF);
                              block.programmed.assign(kBlockSize / 64, 0);
                          }
                          std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(done), count,
                                      block.data.begin() + offset);
                          SetBits(block.programmed, offset, offset + count);
                          return false;
                      });
    return 0;
}

std::uint16_t FlashModel::Sum16(std::uint32_t address, std::uint32_t length) const {
    if (std::uint64_t{address} + length > kFlashSize) {
        return 0;
    }
    std::uint32_t sum = 0;
    ForEachBlockPiece(
        address, length,
        [this, &sum](std::uint32_t block, std::uint32_t offset, std::uint32_t count, std::size_t) {
            auto it = m_blocks.find(block);
            if (it == m_blocks.end()) {
                sum += std::uint32_t{kOldContent} * count;
            } else if (it->second.data.empty()) {
                sum += 0xFFu * count;
            } else {
                sum = image::Sum16(std::span(it->second.data).subspan(offset, count),
                                   static_cast<std::uint16_t>(sum));
            }
            sum &= 0xFFFFu;
            return false;
        });
    return static_cast<std::uint16_t>(sum);
}

std::size_t FlashModel::BlocksWithData() const {
    return static_cast<std::size_t>(std::count_if(
        m_blocks.begin(), m_blocks.end(), [](const auto& b) { return !b.second.data.empty(); }));
}

}  // namespace sim::devsim

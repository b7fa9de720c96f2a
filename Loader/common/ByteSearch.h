// Byte searches over script texts, eight bytes at a time and without library calls: a text is
// split into lines and pairs with a few short searches a line, and the fuzzing build pays a
// sanitizer's check on every library call and a comparison hook on every byte of a plain loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The fuzzer learns nothing from a search's own branches, only from its callers' use of the
// result; uninstrumented, the searches cost the fuzzing build what they cost any other.
#if defined(__clang__)
#define ZR_BYTES_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define ZR_BYTES_NO_COVERAGE
#endif

namespace bytes {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

// Eight bytes, the first in the lowest bits.
inline std::uint64_t Word(const char* p) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

// The high bit of each byte of `word` equal to `c`; exact up to the first such byte.
inline std::uint64_t Matches(std::uint64_t word, char c) {
    const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(c));
    return (x - kOnes) & ~x & kHigh;
}

// The first `c` in `s` at or after `from`, or npos.
ZR_BYTES_NO_COVERAGE inline std::size_t Find(std::string_view s, char c, std::size_t from = 0) {
    std::size_t i = from;
    for (; i + 8 <= s.size(); i += 8) {
        if (const std::uint64_t m = Matches(Word(s.data() + i), c); m != 0) {
            return i + static_cast<std::size_t>(std::countr_zero(m)) / 8;
        }
    }
    for (; i < s.size(); ++i) {
        if (s[i] == c) {
            return i;
        }
    }
    return std::string_view::npos;
}

// No byte above 0x7F, so no double-byte character to step over.
ZR_BYTES_NO_COVERAGE inline bool IsAscii(std::string_view s) {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        if ((Word(s.data() + i) & kHigh) != 0) {
            return false;
        }
    }
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0x80U) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace bytes

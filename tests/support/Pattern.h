// Test data whose bytes differ from their neighbours and do not repeat with a short period, so
// that a lost, doubled or reordered piece shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

inline std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

}  // namespace testsupport

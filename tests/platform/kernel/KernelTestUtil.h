#pragma once

#include <cstdint>

#include "tests/support/Eventually.h"

namespace kernel_test {

// Bound for waits that must succeed; only a hang reaches it.
inline constexpr std::uint32_t kLong = 10000;

// Tells a test that other threads have reached a blocking wait.
template <class Pred>
bool Eventually(Pred pred) {
    return testsupport::Eventually(pred, kLong);
}

}  // namespace kernel_test

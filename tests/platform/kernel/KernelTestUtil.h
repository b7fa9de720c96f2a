#pragma once

#include <thread>

#include "platform/kernel/Clock.h"

namespace kernel_test {

// Bound for waits that must succeed; only a hang reaches it.
inline constexpr std::uint32_t kLong = 10000;

// Yields until pred holds; tells a test that other threads have reached a blocking wait.
template <class Pred>
bool Eventually(Pred pred) {
    const std::uint64_t giveUp = platform::kernel::TickCount() + kLong;
    while (!pred() && platform::kernel::TickCount() < giveUp) {
        std::this_thread::yield();
    }
    return pred();
}

}  // namespace kernel_test

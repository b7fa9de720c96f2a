// Waiting for another thread to reach a state the test can only observe, not be told about.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace testsupport {

// Yields until pred holds or guardMs pass; the guard only stops a hang.
template <class Pred>
bool Eventually(Pred pred, std::uint32_t guardMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(guardMs);
    while (!pred() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
    }
    return pred();
}

}  // namespace testsupport

#include "platform/kernel/Clock.h"

#include <chrono>
#include <thread>

namespace platform::kernel {

void Sleep(std::uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint64_t TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

namespace {

class RealClock final : public Clock {
  public:
    std::uint64_t NowMs() override { return TickCount(); }
    void SleepMs(std::uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock& SystemClock() {
    // Never destroyed: detached threads may still use it while the process exits.
    static RealClock* const clock = new RealClock;
    return *clock;
}

std::uint64_t ManualClock::NowMs() {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::SleepMs(std::uint32_t ms) {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(ms);
    now_ += ms;
}

void ManualClock::Advance(std::uint64_t ms) {
    std::lock_guard lock(mutex_);
    now_ += ms;
}

std::vector<std::uint32_t> ManualClock::Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

}  // namespace platform::kernel

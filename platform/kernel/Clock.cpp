#include "platform/kernel/Clock.h"

#include <chrono>
#include <thread>

#include "platform/kernel/Event.h"

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

int Clock::WaitAny(std::span<const std::shared_ptr<Event>> events, std::uint32_t timeoutMs) {
    return kernel::WaitAny(events, timeoutMs);
}

Clock& SystemClock() {
    // Never destroyed: detached threads may still use it while the process exits.
    static RealClock* const clock = new RealClock;
    return *clock;
}

}  // namespace platform::kernel

// Sleeping, tick counts, and a clock that code with waits and retries takes as a parameter so that
// tests can drive its time.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace platform::kernel {

// Blocks the calling thread for ms milliseconds; 0 only gives up the rest of its time slice.
void Sleep(std::uint32_t ms);

// Milliseconds since an arbitrary fixed point; monotonic (never jumps with the wall clock) and
// 64 bits wide, so differences never wrap.
std::uint64_t TickCount();

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint64_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t ms) = 0;
};

// The real clock: TickCount and Sleep. Lives for the whole process.
Clock& SystemClock();

// A clock for tests: time moves only when somebody sleeps on it or calls Advance, and every
// sleep returns at once and is recorded. Thread-safe.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(std::uint64_t startMs = 0) : now_(startMs) {}

    std::uint64_t NowMs() override;
    void SleepMs(std::uint32_t ms) override;  // advances the time by ms

    void Advance(std::uint64_t ms);
    std::vector<std::uint32_t> Sleeps() const;  // every SleepMs argument, in order

  private:
    mutable std::mutex mutex_;
    std::uint64_t now_;
    std::vector<std::uint32_t> sleeps_;
};

}  // namespace platform::kernel

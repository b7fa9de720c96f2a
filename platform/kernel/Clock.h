// Sleeping, tick counts, and a clock that code with waits and retries takes as a parameter so that
// tests can drive its time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace platform::kernel {

class Event;

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
    // WaitAny (Event.h) with the time-out counted on this clock. The real clock waits in real
    // time, as does a test clock unless it lets time-outs pass at once.
    virtual int WaitAny(std::span<const std::shared_ptr<Event>> events, std::uint32_t timeoutMs);
};

// The real clock: TickCount and Sleep. Lives for the whole process.
Clock& SystemClock();

}  // namespace platform::kernel

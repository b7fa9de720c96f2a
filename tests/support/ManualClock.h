// A clock for tests: time moves only when somebody sleeps on it or calls Advance, and every sleep
// returns at once and is recorded. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"

namespace testsupport {

class ManualClock final : public platform::kernel::Clock {
  public:
    explicit ManualClock(std::uint64_t startMs = 0) : m_now(startMs) {}

    std::uint64_t NowMs() override {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    // Advances the time by ms, then tells the hook (on the sleeping thread).
    void SleepMs(std::uint32_t ms) override {
        std::function<void(std::uint32_t)> hook;
        {
            std::lock_guard lock(m_mutex);
            m_sleeps.push_back(ms);
            m_now += ms;
            hook = m_hook;
        }
        if (hook) {
            hook(ms);
        }
    }
    // Once the test has said that nothing can signal the events any more, a wait whose events
    // are not signalled advances the time by its time-out and times out at once. Otherwise, and
    // without a limit, it waits in real time.
    int WaitAny(std::span<const std::shared_ptr<platform::kernel::Event>> events,
                std::uint32_t timeoutMs) override {
        bool bAtOnce = false;
        {
            std::lock_guard lock(m_mutex);
            bAtOnce = m_bTimeoutsAtOnce && timeoutMs != platform::kernel::kInfinite;
        }
        if (!bAtOnce) {
            return platform::kernel::WaitAny(events, timeoutMs);
        }
        const int result = platform::kernel::WaitAny(events, 0);
        if (result == platform::kernel::kTimeout) {
            Advance(timeoutMs);
        }
        return result;
    }
    void SetTimeoutsPassAtOnce(bool bAtOnce) {
        std::lock_guard lock(m_mutex);
        m_bTimeoutsAtOnce = bAtOnce;
    }

    void Advance(std::uint64_t ms) {
        std::lock_guard lock(m_mutex);
        m_now += ms;
    }
    // Every SleepMs argument, in order.
    std::vector<std::uint32_t> Sleeps() const {
        std::lock_guard lock(m_mutex);
        return m_sleeps;
    }
    void SetHook(std::function<void(std::uint32_t)> hook) {
        std::lock_guard lock(m_mutex);
        m_hook = std::move(hook);
    }

  private:
    mutable std::mutex m_mutex;
    std::uint64_t m_now;
    std::vector<std::uint32_t> m_sleeps;
    bool m_bTimeoutsAtOnce = false;
    std::function<void(std::uint32_t)> m_hook;
};

}  // namespace testsupport

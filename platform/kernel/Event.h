// Events and waits on them, the way the program's threads signal each other.
//
// An event is manual-reset (stays set until Reset, releases every waiter) or automatic-reset (a
// wait that succeeds clears it, so each Set releases exactly one waiter; a Set with nobody waiting
// stays pending until one wait takes it). Events are shared through std::shared_ptr<Event>.
//
// Named events are process-wide: the first Named() call for a name creates the object and decides
// its reset kind and initial state; later calls for the same name get that very object and their
// kind and state arguments are ignored. The name is free again once the last owner let go.
//
// All operations are thread-safe and never throw; waits block without spinning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::kernel {

// Time-out value that never expires.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// Results of WaitOne and WaitAny besides the index of the signalled event.
inline constexpr int kTimeout = -1;
inline constexpr int kFailed = -2;  // bad arguments: no events, more than kMaxWaitObjects, a null

// Largest set WaitAny accepts.
inline constexpr std::size_t kMaxWaitObjects = 64;

namespace detail {
struct Waiter;
struct WaitOps;
}  // namespace detail

class Event {
    struct Token {
        explicit Token() = default;
    };

  public:
    // An unnamed event.
    static std::shared_ptr<Event> Create(bool manualReset, bool initiallySet);

    // The process-wide event of that name (case-sensitive); created on first use. An empty name
    // gives a new unnamed event.
    static std::shared_ptr<Event> Named(std::string_view name, bool manualReset, bool initiallySet);

    // Signals: releases all waiters (manual) or exactly one (automatic; pending when nobody waits).
    void Set();
    void Reset();

    // Zero-time wait: true when signalled. Like every successful wait it takes the signal of an
    // automatic-reset event, so a second call sees it cleared; a manual-reset event stays set.
    bool TryConsume();

    // True when signalled within the time-out (kInfinite: no limit).
    bool Wait(std::uint32_t timeoutMs);

    bool IsManualReset() const { return manual_; }
    const std::string& Name() const { return name_; }  // empty for unnamed events

    // Waits blocked on this event right now; lets tests know that a thread has reached its wait.
    std::size_t WaiterCount() const;

    Event(Token, std::string name, bool manualReset, bool initiallySet);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

  private:
    friend struct detail::WaitOps;

    struct Registration {
        detail::Waiter* waiter;
        int index;  // position of this event in the waiter's set
    };

    const std::string name_;
    const bool manual_;
    // Guarded by the kernel's one lock, shared by all events so that a wait on several of them
    // sees and takes their states at once.
    bool signalled_;
    std::vector<Registration> waiters_;  // in arrival order: an automatic event serves the oldest
};

// Waits for one event. Result: 0 when signalled, kTimeout, or kFailed for a null event.
int WaitOne(const std::shared_ptr<Event>& event, std::uint32_t timeoutMs);

// Waits until any of the events is signalled. Result: the index of the event that released the
// wait (the lowest index among those already signalled when the call begins), kTimeout, or
// kFailed. Only the event reported is taken; automatic events elsewhere in the set keep their
// signal. The same event may appear twice; its lower index is reported.
int WaitAny(std::span<const std::shared_ptr<Event>> events, std::uint32_t timeoutMs);

}  // namespace platform::kernel

#include "platform/kernel/Event.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace platform::kernel {

namespace {

// One lock for every event and the name table: a wait on several events must test and take
// their states in one step, and contention is small (a handful of threads).
struct KernelState {
    std::mutex mutex;
    std::unordered_map<std::string, std::weak_ptr<Event>> names;
};

KernelState& Kernel() {
    // Never destroyed: detached threads may still set events while the process exits.
    static KernelState* const state = new KernelState;
    return *state;
}

}  // namespace

namespace detail {

// One blocked wait, living on the waiting thread's stack. A Set hands the wait its result
// directly, so a wake-up can neither be lost nor stolen by a later wait.
struct Waiter {
    std::condition_variable cv;
    int released = -1;  // index of the event that released the wait
};

struct WaitOps {
    // Called with the kernel lock held.
    static bool TryTake(Event& e) {
        if (!e.signalled_) {
            return false;
        }
        if (!e.manual_) {
            e.signalled_ = false;
        }
        return true;
    }

    static void Release(Event::Registration& r) {
        r.waiter->released = r.index;
        // Under the lock: the waiter may return and destroy its cv as soon as the lock is free.
        r.waiter->cv.notify_one();
    }

    static void Unregister(Event& e, const Waiter* w) {
        std::erase_if(e.waiters_, [w](const Event::Registration& r) { return r.waiter == w; });
    }

    static int Wait(Event* const* events, std::size_t count, std::uint32_t timeoutMs) {
        std::unique_lock lock(Kernel().mutex);
        for (std::size_t i = 0; i < count; ++i) {
            if (TryTake(*events[i])) {
                return static_cast<int>(i);
            }
        }
        if (timeoutMs == 0) {
            return kTimeout;
        }

        Waiter waiter;
        for (std::size_t i = 0; i < count; ++i) {
            events[i]->waiters_.push_back({&waiter, static_cast<int>(i)});
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (waiter.released < 0) {
            if (timeoutMs == kInfinite) {
                waiter.cv.wait(lock);
            } else if (waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                break;  // a release that came with the time-out still counts
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            Unregister(*events[i], &waiter);
        }
        return waiter.released >= 0 ? waiter.released : kTimeout;
    }
};

}  // namespace detail

using detail::WaitOps;

Event::Event(Token, std::string name, bool manualReset, bool initiallySet)
    : name_(std::move(name)), manual_(manualReset), signalled_(initiallySet) {}

Event::~Event() {
    if (name_.empty()) {
        return;
    }
    std::lock_guard lock(Kernel().mutex);
    auto& names = Kernel().names;
    // The name may already belong to a newer event created after our last owner let go.
    if (auto it = names.find(name_); it != names.end() && it->second.expired()) {
        names.erase(it);
    }
}

std::shared_ptr<Event> Event::Create(bool manualReset, bool initiallySet) {
    return std::make_shared<Event>(Token{}, std::string(), manualReset, initiallySet);
}

std::shared_ptr<Event> Event::Named(std::string_view name, bool manualReset, bool initiallySet) {
    if (name.empty()) {
        return Create(manualReset, initiallySet);
    }
    std::lock_guard lock(Kernel().mutex);
    std::weak_ptr<Event>& slot = Kernel().names[std::string(name)];
    if (auto existing = slot.lock()) {
        return existing;
    }
    auto created = std::make_shared<Event>(Token{}, std::string(name), manualReset, initiallySet);
    slot = created;
    return created;
}

void Event::Set() {
    std::lock_guard lock(Kernel().mutex);
    for (Registration& r : waiters_) {
        if (r.waiter->released >= 0) {
            continue;  // already released by another event of its set
        }
        WaitOps::Release(r);
        if (!manual_) {
            return;  // the signal went to this waiter; the event stays clear
        }
    }
    signalled_ = true;
}

void Event::Reset() {
    std::lock_guard lock(Kernel().mutex);
    signalled_ = false;
}

bool Event::TryConsume() {
    std::lock_guard lock(Kernel().mutex);
    return WaitOps::TryTake(*this);
}

bool Event::Wait(std::uint32_t timeoutMs) {
    Event* self = this;
    return WaitOps::Wait(&self, 1, timeoutMs) == 0;
}

std::size_t Event::WaiterCount() const {
    std::lock_guard lock(Kernel().mutex);
    return static_cast<std::size_t>(
        std::count_if(waiters_.begin(), waiters_.end(),
                      [](const Registration& r) { return r.waiter->released < 0; }));
}

int WaitOne(const std::shared_ptr<Event>& event, std::uint32_t timeoutMs) {
    if (!event) {
        return kFailed;
    }
    Event* raw = event.get();
    return WaitOps::Wait(&raw, 1, timeoutMs);
}

int WaitAny(std::span<const std::shared_ptr<Event>> events, std::uint32_t timeoutMs) {
    if (events.empty() || events.size() > kMaxWaitObjects) {
        return kFailed;
    }
    std::array<Event*, kMaxWaitObjects> raw{};
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (!events[i]) {
            return kFailed;
        }
        raw[i] = events[i].get();
    }
    return WaitOps::Wait(raw.data(), events.size(), timeoutMs);
}

}  // namespace platform::kernel

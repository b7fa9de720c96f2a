#include "platform/kernel/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace platform::kernel {

namespace detail {

// Everything the thread and its handles share; outlives the thread object.
struct ThreadState {
    enum class Phase { kNew, kSuspended, kRunning, kEnded };

    std::mutex mutex;
    std::condition_variable cv;  // resume, cancel, and new messages
    Phase phase = Phase::kNew;
    bool cancelled = false;  // destroyed while suspended: end without touching the object
    std::thread::id id;
    std::deque<Message> queue;
    std::optional<int> exitCode;
    // Set last, after which the thread touches nothing but this state.
    const std::shared_ptr<Event> finished = Event::Create(true, false);
};

}  // namespace detail

using Phase = detail::ThreadState::Phase;

namespace {

void Finish(detail::ThreadState& state, int exitCode) {
    {
        std::lock_guard lock(state.mutex);
        state.exitCode = exitCode;
        state.phase = Phase::kEnded;
        state.queue.clear();
    }
    state.finished->Set();
}

void ApplyPriority(Priority priority) {
    // Nice values are per thread and inherited from the creating thread; measure from the
    // process's main thread so that a raised thread's children are not raised twice.
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (base == -1 && errno != 0) {
        return;
    }
    const int wanted = priority == Priority::kAboveNormal ? base - 1 : base;
    const auto tid = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (current == wanted || (current == -1 && errno != 0)) {
        return;
    }
    // Raising needs privilege; without it the thread simply stays as it is.
    static_cast<void>(setpriority(PRIO_PROCESS, tid, wanted));
}

int Post(detail::ThreadState& state, const Message& msg) {
    std::lock_guard lock(state.mutex);
    if (state.phase == Phase::kNew || state.phase == Phase::kEnded || state.cancelled) {
        return 0;
    }
    state.queue.push_back(msg);
    state.cv.notify_all();
    return 1;
}

Message QuitMessage(int exitCode) {
    return Message{kQuitMessage, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(exitCode)),
                   0};
}

}  // namespace

bool ThreadHandle::Wait(std::uint32_t timeoutMs) const {
    return state_ && state_->finished->Wait(timeoutMs);
}

std::optional<int> ThreadHandle::ExitCode() const {
    if (!state_) {
        return std::nullopt;
    }
    std::lock_guard lock(state_->mutex);
    return state_->exitCode;
}

int ThreadHandle::PostMessage(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) const {
    return state_ ? Post(*state_, Message{message, wParam, lParam}) : 0;
}

int ThreadHandle::PostQuit(int exitCode) const {
    return state_ ? Post(*state_, QuitMessage(exitCode)) : 0;
}

WorkerThread::WorkerThread() : state_(std::make_shared<detail::ThreadState>()) {}

WorkerThread::~WorkerThread() {
    std::unique_lock lock(state_->mutex);
    switch (state_->phase) {
        case Phase::kNew:
            lock.unlock();
            Finish(*state_, 0);  // no thread will ever come: release anyone holding a handle
            return;
        case Phase::kSuspended:
            state_->cancelled = true;
            state_->cv.notify_all();
            break;
        case Phase::kRunning:
            if (state_->id == std::this_thread::get_id()) {
                // The thread deleting its own object, after ExitInstance.
                if (thread_.joinable()) {
                    thread_.detach();
                }
                return;
            }
            // The owner broke the rule to wait first; at least do not free the state under it.
            break;
        case Phase::kEnded:
            break;
    }
    lock.unlock();
    state_->finished->Wait(kInfinite);
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool WorkerThread::StartOwned(std::unique_ptr<WorkerThread> thread, Priority priority) {
    WorkerThread* object = thread.get();
    object->autoDelete_ = true;
    return object->Start(std::move(thread), priority) == 1;
}

int WorkerThread::Create(Priority priority) {
    return Start(nullptr, priority);
}

int WorkerThread::Start(std::unique_ptr<WorkerThread> owned, Priority priority) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->phase != Phase::kNew) {
            return 0;
        }
        state_->phase = Phase::kSuspended;
    }
    try {
        // The thread adopts the object only once it surely exists; if creation fails, `owned`
        // still holds it and destroys it on the way out.
        std::thread thread(&WorkerThread::ThreadMain, state_, this, owned.get(), priority);
        {
            std::lock_guard lock(state_->mutex);
            state_->id = thread.get_id();
        }
        if (owned) {
            thread.detach();  // the thread deletes its object, with nobody left to join it
        } else {
            thread_ = std::move(thread);
        }
    } catch (const std::exception&) {
        std::lock_guard lock(state_->mutex);
        state_->phase = Phase::kNew;
        return 0;
    }
    static_cast<void>(owned.release());  // adopted by ThreadMain
    return 1;
}

void WorkerThread::ThreadMain(std::shared_ptr<detail::ThreadState> state, WorkerThread* self,
                              WorkerThread* adopted, Priority priority) {
    std::unique_ptr<WorkerThread> owned(adopted);
    {
        std::unique_lock lock(state->mutex);
        state->cv.wait(lock, [&] { return state->phase == Phase::kRunning || state->cancelled; });
        if (state->cancelled) {
            // Somebody else is destroying the object; it is not ours to delete any more.
            static_cast<void>(owned.release());
            lock.unlock();
            Finish(*state, 0);
            return;
        }
    }
    ApplyPriority(priority);
    const int exitCode = self->RunHooks();
    owned.reset();
    Finish(*state, exitCode);
}

int WorkerThread::RunHooks() {
    if (!InitInstance()) {
        return FinishInstance();
    }
    const int exitCode = Run();
    FinishInstance();  // nothing left to do when Run ended through the message loop
    return exitCode;
}

int WorkerThread::FinishInstance() {
    if (!exited_) {
        exited_ = true;
        exitResult_ = ExitInstance();
    }
    return exitResult_;
}

int WorkerThread::Resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->phase != Phase::kSuspended || state_->cancelled) {
        return 0;
    }
    state_->phase = Phase::kRunning;
    state_->cv.notify_all();
    return 1;
}

int WorkerThread::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return Post(*state_, Message{message, wParam, lParam});
}

int WorkerThread::PostQuit(int exitCode) {
    return Post(*state_, QuitMessage(exitCode));
}

int WorkerThread::ExitInstance() {
    return quitCode_;
}

int WorkerThread::RunMessageLoop() {
    Message msg;
    while (GetMessage(msg)) {
        OnMessage(msg);
    }
    quitCode_ = static_cast<int>(static_cast<std::intptr_t>(msg.wParam));
    return FinishInstance();
}

bool WorkerThread::GetMessage(Message& msg) {
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [this] { return !state_->queue.empty(); });
    msg = state_->queue.front();
    state_->queue.pop_front();
    return msg.message != kQuitMessage;
}

bool WorkerThread::PeekMessage(Message& msg, bool remove) {
    std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) {
        return false;
    }
    msg = state_->queue.front();
    if (remove) {
        state_->queue.pop_front();
    }
    return true;
}

}  // namespace platform::kernel

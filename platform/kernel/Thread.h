// Worker threads with a message queue, in the manner of a dialog toolkit's worker thread.
//
// Life of a thread:
//   1. Create (or CreateAutoDelete) starts the thread suspended: nothing of the object runs yet,
//      so the creator can set it up.
//   2. Resume lets it run: InitInstance; if that returns true, Run (by default the message loop,
//      which hands each message to OnMessage until a quit request arrives); then ExitInstance,
//      exactly once in every case, also when InitInstance returned false.
//   3. The exit code is what Run returns (RunMessageLoop returns ExitInstance's value, which by
//      default is the quit request's code); when InitInstance fails, ExitInstance's value.
//
// Ownership:
//   - CreateAutoDelete hands the object to its own thread, which destroys it once, on the thread,
//     after ExitInstance. The returned pointer serves to set the thread up and resume it; after
//     Resume it is valid only while the thread is known to be running.
//   - Create leaves the object to its owner, who must not destroy it before Handle().Wait() has
//     reported the end. Destroying it while still suspended is allowed: the thread then ends
//     without running any hook, with exit code 0 (as does the handle of a thread never created).
//   - A ThreadHandle outlives the object. Its Wait returns true only after the thread is done
//     with the object (an auto-delete object has been destroyed by then); the thread touches
//     nothing but the handle's state afterwards. Whoever cannot be sure the thread still runs
//     posts through the handle, never through the object.
// Threads run detached. Whoever creates one must resume it and, before the process leaves main,
// make it end and wait for its handle, so that no thread runs into static destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/kernel/Event.h"  // kInfinite

namespace platform::kernel {

enum class Priority {
    // The process's normal priority, also for a thread created by a raised one.
    kNormal,
    // One step above the process's normal priority where the system permits raising it (root,
    // CAP_SYS_NICE or RLIMIT_NICE); silently normal otherwise. Not cumulative: a thread created
    // by a raised thread is raised one step over the process, not over its creator.
    kAboveNormal,
};

// The message that ends a thread's message loop; its wParam carries the exit code.
inline constexpr std::uint32_t kQuitMessage = 0x0012;

struct Message {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

namespace detail {
struct ThreadState;
}

class ThreadHandle {
  public:
    ThreadHandle() = default;  // refers to no thread: Wait returns false, ExitCode is empty

    // True once the thread has completely finished (kInfinite: wait without limit).
    bool Wait(std::uint32_t timeoutMs) const;

    // The exit code once the thread has finished; empty before.
    [[nodiscard]] std::optional<int> ExitCode() const;

    // As WorkerThread::PostMessage and PostQuit, but safe while the object may be gone (an
    // auto-delete thread after its quit request): 0 once the thread has ended.
    int PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const;
    int PostQuit(int exitCode) const;

    explicit operator bool() const { return state_ != nullptr; }

  private:
    friend class WorkerThread;
    explicit ThreadHandle(std::shared_ptr<detail::ThreadState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::ThreadState> state_;
};

class WorkerThread {
  public:
    WorkerThread();
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread of an object that the thread will own, suspended. Returns the object, or
    // null when no thread could be created (the object is then destroyed).
    template <class T>
    [[nodiscard]] static T* CreateAutoDelete(std::unique_ptr<T> thread,
                                             Priority priority = Priority::kNormal) {
        static_assert(std::is_base_of_v<WorkerThread, T>);
        T* object = thread.get();
        return StartOwned(std::move(thread), priority) ? object : nullptr;
    }

    // Starts the thread of an object its owner keeps, suspended. 1 = created; 0 = failed or the
    // thread was created before.
    [[nodiscard]] int Create(Priority priority = Priority::kNormal);

    // Lets the suspended thread run. 1 = it was suspended and runs now; 0 otherwise.
    int Resume();

    // Appends a message to the thread's queue; allowed from any thread, also while suspended.
    // 0 when the thread was never created or has ended.
    int PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    // Asks the message loop to end with this exit code, after the messages already queued.
    // Messages queued after it are never delivered.
    int PostQuit(int exitCode);

    ThreadHandle Handle() const { return ThreadHandle(state_); }
    bool IsAutoDelete() const { return autoDelete_; }

  protected:
    // Runs first on the new thread; false ends the thread at once (ExitInstance still runs).
    virtual bool InitInstance() { return true; }

    // The thread's work; the result is the exit code. An override that ends with
    // `return RunMessageLoop();` handles a quit request it posted to itself and so ends through
    // ExitInstance; one that returns otherwise gets ExitInstance called after it.
    virtual int Run() { return RunMessageLoop(); }

    // Last hook on the thread, called once. Default: the code of the quit request (0 if none).
    virtual int ExitInstance();

    // Called by the message loop for every message but the quit request.
    virtual void OnMessage(const Message& msg) { static_cast<void>(msg); }

    // Handles messages until the quit request, then returns ExitInstance().
    int RunMessageLoop();

    // Takes the next message, blocking while the queue is empty. False for the quit request
    // (which is still stored in msg).
    bool GetMessage(Message& msg);

    // Looks at the next message without blocking: false when the queue is empty. With remove the
    // message is taken from the queue.
    bool PeekMessage(Message& msg, bool remove);

  private:
    static bool StartOwned(std::unique_ptr<WorkerThread> thread, Priority priority);
    int Start(std::unique_ptr<WorkerThread> owned, Priority priority);
    static void ThreadMain(std::shared_ptr<detail::ThreadState> state, WorkerThread* self,
                           WorkerThread* adopted, Priority priority);
    int RunHooks();
    int FinishInstance();

    std::shared_ptr<detail::ThreadState> state_;
    // Kept to be joined by the owner: its handle is signalled before the thread's thread-local
    // destructors have run, and a process that exits meanwhile would race them.
    std::thread thread_;
    bool autoDelete_ = false;
    // Used only on the thread itself.
    bool exited_ = false;
    int exitResult_ = 0;
    int quitCode_ = 0;
};

}  // namespace platform::kernel

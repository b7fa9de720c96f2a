// Critical sections: recursive locks, as the program's critical sections are (the owning thread
// may enter again and must leave as often as it entered).
//
// The ZR_* macros mark what a lock guards and which functions take or need it. They document the
// locking rules in the code and let clang's -Wthread-safety check them; other compilers ignore
// them.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ZR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZR_THREAD_ANNOTATION(x)
#endif

#define ZR_CAPABILITY(name) ZR_THREAD_ANNOTATION(capability(name))
#define ZR_SCOPED_CAPABILITY ZR_THREAD_ANNOTATION(scoped_lockable)
#define ZR_GUARDED_BY(lock) ZR_THREAD_ANNOTATION(guarded_by(lock))
#define ZR_PT_GUARDED_BY(lock) ZR_THREAD_ANNOTATION(pt_guarded_by(lock))
#define ZR_REQUIRES(...) ZR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZR_EXCLUDES(...) ZR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZR_ACQUIRE(...) ZR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZR_TRY_ACQUIRE(...) ZR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZR_RELEASE(...) ZR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The analysis knows no recursive locks: for code whose point is entering again.
#define ZR_NO_THREAD_SAFETY_ANALYSIS ZR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform::kernel {

class ZR_CAPABILITY("critical section") CriticalSection {
  public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Blocks until this thread owns the section; an owner enters again at once.
    void Lock() ZR_ACQUIRE() { mutex_.lock(); }

    // Only the owner may leave, once per entry.
    void Unlock() ZR_RELEASE() { mutex_.unlock(); }

    // Enters without blocking: true when this thread now owns the section.
    bool TryLock() ZR_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    std::recursive_mutex mutex_;
};

// Holds a critical section for the guard's scope.
class ZR_SCOPED_CAPABILITY CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CriticalSection& section) ZR_ACQUIRE(section) : section_(section) {
        section_.Lock();
    }
    ~CriticalSectionLock() ZR_RELEASE() { section_.Unlock(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CriticalSection& section_;
};

}  // namespace platform::kernel

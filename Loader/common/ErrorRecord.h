// The run's error record: where a failed run stopped and why. Process-wide, written by the
// thread that runs the script rows and by the port calls they make, read when the error log is
// written after a failure. Atomic fields keep readers on other threads race-free.
//
// Sections that run in parallel would otherwise write into each other's record between a
// failure and its log, so an execution thread binds a record of its own for its run and
// publishes it to the process's record when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

class CComLog;

// What went wrong (ErrContents), for every layer that writes the record.
enum ExecErrContents : std::int32_t {
    kErrStartup = -1,  // a start-up error, or a row the engine cannot carry out
    kErrStopped = -2,  // a stop event was seen
    kErrNoMemory = 1,
    kErrWriteFailed = 2,
    kErrNoModule = 3,  // an image with no module entry or no resource
    kErrNotLoadable = 4,
    kErrTooLarge = 5,  // an image larger than the buffer it is read into
    kErrImageFormat = 6,
    kErrWaitFailed = 7,  // a wait failed or timed out
    kErrDeviceError = 8,
    kErrImageTooSmall = 9,
    kErrD0Start = 10,
    kErrD0Announce = 11,
    kErrD0BlockAck = 12,
    kErrChecksum = 13,
    kErrWindow = 14,  // the [COMSTDIO] window is empty or larger than the fill buffer
};

struct ExecErrorRecord {
    static constexpr std::int32_t kStart = -1;

    std::atomic<std::int32_t> ExecIdx{kStart};
    std::atomic<std::int32_t> ExecInfo{kStart};
    std::atomic<std::int32_t> ExecDetail{kStart};
    std::atomic<std::int32_t> ErrContents{kStart};
    std::atomic<std::int32_t> ErrDetail{kStart};

    // Back to the start values, as at program start.
    void Reset();
    void CopyFrom(const ExecErrorRecord& other);
};

// The record the calling thread writes: its bound record, otherwise the process's.
ExecErrorRecord& ExecError();
// The one record of the process.
ExecErrorRecord& ProcessExecError();

// Binds `record` to the calling thread for the lifetime of the object.
class ScopedExecErrorBinding {
  public:
    explicit ScopedExecErrorBinding(ExecErrorRecord& record);
    ~ScopedExecErrorBinding();
    ScopedExecErrorBinding(const ScopedExecErrorBinding&) = delete;
    ScopedExecErrorBinding& operator=(const ScopedExecErrorBinding&) = delete;

  private:
    ExecErrorRecord* m_pPrevious;
};

// Stores four fields at once; ExecDetail keeps its value.
void SetExecError(std::int32_t execIdx, std::int32_t execInfo, std::int32_t errContents,
                  std::int32_t errDetail);

inline constexpr char kErrorLogName[] = "ZR40Loader_err.log";

// Opens the error log to be written from its start; 1 when `log` is open.
using ErrorLogOpener = std::function<int(CComLog& log)>;

// Where WriteErrorLog puts the log while the object lives (the latest one wins). Without one,
// kErrorLogName in the current directory, which suits a command run in a terminal; a program
// that works for someone else names its own place before its runs start.
class ScopedErrorLogPlace {
  public:
    explicit ScopedErrorLogPlace(ErrorLogOpener opener);
    ~ScopedErrorLogPlace();
    ScopedErrorLogPlace(const ScopedErrorLogPlace&) = delete;
    ScopedErrorLogPlace& operator=(const ScopedErrorLogPlace&) = delete;

  private:
    ErrorLogOpener m_previous;
};

// Writes the calling thread's record to the error log, replacing an earlier log. Returns 1 when
// the file could be written, 0 otherwise (the caller's failure path goes on).
int WriteErrorLog();

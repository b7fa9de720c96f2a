// A serial port (a tty device: USB serial function, UART or pseudo-terminal), opened exclusively
// and driven the way the update port and the modem port are used: configuration in separate steps,
// reads that never block, writes with a total time-out, and a "character received" wait for a
// watcher thread.
//
// Errors are values: every operation reports which step failed and the system error (errno).
// Callers that keep the Windows-style error record map them as follows:
//   Step::Open        -> ExecDetail 1      Step::QueueSize   -> ExecDetail 2
//   Step::GetSettings -> ExecDetail 3      Step::SetSettings -> ExecDetail 4
//   Step::Timeouts    -> ExecDetail 5      ErrDetail = Error::sysError in every case.
// Step::Gone means the device vanished (unplugged, or the simulator's pseudo-terminal master was
// closed); it stands for Windows error 31 (ERROR_GEN_FAILURE). A port that is in use elsewhere
// fails to open with Step::Open and EBUSY.
//
// Threads: one SerialPort may be used by several threads at once. Read (receive thread), Write
// (execution thread), WaitForInput (watcher thread), InputQueued and Purge run concurrently;
// Cancel, CancelWait and Rearm may be called from any thread. Close may be called while other
// threads are inside those calls: it aborts a blocked Write or WaitForInput and waits until every
// call has left before the descriptor is closed, so no call ever touches a reused descriptor. Open,
// Close, moves and destruction belong to the owner and must not overlap each other. WaitForInput is
// meant for one watcher thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace platform::serial {

// Which operation failed.
enum class Step : std::uint8_t {
    None,         // no failure
    Open,         // open, lock or claim the device (EBUSY: in use by another program or object)
    QueueSize,    // SetQueueSizes
    GetSettings,  // reading the line settings
    SetSettings,  // writing the line settings (EINVAL: a value the device does not take)
    Timeouts,     // SetTimeouts
    Write,        // ETIMEDOUT: total time-out passed; ECANCELED: Cancel or Close
    Read,
    Status,  // InputQueued
    Purge,
    // The device vanished; sysError is what the system reported (EIO, ENXIO, ENODEV). Reported
    // by Read, Write, InputQueued and Purge; the configuration steps keep their own step.
    Gone,
};

struct [[nodiscard]] Error {
    Step step = Step::None;
    int sysError = 0;

    // True when something failed, like std::error_code: `if (auto err = port.Open(name)) ...`.
    explicit operator bool() const noexcept { return step != Step::None; }
};

// Result of the calls that move bytes: how many were moved, even when the call failed part way.
struct [[nodiscard]] IoResult {
    std::size_t bytes = 0;
    Error error;
};

enum class Parity : std::uint8_t { None, Odd, Even, Mark, Space };

// Windows' "one and a half" has no Linux counterpart; it is applied as two stop bits (see
// SerialPort.cpp) and read back as Two.
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };

// Line settings. The defaults are the fixed settings of the update and modem ports.
struct LineSettings {
    std::uint32_t baudRate = 115200;  // a standard rate (50 ... 4,000,000); others are EINVAL
    int dataBits = 8;                 // 5 ... 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::OneAndHalf;
    bool hardwareFlowControl = true;  // CTS/RTS handshake
    bool dtr = true;                  // assert DTR; read back false where there is no such line
};

// Write time-out: multiplier * bytes + constant, counted from the start of each Write call. Both
// zero: no time-out (the write waits until done, cancelled or the device is gone). Reads always
// return at once with what is there.
struct Timeouts {
    std::uint32_t writeTotalMultiplierMs = 10;
    std::uint32_t writeTotalConstantMs = 5000;
};

struct QueueSizes {
    std::size_t in = 0;
    std::size_t out = 0;
};

// How Open claims the device. A Linux tty may be opened more than once; a shared open takes no
// claim (it is refused only while another opener holds the device with TIOCEXCL and this
// program is not root), so one function can serve two channels of the same program.
enum class Sharing : std::uint8_t { Exclusive, Shared };

enum class [[nodiscard]] WaitResult : std::uint8_t{
    Input,      // bytes arrived (and at least one is waiting)
    Cancelled,  // CancelWait, Cancel or Close
    Gone,       // the device vanished
    TimedOut,   // only with a time-out
    Failed,     // the port is closed, or the system refused the wait
};

// Test seam, because no pseudo-terminal refuses a configuration step: while a hook is set, every
// port shows it each configuration call (SetQueueSizes, GetSettings, SetSettings, SetTimeouts)
// with what is asked, before the device sees it; a nonzero result fails the call at its step
// with that system error. One hook per process; an empty one removes it.
struct ConfigurationCall {
    Step step = Step::None;
    QueueSizes queues;      // Step::QueueSize
    LineSettings settings;  // Step::SetSettings
    Timeouts timeouts;      // Step::Timeouts
};
void SetConfigurationHook(std::function<int(const ConfigurationCall&)> hook);

class SerialPort {
  public:
    SerialPort();
    ~SerialPort();  // closes
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;  // closes this port first
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens a device exclusively. A name containing '/' is a path (symlinks are followed), any
    // other name is a device under /dev ("ttyACM1"). A port that is already open here, or that
    // another program or SerialPort holds, fails with Step::Open (EALREADY here, EBUSY elsewhere).
    // A path that is not a tty fails with ENOTTY. Clears any earlier Cancel or CancelWait.
    Error Open(std::string_view name, Sharing sharing = Sharing::Exclusive);

    // Closes the device and releases the claim; true if it was open. Written bytes that have not
    // gone out yet are still sent (a real port may hold Close until they are); Purge(false, true)
    // first drops them.
    bool Close();
    bool IsOpen() const;

    // Linux serial drivers have no settable queues: the sizes are checked (1 byte ... 16 MiB)
    // and remembered only.
    Error SetQueueSizes(std::size_t in, std::size_t out);
    QueueSizes GetQueueSizes() const;

    Error GetSettings(LineSettings& settings) const;

    // Applies the settings on top of the device's current ones: raw mode (no echo, no line
    // editing, no signal characters, no output processing), XON/XOFF ignored in both directions,
    // received bytes passed on unchanged (no parity-error replacement, no byte stripped, breaks
    // not turned into NUL bytes), carrier ignored; other flags stay as they are. Fails only when
    // a value has no Linux form (EINVAL) or the system refuses a call: a driver may keep other
    // values than asked (a USB function has no real line, a pseudo-terminal forces 8 bits without
    // parity), and what it kept is read back and, with ZR40_DEBUG set (not empty), written to
    // stderr as one line. DTR is set through the modem lines; a device without modem lines (a
    // pseudo-terminal) is not a failure.
    Error SetSettings(const LineSettings& settings);

    Error SetTimeouts(const Timeouts& timeouts);

    // Takes what is waiting, up to n bytes, and never blocks: 0 bytes when nothing is there.
    IoResult Read(void* buffer, std::size_t n);

    // Writes all n bytes within the total time-out; on failure `bytes` tells how many the driver
    // took. Like any Linux write, success means queued in the driver, not yet on the wire.
    IoResult Write(const void* buffer, std::size_t n);

    // The "character received" wait: returns Input once bytes have arrived since the last Input
    // (the first wait after Open also reports bytes that were already waiting). Bytes left unread
    // do not wake the next wait again, so a watcher never spins on them. Cancelled wins over
    // Gone, Gone over Input. timeoutMs < 0: no time-out.
    WaitResult WaitForInput(int timeoutMs = -1);

    // Makes WaitForInput return Cancelled, now and at every later call, until Rearm. Issued
    // before the wait starts, it still takes effect.
    void CancelWait();

    // Like CancelWait, and also makes Write stop with ECANCELED, now and until Rearm.
    void Cancel();

    // Undoes Cancel and CancelWait.
    void Rearm();

    // Bytes waiting to be read.
    IoResult InputQueued() const;

    // Drops waiting input and/or output not yet sent.
    Error Purge(bool input, bool output);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::serial

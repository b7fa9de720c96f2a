#include "platform/serial/SerialPort.h"

#include "platform/fd/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace platform::serial {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxQueueSize = std::size_t{16} << 20;

// Writes longer than this have no practical deadline; it also keeps the clock arithmetic in range.
constexpr std::uint64_t kMaxWriteTimeoutMs = std::uint64_t{10} * 365 * 24 * 3600 * 1000;

using fd::UniqueFd;

struct Speed {
    std::uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    for (const Speed& s : kSpeeds) {
        if (s.rate == rate) {
            return s.code;
        }
    }
    return std::nullopt;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) {
            return s.rate;
        }
    }
    return 0;
}

tcflag_t SizeFlag(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

int DataBits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// What the system reports once a tty has been hung up or its device removed.
bool IsGoneError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

// A hung-up tty, or a pseudo-terminal whose master was closed, reports POLLHUP without being asked.
bool HungUp(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(eventFd, &one, sizeof one);
}

void Drain(int eventFd) {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t r = ::read(eventFd, &value, sizeof value);
}

int PollTimeout(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Bits that SetSettings decides; everything else on the device is kept.
constexpr tcflag_t kInputBits = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                                ICRNL | IUCLC | IXON | IXANY | IXOFF;
constexpr tcflag_t kLocalBits = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t kControlBits =
    CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CREAD | CLOCAL;

std::mutex& HookLock() {
    static std::mutex lock;
    return lock;
}

std::function<int(const ConfigurationCall&)>& Hook() {
    static std::function<int(const ConfigurationCall&)> hook;
    return hook;
}

// The system error the test hook chose for this call; 0 without a hook.
int HookError(const ConfigurationCall& call) {
    std::function<int(const ConfigurationCall&)> hook;
    {
        std::lock_guard guard(HookLock());
        hook = Hook();
    }
    return hook ? hook(call) : 0;
}

// Drivers may keep other line values than asked; that is no failure, but someone chasing a link
// problem wants to see it.
void ReportKeptSettings(const std::string& path, const termios& want, const termios& got) {
    const char* debug = std::getenv("ZR40_DEBUG");
    if (debug == nullptr || *debug == '\0') {
        return;
    }
    std::fprintf(stderr,
                 "serial %s: line settings read back differ (set/read): cflag %#x/%#x iflag "
                 "%#x/%#x oflag %#x/%#x lflag %#x/%#x baud %u/%u\n",
                 path.c_str(), want.c_cflag & kControlBits, got.c_cflag & kControlBits,
                 want.c_iflag & kInputBits, got.c_iflag & kInputBits, want.c_oflag & OPOST,
                 got.c_oflag & OPOST, want.c_lflag & kLocalBits, got.c_lflag & kLocalBits,
                 SpeedRate(::cfgetospeed(&want)), SpeedRate(::cfgetospeed(&got)));
}

}  // namespace

void SetConfigurationHook(std::function<int(const ConfigurationCall&)> hook) {
    std::lock_guard guard(HookLock());
    Hook() = std::move(hook);
}

struct SerialPort::Impl {
    // Guards the descriptors' lifetime: calls register as users, Close waits until none is left.
    mutable std::mutex lock;
    std::condition_variable idle;
    int users = 0;

    UniqueFd port;
    std::string path;    // as opened, for the debug line
    UniqueFd epoll;      // the port (edge-triggered input) and waitWake
    UniqueFd waitWake;   // readable while WaitForInput must end
    UniqueFd writeWake;  // readable while Write must stop

    // Changed under `lock` together with the wake descriptors, read without it.
    std::atomic<bool> waitCancelled{false};
    std::atomic<bool> writeCancelled{false};
    std::atomic<bool> closing{false};

    Timeouts timeouts;
    QueueSizes queues;

    bool Enter() {
        std::lock_guard guard(lock);
        if (!port.Valid() || closing) {
            return false;
        }
        ++users;
        return true;
    }

    void Leave() {
        std::lock_guard guard(lock);
        if (--users == 0) {
            idle.notify_all();
        }
    }

    bool WaitStopped() const { return waitCancelled.load() || closing.load(); }
    bool WriteStopped() const { return writeCancelled.load() || closing.load(); }

    // Registers a call as a user of the descriptors for its duration.
    class Use {
      public:
        explicit Use(Impl* impl) : impl_(impl != nullptr && impl->Enter() ? impl : nullptr) {}
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use() {
            if (impl_ != nullptr) {
                impl_->Leave();
            }
        }
        explicit operator bool() const { return impl_ != nullptr; }
        int Fd() const { return impl_->port.Get(); }

      private:
        Impl* impl_;
    };
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
    Close();
}

SerialPort::SerialPort(SerialPort&& other) noexcept : impl_(std::move(other.impl_)) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        Close();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

Error SerialPort::Open(std::string_view name, Sharing sharing) {
    if (!impl_) {
        impl_ = std::make_unique<Impl>();
    }
    if (IsOpen()) {
        return {Step::Open, EALREADY};
    }
    if (name.empty()) {
        return {Step::Open, ENOENT};
    }
    std::string path =
        name.find('/') != std::string_view::npos ? std::string(name) : "/dev/" + std::string(name);

    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return {Step::Open, errno};
    }
    UniqueFd port(fd);
    if (sharing == Sharing::Shared) {
        if (::isatty(port.Get()) != 1) {
            return {Step::Open, ENOTTY};
        }
    } else {
        // The lock comes first: claiming TIOCEXCL on a tty that another program holds would
        // lock that program out of its own port.
        int rc;
        do {
            rc = ::flock(port.Get(), LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            return {Step::Open, errno == EWOULDBLOCK ? EBUSY : errno};
        }
        // Refuses other opens by non-root programs that do not honour the lock. Also rejects
        // files that are not ttys (ENOTTY).
        if (::ioctl(port.Get(), TIOCEXCL) != 0) {
            return {Step::Open, errno};
        }
    }

    UniqueFd waitWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd writeWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!waitWake.Valid() || !writeWake.Valid() || !epoll.Valid()) {
        return {Step::Open, errno};
    }
    // Edge-triggered input is the "character received" event: each arrival wakes one wait, bytes
    // already reported do not.
    epoll_event portEvent{};
    portEvent.events = EPOLLIN | EPOLLET;
    portEvent.data.fd = port.Get();
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = waitWake.Get();
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, port.Get(), &portEvent) != 0 ||
        ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, waitWake.Get(), &wakeEvent) != 0) {
        return {Step::Open, errno};
    }

    std::lock_guard guard(impl_->lock);
    impl_->port = std::move(port);
    impl_->path = std::move(path);
    impl_->epoll = std::move(epoll);
    impl_->waitWake = std::move(waitWake);
    impl_->writeWake = std::move(writeWake);
    impl_->waitCancelled = false;
    impl_->writeCancelled = false;
    impl_->timeouts = Timeouts{};
    impl_->queues = QueueSizes{};
    return {};
}

bool SerialPort::Close() {
    if (!impl_) {
        return false;
    }
    Impl& impl = *impl_;
    std::unique_lock guard(impl.lock);
    if (!impl.port.Valid() || impl.closing) {
        return false;
    }
    impl.closing = true;
    Signal(impl.waitWake.Get());
    Signal(impl.writeWake.Get());
    impl.idle.wait(guard, [&impl] { return impl.users == 0; });

    ::ioctl(impl.port.Get(), TIOCNXCL);
    impl.epoll.Reset();
    impl.waitWake.Reset();
    impl.writeWake.Reset();
    impl.port.Reset();  // also releases the lock
    impl.waitCancelled = false;
    impl.writeCancelled = false;
    impl.closing = false;
    return true;
}

bool SerialPort::IsOpen() const {
    if (!impl_) {
        return false;
    }
    std::lock_guard guard(impl_->lock);
    return impl_->port.Valid() && !impl_->closing;
}

Error SerialPort::SetQueueSizes(std::size_t in, std::size_t out) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {Step::QueueSize, EBADF};
    }
    ConfigurationCall call;
    call.step = Step::QueueSize;
    call.queues = {in, out};
    if (int err = HookError(call)) {
        return {Step::QueueSize, err};
    }
    if (in == 0 || out == 0 || in > kMaxQueueSize || out > kMaxQueueSize) {
        return {Step::QueueSize, EINVAL};
    }
    std::lock_guard guard(impl_->lock);
    impl_->queues = {in, out};
    return {};
}

QueueSizes SerialPort::GetQueueSizes() const {
    if (!impl_) {
        return {};
    }
    std::lock_guard guard(impl_->lock);
    return impl_->queues;
}

Error SerialPort::GetSettings(LineSettings& settings) const {
    Impl::Use use(impl_.get());
    if (!use) {
        return {Step::GetSettings, EBADF};
    }
    ConfigurationCall call;
    call.step = Step::GetSettings;
    if (int err = HookError(call)) {
        return {Step::GetSettings, err};
    }
    termios t{};
    if (::tcgetattr(use.Fd(), &t) != 0) {
        return {Step::GetSettings, errno};
    }
    settings.baudRate = SpeedRate(::cfgetospeed(&t));
    settings.dataBits = DataBits(t.c_cflag);
    if ((t.c_cflag & PARENB) == 0) {
        settings.parity = Parity::None;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        settings.parity = (t.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
    } else {
        settings.parity = (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
    }
    settings.stopBits = (t.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
    settings.hardwareFlowControl = (t.c_cflag & CRTSCTS) != 0;
    int lines = 0;
    if (::ioctl(use.Fd(), TIOCMGET, &lines) == 0) {
        settings.dtr = (lines & TIOCM_DTR) != 0;
    } else if (errno == ENOTTY || errno == EINVAL) {
        settings.dtr = false;  // no modem lines (pseudo-terminal)
    } else {
        return {Step::GetSettings, errno};
    }
    return {};
}

Error SerialPort::SetSettings(const LineSettings& settings) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {Step::SetSettings, EBADF};
    }
    ConfigurationCall call;
    call.step = Step::SetSettings;
    call.settings = settings;
    if (int err = HookError(call)) {
        return {Step::SetSettings, err};
    }
    std::optional<speed_t> speed = SpeedCode(settings.baudRate);
    if (!speed || settings.dataBits < 5 || settings.dataBits > 8) {
        return {Step::SetSettings, EINVAL};
    }
    termios want{};
    if (::tcgetattr(use.Fd(), &want) != 0) {
        return {Step::SetSettings, errno};
    }
    // A break is a line condition, not data: it must not show up as a NUL byte in a frame.
    want.c_iflag = (want.c_iflag & ~kInputBits) | IGNBRK;
    want.c_oflag &= ~OPOST;
    want.c_lflag &= ~kLocalBits;
    want.c_cflag &= ~kControlBits;
    // The port is a USB function: carrier detect means nothing, and honouring it would hang the
    // port up whenever the device drops DCD.
    want.c_cflag |= SizeFlag(settings.dataBits) | CREAD | CLOCAL;
    switch (settings.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            want.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            want.c_cflag |= PARENB;
            break;
        case Parity::Mark:
            want.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::Space:
            want.c_cflag |= PARENB | CMSPAR;
            break;
    }
    // One and a half stop bits do not exist here. Two is the safe neighbour: a receiver that
    // expects 1.5 is satisfied by 2, and receivers only check the first stop bit, so incoming
    // frames with 1.5 are still taken. (USB serial functions ignore the value anyway.)
    if (settings.stopBits != StopBits::One) {
        want.c_cflag |= CSTOPB;
    }
    if (settings.hardwareFlowControl) {
        want.c_cflag |= CRTSCTS;
    }
    if (::cfsetispeed(&want, *speed) != 0 || ::cfsetospeed(&want, *speed) != 0) {
        return {Step::SetSettings, EINVAL};
    }
    // glibc reads back after the call has succeeded and turns parity, size or receiver bits that
    // the driver did not keep into EINVAL (the Linux call itself never fails with it): that is
    // the driver's choice, not a failure.
    if (::tcsetattr(use.Fd(), TCSANOW, &want) != 0 && errno != EINVAL) {
        return {Step::SetSettings, errno};
    }
    // Only reading back shows what the driver kept.
    termios got{};
    if (::tcgetattr(use.Fd(), &got) != 0) {
        return {Step::SetSettings, errno};
    }
    if ((got.c_iflag & kInputBits) != (want.c_iflag & kInputBits) ||
        (got.c_oflag & OPOST) != (want.c_oflag & OPOST) ||
        (got.c_lflag & kLocalBits) != (want.c_lflag & kLocalBits) ||
        (got.c_cflag & kControlBits) != (want.c_cflag & kControlBits) ||
        ::cfgetospeed(&got) != *speed || ::cfgetispeed(&got) != *speed) {
        ReportKeptSettings(impl_->path, want, got);
    }
    const unsigned long request = settings.dtr ? TIOCMBIS : TIOCMBIC;
    const int dtr = TIOCM_DTR;
    if (::ioctl(use.Fd(), request, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) {
        return {Step::SetSettings, errno};
    }
    return {};
}

Error SerialPort::SetTimeouts(const Timeouts& timeouts) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {Step::Timeouts, EBADF};
    }
    ConfigurationCall call;
    call.step = Step::Timeouts;
    call.timeouts = timeouts;
    if (int err = HookError(call)) {
        return {Step::Timeouts, err};
    }
    // O_NONBLOCK already makes reads return at once; VMIN/VTIME 0 keeps it so for anyone who
    // shares the device's settings.
    termios t{};
    if (::tcgetattr(use.Fd(), &t) != 0) {
        return {Step::Timeouts, errno};
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(use.Fd(), TCSANOW, &t) != 0) {
        return {Step::Timeouts, errno};
    }
    std::lock_guard guard(impl_->lock);
    impl_->timeouts = timeouts;
    return {};
}

IoResult SerialPort::Read(void* buffer, std::size_t n) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {0, {Step::Read, EBADF}};
    }
    if (n == 0) {
        return {};
    }
    for (;;) {
        ssize_t r = ::read(use.Fd(), buffer, n);
        if (r > 0) {
            return {static_cast<std::size_t>(r), {}};
        }
        if (r == 0) {
            // With VMIN 0 "nothing there" also reads as 0; a hung-up tty reads 0 for ever.
            if (HungUp(use.Fd())) {
                return {0, {Step::Gone, EIO}};
            }
            return {};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {};
        }
        return {0, {IsGoneError(errno) ? Step::Gone : Step::Read, errno}};
    }
}

IoResult SerialPort::Write(const void* buffer, std::size_t n) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {0, {Step::Write, EBADF}};
    }
    Timeouts timeouts;
    {
        std::lock_guard guard(impl_->lock);
        timeouts = impl_->timeouts;
    }
    std::optional<Clock::time_point> deadline;
    if (timeouts.writeTotalMultiplierMs != 0 || timeouts.writeTotalConstantMs != 0) {
        const std::uint64_t perByte = timeouts.writeTotalMultiplierMs;
        const std::uint64_t limit = kMaxWriteTimeoutMs - timeouts.writeTotalConstantMs;
        if (perByte == 0 || n <= limit / perByte) {
            deadline = Clock::now() +
                       std::chrono::milliseconds(perByte * n + timeouts.writeTotalConstantMs);
        }
    }

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t written = 0;
    const int fd = use.Fd();
    while (written < n) {
        if (impl_->WriteStopped()) {
            return {written, {Step::Write, ECANCELED}};
        }
        const std::size_t chunk = std::min<std::size_t>(n - written, SSIZE_MAX);
        ssize_t r = ::write(fd, bytes + written, chunk);
        if (r > 0) {
            written += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return {written, {IsGoneError(errno) ? Step::Gone : Step::Write, errno}};
        }
        if (deadline && Clock::now() >= *deadline) {
            return {written, {Step::Write, ETIMEDOUT}};
        }
        pollfd p[2] = {{fd, POLLOUT, 0}, {impl_->writeWake.Get(), POLLIN, 0}};
        int rc = ::poll(p, 2, deadline ? PollTimeout(*deadline) : -1);
        if (rc < 0 && errno != EINTR) {
            return {written, {Step::Write, errno}};
        }
        if (rc > 0 && (p[0].revents & (POLLHUP | POLLERR)) != 0) {
            return {written, {Step::Gone, EIO}};
        }
        if (rc > 0 && (p[0].revents & POLLNVAL) != 0) {
            return {written, {Step::Write, EBADF}};
        }
    }
    return {written, {}};
}

WaitResult SerialPort::WaitForInput(int timeoutMs) {
    Impl::Use use(impl_.get());
    if (!use) {
        return WaitResult::Failed;
    }
    // The edge-triggered hang-up may have been taken by an earlier wait; the level check here
    // keeps every later wait from blocking on a dead port.
    if (impl_->WaitStopped()) {
        return WaitResult::Cancelled;
    }
    if (HungUp(use.Fd())) {
        return WaitResult::Gone;
    }
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    for (;;) {
        epoll_event events[2];
        int count =
            ::epoll_wait(impl_->epoll.Get(), events, 2, deadline ? PollTimeout(*deadline) : -1);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Failed;
        }
        if (count == 0) {
            return WaitResult::TimedOut;
        }
        bool input = false;
        bool gone = false;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == use.Fd()) {
                gone = gone || (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
                input = input || (events[i].events & EPOLLIN) != 0;
            }
        }
        // The wake descriptor stays readable while a stop is pending; a Rearm may have come
        // in between, then the flags are clear again and the wait goes on.
        if (impl_->WaitStopped()) {
            return WaitResult::Cancelled;
        }
        if (gone) {
            return WaitResult::Gone;
        }
        if (input) {
            return WaitResult::Input;
        }
    }
}

void SerialPort::CancelWait() {
    if (!impl_) {
        return;
    }
    std::lock_guard guard(impl_->lock);
    if (impl_->port.Valid() && !impl_->closing) {
        impl_->waitCancelled = true;
        Signal(impl_->waitWake.Get());
    }
}

void SerialPort::Cancel() {
    if (!impl_) {
        return;
    }
    std::lock_guard guard(impl_->lock);
    if (impl_->port.Valid() && !impl_->closing) {
        impl_->waitCancelled = true;
        impl_->writeCancelled = true;
        Signal(impl_->waitWake.Get());
        Signal(impl_->writeWake.Get());
    }
}

void SerialPort::Rearm() {
    if (!impl_) {
        return;
    }
    std::lock_guard guard(impl_->lock);
    if (impl_->port.Valid() && !impl_->closing) {
        impl_->waitCancelled = false;
        impl_->writeCancelled = false;
        Drain(impl_->waitWake.Get());
        Drain(impl_->writeWake.Get());
    }
}

IoResult SerialPort::InputQueued() const {
    Impl::Use use(impl_.get());
    if (!use) {
        return {0, {Step::Status, EBADF}};
    }
    int waiting = 0;
    if (::ioctl(use.Fd(), TIOCINQ, &waiting) != 0) {
        return {0, {IsGoneError(errno) ? Step::Gone : Step::Status, errno}};
    }
    return {static_cast<std::size_t>(std::max(waiting, 0)), {}};
}

Error SerialPort::Purge(bool input, bool output) {
    Impl::Use use(impl_.get());
    if (!use) {
        return {Step::Purge, EBADF};
    }
    if (!input && !output) {
        return {};
    }
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(use.Fd(), queue) != 0) {
        return {IsGoneError(errno) ? Step::Gone : Step::Purge, errno};
    }
    return {};
}

}  // namespace platform::serial

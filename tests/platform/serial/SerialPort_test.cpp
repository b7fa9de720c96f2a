#include "platform/serial/SerialPort.h"
#include "tests/support/Pattern.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace platform::serial;

namespace {

using Bytes = std::vector<unsigned char>;

// The device side of a pseudo-terminal: the tests play the device on the master.
class Pty : public testsupport::PtyPair {
  public:
    void Send(std::string_view bytes) const {
        ASSERT_EQ(::write(Master(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Blocks until n bytes came from the port.
    Bytes Receive(std::size_t n) const {
        Bytes got(n);
        std::size_t have = 0;
        while (have < n) {
            ssize_t r = ::read(Master(), got.data() + have, n - have);
            if (r <= 0) {
                break;
            }
            have += static_cast<std::size_t>(r);
        }
        got.resize(have);
        return got;
    }
};

using testsupport::Pattern;

void OpenConfigured(SerialPort& port, const std::string& path, Timeouts timeouts = {}) {
    ASSERT_FALSE(port.Open(path));
    ASSERT_FALSE(port.SetQueueSizes(4096, 4096));
    LineSettings settings;
    ASSERT_FALSE(port.GetSettings(settings));
    ASSERT_FALSE(port.SetSettings(LineSettings{}));
    ASSERT_FALSE(port.SetTimeouts(timeouts));
}

// Waits for character events until `n` bytes are waiting.
void AwaitQueued(SerialPort& port, std::size_t n) {
    while (port.InputQueued().bytes < n) {
        ASSERT_EQ(port.WaitForInput(), WaitResult::Input);
    }
}

bool Is(Error e, Step step, int sysError) {
    return e.step == step && e.sysError == sysError;
}

// Room for this many bytes and more is never there while nobody reads the master.
constexpr std::size_t kMoreThanThePtyHolds = 256 * 1024;

TEST(SerialOpen, MissingDeviceFailsAtOpenWithTheSystemError) {
    SerialPort port;
    EXPECT_TRUE(Is(port.Open("/nonexistent/ttyZR40"), Step::Open, ENOENT));
    EXPECT_TRUE(Is(port.Open("zr40-no-such-tty"), Step::Open, ENOENT));  // under /dev
    EXPECT_TRUE(Is(port.Open(""), Step::Open, ENOENT));
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialOpen, FileThatIsNotATtyIsRefused) {
    char path[] = "/tmp/zr40serialXXXXXX";
    ASSERT_TRUE(platform::fd::UniqueFd(::mkstemp(path)).Valid());
    SerialPort port;
    EXPECT_TRUE(Is(port.Open(path), Step::Open, ENOTTY));
    EXPECT_FALSE(port.IsOpen());
    ::unlink(path);
}

TEST(SerialOpen, ClaimIsExclusiveUntilClosed) {
    Pty pty;
    SerialPort first;
    SerialPort second;
    ASSERT_FALSE(first.Open(pty.Path()));
    EXPECT_TRUE(Is(second.Open(pty.Path()), Step::Open, EBUSY));
    EXPECT_TRUE(Is(first.Open(pty.Path()), Step::Open, EALREADY));
    SerialPort moved(std::move(first));  // the claim moves along
    EXPECT_FALSE(first.IsOpen());        // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(Is(second.Open(pty.Path()), Step::Open, EBUSY));
    EXPECT_TRUE(moved.Close());
    EXPECT_FALSE(moved.Close());
    EXPECT_FALSE(second.Open(pty.Path()));
    second = SerialPort();  // the move closes what it replaces
    EXPECT_FALSE(first.Open(pty.Path()));
}

TEST(SerialOpen, SymlinkLeadsToTheSameClaimedDevice) {
    Pty pty;
    std::filesystem::path link =
        std::filesystem::temp_directory_path() / ("zr40serial-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty.Path(), link);
    SerialPort viaLink;
    SerialPort direct;
    EXPECT_FALSE(viaLink.Open(link.string()));
    EXPECT_TRUE(Is(direct.Open(pty.Path()), Step::Open, EBUSY));
    std::filesystem::remove(link);
}

// The claim must hold against other programs too, not only within this process.
TEST(SerialOpen, OtherProcessIsRefusedWhileThePortIsHeld) {
    Pty pty;
    auto childOpen = [&pty] {
        pid_t pid = ::fork();
        if (pid == 0) {
            SerialPort port;
            Error e = port.Open(pty.Path());
            ::_exit(!e ? 0 : e.step == Step::Open && e.sysError == EBUSY ? 1 : 2);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    SerialPort port;
    ASSERT_FALSE(port.Open(pty.Path()));
    EXPECT_EQ(childOpen(), 1);
    port.Close();
    EXPECT_EQ(childOpen(), 0);
}

TEST(SerialOpen, CallsOnAClosedPortFailAtTheirStep) {
    SerialPort port;
    unsigned char byte = 0;
    LineSettings settings;
    EXPECT_TRUE(Is(port.SetQueueSizes(4096, 4096), Step::QueueSize, EBADF));
    EXPECT_TRUE(Is(port.GetSettings(settings), Step::GetSettings, EBADF));
    EXPECT_TRUE(Is(port.SetSettings(settings), Step::SetSettings, EBADF));
    EXPECT_TRUE(Is(port.SetTimeouts({}), Step::Timeouts, EBADF));
    EXPECT_TRUE(Is(port.Read(&byte, 1).error, Step::Read, EBADF));
    EXPECT_TRUE(Is(port.Write(&byte, 1).error, Step::Write, EBADF));
    EXPECT_TRUE(Is(port.InputQueued().error, Step::Status, EBADF));
    EXPECT_TRUE(Is(port.Purge(true, true), Step::Purge, EBADF));
    EXPECT_EQ(port.WaitForInput(), WaitResult::Failed);
    port.Cancel();
    port.CancelWait();
    port.Rearm();
    EXPECT_FALSE(port.Close());
}

TEST(SerialSettings, FixedLineSettingsReachTheDevice) {
    Pty pty;
    SerialPort port;
    OpenConfigured(port, pty.Path());
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);  // a master reports its slave's settings
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u) << "one and a half stop bits are applied as two";
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_NE(t.c_iflag & IGNBRK, 0u) << "a break must not arrive as a NUL byte";
    EXPECT_EQ(t.c_cc[VMIN], 0);

    LineSettings read;
    ASSERT_FALSE(port.GetSettings(read));
    EXPECT_EQ(read.baudRate, 115200u);
    EXPECT_EQ(read.dataBits, 8);
    EXPECT_EQ(read.parity, Parity::None);
    EXPECT_EQ(read.stopBits, StopBits::Two);
    EXPECT_TRUE(read.hardwareFlowControl);
    EXPECT_FALSE(read.dtr);  // a pty has no modem lines; setting DTR was not a failure

    LineSettings plain;
    plain.stopBits = StopBits::One;
    plain.hardwareFlowControl = false;
    plain.baudRate = 9600;
    ASSERT_FALSE(port.SetSettings(plain));
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B9600));
}

TEST(SerialSettings, UnrelatedFlagsAreKept) {
    Pty pty;
    SerialPort port;
    ASSERT_FALSE(port.Open(pty.Path()));
    for (bool on : {true, false}) {
        termios t{};
        ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
        t.c_cflag = on ? (t.c_cflag | HUPCL) : (t.c_cflag & ~HUPCL);
        t.c_iflag = on ? (t.c_iflag | IUTF8) : (t.c_iflag & ~IUTF8);
        ASSERT_EQ(::tcsetattr(pty.Master(), TCSANOW, &t), 0);
        ASSERT_FALSE(port.SetSettings(LineSettings{}));
        ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
        EXPECT_EQ((t.c_cflag & HUPCL) != 0, on);
        EXPECT_EQ((t.c_iflag & IUTF8) != 0, on);
    }
}

TEST(SerialSettings, ValuesTheDeviceCannotTakeAreReported) {
    Pty pty;
    SerialPort port;
    ASSERT_FALSE(port.Open(pty.Path()));
    LineSettings s;
    s.baudRate = 12345;
    EXPECT_TRUE(Is(port.SetSettings(s), Step::SetSettings, EINVAL));
    s = LineSettings{};
    s.dataBits = 9;
    EXPECT_TRUE(Is(port.SetSettings(s), Step::SetSettings, EINVAL));
    EXPECT_FALSE(port.SetSettings(LineSettings{}));
}

// What the code under test writes to stderr in the meantime.
class StderrCapture {
  public:
    StderrCapture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
        if (file_ == nullptr || !saved_.Valid() || ::dup2(::fileno(file_), STDERR_FILENO) < 0) {
            ADD_FAILURE() << "cannot capture stderr: " << errno;
        }
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() { Take(); }

    std::string Take() {
        std::string text;
        if (saved_.Valid()) {
            ::dup2(saved_.Get(), STDERR_FILENO);
            saved_.Reset();
        }
        if (file_ != nullptr) {
            std::rewind(file_);
            for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
                text += static_cast<char>(c);
            }
            std::fclose(file_);
            file_ = nullptr;
        }
        return text;
    }

  private:
    std::FILE* file_;
    platform::fd::UniqueFd saved_;
};

// USB drivers ignore line values they have no use for, and the port must still open.
TEST(SerialSettings, ValuesTheDriverDoesNotKeepAreNoFailureAndShowInTheDebugLine) {
    Pty pty;
    SerialPort port;
    ASSERT_FALSE(port.Open(pty.Path()));
    LineSettings even;
    even.parity = Parity::Even;  // accepted by tcsetattr, silently dropped by a pty
    ::unsetenv("ZR40_DEBUG");
    {
        StderrCapture quiet;
        EXPECT_FALSE(port.SetSettings(even));
        EXPECT_EQ(quiet.Take(), "");
    }
    LineSettings kept;
    ASSERT_FALSE(port.GetSettings(kept));
    EXPECT_EQ(kept.parity, Parity::None);
    EXPECT_EQ(kept.baudRate, 115200u);

    ::setenv("ZR40_DEBUG", "1", 1);
    StderrCapture debug;
    EXPECT_FALSE(port.SetSettings(even));
    EXPECT_FALSE(port.SetSettings(LineSettings{}));  // all kept: nothing to say
    const std::string text = debug.Take();
    ::unsetenv("ZR40_DEBUG");
    EXPECT_EQ(text.rfind("serial " + pty.Path() + ": line settings read back differ", 0), 0u)
        << text;
    EXPECT_NE(text.find("baud 115200/115200\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(SerialSettings, QueueSizesAreCheckedAndRemembered) {
    Pty pty;
    SerialPort port;
    ASSERT_FALSE(port.Open(pty.Path()));
    EXPECT_FALSE(port.SetQueueSizes(4096, 2048));
    EXPECT_EQ(port.GetQueueSizes().in, 4096u);
    EXPECT_EQ(port.GetQueueSizes().out, 2048u);
    EXPECT_TRUE(Is(port.SetQueueSizes(0, 4096), Step::QueueSize, EINVAL));
    EXPECT_TRUE(Is(port.SetQueueSizes(4096, std::size_t{1} << 40), Step::QueueSize, EINVAL));
    EXPECT_EQ(port.GetQueueSizes().out, 2048u);
}

class SerialIo : public ::testing::Test {
  protected:
    void SetUp() override { OpenConfigured(port, pty.Path()); }
    Pty pty;
    SerialPort port;
};

TEST_F(SerialIo, ReadTakesWhatIsThereWithoutWaiting) {
    unsigned char buf[16];
    IoResult r = port.Read(buf, sizeof buf);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.bytes, 0u);
    pty.Send(std::string_view("\x00\x11\x13\r\n\x7f", 6));  // none of them may be interpreted
    AwaitQueued(port, 6);
    r = port.Read(buf, 4);
    ASSERT_FALSE(r.error);
    ASSERT_EQ(r.bytes, 4u);
    r = port.Read(buf + 4, sizeof buf - 4);
    ASSERT_EQ(r.bytes, 2u);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x00, 0x11, 0x13, '\r', '\n', 0x7f}));
    EXPECT_EQ(port.Read(buf, sizeof buf).bytes, 0u);
}

TEST_F(SerialIo, LargestFrameArrivesIntact) {
    const Bytes frame = Pattern(65560);
    auto received =
        std::async(std::launch::async, [this, &frame] { return pty.Receive(frame.size()); });
    IoResult r = port.Write(frame.data(), frame.size());
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.bytes, frame.size());
    EXPECT_EQ(received.get(), frame);
    EXPECT_EQ(port.Write(frame.data(), 0).bytes, 0u);
}

TEST_F(SerialIo, WriteTimesOutWhenTheDeviceTakesNothing) {
    ASSERT_FALSE(port.SetTimeouts({0, 20}));
    const Bytes data = Pattern(kMoreThanThePtyHolds);
    IoResult r = port.Write(data.data(), data.size());
    EXPECT_TRUE(Is(r.error, Step::Write, ETIMEDOUT));
    EXPECT_GT(r.bytes, 0u);
    EXPECT_LT(r.bytes, data.size());
    // What did go out is the start of the data, unchanged.
    EXPECT_EQ(pty.Receive(1024), Bytes(data.begin(), data.begin() + 1024));
}

// Starts a write that cannot finish and returns once it is under way.
std::future<IoResult> StartStalledWrite(SerialPort& port, const Pty& pty, const Bytes& data) {
    auto result = std::async(std::launch::async,
                             [&port, &data] { return port.Write(data.data(), data.size()); });
    EXPECT_EQ(pty.Receive(1).size(), 1u);
    return result;
}

TEST_F(SerialIo, CancelStopsABlockedWriteUntilRearmed) {
    const Bytes data = Pattern(kMoreThanThePtyHolds);
    auto pending = StartStalledWrite(port, pty, data);
    port.Cancel();
    IoResult r = pending.get();
    EXPECT_TRUE(Is(r.error, Step::Write, ECANCELED));
    EXPECT_LT(r.bytes, data.size());
    EXPECT_TRUE(Is(port.Write(data.data(), 1).error, Step::Write, ECANCELED));
    EXPECT_EQ(port.WaitForInput(), WaitResult::Cancelled);
    port.Rearm();
    EXPECT_FALSE(port.Purge(false, true));
    EXPECT_FALSE(port.Write("x", 1).error);
}

TEST_F(SerialIo, CloseEndsABlockedWriteAndWait) {
    const Bytes data = Pattern(kMoreThanThePtyHolds);
    auto watcher = std::async(std::launch::async, [this] { return port.WaitForInput(); });
    auto pending = StartStalledWrite(port, pty, data);
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(Is(pending.get().error, Step::Write, ECANCELED));
    // Cancelled when the wait had begun, Failed when it only started on the closed port.
    WaitResult waited = watcher.get();
    EXPECT_TRUE(waited == WaitResult::Cancelled || waited == WaitResult::Failed);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialIo, DeviceVanishingInTheMiddleOfAWriteIsGone) {
    const Bytes data = Pattern(kMoreThanThePtyHolds);
    auto pending = StartStalledWrite(port, pty, data);
    pty.CloseMaster();
    IoResult r = pending.get();
    EXPECT_EQ(r.error.step, Step::Gone);
    EXPECT_LT(r.bytes, data.size());
}

TEST_F(SerialIo, InputQueuedCountsAndPurgeDrops) {
    EXPECT_EQ(port.InputQueued().bytes, 0u);
    pty.Send("12345");
    AwaitQueued(port, 5);
    IoResult q = port.InputQueued();
    EXPECT_FALSE(q.error);
    EXPECT_EQ(q.bytes, 5u);
    EXPECT_FALSE(port.Purge(true, false));
    EXPECT_EQ(port.InputQueued().bytes, 0u);
    char c;
    EXPECT_EQ(port.Read(&c, 1).bytes, 0u);
    pty.Send("6");
    AwaitQueued(port, 1);
    EXPECT_EQ(port.Read(&c, 1).bytes, 1u);
    EXPECT_EQ(c, '6');
}

// Receive thread, watcher and writer on one port at once, as the update runs it.
TEST_F(SerialIo, FullDuplex) {
    const Bytes out = Pattern(65560);
    Bytes in(65560);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<unsigned char>(255 - out[i]);
    }
    auto deviceReads = std::async(std::launch::async, [&] { return pty.Receive(out.size()); });
    auto deviceWrites = std::async(std::launch::async, [&] {
        pty.Send(std::string_view(reinterpret_cast<const char*>(in.data()), in.size()));
    });
    auto writer =
        std::async(std::launch::async, [&] { return port.Write(out.data(), out.size()); });

    Bytes got;
    unsigned char buf[1000];
    while (got.size() < in.size()) {
        ASSERT_EQ(port.WaitForInput(), WaitResult::Input);
        for (IoResult r = port.Read(buf, sizeof buf); r.bytes > 0; r = port.Read(buf, sizeof buf)) {
            got.insert(got.end(), buf, buf + r.bytes);
        }
    }
    deviceWrites.get();
    IoResult w = writer.get();
    EXPECT_FALSE(w.error);
    EXPECT_EQ(deviceReads.get(), out);
    EXPECT_EQ(got, in);
}

class SerialWait : public SerialIo {};

TEST_F(SerialWait, InputWakesTheWatcher) {
    pty.Send("a");  // arrived before the first wait
    EXPECT_EQ(port.WaitForInput(), WaitResult::Input);
    auto watcher = std::async(std::launch::async, [this] { return port.WaitForInput(); });
    pty.Send("b");
    EXPECT_EQ(watcher.get(), WaitResult::Input);
}

TEST_F(SerialWait, UnreadBytesDoNotWakeAgain) {
    pty.Send("a");
    EXPECT_EQ(port.WaitForInput(), WaitResult::Input);
    EXPECT_EQ(port.WaitForInput(0), WaitResult::TimedOut);
    EXPECT_EQ(port.InputQueued().bytes, 1u);
    pty.Send("b");
    EXPECT_EQ(port.WaitForInput(), WaitResult::Input);
}

TEST_F(SerialWait, CancelWaitEndsTheWaitUntilRearmed) {
    port.CancelWait();  // before the wait has started
    pty.Send("a");
    EXPECT_EQ(port.WaitForInput(), WaitResult::Cancelled);
    EXPECT_EQ(port.WaitForInput(), WaitResult::Cancelled) << "stays cancelled until rearmed";
    EXPECT_FALSE(port.Write("x", 1).error) << "writes are not affected";
    port.Rearm();
    EXPECT_EQ(port.WaitForInput(), WaitResult::Input);

    auto watcher = std::async(std::launch::async, [this] { return port.WaitForInput(); });
    port.CancelWait();
    EXPECT_EQ(watcher.get(), WaitResult::Cancelled);
}

TEST_F(SerialWait, MasterClosingIsGoneEverywhere) {
    auto watcher = std::async(std::launch::async, [this] { return port.WaitForInput(); });
    pty.CloseMaster();
    EXPECT_EQ(watcher.get(), WaitResult::Gone);
    EXPECT_EQ(port.WaitForInput(), WaitResult::Gone) << "later waits must not block";
    char c;
    EXPECT_EQ(port.Read(&c, 1).error.step, Step::Gone);
    EXPECT_EQ(port.Write("x", 1).error.step, Step::Gone);
    EXPECT_EQ(port.InputQueued().error.step, Step::Gone);
    port.CancelWait();
    EXPECT_EQ(port.WaitForInput(), WaitResult::Cancelled);
    EXPECT_TRUE(port.Close());
}

}  // namespace

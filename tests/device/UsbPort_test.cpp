// CUsbPort against plain pseudo-terminals and a device catalogue in a temporary directory; the
// tests play the device on the pty masters.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/Frame.h"
#include "platform/kernel/Clock.h"
#include "platform/serial/SerialPort.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/FrameBuilders.h"
#include "tests/support/ManualClock.h"
#include "tests/support/Pattern.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

using namespace devtest;
namespace fs = std::filesystem;
namespace serial = platform::serial;

namespace {

constexpr char kUpdateId[] = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE";
constexpr char kModemId[] = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM";
constexpr char kNetId[] = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF";
constexpr char kSecond[] = "_{0254B0B5-AA88-461f-8044-3D5C47AB5709}";
constexpr char kGuid[] = "{6A1D5C2E-0000-4000-8000-1D7A3C520001}";

// The device side of a pseudo-terminal. A slave descriptor stays open so that the test can see
// when bytes have reached the port.
class Pty : public testsupport::PtyPair {
  public:
    Pty() : PtyPair(Slave::KeptOpen) {}
    void Unplug() { CloseMaster(); }
    void Write(const Bytes& bytes) const {
        ASSERT_EQ(::write(Master(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the port can read what was written.
    bool Arrived() const {
        pollfd p{SlaveFd(), POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(kGuardMs)) == 1;
    }
    // The line settings as the port left them.
    termios Settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(SlaveFd(), &t), 0);
        return t;
    }
    // True once the port has taken every byte written so far.
    bool Drained() const {
        int waiting = 0;
        return ::ioctl(SlaveFd(), TIOCINQ, &waiting) == 0 && waiting == 0;
    }
    Bytes Read(std::size_t n) const {
        Bytes out(n);
        std::size_t have = 0;
        while (have < n) {
            pollfd p{Master(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(kGuardMs)) != 1) {
                break;
            }
            ssize_t r = ::read(Master(), out.data() + have, n - have);
            if (r <= 0) {
                break;
            }
            have += static_cast<std::size_t>(r);
        }
        out.resize(have);
        return out;
    }
};

using testsupport::Pattern;

template <class Pred>
bool Eventually(Pred pred) {
    return testsupport::Eventually(pred, kGuardMs);
}

// A temporary directory with a device catalogue that the port's discovery reads and the install
// root of the connection software.
class PortTest : public ::testing::Test {
  protected:
    PortTest() {
        ExecError().Reset();
        Event::Named("KILL_EVENT_RECV", true, false)->Reset();
    }
    CUsbPortDiscovery Discovery() const {
        return {platform::devices::Catalog(dir / "catalog.txt"),
                platform::mobile::Catalog(dir / "catalog.txt"), "/dev", dir};
    }
    void Catalog(const std::string& text) {
        std::ofstream(dir / "catalog.tmp") << text;
        fs::rename(dir / "catalog.tmp", dir / "catalog.txt");
    }
    // The update port behind `path`, found through the catalogue.
    void Device(const std::string& path) {
        Catalog(std::string("Ports\t") + kUpdateId + "\tPortName=" + path + "\n");
    }
    std::shared_ptr<Event> Kill() { return Event::Named("KILL_EVENT_RECV", true, false); }

    testsupport::TempDir tmp{"zr-port-"};
    fs::path dir = tmp.Path();
    Config config{"[SYSTEM]\nWaitTime=1\n[USB]\nBlkSize=\n"};
    testsupport::ManualClock clock;
};

// Records the blocks Send hands to the port.
class BlockPort : public CUsbPort {
  public:
    using CUsbPort::CUsbPort;
    std::vector<std::size_t> blocks;
    // Blocks from this one on (counting every block so far from 0) fail, as when the device goes.
    std::size_t failFrom = SIZE_MAX;

  protected:
    int WriteBlock(const std::uint8_t* pbBlock, std::size_t nLength) override {
        blocks.push_back(nLength);
        if (blocks.size() > failFrom) {
            return 0;
        }
        return CUsbPort::WriteBlock(pbBlock, nLength);
    }
};

TEST_F(PortTest, FindPortCountsMatchingDevicesWithAName) {
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 0);  // no catalogue yet
    Catalog(std::string("Ports\t") + kUpdateId + "\tPortName=ttyACM1\n" +
            "Ports\tUSB\\OTHER\tPortName=ttyACM9\n" + "Ports\t" + kUpdateId +
            "\tDriverVersion=1.0.8.0\n" +  // no PortName
            "Ports\tPREFIX " + kUpdateId + "&REV_0100\tPortName=/tmp/zr/second\n" + "Modem\t" +
            kModemId + "\tPortName=ttyACM0\n");
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 2);
    EXPECT_EQ(port.GetUpdatePort(), "/tmp/zr/second");
    EXPECT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    EXPECT_EQ(port.GetModemPort(), "ttyACM0");
}

TEST_F(PortTest, OpenRetriesEveryHalfSecondUntilTheTimeOut) {
    Device((dir / "missing").string());
    CUsbPort port(config.get(), clock, Discovery());
    ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    port.SetOpenTimeout(30);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_GT(clock.NowMs(), 30000u);
    EXPECT_LE(clock.NowMs(), 31500u);
    for (std::uint32_t ms : clock.Sleeps()) {
        EXPECT_EQ(ms, 500u);
    }
    EXPECT_EQ(ExecError().ExecDetail, 1);
    EXPECT_EQ(ExecError().ErrDetail, ENOENT);
    EXPECT_FALSE(port.IsOpened());
}

// The device shows up while Open is retrying.
class AppearingClock : public platform::kernel::Clock {
  public:
    AppearingClock(fs::path link, std::string target, std::uint64_t at)
        : m_link(std::move(link)), m_target(std::move(target)), m_at(at) {}
    std::uint64_t NowMs() override { return m_now; }
    void SleepMs(std::uint32_t ms) override {
        m_now += ms;
        if (m_now >= m_at && !fs::exists(m_link)) {
            fs::create_symlink(m_target, m_link);
        }
    }

  private:
    fs::path m_link;
    std::string m_target;
    std::uint64_t m_at;
    std::uint64_t m_now = 0;
};

// The device comes back from a re-enumeration with the update port under another name.
class RenamingClock : public platform::kernel::Clock {
  public:
    explicit RenamingClock(std::function<void()> rename) : m_rename(std::move(rename)) {}
    std::uint64_t NowMs() override { return m_now; }
    void SleepMs(std::uint32_t ms) override {
        m_now += ms;
        if (m_now >= 1500 && m_rename) {
            std::exchange(m_rename, nullptr)();
        }
    }

  private:
    std::function<void()> m_rename;
    std::uint64_t m_now = 0;
};

TEST_F(PortTest, OpenFindsTheUpdatePortAgainUnderItsNewName) {
    Pty pty;
    Device((dir / "gone").string());
    RenamingClock renaming([&] { Device(pty.Path()); });
    CUsbPort port(config.get(), renaming, Discovery());
    ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    port.SetOpenTimeout(30);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_EQ(port.GetUpdatePort().Str(), pty.Path());
    EXPECT_EQ(renaming.NowMs(), 1500u);
    EXPECT_EQ(port.Close(), 1);

    // Nothing found while the device is away: the name it had stays.
    fs::remove(dir / "catalog.txt");
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 0);
    EXPECT_EQ(port.GetUpdatePort().Str(), pty.Path());
}

TEST_F(PortTest, OpenSucceedsOnceTheDeviceAppearsAndCloseEndsIt) {
    Pty pty;
    AppearingClock appearing(dir / "ttyZR40", pty.Path(), 2000);
    Device((dir / "ttyZR40").string());
    CUsbPort port(config.get(), appearing, Discovery());
    port.FindPort(CUsbPort::kUpdatePort);
    port.SetOpenTimeout(30);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_EQ(appearing.NowMs(), 2000u);
    EXPECT_TRUE(port.IsOpened());
    EXPECT_EQ(port.Open(), 1);      // already open
    EXPECT_EQ(port.PortOpen(), 0);  // the handle is in use
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_FALSE(port.IsPortValid());
    EXPECT_EQ(port.Open(), 1);  // and again
}

TEST_F(PortTest, PortInUseIsBusy) {
    Pty pty;
    Device(pty.Path());
    CUsbPort first(config.get(), platform::kernel::SystemClock(), Discovery());
    CUsbPort second(config.get(), platform::kernel::SystemClock(), Discovery());
    first.FindPort(CUsbPort::kUpdatePort);
    second.FindPort(CUsbPort::kUpdatePort);
    ASSERT_EQ(first.PortOpen(), 1);
    EXPECT_EQ(second.PortOpen(), 0);
    EXPECT_EQ(ExecError().ExecDetail, 1);
    EXPECT_EQ(ExecError().ErrDetail, EBUSY);
    EXPECT_EQ(first.Close(), 1);
    EXPECT_EQ(second.PortOpen(), 1);  // free again
}

// Sees every configuration call of the serial layer while it lives, and fails the one step
// asked for with `error`.
class ConfigurationProbe {
  public:
    explicit ConfigurationProbe(serial::Step fail = serial::Step::None, int error = 0) {
        serial::SetConfigurationHook([this, fail, error](const serial::ConfigurationCall& call) {
            calls.push_back(call);
            return call.step == fail ? error : 0;
        });
    }
    ConfigurationProbe(const ConfigurationProbe&) = delete;
    ConfigurationProbe& operator=(const ConfigurationProbe&) = delete;
    ~ConfigurationProbe() { serial::SetConfigurationHook({}); }

    std::vector<serial::ConfigurationCall> calls;
};

TEST_F(PortTest, OpenAppliesTheFixedLineSettings) {
    Pty pty;
    Device(pty.Path());
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    port.FindPort(CUsbPort::kUpdatePort);
    ConfigurationProbe probe;
    ASSERT_EQ(port.PortOpen(), 1);

    const termios t = pty.Settings();
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u) << "one and a half stop bits go out as two";
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

    // A pseudo-terminal has no DTR, queues or write time-outs: these as asked of the serial layer.
    ASSERT_EQ(probe.calls.size(), 4u);
    EXPECT_EQ(probe.calls[0].step, serial::Step::QueueSize);
    EXPECT_EQ(probe.calls[0].queues.in, 4096u);
    EXPECT_EQ(probe.calls[0].queues.out, 4096u);
    EXPECT_EQ(probe.calls[1].step, serial::Step::GetSettings);
    const serial::ConfigurationCall& line = probe.calls[2];
    EXPECT_EQ(line.step, serial::Step::SetSettings);
    EXPECT_EQ(line.settings.baudRate, 115200u);
    EXPECT_EQ(line.settings.dataBits, 8);
    EXPECT_EQ(line.settings.parity, serial::Parity::None);
    EXPECT_EQ(line.settings.stopBits, serial::StopBits::OneAndHalf);
    EXPECT_TRUE(line.settings.hardwareFlowControl);
    EXPECT_TRUE(line.settings.dtr);
    EXPECT_EQ(probe.calls[3].step, serial::Step::Timeouts);
    EXPECT_EQ(probe.calls[3].timeouts.writeTotalMultiplierMs, 10u);
    EXPECT_EQ(probe.calls[3].timeouts.writeTotalConstantMs, 5000u);
}

TEST_F(PortTest, EachFailingConfigurationStepStoresItsExecDetail) {
    Pty pty;
    Device(pty.Path());
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    port.FindPort(CUsbPort::kUpdatePort);
    const struct {
        serial::Step step;
        int execDetail;
        int error;
    } cases[] = {{serial::Step::QueueSize, 2, ENOMEM},
                 {serial::Step::GetSettings, 3, EIO},
                 {serial::Step::SetSettings, 4, EINVAL},
                 {serial::Step::Timeouts, 5, ENOTTY}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.execDetail);
        ExecError().Reset();
        {
            ConfigurationProbe failing(c.step, c.error);
            EXPECT_EQ(port.PortOpen(), 0);
        }
        EXPECT_EQ(ExecError().ExecDetail, c.execDetail);
        EXPECT_EQ(ExecError().ErrDetail, c.error);
        EXPECT_FALSE(port.IsPortValid()) << "a port that failed its configuration is closed";
    }
    EXPECT_EQ(port.PortOpen(), 1);
}

class OpenPortTest : public PortTest {
  protected:
    void SetUp() override {
        Device(pty.Path());
        port.FindPort(CUsbPort::kUpdatePort);
        ASSERT_EQ(port.Open(), 1);
    }
    Pty pty;
    BlockPort port{config.get(), clock, Discovery()};
};

TEST_F(OpenPortTest, SendWritesInBlocks) {
    const Bytes data = Pattern(10000);
    EXPECT_EQ(port.Send(data.data(), 10000), 1);
    EXPECT_EQ(port.blocks, (std::vector<std::size_t>{4096, 4096, 1808}));
    EXPECT_EQ(pty.Read(10000), data);

    port.blocks.clear();
    EXPECT_EQ(port.Send(data.data(), 0), 1);
    EXPECT_TRUE(port.blocks.empty());

    Config small("[USB]\nBlkSize=3000\n");
    BlockPort other(small.get(), clock, Discovery());
    Pty pty2;
    Device(pty2.Path());
    other.FindPort(CUsbPort::kUpdatePort);
    EXPECT_EQ(other.Send(data.data(), 10), 0);  // not open
    ASSERT_EQ(other.Open(), 1);
    EXPECT_EQ(other.Send(data.data(), 7000), 1);
    EXPECT_EQ(other.blocks, (std::vector<std::size_t>{3000, 3000, 1000}));
}

TEST_F(OpenPortTest, BlockSizeWithoutProgressIsRefused) {
    for (const char* text : {"[USB]\nBlkSize=0\n", "[USB]\nBlkSize=-4096\n"}) {
        Config bad(text);
        BlockPort other(bad.get(), clock, Discovery());
        Pty pty2;
        Device(pty2.Path());
        other.FindPort(CUsbPort::kUpdatePort);
        ASSERT_EQ(other.Open(), 1);
        const Bytes data = Pattern(100);
        ExecError().Reset();
        EXPECT_EQ(other.Send(data.data(), 100), 0) << text;
        EXPECT_EQ(ExecError().ErrContents, 2);
        EXPECT_EQ(ExecError().ErrDetail, CUsbPort::kErrorInvalidParameter);
        EXPECT_TRUE(other.blocks.empty());
    }
}

// The loader may hold part of a frame from a run killed inside it, and takes what comes for its
// rest until nothing came for its receive time-out; only then is a frame taken as one.
TEST_F(OpenPortTest, FramesWaitUntilTheLoaderCanHaveDroppedAPartFrame) {
    const Bytes frame = Pattern(12);
    auto sendFrame = [&](const Bytes& bytes) {
        return port.SendFrame(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    };
    clock.Advance(300);
    ASSERT_EQ(sendFrame(frame), 1);
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>{700}) << "since the port was opened";
    ASSERT_EQ(sendFrame(frame), 1);
    ASSERT_EQ(port.Close(), 1);
    ASSERT_EQ(port.Open(), 1);
    ASSERT_EQ(sendFrame(frame), 1);
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{700, 100}))
        << "after whole frames of ours the loader is between frames, closed port or not";

    ASSERT_EQ(port.Send(frame.data(), 8), 1);  // a CMD row
    clock.Advance(250);
    ASSERT_EQ(sendFrame(frame), 1);
    EXPECT_EQ(clock.Sleeps().back(), 750u);

    port.failFrom = port.blocks.size() + 1;
    EXPECT_EQ(sendFrame(Pattern(10000)), 0);
    port.failFrom = SIZE_MAX;
    ASSERT_EQ(sendFrame(frame), 1);
    EXPECT_EQ(clock.Sleeps().back(), 1000u) << "a frame cut short";
    EXPECT_EQ(clock.Sleeps().size(), 4u);

    // The download-mode request: the device re-enumerates, and its loader has heard nothing.
    ASSERT_EQ(port.Send(frame.data(), 8), 1);
    pty.Unplug();
    ASSERT_TRUE(Eventually([&] { return !port.IsPortValid(); }));
    ASSERT_EQ(port.Close(), 1);
    Pty back;
    Device(back.Path());
    ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    ASSERT_EQ(port.Open(), 1);
    ASSERT_EQ(sendFrame(frame), 1);
    EXPECT_EQ(clock.Sleeps().size(), 5u) << "only Close's";

    ASSERT_EQ(port.Close(), 1);
    for (const auto& [text, waits] :
         {std::pair{"[USB]\nFrameGap=250\n", std::vector<std::uint32_t>{250}},
          std::pair{"[USB]\nFrameGap=0\n", std::vector<std::uint32_t>{}}}) {
        Config other(text);
        CUsbPort second(other.get(), clock, Discovery());
        ASSERT_EQ(second.FindPort(CUsbPort::kUpdatePort), 1);
        const std::size_t nSleeps = clock.Sleeps().size();
        ASSERT_EQ(second.Open(), 1);
        ASSERT_EQ(second.SendFrame(frame.data(), 12), 1);
        const std::vector<std::uint32_t> sleeps = clock.Sleeps();
        EXPECT_EQ(std::vector<std::uint32_t>(sleeps.begin() + static_cast<std::ptrdiff_t>(nSleeps),
                                             sleeps.end()),
                  waits)
            << text;
        ASSERT_EQ(second.Close(), 1);
    }
}

TEST_F(OpenPortTest, StopEventEndsSend) {
    Kill()->Set();
    const Bytes data = Pattern(100);
    EXPECT_EQ(port.Send(data.data(), 100), 0);
    EXPECT_EQ(ExecError().ErrContents, -2);
    EXPECT_TRUE(port.blocks.empty());
    Kill()->Reset();
}

TEST_F(OpenPortTest, RecvGivesUpAfterTwentyEmptyPolls) {
    Bytes buffer(4);
    EXPECT_EQ(port.Recv(buffer.data(), 4), 0);
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>(20, 1));

    pty.Write(B({1, 2, 3, 4, 5}));
    ASSERT_TRUE(pty.Arrived());
    EXPECT_EQ(port.Recv(buffer.data(), 4), 1);
    EXPECT_EQ(buffer, B({1, 2, 3, 4}));
}

// Lets Recv poll `polls` times, then holds it until the stop event is set.
class HoldingClock : public platform::kernel::Clock {
  public:
    HoldingClock(int polls, std::shared_ptr<Event> release)
        : m_polls(polls), m_release(std::move(release)) {}
    std::uint64_t NowMs() override { return 0; }
    void SleepMs(std::uint32_t) override {
        if (++m_count == m_polls) {
            reached->Set();
            m_release->Wait(platform::kernel::kInfinite);
        }
    }
    std::shared_ptr<Event> reached = Event::Create(true, false);

  private:
    int m_polls;
    int m_count = 0;
    std::shared_ptr<Event> m_release;
};

TEST_F(PortTest, RecvWithPartOfTheBytesWaitsForTheStopEvent) {
    Pty pty;
    Device(pty.Path());
    HoldingClock holding(40, Kill());
    CUsbPort port(config.get(), holding, Discovery());
    port.FindPort(CUsbPort::kUpdatePort);
    ASSERT_EQ(port.Open(), 1);
    pty.Write(B({0x44}));
    ASSERT_TRUE(pty.Arrived());
    int result = -1;
    std::thread reader([&] {
        Bytes buffer(8);
        result = port.Recv(buffer.data(), 8);
    });
    EXPECT_TRUE(holding.reached->Wait(kGuardMs));  // twice the empty-poll limit, still reading
    Kill()->Set();
    reader.join();
    EXPECT_EQ(result, 0);
    Kill()->Reset();
}

TEST_F(OpenPortTest, WatcherSignalsArrivals) {
    auto read = Event::Named("READ_EVENT", false, false);
    read->Reset();
    pty.Write(B({0x44, 0x42}));
    EXPECT_TRUE(read->Wait(kGuardMs));
}

TEST_F(OpenPortTest, VanishedDeviceFailsWritesUntilClosedAndReopened) {
    pty.Unplug();
    const Bytes data = Pattern(10);
    EXPECT_EQ(port.Send(data.data(), 10), 0);
    EXPECT_EQ(ExecError().ErrContents, 2);
    EXPECT_EQ(ExecError().ErrDetail, CUsbPort::kErrorGenFailure);
    // The watcher closes the port by itself; the opened flag stays until Close.
    EXPECT_TRUE(Eventually([&] { return !port.IsPortValid(); }));
    EXPECT_TRUE(port.IsOpened());
    EXPECT_EQ(port.Open(), 1);
    ExecError().Reset();
    EXPECT_EQ(port.Send(data.data(), 10), 0);
    EXPECT_EQ(ExecError().ErrDetail, CUsbPort::kErrorGenFailure);
    EXPECT_EQ(port.Close(), 1);

    Pty back;
    Device(back.Path());
    port.FindPort(CUsbPort::kUpdatePort);
    ASSERT_EQ(port.Open(), 1);
    EXPECT_EQ(port.Send(data.data(), 10), 1);
    EXPECT_EQ(back.Read(10), data);
}

TEST_F(OpenPortTest, UnplugInTheMiddleOfAFrameLeavesTheWaitUnserved) {
    TestOwner owner;
    Waiter waiter("GLOBAL");
    ReadThreadRun run(owner, &port, config.get());
    waiter.Register(owner, B({0x44, 0x42}));
    Bytes frame = frametest::MakeDbFrame(0x0108, Pattern(92));
    frame.resize(18);
    pty.Write(frame);
    // Header and part of the payload taken: the receive thread waits for the rest.
    ASSERT_TRUE(Eventually([&] { return pty.Drained(); }));
    pty.Unplug();
    EXPECT_TRUE(Eventually([&] { return !port.IsPortValid(); }));
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
    CriticalSectionLock lock(owner.queueLock());
    const CQueData* entry = owner.GetQueManage()->FindQueData(&waiter);
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->IsServed());
}

TEST_F(PortTest, AtChannelsOfTheModemPort) {
    Pty channel0, channel1;
    Catalog(std::string("Modem\t") + kModemId + "\tPortName=" + (dir / "ttyMODEM").string() + "\n");
    fs::create_symlink(channel0.Path(), dir / "ttyMODEM");
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    ASSERT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    // No second path: the modem port's own tty serves channel 1 as well.
    ASSERT_EQ(port.OpenAtChannels(), 1);
    const std::string cgsn = "AT+CGSN\r\n";
    EXPECT_EQ(port.AtWrite(1, reinterpret_cast<const std::uint8_t*>(cgsn.data()), 9), 1);
    EXPECT_EQ(channel0.Read(9), Bytes(cgsn.begin(), cgsn.end()));
    port.CloseAtChannels();

    fs::create_symlink(channel1.Path(), dir / (std::string("ttyMODEM") + kSecond));
    ASSERT_EQ(port.OpenAtChannels(), 1);
    EXPECT_EQ(port.OpenAtChannels(), 0);
    const std::string gmr = "AT+GMR\r\n";
    EXPECT_EQ(port.AtWrite(0, reinterpret_cast<const std::uint8_t*>(gmr.data()), 8), 1);
    EXPECT_EQ(channel0.Read(8), Bytes(gmr.begin(), gmr.end()));
    channel1.Write(B({'O', 'K'}));
    ASSERT_EQ(port.AtWaitInput(1, kGuardMs), 1);
    std::uint8_t buffer[25];
    std::uint32_t got = 0;
    EXPECT_EQ(port.AtRead(1, buffer, sizeof buffer, got), 1);
    EXPECT_EQ(Bytes(buffer, buffer + got), B({'O', 'K'}));
    EXPECT_EQ(port.AtRead(0, buffer, sizeof buffer, got), 1);
    EXPECT_EQ(got, 0u);
    port.CloseAtChannels();
    EXPECT_EQ(port.AtWrite(0, buffer, 1), 0);
    EXPECT_EQ(port.OpenAtChannels(), 1);
}

TEST_F(PortTest, MobileBroadbandQueries) {
    CUsbPort port(config.get(), clock, Discovery());
    char firmware[10];
    char deviceId[20];
    EXPECT_EQ(port.GetRegisterState(3), -1);  // nothing attached: no retries
    EXPECT_EQ(port.GetDeviceInfo(firmware, deviceId), -1);
    EXPECT_EQ(port.GetConnectionState(), 0);
    // Only the adapter whose hardware id is exactly the device's counts.
    Catalog(std::string("Net\t") + kNetId + "&X\tNetCfgInstanceId={OTHER}\n" + "Net\t" + kNetId +
            "\tNetCfgInstanceId=" + kGuid + "\n" + "Mbn\t{OTHER}\tRegisterState=3\n" + "Mbn\t" +
            kGuid +
            "\tRegisterState=4\tFirmware=Ver1.00 build 0815\tDeviceId=358741050123456789012"
            "\tConnectionState=1\n");
    ASSERT_EQ(port.AttachMbnInterface(), 1);
    EXPECT_EQ(port.GetRegisterState(1), 1);
    EXPECT_EQ(port.GetDeviceInfo(firmware, deviceId), 1);
    EXPECT_STREQ(firmware, "Ver1.00 b");
    EXPECT_STREQ(deviceId, "3587410501234567890");
    EXPECT_EQ(port.GetConnectionState(), 2);

    // "Ver1ソフト" is 10 bytes in code page 932: the last character does not fit whole.
    Catalog(std::string("Net\t") + kNetId + "\tNetCfgInstanceId=" + kGuid + "\nMbn\t" + kGuid +
            "\tRegisterState=2\tFirmware=Ver1\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88\tDeviceId=x\n");
    EXPECT_EQ(port.GetRegisterState(2), -1);
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{5000, 5000}));
    EXPECT_EQ(port.GetDeviceInfo(firmware, deviceId), 1);
    EXPECT_EQ(std::string(firmware), CComString::FromUtf8("Ver1ソフ").Str());
    EXPECT_EQ(port.GetConnectionState(), 0);
}

TEST_F(PortTest, DialUpOfTheDevice) {
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    Catalog("DialUp\tWork\tDeviceName=Other Modem\n");
    EXPECT_EQ(port.IsDialUpActive(), 0);
    Catalog("DialUp\tWork\tDeviceName=Other Modem\nDialUp\tZR\tDeviceName=mirato ZR40 USB Modem\n");
    EXPECT_EQ(port.IsDialUpActive(), 2);
}

TEST_F(PortTest, DriverVersions) {
    CUsbPort port(config.get(), platform::kernel::SystemClock(), Discovery());
    auto devices = [&](const std::string& modem, const std::string& update) {
        Catalog(std::string("Modem\t") + kModemId + "\tDriverVersion=" + modem + "\n" + "Ports\t" +
                kUpdateId + "\tDriverVersion=" + update + "\n" + "Net\t" + kNetId +
                "\tDriverVersion=1.0.7.0\n");
    };
    devices("1.0.8.0", "1.0.8.0");
    EXPECT_EQ(port.CheckDriverVersions(false), 1);  // no connection software file: current
    EXPECT_EQ(port.CheckDriverVersions(true), 0);   // the adapter's driver is older
    devices("1.0.7.0", "1.0.8.0");
    EXPECT_EQ(port.CheckDriverVersions(false), 0);
    Catalog(std::string("Modem\t") + kModemId + "\tDriverVersion=1.0.8.0\n");
    EXPECT_EQ(port.CheckDriverVersions(false), -1);  // no update port

    devices("1.0.8.0", "1.0.8.0");
    fs::path soft = dir / CUsbPort::kConnectionSoftDir;
    fs::create_directories(soft);
    auto version = [&](const std::string& text) {
        std::ofstream(soft / CUsbPort::kConnectionSoftVersionFile) << text;
    };
    version("ProductName=ZR40\nFileVersion=1.03.0001\n");
    EXPECT_EQ(port.CheckDriverVersions(false), 0);
    version("FileVersion=1.04.0002\n");
    EXPECT_EQ(port.CheckDriverVersions(false), 1);
    version("ProductName=ZR40\n");
    EXPECT_EQ(port.CheckDriverVersions(false), 1);
}

// A ZR-40 found through sysfs, its ttys pseudo-terminals under a device directory of the test's.
TEST_F(PortTest, ADeviceFoundThroughSysfs) {
    Pty modem, update;
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    fs::create_symlink(modem.Path(), devDir / "ttyACM0");
    fs::create_symlink(update.Path(), devDir / "ttyACM1");
    testsupport::FakeSysfs sys(dir / "sys");
    sys.Device("1-2", "1d7a", "3c52", testsupport::kZr40);
    CUsbPort port(config.get(), clock,
                  {platform::devices::Sysfs(sys.root(), sys.osRelease()), nullptr, devDir, dir});

    ASSERT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    EXPECT_EQ(port.GetModemPort().Str(), "ttyACM0");
    // Version on channel 0, service area on channel 1: one tty, opened twice.
    ASSERT_EQ(port.OpenAtChannels(), 1);
    std::uint8_t buffer[100];
    std::uint32_t got = 0;
    for (const auto& [channel, command, answer] :
         {std::tuple{0, std::string("AT+GMR\r\n"), std::string("\r\nVer1.00\r\nOK\r\n")},
          std::tuple{1, std::string("AT@FCMINFO=1\r\n"), std::string("@FCMINFO: 1,440,0\r\n")}}) {
        EXPECT_EQ(port.AtWrite(channel, reinterpret_cast<const std::uint8_t*>(command.data()),
                               static_cast<std::uint32_t>(command.size())),
                  1);
        EXPECT_EQ(modem.Read(command.size()), Bytes(command.begin(), command.end()));
        modem.Write(Bytes(answer.begin(), answer.end()));
        ASSERT_EQ(port.AtWaitInput(channel, kGuardMs), 1);
        Bytes received;
        while (received.size() < answer.size() &&
               port.AtRead(channel, buffer, sizeof buffer, got) == 1 && got > 0) {
            received.insert(received.end(), buffer, buffer + got);
        }
        EXPECT_EQ(received, Bytes(answer.begin(), answer.end())) << command;
    }
    port.CloseAtChannels();

    ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    ASSERT_EQ(port.PortOpen(), 1);
    EXPECT_EQ(port.Close(), 1);

    // Kernel drivers are bound: current, whatever version their modules carry.
    EXPECT_EQ(port.CheckDriverVersions(false), 1);
    EXPECT_EQ(port.CheckDriverVersions(true), 1);
    auto unbound = testsupport::kZr40;
    unbound[2].driver = nullptr;
    sys.Device("1-1", "1d7a", "3c52", unbound);  // enumerated first
    EXPECT_EQ(port.CheckDriverVersions(false), -1);
}

}  // namespace

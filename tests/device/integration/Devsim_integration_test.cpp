// The port layer and the receive thread against the real zr40-devsim over pseudo-terminals:
// discovery through its catalogue, the re-enumeration into the boot loader, AT channels, image
// downloads answered through the response queue, the first stage, unplugs and a busy port.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/Frame.h"
#include "Loader/device/Response.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/FrameBuilders.h"

namespace {

using devsim_test::DevSim;
using devsim_test::ImageFrames;
using devtest::B;
using devtest::Bytes;
using devtest::Cat;
using devtest::Config;
using devtest::ReadThreadRun;
using devtest::TestOwner;
using devtest::Waiter;
using sim::image::FindModule;

const Bytes kDownloadRequest = {0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE};
const Bytes kDbKey = {0x44, 0x42};

Bytes Join(const std::vector<Bytes>& frames, std::size_t first, std::size_t end) {
    Bytes all;
    for (std::size_t i = first; i < end && i < frames.size(); ++i) {
        all.insert(all.end(), frames[i].begin(), frames[i].end());
    }
    return all;
}

class DeviceLink : public ::testing::Test {
  protected:
    ~DeviceLink() override { ::unsetenv("ZR40_DEVICE_CATALOG"); }

    // Starts the simulator (re-enumeration 300 ms, so that Open has to retry) and points
    // discovery at its catalogue.
    void Launch(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--reenum-ms", "300", "--frame-log", FrameLog()});
        sim = std::make_unique<DevSim>(dir.Path(), args);
        ASSERT_EQ(sim->NextLine(), "ready");
        ::setenv("ZR40_DEVICE_CATALOG", sim->Catalog().c_str(), 1);
        platform::kernel::Event::Named("KILL_EVENT_RECV", true, false)->Reset();
        ExecError().Reset();
    }
    std::string FrameLog() const { return (dir.Path() / "frames.log").string(); }

    int Send(const Bytes& bytes) {
        platform::kernel::CriticalSectionLock lock(owner.portLock());
        return port.Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    // The script's road into the loader: open, download-mode request, close, open again while
    // the device comes back under the same name.
    void EnterBootLoader() {
        ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
        port.SetOpenTimeout(20);
        ASSERT_EQ(port.Open(), 1);
        ASSERT_EQ(Send(kDownloadRequest), 1);
        ASSERT_TRUE(sim->WaitFor("vanished update")) << sim->Seen();
        EXPECT_EQ(Send(B({0x44, 0x42})), 0);  // the port of a vanished device
        EXPECT_EQ(ExecError().ErrDetail, CUsbPort::kErrorGenFailure);
        EXPECT_EQ(port.Close(), 1);
        ASSERT_EQ(port.Open(), 1);
        ASSERT_TRUE(sim->WaitFor("appeared update bootloader")) << sim->Seen();
    }

    // Registers a DB wait, sends the frame and takes the answer.
    Bytes Exchange(Waiter& who, const Bytes& frame) {
        who.Register(owner, kDbKey);
        EXPECT_EQ(Send(frame), 1);
        Bytes record;
        EXPECT_TRUE(who.Take(owner, record)) << "no answer";
        return record;
    }
    Bytes ExchangeD0(Waiter& who, std::uint8_t key, const Bytes& frame) {
        who.Register(owner, B({key}));
        EXPECT_EQ(Send(frame), 1);
        Bytes record;
        EXPECT_TRUE(who.Take(owner, record)) << "no answer";
        return record;
    }

    static Bytes Ack(std::uint16_t word) {
        Bytes record = frametest::MakeDbFrame(word);
        frames::WriteLe32(record.data() + 4, 8);
        return record;
    }

    std::vector<std::string> FrameLogLines() const {
        std::vector<std::string> lines;
        std::ifstream in(FrameLog());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    devsim_test::TempDir dir;
    std::unique_ptr<DevSim> sim;
    Config config{"[SYSTEM]\nWaitTime=1\n[USB]\nBlkSize=4096\n"};
    TestOwner owner;
    CUsbPort port{config.get()};
    Waiter waiter{"GLOBAL"};
};

TEST_F(DeviceLink, DiscoveryAndTheDeviceQueriesThroughTheCatalogue) {
    Launch({"--data-call", "--driver-version", "1.0.7.0"});
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    EXPECT_EQ(port.GetUpdatePort().Str(), sim->UpdateLink().string());
    EXPECT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    EXPECT_EQ(port.GetModemPort().Str(), sim->ModemLink().string());
    ASSERT_EQ(port.AttachMbnInterface(), 1);
    EXPECT_EQ(port.GetRegisterState(0), 0);
    EXPECT_EQ(port.GetConnectionState(), 2);
    EXPECT_EQ(port.IsDialUpActive(), 2);
    EXPECT_EQ(port.CheckDriverVersions(false), 0);
}

TEST_F(DeviceLink, AtQueriesOnBothChannels) {
    Launch({"--area", "roaming"});
    ASSERT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    ASSERT_EQ(port.OpenAtChannels(), 1);
    auto ask = [&](int channel, const std::string& command) {
        EXPECT_EQ(port.AtWrite(channel, reinterpret_cast<const std::uint8_t*>(command.data()),
                               static_cast<std::uint32_t>(command.size())),
                  1);
        std::string answer;
        while (!answer.ends_with("OK\r\n") && !answer.ends_with("ERROR\r\n") &&
               port.AtWaitInput(channel, devtest::kGuardMs) == 1) {
            std::uint8_t buffer[100];
            std::uint32_t got = 0;
            EXPECT_EQ(port.AtRead(channel, buffer, sizeof buffer, got), 1);
            answer.append(reinterpret_cast<const char*>(buffer), got);
        }
        return answer;
    };
    EXPECT_NE(ask(0, "AT+GMR\r\n").find("Ver1.00"), std::string::npos);
    EXPECT_NE(ask(0, "AT+CGSN\r\n").find("358741050123456"), std::string::npos);
    const std::string area = ask(1, "AT@FCMINFO=1\r\n");
    const std::size_t first = area.find(',');
    ASSERT_NE(first, std::string::npos) << area;
    const std::size_t second = area.find(',', first + 1);
    ASSERT_NE(second, std::string::npos) << area;
    EXPECT_EQ(area[second + 1], '1');  // roaming
    port.CloseAtChannels();
}

TEST_F(DeviceLink, ImageDownloadAnsweredThroughTheReceiveThread) {
    Launch();
    EnterBootLoader();
    ReadThreadRun run(owner, &port, config.get());
    const sim::image::Module* module = FindModule("C_MDSP");
    const Bytes erase = frametest::MakeDbFrame(
        module->eraseCommand, B({module->firstBlock >> 8, module->firstBlock & 0xFF,
                                 module->lastBlock >> 8, module->lastBlock & 0xFF}));
    EXPECT_EQ(Exchange(waiter, erase), Ack(module->eraseCommand));
    const std::vector<Bytes> image = ImageFrames("C_MDSP");
    ASSERT_GT(image.size(), 2u);
    for (const Bytes& frame : image) {
        ASSERT_EQ(Exchange(waiter, frame), Ack(module->frameCommand)) << frame.size();
    }
    EXPECT_EQ(Exchange(waiter, frametest::MakeDbFrame(0x0107)), Ack(0x0107));
    const Bytes sum = Exchange(waiter, frametest::MakeDbFrame(module->areaCode << 8 | 0x09));
    ASSERT_GE(sum.size(), 10u);
    EXPECT_EQ(frames::DbRecordLength(sum), sum.size());
    EXPECT_EQ(sum[8] << 8 | sum[9], module->sum);

    // Every frame reached the device whole, though written in 4,096-byte blocks.
    const std::vector<std::string> log = FrameLogLines();
    for (const Bytes& frame : image) {
        const std::string line = "rx DB 2801 " + std::to_string(frame.size());
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    }
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
}

// A run killed inside a frame leaves the first part of it in the loader, which takes whatever
// comes next for the rest until its receive time-out (500 ms) drops it. The next run's first
// frame waits that out ([USB] FrameGap, 1,000 ms by default) instead of being swallowed.
TEST_F(DeviceLink, PartFrameOfAKilledRunDoesNotSwallowTheNextRunsFirstFrame) {
    Launch();
    EnterBootLoader();
    ASSERT_EQ(port.Close(), 1);
    const Bytes frame = ImageFrames("C_MDSP")[1];
    const Bytes part(frame.begin(), frame.begin() + 4096);
    {
        devsim_test::Terminal killed(sim->UpdateLink());
        ASSERT_TRUE(killed.Write(part));
    }
    CUsbPort next(config.get());
    ASSERT_EQ(next.FindPort(CUsbPort::kUpdatePort), 1);
    ASSERT_EQ(next.Open(), 1);
    ReadThreadRun run(owner, &next, config.get());
    waiter.Register(owner, kDbKey);
    const Bytes erase = frametest::MakeDbFrame(0x2805, B({0x00, 0x1E, 0x00, 0x1F}));
    {
        platform::kernel::CriticalSectionLock lock(owner.portLock());
        ASSERT_EQ(next.SendFrame(erase.data(), static_cast<std::uint32_t>(erase.size())), 1);
    }
    Bytes record;
    ASSERT_TRUE(waiter.Take(owner, record)) << sim->Seen();
    EXPECT_EQ(record, Ack(0x2805));
    EXPECT_TRUE(sim->WaitFor("cut DB 2801 65560 after 4096")) << sim->Seen();
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
}

TEST_F(DeviceLink, AnswersGoToTheWaitsInRegistrationOrder) {
    Launch();
    EnterBootLoader();
    ReadThreadRun run(owner, &port, config.get());
    Waiter second("SECOND");
    waiter.Register(owner, kDbKey);
    second.Register(owner, kDbKey);
    ASSERT_EQ(Send(Cat(frametest::MakeDbFrame(0x0004), frametest::MakeDbFrame(0x0206))), 1);
    Bytes a, b;
    ASSERT_TRUE(waiter.Take(owner, a));
    ASSERT_TRUE(second.Take(owner, b));
    EXPECT_EQ(a, Ack(0x0004));
    ASSERT_GE(b.size(), 8u);
    EXPECT_EQ(b[2] << 8 | b[3], 0x0206);  // the module version answer
}

TEST_F(DeviceLink, FirstStageAnswersIncludingTheZeroLedOne) {
    Launch();
    EnterBootLoader();
    ReadThreadRun run(owner, &port, config.get());
    EXPECT_EQ(ExchangeD0(waiter, 0xB0, B({0xA0, 0x01, 0x01})), B({0x00}));
    SetZeroLedAnswerFlag(1);
    EXPECT_EQ(ExchangeD0(waiter, 0xB0, B({0xA1, 0x01, 0x00})), B({0x00}));
    SetZeroLedAnswerFlag(0);
    EXPECT_EQ(ExchangeD0(waiter, 0xB0, B({0xA1, 0x01, 0x00})), B({0x00}));
    EXPECT_EQ(ExchangeD0(waiter, 0xB1, B({0xA2, 0x08, 0xE5, 0x5B, 0, 0, 0, 0, 0x60, 0})),
              B({0x00, 0x00}));
}

TEST_F(DeviceLink, UnplugInTheMiddleOfASendAndOfAReceive) {
    Launch({"--fault-unplug", "C_L1:2"});
    EnterBootLoader();
    ReadThreadRun run(owner, &port, config.get());
    // The receive thread is reading for this wait when the device goes.
    waiter.Register(owner, kDbKey);
    // Far more than a pseudo-terminal holds: the device vanishes while this call still writes.
    const std::vector<Bytes> image = ImageFrames("C_L1");
    ExecError().Reset();
    EXPECT_EQ(Send(Join(image, 0, 8)), 0);
    EXPECT_EQ(ExecError().ErrContents, 2);
    EXPECT_EQ(ExecError().ErrDetail, CUsbPort::kErrorGenFailure);
    EXPECT_TRUE(sim->WaitFor("unplugged")) << sim->Seen();
    EXPECT_EQ(Send(image[0]), 0);
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 0);
}

TEST_F(DeviceLink, BusyPortIsReported) {
    Launch({"--busy"});
    ASSERT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);
    EXPECT_EQ(port.PortOpen(), 0);
    EXPECT_EQ(ExecError().ExecDetail, 1);
    EXPECT_EQ(ExecError().ErrDetail, EBUSY);
}

}  // namespace

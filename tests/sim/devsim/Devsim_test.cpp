// The real zr40-devsim binary, driven over its pseudo-terminals as the update tool would.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices/Devices.h"
#include "tests/sim/devsim/DevsimRig.h"

namespace {

using namespace devsim_test;
using sim::image::FindModule;

const Bytes kVersionRequest = {0xFF, 0xFD, 0xEF, 0xFD, 0xEE, 0x6F, 0x00, 0x01, 0x40, 0xFE};
const Bytes kDownloadRequest = {0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE};
const std::string kGen = "QUORVEN V07R22C 110805";

class Devsim : public testing::Test {
  protected:
    std::unique_ptr<DevSim> Launch(std::vector<std::string> args = {}) {
        auto sim = std::make_unique<DevSim>(m_dir.Path(), std::move(args));
        EXPECT_EQ(sim->NextLine(), "ready");
        return sim;
    }

    // Sends the download-mode request and opens the boot loader's port once it is back.
    std::unique_ptr<Terminal> EnterBootLoader(DevSim& sim) {
        {
            Terminal normal(sim.UpdateLink());
            EXPECT_TRUE(normal.Write(kDownloadRequest));
            EXPECT_TRUE(sim.WaitFor("appeared update bootloader")) << sim.Seen();
        }
        auto port = std::make_unique<Terminal>(sim.UpdateLink());
        EXPECT_TRUE(port->IsOpen());
        return port;
    }

    // Erases the module's blocks, sends every frame and waits for each answer; returns the
    // number of frames acknowledged before the first other answer.
    static std::size_t Download(Terminal& port, const std::string& module,
                                Bytes* firstOther = nullptr) {
        const sim::image::Module* m = FindModule(module);
        port.Write(Erase(m->eraseCommand, m->firstBlock, m->lastBlock));
        if (port.ReadDb() != Ack(m->eraseCommand)) {
            return 0;
        }
        std::size_t acked = 0;
        for (const Bytes& frame : ImageFrames(module)) {
            port.Write(frame);
            Bytes answer = port.ReadDb();
            if (answer != Ack(m->frameCommand)) {
                if (firstOther != nullptr) {
                    *firstOther = answer;
                }
                break;
            }
            ++acked;
        }
        return acked;
    }

    static std::uint16_t Checksum(Terminal& port, const std::string& module) {
        const sim::image::Module* m = FindModule(module);
        const auto word = static_cast<std::uint16_t>(m->areaCode << 8 | 0x09);
        port.Write(Db(word));
        Bytes answer = port.ReadDb();
        if (answer.size() < 10 || answer[2] != m->areaCode || answer[3] != 0x09) {
            return 0;
        }
        return static_cast<std::uint16_t>(answer[8] << 8 | answer[9]);
    }

    TempDir m_dir;
};

// ---- start-up, catalogue, shutdown

TEST_F(Devsim, ReadyPublishesAllFunctionsInTheCatalogue) {
    auto sim = Launch();
    std::vector<CatalogLine> records = ReadCatalog(sim->Catalog());
    const CatalogLine* ports = FindKind(records, "Ports");
    const CatalogLine* modem = FindKind(records, "Modem");
    const CatalogLine* net = FindKind(records, "Net");
    const CatalogLine* mbn = FindKind(records, "Mbn");
    ASSERT_TRUE(ports && modem && net && mbn);
    EXPECT_EQ(ports->id, "MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE");
    EXPECT_EQ(modem->id, "MIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM");
    EXPECT_EQ(net->id, "MIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF");
    EXPECT_EQ(ports->props.at("PortName"), sim->UpdateLink().string());
    EXPECT_EQ(modem->props.at("PortName"), sim->ModemLink().string());
    for (const CatalogLine* f : {ports, modem, net}) {
        EXPECT_EQ(f->props.at("DriverVersion"), "1.0.8.0");
    }
    EXPECT_EQ(mbn->id, net->props.at("NetCfgInstanceId"));
    EXPECT_EQ(mbn->props.at("RegisterState"), "3");
    EXPECT_EQ(mbn->props.at("Firmware"), "Ver1.00");
    EXPECT_EQ(mbn->props.at("ConnectionState"), "0");
    EXPECT_EQ(FindKind(records, "DialUp"), nullptr);
    EXPECT_EQ(FindKind(records, "Process"), nullptr);
    for (const fs::path& link : {sim->UpdateLink(), sim->ModemLink(), sim->SecondLink()}) {
        EXPECT_TRUE(fs::is_symlink(link)) << link;
        EXPECT_TRUE(fs::read_symlink(link).string().starts_with("/dev/pts/")) << link;
    }
}

TEST_F(Devsim, FaultOptionsShowInTheCatalogue) {
    auto sim = Launch(
        {"--connection-soft", "--data-call", "--area", "roaming", "--driver-version", "1.0.7.0"});
    std::vector<CatalogLine> records = ReadCatalog(sim->Catalog());
    const CatalogLine* process = FindKind(records, "Process");
    const CatalogLine* dialUp = FindKind(records, "DialUp");
    const CatalogLine* mbn = FindKind(records, "Mbn");
    ASSERT_TRUE(process && dialUp && mbn);
    EXPECT_EQ(process->id, "ZR40_ConnectionSoft.exe");
    EXPECT_EQ(dialUp->props.at("DeviceName"), "mirato ZR40 USB Modem");
    EXPECT_EQ(mbn->props.at("ConnectionState"), "1");
    EXPECT_EQ(mbn->props.at("RegisterState"), "4");
    for (const char* kind : {"Ports", "Modem", "Net"}) {
        EXPECT_EQ(FindKind(records, kind)->props.at("DriverVersion"), "1.0.7.0") << kind;
    }
}

TEST_F(Devsim, OutdatedDriversBecomeCurrentOnSignalAndTheDeviceStays) {
    auto sim = Launch({"--outdated-drivers"});
    auto updatePort = [&] {
        std::vector<platform::devices::DeviceInfo> ports = platform::devices::FindDevices(
            *platform::devices::Catalog(sim->Catalog()), platform::devices::SetupClass::Ports,
            platform::devices::kUpdateHardwareId);
        return ports.size() == 1 ? ports[0].DriverVersion().value_or("") : "";
    };
    EXPECT_EQ(updatePort(), "1.0.7.0");
    ASSERT_TRUE(sim->Raise(SIGUSR1));
    ASSERT_TRUE(sim->WaitFor("drivers-updated")) << sim->Seen();
    EXPECT_EQ(updatePort(), "1.0.8.0");
    for (const char* kind : {"Modem", "Net"}) {
        EXPECT_EQ(FindKind(ReadCatalog(sim->Catalog()), kind)->props.at("DriverVersion"), "1.0.8.0")
            << kind;
    }
    Terminal modem(sim->ModemLink());
    EXPECT_NE(modem.Command("AT+GMR\r\n").find("Ver1.00"), std::string::npos);
    EXPECT_EQ(sim->Stop(), 0);
}

TEST_F(Devsim, WithoutModemPortOnlyMobileBroadbandRemains) {
    auto sim = Launch({"--no-modem"});
    std::vector<CatalogLine> records = ReadCatalog(sim->Catalog());
    EXPECT_EQ(FindKind(records, "Modem"), nullptr);
    EXPECT_NE(FindKind(records, "Mbn"), nullptr);
    EXPECT_FALSE(fs::exists(sim->ModemLink()));
}

TEST_F(Devsim, StopTakesTheDeviceAway) {
    auto sim = Launch({"--connection-soft"});
    Terminal update(sim->UpdateLink());
    ASSERT_TRUE(update.IsOpen());
    EXPECT_EQ(sim->Stop(), 0);
    EXPECT_TRUE(update.HungUp());
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->UpdateLink())));
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->ModemLink())));
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->SecondLink())));
    EXPECT_TRUE(ReadCatalog(sim->Catalog()).empty());
}

TEST_F(Devsim, TwoSimulatorsShareOneCatalogue) {
    TempDir second;
    const std::string catalog = (m_dir.Path() / "shared.txt").string();
    auto a = Launch({"--catalog", catalog});
    DevSim b(second.Path(), {"--catalog", catalog, "--net-id", "{B}"});
    ASSERT_EQ(b.NextLine(), "ready");
    std::vector<CatalogLine> both = ReadCatalog(catalog);
    int ports = 0;
    for (const CatalogLine& r : both) {
        ports += r.kind == "Ports" ? 1 : 0;
    }
    EXPECT_EQ(ports, 2);
    EXPECT_EQ(b.Stop(), 0);
    std::vector<CatalogLine> left = ReadCatalog(catalog);
    ASSERT_NE(FindKind(left, "Ports"), nullptr);
    EXPECT_EQ(FindKind(left, "Ports")->props.at("PortName"), a->UpdateLink().string());
    EXPECT_EQ(left.size(), 4u);
}

TEST_F(Devsim, RefusesBadCommandLines) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--fault-error", "C_XX:1:-2"},
                                               {"--fault-error", "C_PS:0:-2"},
                                               {"--serial", "12345"},
                                               {"--echo", "maybe"},
                                               {"--bogus"}}) {
        DevSim sim(m_dir.Path(), args);
        EXPECT_EQ(sim.Wait(), 2) << args[0];
    }
}

// ---- modem port

TEST_F(Devsim, AtAnswersWithEcho) {
    auto sim = Launch({"--serial", "351234567890123"});
    Terminal at(sim->ModemLink());
    std::string gmr = at.Command("AT+GMR\r\n");
    // The tool reads 25 bytes and takes the seven characters from "Ver".
    ASSERT_NE(gmr.find("Ver"), std::string::npos);
    EXPECT_LE(gmr.find("Ver") + 7, 25u);
    EXPECT_EQ(gmr.substr(gmr.find("Ver"), 7), "Ver1.00");
    // One read each (25 and 40 bytes) takes the whole answer, so none is left for the next.
    EXPECT_LE(gmr.size(), 25u);
    std::string cgsn = at.Command("AT+CGSN\r\n");
    ASSERT_EQ(cgsn[0], 'A');
    ASSERT_GE(cgsn.size(), 26u);
    EXPECT_EQ(cgsn.substr(10, 15), "351234567890123");
    EXPECT_LE(cgsn.size(), 40u);
    EXPECT_NE(at.Command("AT+CFUN=1\r\n").find("ERROR"), std::string::npos);
}

TEST_F(Devsim, AtAnswersWithoutEcho) {
    auto sim = Launch({"--echo", "off", "--version", "Ver1.02"});
    Terminal at(sim->ModemLink());
    std::string cgsn = at.Command("AT+CGSN\r\n");
    ASSERT_NE(cgsn[0], 'A');
    EXPECT_EQ(cgsn.substr(2, 15), "358741050123456");
    EXPECT_EQ(at.Command("AT+GMR\r\n"), "\r\nVer1.02\r\n\r\nOK\r\n");
}

struct AreaCase {
    const char* option;
    char decider;
};

class DevsimArea : public Devsim, public testing::WithParamInterface<AreaCase> {};

TEST_P(DevsimArea, CharacterAfterTheSecondCommaDecides) {
    auto sim = Launch({"--area", GetParam().option});
    // The service area query goes over the second channel.
    Terminal at(sim->SecondLink());
    std::string answer = at.Command("AT@FCMINFO=1\r\n");
    std::size_t first = answer.find(',');
    ASSERT_NE(first, std::string::npos);
    std::size_t second = answer.find(',', first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(answer[second + 1], GetParam().decider) << answer;
}

INSTANTIATE_TEST_SUITE_P(Areas, DevsimArea,
                         testing::Values(AreaCase{"home", '0'}, AreaCase{"roaming", '1'},
                                         AreaCase{"none", '2'}, AreaCase{"empty", ','}),
                         [](const testing::TestParamInfo<AreaCase>& param) {
                             return std::string(param.param.option);
                         });

// ---- update port in normal mode

TEST_F(Devsim, VersionRequestGetsTheEighteenByteAnswer) {
    auto sim = Launch({"--date-code", "110414"});
    Terminal update(sim->UpdateLink());
    update.Write(kVersionRequest);
    Bytes answer = update.Read(18);
    ASSERT_EQ(answer.size(), 18u);
    EXPECT_EQ(std::string(answer.begin() + 9, answer.begin() + 15), "110414");
}

TEST_F(Devsim, DownloadModeRequestReenumeratesAsTheBootLoader) {
    auto sim = Launch();
    Terminal update(sim->UpdateLink());
    // Arrives in pieces, as a pty may deliver it.
    update.Write(Bytes(kDownloadRequest.begin(), kDownloadRequest.begin() + 3));
    update.Write(Bytes(kDownloadRequest.begin() + 3, kDownloadRequest.end()));
    ASSERT_TRUE(sim->WaitFor("vanished update")) << sim->Seen();
    EXPECT_TRUE(update.HungUp());
    std::uint8_t byte;
    EXPECT_LE(::read(update.Fd(), &byte, 1), 0);
    EXPECT_EQ(FindKind(ReadCatalog(sim->Catalog()), "Ports"), nullptr);

    ASSERT_TRUE(sim->WaitFor("appeared update bootloader")) << sim->Seen();
    std::vector<CatalogLine> records = ReadCatalog(sim->Catalog());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, "Ports");
    EXPECT_EQ(records[0].props.at("PortName"), sim->UpdateLink().string());
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->ModemLink())));
    // The same stable path reaches the loader.
    Terminal loader(sim->UpdateLink());
    loader.Write(Db(0x0004));
    EXPECT_EQ(loader.ReadDb(), Ack(0x0004));
}

// ---- boot loader

TEST_F(Devsim, SmallImageDownloadsAndSumsAsTheTable) {
    const fs::path log = m_dir.Path() / "frames.log";
    auto sim = Launch({"--frame-log", log.string()});
    auto port = EnterBootLoader(*sim);
    EXPECT_EQ(Download(*port, "C_PS"), 5u);
    EXPECT_TRUE(sim->WaitFor("downloaded C_PS")) << sim->Seen();
    port->Write(Db(0x0107));
    EXPECT_EQ(port->ReadDb(), Ack(0x0107));
    EXPECT_EQ(Checksum(*port, "C_PS"), FindModule("C_PS")->sum);

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    auto has = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) != lines.end();
    };
    EXPECT_TRUE(has("rx RAW DOWNLOAD 8"));
    EXPECT_TRUE(has("rx DB 2805 12"));
    EXPECT_TRUE(has("tx DB 2805 8"));
    EXPECT_TRUE(has("rx DB 2801 21"));
    EXPECT_TRUE(has("tx DB 0809 10"));
}

TEST_F(Devsim, LargeImageSpanningManyBlocksSumsAsTheTable) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    const std::size_t frames = ImageFrames("C_L1").size();
    ASSERT_GT(frames, 100u);
    EXPECT_EQ(Download(*port, "C_L1"), frames);
    EXPECT_EQ(Checksum(*port, "C_L1"), FindModule("C_L1")->sum);
}

TEST_F(Devsim, WriteIntoBlockThatWasNotErasedIsRefused) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    port->Write(frames[0]);
    EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    port->Write(frames[1]);
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-2));
}

TEST_F(Devsim, RewritingWithoutEraseIsRefused) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    ASSERT_EQ(Download(*port, "C_PS"), 5u);
    std::vector<Bytes> frames = ImageFrames("C_PS");
    port->Write(frames[0]);
    EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    port->Write(frames[1]);
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-2));
    // The refused frame changed nothing.
    EXPECT_EQ(Checksum(*port, "C_PS"), FindModule("C_PS")->sum);
}

TEST_F(Devsim, FinishingAnIncompleteImageIsAWriteError) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    port->Write(Erase(0x2805, 0x37, 0x37));
    EXPECT_EQ(port->ReadDb(), Ack(0x2805));
    std::vector<Bytes> frames = ImageFrames("C_PS");
    for (int i = 0; i < 2; ++i) {
        port->Write(frames[i]);
        EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    }
    port->Write(Db(0x0107));
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-2));
}

TEST_F(Devsim, MalformedInputIsAnsweredAndSkipped) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    port->Write(Db(0x7777));
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-6));
    // A length that cannot be true is refused at once, not waited for.
    port->Write({'D', 'B', 0x28, 0x05, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-6));
    // Bytes that start no frame are dropped until a frame starts.
    Bytes noisy = {0x13, 0x37, 'D', 0x00, 0x42};
    Bytes erase = Erase(0x2805, 0x37, 0x37);
    noisy.insert(noisy.end(), erase.begin(), erase.end());
    port->Write(noisy);
    EXPECT_EQ(port->ReadDb(), Ack(0x2805));
    // Blocks beyond the flash.
    port->Write(Erase(0x2805, 0x0300, 0x0500));
    EXPECT_EQ(port->ReadDb(), ErrorAnswer(-4));
}

TEST_F(Devsim, VersionRecordAndResetBringTheNewFirmware) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    port->Write(Db(0x0108, Text(kGen)));
    EXPECT_EQ(port->ReadDb(), Ack(0x0108));
    ASSERT_TRUE(sim->WaitFor("version-record " + kGen)) << sim->Seen();
    port->Write(Db(0x000B));
    ASSERT_TRUE(sim->WaitFor("reset")) << sim->Seen();
    EXPECT_TRUE(port->HungUp());
    ASSERT_TRUE(sim->WaitFor("appeared update normal")) << sim->Seen();

    Terminal at(sim->ModemLink());
    EXPECT_NE(at.Command("AT+GMR\r\n").find("Ver1.01"), std::string::npos);
    EXPECT_EQ(FindKind(ReadCatalog(sim->Catalog()), "Mbn")->props.at("Firmware"), "Ver1.01");
    Terminal update(sim->UpdateLink());
    update.Write(kVersionRequest);
    Bytes answer = update.Read(18);
    ASSERT_EQ(answer.size(), 18u);
    EXPECT_EQ(std::string(answer.begin() + 9, answer.begin() + 15), "110805");
}

TEST_F(Devsim, AnotherVersionRecordKeepsTheOldFirmware) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    port->Write(Db(0x0108, Text("QUORVEN V07R21A 110720")));
    EXPECT_EQ(port->ReadDb(), Ack(0x0108));
    port->Write(Db(0x000B));
    ASSERT_TRUE(sim->WaitFor("appeared update normal")) << sim->Seen();
    Terminal at(sim->ModemLink());
    EXPECT_NE(at.Command("AT+GMR\r\n").find("Ver1.00"), std::string::npos);
}

TEST_F(Devsim, ModuleVersionRequests) {
    auto sim = Launch({"--module-version", "C_L2=C_L2_F_031"});
    auto port = EnterBootLoader(*sim);
    port->Write(Db(0x0106));
    EXPECT_EQ(port->ReadDb(), Db(0x0106, Text("LTEL1_017")));
    port->Write(Db(0x0206));
    EXPECT_EQ(port->ReadDb(), Db(0x0206, Text("C_L2_F_031")));
}

TEST_F(Devsim, FirstStageLoadsAMemoryImage) {
    auto sim = Launch();
    auto port = EnterBootLoader(*sim);
    port->Write({0xA0, 0x01, 0x01});
    EXPECT_EQ(port->Read(3), (Bytes{0xB0, 0x01, 0x00}));
    // The first poll after the mode switch is answered without its opcode.
    port->Write({0xA1, 0x01, 0x00});
    EXPECT_EQ(port->Read(3), (Bytes{0x00, 0x01, 0x00}));
    port->Write({0xA1, 0x01, 0x00});
    EXPECT_EQ(port->Read(3), (Bytes{0xB0, 0x01, 0x00}));
    port->Write({0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04});
    EXPECT_EQ(port->Read(4), (Bytes{0xB1, 0x02, 0x00, 0x00}));
    port->Write({0xA3, 0x00, 0x06, 0x00, 0x00, 0x10, 0x20, 0x30, 0x40});
    EXPECT_EQ(port->Read(4), (Bytes{0xB1, 0x02, 0x00, 0x00}));
    // Two's complement of 0x10 + 0x20 + 0x30 + 0x40 = 0xA0.
    port->Write({0xA4, 0x02, 0xFF, 0x60});
    EXPECT_EQ(port->Read(5), (Bytes{0xB2, 0x03, 0x00, 0xFF, 0x60}));
    port->Write({0xA5, 0x00});
    EXPECT_EQ(port->Read(3), (Bytes{0xB0, 0x01, 0x00}));
}

// ---- faults

TEST_F(Devsim, ErrorAnswerAtTheChosenFrame) {
    auto sim = Launch({"--fault-error", "C_PS:3:-5"});
    auto port = EnterBootLoader(*sim);
    Bytes other;
    EXPECT_EQ(Download(*port, "C_PS", &other), 2u);
    EXPECT_EQ(other, ErrorAnswer(-5));
}

TEST_F(Devsim, BadSumIsOffByOne) {
    auto sim = Launch({"--fault-bad-sum", "C_PS"});
    auto port = EnterBootLoader(*sim);
    ASSERT_EQ(Download(*port, "C_PS"), 5u);
    EXPECT_EQ(Checksum(*port, "C_PS"), static_cast<std::uint16_t>(FindModule("C_PS")->sum + 1));
}

TEST_F(Devsim, UnplugInTheMiddleOfAFrame) {
    auto sim = Launch({"--fault-unplug", "C_MDSP:2"});
    auto port = EnterBootLoader(*sim);
    port->Write(Erase(0x2805, 0x1E, 0x1F));
    EXPECT_EQ(port->ReadDb(), Ack(0x2805));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    port->Write(frames[0]);
    EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    // A 65,560-byte frame: the device goes while it is still coming in.
    port->Write(frames[1]);
    ASSERT_TRUE(sim->WaitFor("unplugged")) << sim->Seen();
    EXPECT_TRUE(port->HungUp());
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->UpdateLink())));
    EXPECT_EQ(FindKind(ReadCatalog(sim->Catalog()), "Ports"), nullptr);
    EXPECT_EQ(sim->Stop(), 0);
}

// A writer that stops in the middle of a frame, as a tool killed there: after the receive gap
// the loader drops what it has of the frame, answers nothing for it and takes the next command.
TEST_F(Devsim, CutFrameIsDroppedAndTheNextCommandAnswered) {
    const fs::path log = m_dir.Path() / "frames.log";
    auto sim = Launch({"--frame-gap-ms", "250", "--frame-log", log.string()});
    auto port = EnterBootLoader(*sim);
    port->Write(Erase(0x2805, 0x1E, 0x1F));
    ASSERT_EQ(port->ReadDb(), Ack(0x2805));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    port->Write(frames[0]);
    ASSERT_EQ(port->ReadDb(), Ack(0x2801));
    port->Write(Bytes(frames[1].begin(), frames[1].begin() + 4096));
    ASSERT_TRUE(sim->WaitFor("cut DB 2801 65560 after 4096")) << sim->Seen();
    // An error answer for the cut would come before this one.
    port->Write(Db(0x0004));
    EXPECT_EQ(port->ReadDb(), Ack(0x0004));

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "rx DB 2801 65560 cut after 4096"),
              lines.end());
}

// Writes without blocking until the terminal takes no more; the bytes written.
std::size_t WriteUntilFull(Terminal& port, const Bytes& bytes, std::size_t from) {
    std::size_t done = from;
    while (done < bytes.size()) {
        const ssize_t n = ::write(port.Fd(), bytes.data() + done,
                                  std::min<std::size_t>(4096, bytes.size() - done));
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// The kill of a tool inside a frame, as the kill road test makes it: the device stops reading,
// the writer blocks and goes away, and every byte it got into the terminal reaches the device
// before the frame is cut.
TEST_F(Devsim, StalledDeviceTakesWhatWasWrittenOnceResumed) {
    auto sim = Launch({"--frame-gap-ms", "50", "--fault-stall", "C_MDSP:2:1000"});
    auto port = EnterBootLoader(*sim);
    port->Write(Erase(0x2805, 0x1E, 0x1F));
    ASSERT_EQ(port->ReadDb(), Ack(0x2805));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    port->Write(frames[0]);
    ASSERT_EQ(port->ReadDb(), Ack(0x2801));
    std::size_t written = WriteUntilFull(*port, frames[1], 0);
    const std::string stalled = sim->WaitForPrefix("stalled C_MDSP 2 after ");
    ASSERT_FALSE(stalled.empty()) << sim->Seen();
    EXPECT_GE(std::stoul(stalled.substr(stalled.rfind(' ') + 1)), 1000u);
    // What the device read before it stalled made room; once that is filled, nothing moves.
    written = WriteUntilFull(*port, frames[1], written);
    ASSERT_LT(written, frames[1].size()) << "the writer never blocked";
    ASSERT_TRUE(sim->Raise(SIGUSR2));
    ASSERT_TRUE(sim->WaitFor("resumed")) << sim->Seen();
    EXPECT_TRUE(sim->WaitFor("cut DB 2801 65560 after " + std::to_string(written))) << sim->Seen();
    port->Write(Db(0x0004));
    EXPECT_EQ(port->ReadDb(), Ack(0x0004));
}

TEST_F(Devsim, BusyPortIsLockedByAnotherProgram) {
    auto sim = Launch({"--busy"});
    Terminal update(sim->UpdateLink());
    ASSERT_TRUE(update.IsOpen());
    EXPECT_NE(::flock(update.Fd(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    // The holder loses the port when the device re-enumerates.
    update.Write(kDownloadRequest);
    ASSERT_TRUE(sim->WaitFor("appeared update bootloader")) << sim->Seen();
    Terminal loader(sim->UpdateLink());
    EXPECT_EQ(::flock(loader.Fd(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(Devsim, LostAcknowledgementLeavesTheOthersInOrder) {
    auto sim = Launch({"--fault-no-ack", "C_PS:2", "--fault-late-ack", "C_PS:3:30"});
    auto port = EnterBootLoader(*sim);
    port->Write(Erase(0x2805, 0x37, 0x37));
    EXPECT_EQ(port->ReadDb(), Ack(0x2805));
    std::vector<Bytes> frames = ImageFrames("C_PS");
    port->Write(frames[0]);
    EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    port->Write(frames[1]);  // never answered
    port->Write(frames[2]);  // answered late
    port->Write(Db(0x0004));
    // Had frame 2 been answered, the end request's answer would come one frame later.
    EXPECT_EQ(port->ReadDb(), Ack(0x2801));
    EXPECT_EQ(port->ReadDb(), Ack(0x0004));
}

TEST_F(Devsim, GarbageBeforeEveryAnswer) {
    auto sim = Launch({"--fault-garbage", "2"});
    auto port = EnterBootLoader(*sim);
    port->Write(Db(0x0004));
    EXPECT_EQ(port->Read(2), (Bytes{0xEE, 0xEE}));
    EXPECT_EQ(port->ReadDb(), Ack(0x0004));
}

}  // namespace

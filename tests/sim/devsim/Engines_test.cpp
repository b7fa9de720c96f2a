// The simulator's engines on their own: flash model, boot loader, AT channel, options, catalogue.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "sim/devsim/AtModem.h"
#include "sim/devsim/BootLoader.h"
#include "sim/devsim/Catalog.h"
#include "sim/devsim/Flash.h"
#include "sim/devsim/NormalPort.h"
#include "sim/devsim/Options.h"
#include "tests/sim/devsim/DevsimRig.h"

namespace {

using namespace sim::devsim;
using devsim_test::Db;
using devsim_test::ErrorAnswer;
using devsim_test::ImageFrames;

// ---- flash model

TEST(FlashModel, WritesOnlyIntoErasedBytesAndOnlyOnce) {
    FlashModel flash;
    const std::uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(flash.Write(0x10000, data), kErrWrite);
    ASSERT_EQ(flash.Erase(1, 1), 0);
    EXPECT_EQ(flash.Write(0x10000, data), 0);
    EXPECT_EQ(flash.Write(0x10002, data), kErrWrite);  // overlaps programmed bytes
    EXPECT_EQ(flash.Write(0x10004, data), 0);          // right behind them is still erased
    EXPECT_EQ(flash.Sum16(0x10000, 8), 20);
    ASSERT_EQ(flash.Erase(1, 1), 0);
    EXPECT_EQ(flash.Write(0x10000, data), 0);
}

TEST(FlashModel, RefusedWriteAcrossBlocksChangesNothing) {
    FlashModel flash;
    ASSERT_EQ(flash.Erase(2, 2), 0);
    std::vector<std::uint8_t> data(0x100, 0x11);
    // Starts in erased block 2, ends in block 3 that was never erased.
    EXPECT_EQ(flash.Write(0x2FF80, data), kErrWrite);
    EXPECT_EQ(flash.Sum16(0x2FF80, 0x80), static_cast<std::uint16_t>(0xFF * 0x80));
    EXPECT_EQ(flash.BlocksWithData(), 0u);
    ASSERT_EQ(flash.Erase(3, 3), 0);
    EXPECT_EQ(flash.Write(0x2FF80, data), 0);
    EXPECT_EQ(flash.Sum16(0x2FF80, 0x100), 0x1100);
    EXPECT_EQ(flash.BlocksWithData(), 2u);
}

TEST(FlashModel, RangesOutsideTheFlash) {
    FlashModel flash;
    EXPECT_EQ(flash.Erase(5, 4), kErrAddress);
    EXPECT_EQ(flash.Erase(0, FlashModel::kBlockCount), kErrAddress);
    EXPECT_EQ(flash.Erase(0, FlashModel::kBlockCount - 1), 0);
    const std::uint8_t data[2] = {1, 2};
    EXPECT_EQ(flash.Write(FlashModel::kBlockCount * 0x10000 - 1, data), kErrAddress);
    EXPECT_EQ(flash.Write(0xFFFFFFFF, data), kErrAddress);
    EXPECT_EQ(flash.Sum16(0xFFFFFFF0, 0x20), 0);
    // Erasing everything holds no memory until something is written.
    EXPECT_EQ(flash.BlocksWithData(), 0u);
}

// ---- boot loader engine

class RecordingHost : public Host {
  public:
    void Send(Bytes bytes, std::uint32_t delayMs, std::string log) override {
        out.insert(out.end(), bytes.begin(), bytes.end());
        delays.push_back(delayMs);
        logs.push_back("tx " + log);
    }
    void FrameLog(std::string_view line) override { logs.emplace_back(line); }
    void Event(std::string_view line) override { events.emplace_back(line); }
    void EnterDownloadMode() override { events.emplace_back("<download>"); }
    void Reset() override { events.emplace_back("<reset>"); }
    void Unplug() override { events.emplace_back("<unplug>"); }
    void Stall() override { events.emplace_back("<stall>"); }

    Bytes out;
    std::vector<std::uint32_t> delays;
    std::vector<std::string> logs;
    std::vector<std::string> events;
};

// Feeds input the way the event loop does, in pieces of the given size; returns what is left.
std::size_t Feed(PortEngine& engine, Host& host, Bytes& pending, const Bytes& input,
                 std::size_t piece) {
    for (std::size_t pos = 0; pos < input.size(); pos += piece) {
        pending.insert(
            pending.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
            input.begin() + static_cast<std::ptrdiff_t>(std::min(pos + piece, input.size())));
        while (!pending.empty()) {
            std::size_t used = engine.Step(pending, host);
            if (used == 0) {
                break;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
    }
    return pending.size();
}

class BootLoaderEngine : public testing::Test {
  protected:
    std::size_t Send(const Bytes& input, std::size_t piece = 1 << 20) {
        return Feed(m_loader, m_host, m_pending, input, piece);
    }
    Bytes TakeOut() {
        Bytes out;
        out.swap(m_host.out);
        return out;
    }

    Options m_options;
    DeviceMemory m_memory;
    BootLoader m_loader{m_options, m_memory};
    RecordingHost m_host;
    Bytes m_pending;
};

TEST_F(BootLoaderEngine, ByteByByteGivesTheSameAnswersAsWholeFrames) {
    Bytes all = devsim_test::Erase(0x2805, 0x37, 0x37);
    for (const Bytes& frame : ImageFrames("C_PS")) {
        all.insert(all.end(), frame.begin(), frame.end());
    }
    Bytes checksum = Db(0x0809);
    all.insert(all.end(), checksum.begin(), checksum.end());
    EXPECT_EQ(Send(all, 1), 0u);
    Bytes expected = Db(0x2805);
    for (int i = 0; i < 5; ++i) {
        Bytes ack = Db(0x2801);
        expected.insert(expected.end(), ack.begin(), ack.end());
    }
    Bytes sum = Db(0x0809, {0x41, 0xF2});
    expected.insert(expected.end(), sum.begin(), sum.end());
    EXPECT_EQ(TakeOut(), expected);
}

TEST_F(BootLoaderEngine, FlashTimeDelaysTheAnswers) {
    m_options.flashMsPerBlock = 7;
    Send(devsim_test::Erase(0x2805, 0x1E, 0x1F));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    Send(frames[0]);
    Send(frames[1]);  // 65,552 data bytes from a block boundary: two blocks
    ASSERT_EQ(m_host.delays.size(), 3u);
    EXPECT_EQ(m_host.delays[0], 14u);
    EXPECT_EQ(m_host.delays[1], 0u);
    EXPECT_EQ(m_host.delays[2], 14u);
}

TEST_F(BootLoaderEngine, HeaderMustFitItsModule) {
    std::vector<Bytes> frames = ImageFrames("C_PS");
    Bytes wrongWord = frames[0];
    wrongWord[2] = 0x2A;  // C_PS frames carry 28 01
    Send(wrongWord);
    EXPECT_EQ(TakeOut(), ErrorAnswer(-6));
    Bytes tooLong = frames[0];
    sim::image::WriteBe32(&tooLong[8 + 9], 0x20000);  // C_PS has one block
    Send(tooLong);
    EXPECT_EQ(TakeOut(), ErrorAnswer(-4));
    Bytes unknownArea = frames[0];
    unknownArea[8 + 4] = 0x77;
    Send(unknownArea);
    EXPECT_EQ(TakeOut(), ErrorAnswer(-4));
    // Data with no header before it.
    Send(frames[1]);
    EXPECT_EQ(TakeOut(), ErrorAnswer(-6));
}

TEST_F(BootLoaderEngine, DataBeyondTheAnnouncedLengthIsAnAddressError) {
    Send(devsim_test::Erase(0x2805, 0x37, 0x37));
    std::vector<Bytes> frames = ImageFrames("C_PS");
    Bytes header = frames[0];
    sim::image::WriteBe32(&header[8 + 9], 10);
    Send(header);
    TakeOut();
    Send(frames[1]);
    EXPECT_EQ(TakeOut(), ErrorAnswer(-4));
}

TEST_F(BootLoaderEngine, ChecksumOfAnAreaNeverDownloaded) {
    Send(Db(0x0209));
    EXPECT_EQ(TakeOut(), Db(0x0209, {0x00, 0x00}));
    Send(Db(0x7009));  // no module has area 0x70
    EXPECT_EQ(TakeOut(), ErrorAnswer(-4));
}

TEST_F(BootLoaderEngine, VersionRecordMustBePrintable) {
    Send(Db(0x0108, {'V', 0x01}));
    EXPECT_EQ(TakeOut(), ErrorAnswer(-6));
    Send(Db(0x0108));  // empty record: length 8 is below the minimum
    EXPECT_EQ(TakeOut(), ErrorAnswer(-6));
    EXPECT_TRUE(m_memory.versionRecord.empty());
    Send(Db(0x0108, {'A', 'B', 'C'}));
    EXPECT_EQ(TakeOut(), Db(0x0108));
    EXPECT_EQ(m_memory.versionRecord, "ABC");
}

TEST_F(BootLoaderEngine, ResetStopsTheEngineWithoutAnswer) {
    Send(Db(0x000B));
    EXPECT_TRUE(TakeOut().empty());
    EXPECT_EQ(m_host.events, (std::vector<std::string>{"reset", "<reset>"}));
}

TEST_F(BootLoaderEngine, UnplugFaultOnTheHeaderFrameWaitsForItsAreaByte) {
    m_options.frameFaults.push_back({FaultKind::Unplug, sim::image::FindModule("C_PS"), 1});
    Bytes header = ImageFrames("C_PS")[0];
    Send(Bytes(header.begin(), header.begin() + 12));
    EXPECT_TRUE(m_host.events.empty());
    Send(Bytes(header.begin() + 12, header.end()));
    EXPECT_EQ(m_host.events, std::vector<std::string>{"<unplug>"});
}

// The rest of a cut frame that comes late holds D0 opcodes and frame starts by chance; none of
// it is answered, the first DB frame of a known command is, and the cut frame sent again
// continues the download where it stood.
TEST_F(BootLoaderEngine, AfterACutOnlyAKnownDbFrameIsAnswered) {
    Send(devsim_test::Erase(0x2805, 0x1E, 0x1F));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    Send(frames[0]);
    TakeOut();
    ASSERT_EQ(Send(Bytes(frames[1].begin(), frames[1].begin() + 3000)), 3000u);
    m_loader.Cut(m_pending, m_host);
    m_pending.clear();
    EXPECT_EQ(m_host.logs.back(), "rx DB 2801 65560 cut after 3000");
    EXPECT_EQ(m_host.events.back(), "cut DB 2801 65560 after 3000");

    Bytes late(frames[1].begin() + 3000, frames[1].end());
    for (const Bytes& more : {Bytes{0xA1, 0x01, 0x00}, Db(0x7777), Db(0x0004)}) {
        late.insert(late.end(), more.begin(), more.end());
    }
    EXPECT_EQ(Send(late, 4096), 0u);
    EXPECT_EQ(TakeOut(), Db(0x0004));
    Send(Db(0x7777));
    EXPECT_EQ(TakeOut(), ErrorAnswer(-6)) << "the hunt is over";

    Send(frames[1]);
    Send(frames[2]);
    Bytes acks = Db(0x2801);
    const Bytes ack = acks;
    acks.insert(acks.end(), ack.begin(), ack.end());
    EXPECT_EQ(TakeOut(), acks);
    EXPECT_EQ(m_host.events.back(), "downloaded C_MDSP");
    Send(Db(0x0209));
    EXPECT_EQ(TakeOut(), Db(0x0209, {0x88, 0xB7}));
}

TEST_F(BootLoaderEngine, CutNamesWhatHadCome) {
    for (auto [partial, line] :
         {std::pair{Bytes{'D', 'B', 0x28, 0x05, 0x00}, "cut DB - - after 5"},
          std::pair{Bytes{0xA3, 0x00, 0x10, 0x00}, "cut D0 A3 19 after 4"},
          std::pair{devsim_test::Text("S107000"), "cut SREC S1 18 after 7"}}) {
        m_loader.Cut(partial, m_host);
        EXPECT_EQ(m_host.events.back(), line);
    }
}

TEST_F(BootLoaderEngine, StallFaultFiresOnceTheFrameHasItsBytes) {
    m_options.frameFaults.push_back(
        {FaultKind::Stall, sim::image::FindModule("C_MDSP"), 2, 0, 0, 5000});
    Send(devsim_test::Erase(0x2805, 0x1E, 0x1F));
    std::vector<Bytes> frames = ImageFrames("C_MDSP");
    Send(frames[0]);
    TakeOut();
    Send(Bytes(frames[1].begin(), frames[1].begin() + 4096));
    EXPECT_EQ(m_host.events.back(), "erased 001E-001F");
    EXPECT_EQ(Send(Bytes(frames[1].begin() + 4096, frames[1].begin() + 8192)), 8192u);
    EXPECT_EQ(m_host.events, (std::vector<std::string>{"erased 001E-001F",
                                                       "stalled C_MDSP 2 after 8192", "<stall>"}));
    EXPECT_TRUE(TakeOut().empty());
    Send(Bytes(frames[1].begin() + 8192, frames[1].end()));
    EXPECT_EQ(TakeOut(), Db(0x2801));
}

TEST_F(BootLoaderEngine, TextRecordsAreTakenWithoutAnswer) {
    EXPECT_EQ(Send(devsim_test::Text("S00600004844521B\r\nS1070000DB42AA55C8\r\n"), 3), 0u);
    EXPECT_TRUE(TakeOut().empty());
    // The DB inside a record's data is not taken for a frame.
    EXPECT_EQ(std::count(m_host.logs.begin(), m_host.logs.end(), "rx SREC S1 18"), 1);
}

TEST_F(BootLoaderEngine, FirstStageRefusesBlocksOutOfOrder) {
    Send({0xA0, 0x01, 0x01, 0xA1, 0x01, 0x00});
    Send({0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04});
    TakeOut();
    Send({0xA3, 0x00, 0x04, 0x00, 0x01, 0xAA, 0xBB});
    EXPECT_EQ(TakeOut(), (Bytes{0xB1, 0x02, 0x01, 0x00}));
    // A window of 4 bytes takes no block of 6.
    Send({0xA3, 0x00, 0x08, 0x00, 0x00, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(TakeOut(), (Bytes{0xB1, 0x02, 0x01, 0x00}));
    // A wrong PC checksum: failure status, with the device's own sum (0xFF bytes unwritten).
    Send({0xA4, 0x02, 0x12, 0x34});
    EXPECT_EQ(TakeOut(), (Bytes{0xB2, 0x03, 0x01, 0xFC, 0x04}));
}

TEST_F(BootLoaderEngine, FirstStageNeedsTheLoadingMode) {
    Send({0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04});
    EXPECT_EQ(TakeOut(), (Bytes{0xB1, 0x02, 0x01, 0x00}));
    Send({0xA1, 0x01, 0x00});
    EXPECT_EQ(TakeOut(), (Bytes{0xB0, 0x01, 0x00}));
}

TEST(NormalPortEngine, DropsNoiseAndAnswersRequestsInPieces) {
    NormalPort port("110414");
    RecordingHost host;
    Bytes pending;
    Bytes input = {0x00, 0x41, 0xFF, 0xFD, 0x00};
    input.insert(input.end(), kVersionRequest.begin(), kVersionRequest.end());
    EXPECT_EQ(Feed(port, host, pending, input, 2), 0u);
    EXPECT_EQ(host.out, BuildVersionAnswer("110414"));
    Feed(port, host, pending, Bytes(kDownloadModeRequest.begin(), kDownloadModeRequest.end()), 1);
    EXPECT_EQ(host.events.back(), "<download>");
}

// ---- AT channel

TEST(AtChannelEngine, AnswersPerLine) {
    ModemInfo info{"Ver1.00", "358741050123456", Area::Home, false};
    AtChannel at(info, false);
    std::string out;
    at.Feed(devsim_test::Text("at+gmr\r\nATE1\r"), out);
    EXPECT_EQ(out, "\r\nVer1.00\r\n\r\nOK\r\n\r\nOK\r\n");
    out.clear();
    at.Feed(devsim_test::Text("AT\r"), out);
    EXPECT_EQ(out, "AT\r\r\nOK\r\n");
    out.clear();
    at.Feed(devsim_test::Text("hello\r"), out);
    EXPECT_EQ(out, "hello\r\r\nERROR\r\n");
}

TEST(AtChannelEngine, OverlongLineIsRefused) {
    ModemInfo info{"Ver1.00", "358741050123456", Area::Home, false};
    AtChannel at(info, false);
    std::string out;
    at.Feed(devsim_test::Text("AT" + std::string(10000, 'X') + "\r"), out);
    EXPECT_EQ(out, "\r\nERROR\r\n");
    out.clear();
    at.Feed(devsim_test::Text("AT+CGSN\r"), out);
    EXPECT_EQ(out, "\r\n358741050123456\r\n\r\nOK\r\n");
}

TEST(AtChannelEngine, SilentModemAnswersNothing) {
    ModemInfo info{"Ver1.00", "358741050123456", Area::Home, true};
    AtChannel at(info, true);
    std::string out;
    at.Feed(devsim_test::Text("AT+GMR\r\nAT+CGSN\r\n"), out);
    EXPECT_TRUE(out.empty());
}

// ---- options

TEST(OptionsParsing, FaultsAndTheirModules) {
    const char* argv[] = {"zr40-devsim",
                          "--dir",
                          "/tmp/x",
                          "--fault-error",
                          "C_LM1:4:0xFFFFFFFD",
                          "--fault-late-ack=U_LM:2:250",
                          "--fault-bad-sum",
                          "C_LM2",
                          "--fault-unplug",
                          "C_USB:100",
                          "--fault-stall",
                          "C_MDSP:2:4096",
                          "--frame-gap-ms",
                          "250"};
    Options options;
    EXPECT_EQ(options.frameGapMs, 500u);
    std::string error;
    ASSERT_EQ(ParseOptions(14, argv, options, error), 1) << error;
    ASSERT_EQ(options.frameFaults.size(), 4u);
    EXPECT_EQ(options.frameFaults[0].module->name, "C_L1");
    EXPECT_EQ(options.frameFaults[0].frame, 4u);
    EXPECT_EQ(options.frameFaults[0].code, -3);
    EXPECT_EQ(options.frameFaults[1].delayMs, 250u);
    EXPECT_EQ(options.frameFaults[3].bytes, 4096u);
    EXPECT_EQ(options.frameGapMs, 250u);
    EXPECT_EQ(options.badSum.at(0)->name, "C_L2");
    EXPECT_EQ(options.CatalogPath(), "/tmp/x/catalog.txt");
}

TEST(OptionsParsing, RefusesWhatWouldBreakTheDeviceOrTheCatalogue) {
    for (std::vector<const char*> args :
         std::vector<std::vector<const char*>>{{"--fault-late-ack", "C_PS:1"},
                                               {"--fault-no-ack", "C_PS:x"},
                                               {"--fault-error", "C_PS:1:-2:9"},
                                               {"--fault-stall", "C_MDSP:2"},
                                               {"--fault-stall", "C_MDSP:2:0"},
                                               {"--fault-stall", "C_MDSP:2:65560"},
                                               {"--frame-gap-ms", "soon"},
                                               {"--version", "Ver\t1.00"},
                                               {"--area", "moon"},
                                               {"--reenum-ms", "-5"},
                                               {"--module-version", "C_L4=X"},
                                               {"--gadget-udc", "dummy_udc.0"},
                                               {"--gadget-update-first"},
                                               {"--dir"},
                                               {}}) {
        std::vector<const char*> argv = {"zr40-devsim"};
        if (!args.empty() && std::string(args[0]) != "--dir") {
            argv.insert(argv.end(), {"--dir", "/tmp/x"});
        }
        argv.insert(argv.end(), args.begin(), args.end());
        Options options;
        std::string error;
        EXPECT_EQ(ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error), 0)
            << (args.empty() ? "no --dir" : args[0]);
        EXPECT_FALSE(error.empty());
    }
}

TEST(OptionsParsing, NewDateCodeComesFromTheVersionRecord) {
    Options options;
    EXPECT_EQ(options.NewDateCode(), "110805");
    options.gen = "SOMETHING ELSE";
    EXPECT_EQ(options.NewDateCode(), options.dateCode);
    options.newDateCode = "120101";
    EXPECT_EQ(options.NewDateCode(), "120101");
}

// ---- catalogue

TEST(CatalogWriter, ReplacesOnlyItsOwnRecords) {
    devsim_test::TempDir dir;
    const std::string path = (dir.Path() / "c.txt").string();
    {
        std::ofstream seed(path);
        seed << "# foreign\nPorts\tOTHER\tPortName=ttyACM9\n\nModem\tX\tOwner=zr40-devsim:1\n";
    }
    std::string error;
    ASSERT_EQ(WriteCatalog(path, "me", {{"Ports", "MINE", {{"PortName", "/p"}}}}, error), 1);
    ASSERT_EQ(WriteCatalog(path, "me", {{"Net", "MINE", {}}}, error), 1);
    std::vector<devsim_test::CatalogLine> records = devsim_test::ReadCatalog(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].id, "OTHER");
    EXPECT_EQ(records[1].props.at("Owner"), "zr40-devsim:1");
    EXPECT_EQ(records[2].kind, "Net");
    EXPECT_FALSE(devsim_test::fs::exists(path + ".tmp"));
    EXPECT_EQ(FormatRecord({"Mbn", "{X}", {{"RegisterState", "3"}, {"Firmware", "Ver1.00"}}}),
              "Mbn\t{X}\tRegisterState=3\tFirmware=Ver1.00");
}

}  // namespace

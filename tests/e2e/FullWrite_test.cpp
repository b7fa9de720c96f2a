// The complete shipped GLOBAL section, unchanged and with the shipped configuration, against the
// simulator: every frame on the wire in order, every answer, and the device coming back with the
// new firmware version. The shipped Timer rows make this run last over 20 seconds.
#include <gmock/gmock.h>

#include "tests/e2e/E2eSupport.h"

namespace e2etest {
namespace {

using sim::image::kModules;
using sim::image::Module;
using ::testing::ElementsAreArray;

// The finish word the shipped script writes after each image.
std::uint16_t FinishWord(const Module& module) {
    return module.eraseCommand == 0x2805 ? 0x0107
                                         : static_cast<std::uint16_t>(module.areaCode << 8 | 0x07);
}

std::string Range(const Module& module) {
    char text[32];
    std::snprintf(text, sizeof text, "erased %04X-%04X", static_cast<unsigned>(module.firstBlock),
                  static_cast<unsigned>(module.lastBlock));
    return text;
}

// AT+GMR on channel 0 of the modem port, as the tool asks for the version.
std::string AskVersion(CParamFile* pInitData) {
    CUsbPort modem(pInitData);
    if (modem.FindPort(CUsbPort::kModemPort) != 1 || modem.OpenAtChannels() != 1) {
        return "no modem port";
    }
    const std::string command = "AT+GMR\r\n";
    std::string answer;
    if (modem.AtWrite(0, reinterpret_cast<const std::uint8_t*>(command.data()),
                      static_cast<std::uint32_t>(command.size())) == 1) {
        while (!answer.ends_with("OK\r\n") && !answer.ends_with("ERROR\r\n") &&
               modem.AtWaitInput(0, 20000) == 1) {
            std::uint8_t buffer[100];
            std::uint32_t got = 0;
            if (modem.AtRead(0, buffer, sizeof buffer, got) != 1) {
                break;
            }
            answer.append(reinterpret_cast<const char*>(buffer), got);
        }
    }
    modem.CloseAtChannels();
    return answer;
}

TEST_F(E2eTest, TheShippedScriptWritesEveryImageAndTheDeviceComesBackWithTheNewVersion) {
    Launch({"--reenum-ms", "200"});
    ASSERT_EQ(Prepare(std::nullopt, true), 1);
    ASSERT_EQ(RunGuarded(), Result::kSucceeded) << sim->Seen();
    EXPECT_FALSE(GuardFired());

    // What the wire carried, frame by frame, and what the device answered to each.
    std::vector<std::string> expected = {"rx RAW VERSION 10", "tx RAW VERSION 18",
                                         "rx RAW DOWNLOAD 8"};
    std::vector<std::string> expectedEvents;
    int nFrames = 0;
    for (const Module& module : kModules) {
        if (module.name == "C_USB") {
            // The version record goes before the last module: 22 characters of text.
            expected.push_back(DbLine("rx", 0x0108, 30));
            expected.push_back(DbLine("tx", 0x0108, 8));
            expectedEvents.push_back("version-record QUORVEN V07R22C 110805");
        }
        expected.push_back(DbLine("rx", module.eraseCommand, 12));
        expected.push_back(DbLine("tx", module.eraseCommand, 8));
        const std::vector<devsim_test::Bytes> frames =
            devsim_test::ImageFrames(std::string(module.name));
        ASSERT_FALSE(frames.empty()) << module.name;
        for (const devsim_test::Bytes& frame : frames) {
            expected.push_back(
                DbLine("rx", static_cast<std::uint16_t>(frame[2] << 8 | frame[3]), frame.size()));
            expected.push_back(DbLine("tx", module.frameCommand, 8));
            ++nFrames;
        }
        expected.push_back(DbLine("rx", FinishWord(module), 8));
        expected.push_back(DbLine("tx", FinishWord(module), 8));
        if (!module.sumKey.empty()) {
            const auto request = static_cast<std::uint16_t>(module.areaCode << 8 | 0x09);
            expected.push_back(DbLine("rx", request, 8));
            expected.push_back(DbLine("tx", request, 10));
        }
        expectedEvents.push_back(Range(module));
        expectedEvents.push_back("downloaded " + std::string(module.name));
    }
    expected.push_back(DbLine("rx", 0x000B, 8));
    expectedEvents.push_back("reset");
    EXPECT_THAT(FrameLines(), ElementsAreArray(expected));

    // The erase ranges and the whole data of each image, as the device took them, in order.
    std::vector<std::string> events;
    bool bBack = false;
    for (std::string line = sim->NextLine(); !line.empty(); line = sim->NextLine()) {
        if (line == "appeared update normal") {
            bBack = true;
            break;
        }
        if (line.starts_with("erased ") || line.starts_with("downloaded ") ||
            line.starts_with("version-record ") || line == "reset") {
            events.push_back(line);
        }
    }
    ASSERT_TRUE(bBack) << sim->Seen();
    EXPECT_THAT(events, ElementsAreArray(expectedEvents));

    // Twelve modules checked, all equal.
    int nSumsOk = 0;
    for (const std::string& line : steps.Lines()) {
        nSumsOk += line.ends_with(" Checksum OK") ? 1 : 0;
        EXPECT_EQ(line.find("Checksum Unmatch"), std::string::npos) << line;
    }
    EXPECT_EQ(nSumsOk, 12);

    EXPECT_EQ(nFrames, 398);
    EXPECT_EQ(run->ProgressCount(), nFrames);
    EXPECT_EQ(run->ErrorBoxCount(), 0);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_FALSE(run->Failed());
    EXPECT_EQ(run->ThreadCount(), 2);
    EXPECT_EQ(run->EndCount(), 1);
    EXPECT_FALSE(cwd.HasLog());

    const std::string answer = AskVersion(&run->InitData());
    EXPECT_NE(answer.find("Ver1.01"), std::string::npos) << answer;
}

}  // namespace
}  // namespace e2etest

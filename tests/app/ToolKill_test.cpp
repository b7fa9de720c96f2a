// kill -9 of the update tool at random moments of a road against the simulator, inside frames
// too: whatever store the killed run leaves, starting the tool again (as the relaunch at logon
// or the user does) finishes the road, and a device left half written, with part of a frame in
// its boot loader, takes the write again.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "platform/registry/Registry.h"
#include "platform/system/Autostart.h"
#include "tests/app/ToolRun.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ScopedEnv;

// Into the boot loader, one image erased, downloaded and finished, the new version recorded,
// the reset. The image has two data frames of 65,560 and 54,942 bytes, each many writes of the
// port: a kill inside one leaves its first part in the device, which the device drops after its
// receive time-out.
constexpr char kImage[] = "C_MDSP";
constexpr char kRoad[] =
    "[GLOBAL]\r\nPort=open,10\r\nCMD=ff550042000101fe\r\nTimer=1\r\nPort=close\r\n"
    "Port=open,10\r\nDBB_D2_CMD=4442,2805,12,001E001F\r\nWait_DBB=4442,-1\r\n"
    "DBB_LM_File=DATA\\C_MDSP\\QRV_C_MDSP.cvt,20\r\nDBB_D2_CMD=4442,0107,8\r\n"
    "Wait_DBB=4442,-1\r\nDBB_D2_SETVERSIONFROMFILE=latest\r\nWait_DBB=4442,10\r\n"
    "DBB_D2_CMD=4442,000B,8\r\nPort=close\r\n";
// Yes to the recovery offer if it comes, the notice accepted, the write started.
constexpr char kFreshSteps[] = "answer 6\npress 178 1\npress 1000 1202\n";
constexpr char kDone[] = "ソフトウェア更新が正常に完了しました。";
constexpr char kRefused[] =
    "本アプリケーションでは、接続されているZR-40のソフトウェア更新はできません。";
constexpr char kNotConnected[] = "ZR-40が未接続です。";
constexpr char kStartPressed[] = "press 1000 1202";

// ZR_KILL_ROUNDS asks for more.
constexpr int kRounds = 10;
constexpr int kStartsPerRound = 4;
// Kill moments inside the write: from the image's erase on, while the device flashes.
constexpr int kWriteSpanMs = 1500;
// Room that the terminal keeps behind a stalled device (Linux: some 12 KiB): a stall this far
// before a frame's end still leaves the end out when the blocked writer is killed.
constexpr std::size_t kTerminalRoom = 32768;
constexpr auto kGuard = 60s;

enum class Moment { kInsideFrame, kAfterErase, kAtRecordLine, kAfterLaunch };
// After the first round, which is not killed: half the kills inside a frame.
constexpr Moment kMoments[] = {Moment::kInsideFrame,  Moment::kAfterErase,  Moment::kInsideFrame,
                               Moment::kAtRecordLine, Moment::kInsideFrame, Moment::kAfterLaunch};

class ToolKilled : public ::testing::Test {
  protected:
    ToolKilled() {
        tooltest::MakeToolFolder(folder.Path(), ZR_ROAD_TOOL, ZR_ROAD_MANAGER);
        std::ofstream(folder.Path() / "road.ini", std::ios::binary) << kRoad;
        std::ofstream(folder.Path() / "fresh.steps") << kFreshSteps;
        std::ofstream(folder.Path() / "resume.steps");
        script.emplace("ZR40_TEST_SCRIPT", (folder.Path() / "road.ini").c_str());
        const std::string nowhere = "unix:path=" + (folder.Path() / "no-bus").string();
        bus.emplace("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str());
    }

    // The device as the PC sees it now, from the simulator's catalogue.
    std::optional<devsim_test::CatalogLine> Record(const std::string& kind) const {
        const auto records = devsim_test::ReadCatalog(sim->Catalog());
        const devsim_test::CatalogLine* record = devsim_test::FindKind(records, kind);
        return record ? std::optional(*record) : std::nullopt;
    }

    // A fresh start is walked to the write; a resumed run needs nobody.
    void StartTool(bool bFresh) {
        const fs::path steps = folder.Path() / (bFresh ? "fresh.steps" : "resume.steps");
        ScopedEnv scriptVar("ZR40_UI_SCRIPT", steps.c_str());
        tool.emplace(
            std::vector<std::string>{(folder.Path() / fs::path(ZR_ROAD_TOOL).filename()).string()},
            testsupport::ChildProcess::Options{.cwd = folder.Path()});
    }

    static std::vector<std::string> Device(std::vector<std::string> args) {
        args.insert(args.end(), {"--reenum-ms", "300", "--flash-ms-per-block", "300"});
        return args;
    }

    // Runs the started tool to its end: "done" (the manager's confirmation), "refused" (a fresh
    // start for a device that has the new version already), "" (no device yet), or "failed".
    std::string Ended(std::uint32_t dwStatus) {
        while (const auto line = tool->NextLine(tooltest::In(kGuard))) {
            // The user follows the driver box: the device unplugged, the communication settings
            // installed, the device plugged in again.
            if (line->starts_with("180 show")) {
                const fs::path dir = sim->Dir();
                EXPECT_EQ(sim->Stop(), 0);
                sim.emplace(dir, Device({"--version", "Ver1.01"}));
                EXPECT_EQ(sim->NextLine(), "ready");
            }
        }
        if (!tool->Finish(tooltest::In(kGuard)) || tooltest::Boxes(*tool).empty()) {
            return "failed";
        }
        // The sanitizer builds run the tool with them too.
        EXPECT_EQ(tool->Text().find("Sanitizer"), std::string::npos) << tool->Text();
        const std::string box = tooltest::Boxes(*tool).back();
        if (box.find(kDone) != std::string::npos) {
            return "done";
        }
        if (box.find(kRefused) != std::string::npos && dwStatus == 0) {
            return "refused";
        }
        return box.find(kNotConnected) != std::string::npos ? "" : "failed";
    }

    testsupport::TempDir folder;
    ScopedEnv ui{"ZR40_UI", "scripted"};
    ScopedEnv server{"ZR40_UPDATE_SERVER", "http://127.0.0.1:9"};
    std::optional<ScopedEnv> script;
    std::optional<ScopedEnv> bus;
    std::optional<devsim_test::DevSim> sim;
    std::optional<testsupport::ChildProcess> tool;
};

TEST_F(ToolKilled, EveryStoreLeftBehindLetsTheNextStartsFinishTheRoad) {
    const char* fixed = std::getenv("ZR_KILL_SEED");
    const unsigned seed =
        fixed ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
    const char* more = std::getenv("ZR_KILL_ROUNDS");
    const int nRounds = more ? std::max(1, std::atoi(more)) : kRounds;
    std::cout << "kill seed " << seed << " (ZR_KILL_SEED repeats it), " << nRounds << " rounds"
              << std::endl;
    std::mt19937 random(seed);
    const std::vector<devsim_test::Bytes> frames = devsim_test::ImageFrames(kImage);
    ASSERT_EQ(frames.size(), 3u) << "a header frame and two data frames";

    int nRoadMs = 0;
    int nRoadLines = 0;
    std::map<std::string, int> statuses;  // Status left by the kill, per round
    std::map<std::string, int> ends;
    std::vector<std::string> cuts;
    const auto begun = std::chrono::steady_clock::now();
    for (int round = 0; round < nRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        testsupport::TempDir root;
        testsupport::TempDir simDir;
        ScopedEnv rootVar("ZR40_ROOT", root.Path().c_str());
        CStateStore store;
        // A record of an earlier update still waits for the manager.
        ASSERT_EQ(store.CreateStateKeys(), 1);
        ASSERT_EQ(store.SetUpdateRequesting(true), 1);

        // The first round is not killed and measures a road; the others are killed as kMoments
        // has them: inside a data frame at a random byte, where the device stalls so that the
        // tool's write blocks there; a random time after the image's erase; after a random
        // count of record lines; a random time after the launch.
        const Moment moment = kMoments[(static_cast<std::size_t>(round) + std::size(kMoments) - 1) %
                                       std::size(kMoments)];
        const bool bInside = round > 0 && moment == Moment::kInsideFrame;
        std::vector<std::string> args = Device({});
        std::uint32_t nFrame = 0;
        std::size_t nAt = 0;
        if (bInside) {
            nFrame = std::uniform_int_distribution<std::uint32_t>(2, 3)(random);
            const std::size_t nLength = frames[nFrame - 1].size();
            nAt = std::uniform_int_distribution<std::size_t>(1, nLength - kTerminalRoom)(random);
            args.insert(args.end(),
                        {"--fault-stall", std::string(kImage) + ":" + std::to_string(nFrame) + ":" +
                                              std::to_string(nAt)});
        }
        sim.emplace(simDir.Path(), args);
        ASSERT_EQ(sim->NextLine(), "ready");
        ScopedEnv catalog("ZR40_DEVICE_CATALOG", sim->Catalog().c_str());

        const auto launched = std::chrono::steady_clock::now();
        StartTool(true);
        std::string end;
        if (round == 0) {
            ASSERT_TRUE(tool->WaitFor(kDone, tooltest::In(kGuard))) << tool->Text();
            nRoadMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - launched)
                                           .count());
            nRoadLines = static_cast<int>(tool->Lines().size());
            end = Ended(0);
        } else {
            std::string when;
            if (bInside) {
                ASSERT_TRUE(tool->WaitFor(kStartPressed, tooltest::In(kGuard))) << tool->Text();
                const std::string stalled = sim->WaitForPrefix("stalled " + std::string(kImage) +
                                                               " " + std::to_string(nFrame) + " ");
                ASSERT_FALSE(stalled.empty()) << sim->Seen() << "\n" << tool->Text();
                when = "inside frame " + std::to_string(nFrame) + ", stalled from byte " +
                       std::to_string(nAt) + " on (" + stalled + ")";
            } else if (moment == Moment::kAfterErase) {
                ASSERT_TRUE(tool->WaitFor(kStartPressed, tooltest::In(kGuard))) << tool->Text();
                ASSERT_TRUE(sim->WaitFor("erased 001E-001F")) << sim->Seen();
                const int nMs = std::uniform_int_distribution<int>(0, kWriteSpanMs)(random);
                const auto until = tooltest::In(std::chrono::milliseconds(nMs));
                while (tool->NextLine(until)) {
                }
                when = std::to_string(nMs) + " ms after the erase";
            } else if (moment == Moment::kAtRecordLine) {
                const int nLines = std::uniform_int_distribution<int>(1, nRoadLines)(random);
                while (static_cast<int>(tool->Lines().size()) < nLines &&
                       tool->NextLine(tooltest::In(kGuard))) {
                }
                when = "at record line " + std::to_string(nLines);
            } else {
                const int nMs = std::uniform_int_distribution<int>(0, nRoadMs)(random);
                while (tool->NextLine(launched + std::chrono::milliseconds(nMs))) {
                }
                when = std::to_string(nMs) + " ms after the launch";
            }
            tool->Kill();
            if (bInside) {
                // What the killed tool got into the terminal reaches the device, then nothing.
                ASSERT_TRUE(sim->Raise(SIGUSR2));
            }
            std::uint32_t dwLeft = 0;
            store.ReadStatus(dwLeft);
            ++statuses[std::to_string(dwLeft)];
            std::cout << "round " << round << ": killed " << when << ", after \""
                      << (tool->Lines().empty() ? "" : tool->Lines().back()) << "\", Status "
                      << dwLeft << " left" << std::endl;
            if (bInside || moment == Moment::kAfterErase) {
                EXPECT_TRUE(Record("Ports") && !Record("Modem"))
                    << "the device is in its boot loader\n"
                    << sim->Seen() << "\n"
                    << tool->Text();
            }
        }
        // The tool started again, as the relaunch at logon or the user does; it may well be
        // back before the device has given up the cut frame.
        for (int nStart = 0; nStart < kStartsPerRound && end.empty(); ++nStart) {
            ASSERT_TRUE(testsupport::Eventually([&] { return Record("Ports").has_value(); }, 30000))
                << "the device came back";
            std::uint32_t dwStatus = 0;
            store.ReadStatus(dwStatus);
            StartTool(dwStatus == 0);
            if (bInside && nStart == 0) {
                const std::string cut = sim->WaitForPrefix("cut ");
                ASSERT_FALSE(cut.empty()) << "the kill left the whole frame in the device\n"
                                          << sim->Seen();
                cuts.push_back(cut.substr(4));
                std::cout << "round " << round << ": " << cut << std::endl;
            }
            end = Ended(dwStatus);
            ASSERT_NE(end, "failed") << "started with Status " << dwStatus << ":\n" << tool->Text();
        }
        ASSERT_FALSE(end.empty()) << "the road never ended\n" << tool->Text();
        ++ends[end];
        std::cout << "round " << round << ": " << end << " ("
                  << std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - launched)
                         .count()
                  << " ms)" << std::endl;

        std::uint32_t dwStatus = 0;
        EXPECT_EQ(store.ReadStatus(dwStatus), 0) << "Status " << dwStatus << " left behind";
        EXPECT_EQ(store.HasUpdateError(), 0);
        platform::registry::Store user(platform::registry::CurrentUserStore());
        EXPECT_TRUE(user.OpenKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting").ok())
            << "the records wait for the manager";
        EXPECT_FALSE(fs::exists(platform::system::AutostartFile(
            platform::system::AutostartScope::kCurrentUser, kRelaunchEntry)));
        const auto mbn = Record("Mbn");
        ASSERT_TRUE(mbn.has_value());
        EXPECT_EQ(mbn->props.at("Firmware"), "Ver1.01");
        tool.reset();
        sim.reset();
    }
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - begun)
                         .count();
    std::cout << nRounds << " rounds in " << nMs / 1000.0 << " s, " << nMs / nRounds
              << " ms a round; Status left by the kills:";
    for (const auto& [status, n] : statuses) {
        std::cout << " " << status << " x" << n;
    }
    std::cout << "; ends:";
    for (const auto& [what, n] : ends) {
        std::cout << " " << what << " x" << n;
    }
    std::cout << "; " << cuts.size() << " frames cut:";
    for (const std::string& cut : cuts) {
        std::cout << " [" << cut << "]";
    }
    std::cout << std::endl;
}

}  // namespace

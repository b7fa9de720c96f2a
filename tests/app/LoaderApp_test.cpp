// The tool's start-up against the simulator: each check's box as the user sees it, and what the
// main dialog is handed.
#include "Loader/app/LoaderApp.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/app/SecondaryDlgs.h"
#include "Loader/app/StateStore.h"
#include "Loader/common/RunNames.h"
#include "platform/kernel/Event.h"
#include "platform/resources/resources.h"
#include "platform/ui/ScriptedHost.h"
#include "tests/app/ToolBoxes.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace {

namespace ui = platform::ui;
namespace fs = std::filesystem;

class LoaderStart : public ::testing::Test {
  protected:
    LoaderStart() { ui::SetHost(&host); }
    ~LoaderStart() override { ui::SetHost(nullptr); }

    void Device(std::vector<std::string> args) {
        sim = std::make_unique<devsim_test::DevSim>(simDir.Path(), std::move(args));
        ASSERT_EQ(sim->NextLine(), "ready");
        catalog.emplace("ZR40_DEVICE_CATALOG", sim->Catalog().c_str());
    }

    void Start() {
        CLoaderApp app(
            [this](CLoaderStart& start) {
                handed = start;
                portOpenAtHandOver = start.pPort->IsPortValid();
            },
            clock, {}, platform::registry::FileStore(root.Path() / "user.db"));
        EXPECT_FALSE(app.AppInitialize());
    }

    // The boxes shown, without their answers, in order.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& line : host.Record()) {
            if (line.starts_with("msgbox")) {
                boxes.push_back(line.substr(0, line.rfind(" -> ")));
            }
        }
        return boxes;
    }
    bool NoticeShown() const {
        for (const std::string& line : host.Record()) {
            if (line.starts_with("178 show")) {
                return true;
            }
        }
        return false;
    }
    // Runs the start-up against a device and expects it to end with that one box.
    void ExpectRefusal(std::vector<std::string> args, int nId) {
        Device(std::move(args));
        Start();
        EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(nId, "warning")});
        EXPECT_FALSE(NoticeShown());
        EXPECT_FALSE(handed);
    }

    CStateStore Store() {
        return CStateStore(platform::registry::FileStore(root.Path() / "user.db"));
    }

    testsupport::TempDir root;
    testsupport::TempDir simDir;
    testsupport::ScopedEnv rootVar{"ZR40_ROOT", root.Path().c_str()};
    testsupport::ScopedEnv osVar{"ZR40_OS_VERSION", "6.1"};
    std::optional<testsupport::ScopedEnv> catalog;
    testsupport::ManualClock clock;
    ui::ScriptedHost host{clock};
    std::unique_ptr<devsim_test::DevSim> sim;
    // The pointers in it are gone with the application.
    std::optional<CLoaderStart> handed;
    bool portOpenAtHandOver = true;
};

TEST_F(LoaderStart, FreshDeviceGoesThroughTheNoticeToTheMainDialog) {
    Device({});
    host.Press(IDD_ATTENTION, ui::IDOK);
    Start();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(NoticeShown());
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->dwStatus, 0u);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
    EXPECT_EQ(handed->strNewVersion.Str(), "Ver1.01");
    EXPECT_FALSE(handed->bMbnMode);
    EXPECT_FALSE(handed->bRecovery);
    EXPECT_EQ(handed->os.minor, 1u);
    EXPECT_NE(handed->pPort, nullptr);
    EXPECT_GT(handed->dwScriptWeight, 0u);
    // The update port was tried and left closed for the main dialog.
    EXPECT_FALSE(portOpenAtHandOver);
}

TEST_F(LoaderStart, NoticeClosedEndsTheRun) {
    Device({});
    host.Close(IDD_ATTENTION);
    Start();
    EXPECT_TRUE(NoticeShown());
    EXPECT_FALSE(handed);
}

TEST_F(LoaderStart, StopOfAnEarlierRunResumesWithoutDevice) {
    ASSERT_EQ(Store().CreateStateKeys(), 1);
    ASSERT_EQ(Store().WriteSwUpState(1, 0, "Ver1.00", "/opt/tool"), 1);
    ASSERT_EQ(Store().WriteSwUpState(2, 1, "", ""), 1);
    Start();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_FALSE(NoticeShown());
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->dwStatus, 2u);
    EXPECT_EQ(handed->dwDriverUpdate, 1u);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
    EXPECT_EQ(handed->strExecDir.Str(), "/opt/tool");
    EXPECT_EQ(handed->strNewVersion.Str(), "Ver1.01");
}

TEST_F(LoaderStart, UnknownStatusStartsAfresh) {
    ASSERT_EQ(Store().CreateStateKeys(), 1);
    ASSERT_EQ(Store().WriteSwUpState(1, 0, "Ver0.50", "/opt/tool"), 1);
    ASSERT_EQ(Store().WriteSwUpState(7, 9, "", ""), 1);
    Device({});
    host.Press(IDD_ATTENTION, ui::IDOK);
    Start();
    EXPECT_TRUE(NoticeShown());
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->dwStatus, 0u);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
}

TEST_F(LoaderStart, UnsupportedSystemIsRefused) {
    testsupport::ScopedEnv old("ZR40_OS_VERSION", "5.0");
    Start();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgUnsupportedOs, "warning")});
    EXPECT_FALSE(handed);
}

TEST_F(LoaderStart, SecondCopyIsRefused) {
    platform::system::SingleInstance first("Loader");
    ASSERT_TRUE(first.Owned());
    Start();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgAlreadyRunning, "warning")});
}

TEST_F(LoaderStart, DataCallIsRefused) {
    ExpectRefusal({"--data-call"}, kMsgDataCall);
}

TEST_F(LoaderStart, BusyPortIsRefused) {
    ExpectRefusal({"--busy"}, kMsgPortBusy);
}

TEST_F(LoaderStart, DeviceWithTheCarriedVersionIsRefused) {
    ExpectRefusal({"--version", "Ver1.01"}, kMsgVersionRefused);
}

// Killed after the device's reset but before the write's end was recorded: the update is
// checked and reported as after any stop behind the write, not refused as already done.
TEST_F(LoaderStart, AWriteWhoseEndWasNotRecordedGoesOnAsWritten) {
    ASSERT_EQ(Store().CreateStateKeys(), 1);
    ASSERT_EQ(Store().MarkWriteUnderWay("Ver1.00", "/opt/tool"), 1);
    Device({"--version", "Ver1.01"});
    Start();
    EXPECT_TRUE(Boxes().empty()) << host.RecordText();
    EXPECT_FALSE(NoticeShown());
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->dwStatus, 1u);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
    EXPECT_EQ(handed->strExecDir.Str(), "/opt/tool");
    std::uint32_t dwStatus = 0;
    ASSERT_EQ(Store().ReadStatus(dwStatus), 1);
    EXPECT_EQ(dwStatus, 1u);
    EXPECT_EQ(Store().HasWriteUnderWay(), 0);
}

TEST_F(LoaderStart, DeviceBelowTheLowestVersionIsRefused) {
    ExpectRefusal({"--version", "Ver0.99"}, kMsgVersionRefused);
}

TEST_F(LoaderStart, RoamingIsRefused) {
    ExpectRefusal({"--area", "roaming"}, kMsgRoaming);
}

TEST_F(LoaderStart, NoServiceIsRefusedAfterTheWaitingBox) {
    ExpectRefusal({"--area", "none"}, kMsgNoService);
    // Decided at once both times, with the pause between them, under the waiting box.
    const auto sleeps = clock.Sleeps();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 5000u), 1);
    EXPECT_NE(host.RecordText().find("179 show"), std::string::npos);
}

TEST_F(LoaderStart, UndecidedAreaIsAskedUntilTheRetriesAreSpent) {
    ExpectRefusal({"--area", "empty"}, kMsgNoService);
    // One retry, the pause, four retries.
    const auto sleeps = clock.Sleeps();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 5000u), 1 + 1 + 4);
}

// What the user has plugged in decides before anything is asked of a device.
TEST_F(LoaderStart, NoDeviceOrTwoDevicesAreRefused) {
    const fs::path combined = root.Path() / "two.txt";
    catalog.emplace("ZR40_DEVICE_CATALOG", combined.c_str());
    Start();

    testsupport::TempDir secondDir;
    devsim_test::DevSim first(simDir.Path(), {});
    devsim_test::DevSim second(secondDir.Path(), {"--serial", "356000000000002"});
    ASSERT_EQ(first.NextLine(), "ready");
    ASSERT_EQ(second.NextLine(), "ready");
    std::ofstream(combined) << testsupport::ReadText(first.Catalog())
                            << testsupport::ReadText(second.Catalog());
    Start();
    EXPECT_EQ(Boxes(), (std::vector<std::string>{BoxLine(kMsgNotConnected, "warning"),
                                                 BoxLine(kMsgSeveralConnected, "warning")}));
    EXPECT_FALSE(handed);
}

// The box comes back until the user has closed the connection software.
TEST_F(LoaderStart, ConnectionSoftwareIsAskedToCloseUntilItHasGone) {
    Device({"--connection-soft"});
    const std::string withSoftware = testsupport::ReadText(sim->Catalog());
    ASSERT_NE(withSoftware.find(kConnectionSoftProcess), std::string::npos);
    const fs::path own = root.Path() / "catalog.txt";
    std::ofstream(own) << withSoftware;
    catalog.emplace("ZR40_DEVICE_CATALOG", own.c_str());
    host.Answer(ui::IDOK)
        .Answer(ui::IDOK, "the user closes the connection software",
                [&] {
                    std::string without;
                    std::istringstream lines(withSoftware);
                    for (std::string line; std::getline(lines, line);) {
                        if (!line.starts_with("Process")) {
                            without += line + "\n";
                        }
                    }
                    std::ofstream(own) << without;
                })
        .Press(IDD_ATTENTION, ui::IDOK);
    Start();
    EXPECT_EQ(Boxes(), (std::vector<std::string>{BoxLine(kMsgConnectionSoft, "warning"),
                                                 BoxLine(kMsgConnectionSoft, "warning")}))
        << host.RecordText();
    EXPECT_TRUE(handed);
}

// Started without pkexec: the real program as an ordinary user says what is missing and ends.
TEST(LoaderProgram, AnOrdinaryUserIsToldToRunItAsAdministrator) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become an ordinary user";
    }
    testsupport::TempDir root;
    fs::permissions(root.Path(), fs::perms::all);
    const fs::path script = root.Path() / "steps";
    std::ofstream(script) << "";
    fs::permissions(script, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const fs::path record = root.Path() / "record";
    const std::string rootVar = "ZR40_ROOT=" + root.Path().string();
    const std::string scriptVar = "ZR40_UI_SCRIPT=" + script.string();
    std::vector<const char*> argv = {
        "setpriv",       "--reuid=65534",    "--regid=65534",   "--clear-groups", "env",
        rootVar.c_str(), "ZR40_UI=scripted", scriptVar.c_str(), ZR_TOOL,          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, record.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t pid = -1;
    ASSERT_EQ(
        posix_spawnp(&pid, "setpriv", &actions, nullptr, const_cast<char**>(argv.data()), environ),
        0);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = testsupport::ReadText(record);
    EXPECT_EQ(text.rfind(BoxLine(kMsgNotAdministrator, "warning"), 0), 0u) << text;
}

TEST_F(LoaderStart, DeviceWithoutModemPortIsReachedThroughMobileBroadband) {
    Device({"--no-modem"});
    host.Press(IDD_ATTENTION, ui::IDOK);
    Start();
    EXPECT_TRUE(Boxes().empty());
    ASSERT_TRUE(handed);
    EXPECT_TRUE(handed->bMbnMode);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
}

TEST_F(LoaderStart, DeviceWithoutModemPortOnTheFirstSixIsASystemError) {
    testsupport::ScopedEnv old("ZR40_OS_VERSION", "6.0");
    Device({"--no-modem"});
    Start();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgSystemError, "error")});
    EXPECT_FALSE(handed);
}

// The modem port held by another program: the version cannot be asked.
class LoaderRecovery : public LoaderStart {
  protected:
    void HoldModemPort() {
        CParamFile config;
        ASSERT_EQ(config.LoadParamSection("Loader_Ini"), 1);
        holder = std::make_unique<CUsbPort>(&config);
        ASSERT_EQ(holder->FindPort(CUsbPort::kModemPort), 1);
        ASSERT_EQ(holder->OpenAtChannels(), 1);
    }
    std::unique_ptr<CUsbPort> holder;
};

TEST_F(LoaderRecovery, AcceptedOfferSkipsTheChecks) {
    Device({"--version", "Ver1.01"});
    HoldModemPort();
    host.Answer(ui::IDYES).Press(IDD_ATTENTION, ui::IDOK);
    Start();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgOfferRecovery, "warning")});
    ASSERT_TRUE(handed);
    EXPECT_TRUE(handed->bRecovery);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver*.**");
}

TEST_F(LoaderRecovery, RefusedOfferEnds) {
    Device({});
    HoldModemPort();
    host.Answer(ui::IDNO);
    Start();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgOfferRecovery, "warning")});
    EXPECT_FALSE(NoticeShown());
    EXPECT_FALSE(handed);
}

// A run killed inside the write had taken UpdateRequesting away from the manager; the next start
// gives it back, even when it goes no further.
TEST_F(LoaderStart, RequestsWithheldByAKilledWriteComeBack) {
    CStateStore store = Store();
    ASSERT_EQ(store.CreateStateKeys(), 1);
    ASSERT_EQ(store.SetUpdateRequesting(true), 1);
    ASSERT_EQ(store.SetUpdateRequesting(false), 1);
    ExpectRefusal({"--version", "Ver1.01"}, kMsgVersionRefused);
    bool bBack = false;
    ASSERT_EQ(store.SetUpdateRequesting(false, &bBack), 1);
    EXPECT_TRUE(bBack);
}

}  // namespace

// The tool's start-up against the simulator: each check's box as the user sees it, and what the
// main dialog is handed.
#include "Loader/app/LoaderApp.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/app/SecondaryDlgs.h"
#include "Loader/app/StateStore.h"
#include "Loader/common/RunNames.h"
#include "platform/kernel/Event.h"
#include "platform/resources/resources.h"
#include "platform/ui/ScriptedHost.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace ui = platform::ui;

// The line the scripted host records for a start-up box, without the answer.
std::string BoxLine(int nId, const char* icon) {
    const CComString text(std::string(platform::resources::LoadString(nId)).c_str());
    return std::string("msgbox ") + icon + " \"ZR-40ソフトウェア更新ツール\" \"" + text.ToUtf8() +
           "\"";
}

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

// The whole update road with the built programs as separate processes: the simulator, the
// server double, ZR40_SWUpdate under the console host with the user's answers on its input, and
// the ZR40_UpManager it installs and starts, under the scripted host with nothing to do and its
// record in a file of its own, all in one temporary root.
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Routes.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
using testsupport::ScopedEnv;

// Only guards against a hang; the road takes about a minute with the shipped script.
constexpr std::chrono::milliseconds kRoadGuard{280'000};
constexpr const char* kSerial = "358741050123456";
constexpr const char* kBase = "Software\\Norvale\\ZR40UpReg";
constexpr const char* kSuccess = "ソフトウェア更新が正常に完了しました。";

std::string LocalDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

struct Request {
    std::string body;
    int status = 0;
};

// The notification requests in the server's log, in the order they were answered.
std::vector<Request> Notifications(const fs::path& log) {
    static const std::regex kLine(
        R"re("path":"/update/telmirato/zr-40/update1/notify".*"body":"([^"]*)".*"status":(\d+))re");
    std::vector<Request> requests;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, kLine)) {
            requests.push_back({m[1], std::stoi(m[2])});
        }
    }
    return requests;
}

// The manager stays in the tray after the road; found by the file it runs from.
void StopInstalledManager(const fs::path& exe) {
    for (const fs::directory_entry& e : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(e.path() / "exe", ec) == exe) {
            ::kill(std::stoi(e.path().filename().string()), SIGTERM);
        }
    }
}

class WholeRoad : public ::testing::Test {
  protected:
    void SetUp() override {
        // Reachability reads the routes below ZR40_ROOT; the interface named must be up here.
        if (!testsupport::WriteDefaultRoute(root.Path())) {
            GTEST_SKIP() << "no network interface up";
        }
        // The tool's folder as shipped: the program and ZR40_UpMng/ beside it.
        fs::create_directories(toolDir);
        fs::create_symlink(ZR_SWUPDATE, toolDir / "ZR40_SWUpdate");
        fs::create_symlink(ZR_UPMNG_DIR, toolDir / "ZR40_UpMng");
        std::ofstream{managerSteps};
    }
    void TearDown() override {
        StopInstalledManager(platform::paths::InstallDir() / "ZR40_UpManager");
    }

    bool KeyExists(const std::string& key) {
        return reg::Store(reg::CurrentUserStore()).OpenKey(key).ok();
    }

    testsupport::TempDir root;
    testsupport::TempDir simDir;
    fs::path toolDir = root.Path() / "tool";
    testsupport::IsolatedRoot isolated{root.Path()};
    ScopedEnv config{"XDG_CONFIG_HOME", nullptr};
    ScopedEnv ui{"ZR40_UI", "console"};
    fs::path managerSteps = root.Path() / "manager.steps";
    fs::path managerRecord = root.Path() / "manager.out";
    ScopedEnv managerUi{"ZR40_MANAGER_UI", "scripted"};
    ScopedEnv managerScript{"ZR40_MANAGER_UI_SCRIPT", managerSteps.c_str()};
    ScopedEnv managerOutput{"ZR40_MANAGER_OUTPUT", managerRecord.c_str()};
};

TEST_F(WholeRoad, WriteRestartHandOverAndTheReportAcceptedAfterTwoRefusals) {
    devsim_test::DevSim sim(simDir.Path(), {"--serial", kSerial, "--reenum-ms", "1000"});
    ASSERT_EQ(sim.NextLine(), "ready");
    ScopedEnv catalog("ZR40_DEVICE_CATALOG", sim.Catalog().c_str());
    const fs::path log = root.Path() / "server.log";
    net_test::Serverd server({"--log", log.string(), "--notify", "503,503,200"});
    ASSERT_GT(server.Port(), 0);
    ScopedEnv url("ZR40_UPDATE_SERVER",
                  ("http://127.0.0.1:" + std::to_string(server.Port())).c_str());
    const std::string dayBefore = LocalDate();

    testsupport::ChildProcess tool({(toolDir / "ZR40_SWUpdate").string()},
                                   {.cwd = toolDir, .input = true});
    // The notice's 次へ and 書込開始 at once, as a pipe delivers them; the input stays open.
    ASSERT_TRUE(tool.Write("1\n1\n"));
    const int status = tool.Wait(testsupport::In(kRoadGuard)).value_or(-1);
    const std::string& shown = tool.Text();
    const std::vector<Request> requests = Notifications(log);
    ASSERT_EQ(status, 0) << shown << "\n" << requests.size() << " reports sent";

    // The record ends with message 118, and no other box came up.
    const std::size_t box = shown.rfind("[i] ZR-40ソフトウェア更新ツール\n");
    ASSERT_NE(box, std::string::npos) << shown;
    EXPECT_TRUE(shown.substr(box).starts_with(std::string("[i] ZR-40ソフトウェア更新ツール\n    ") +
                                              kSuccess + "\n    -> OK\n"))
        << shown;
    EXPECT_EQ(shown.find("[x] "), std::string::npos) << shown;
    // Sanitizer builds report into each program's output.
    EXPECT_EQ(shown.find("Sanitizer"), std::string::npos) << shown;
    // The manager went to the tray under its own host, and no box waits there for anybody.
    const std::string managerShown = testsupport::ReadText(managerRecord);
    EXPECT_NE(managerShown.find("\n102 minimize \"ZR-40更新管理ツール\"\n"), std::string::npos)
        << managerShown;
    EXPECT_EQ(managerShown.find("msgbox"), std::string::npos) << managerShown;
    EXPECT_EQ(managerShown.find("Sanitizer"), std::string::npos) << managerShown;

    EXPECT_FALSE(KeyExists(std::string(kBase) + "\\ZR40SwUp"));
    EXPECT_FALSE(KeyExists(std::string(kBase) + "\\UpdateRequesting"));
    EXPECT_FALSE(KeyExists(std::string(kBase) + "\\UpdateList\\" + kSerial));
    EXPECT_FALSE(KeyExists(std::string(kBase) + "\\UpdateRetry"));

    // Refused twice, then accepted; the manager stopped sending once accepted.
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].status, 503);
    EXPECT_EQ(requests[1].status, 503);
    EXPECT_EQ(requests[2].status, 200);
    const std::regex report(std::string("serial=") + kSerial +
                            "&version=0000\\.0001\\.01&date=(\\d{8})\\d{6}");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(requests[2].body, m, report)) << requests[2].body;
    EXPECT_TRUE(m[1] == dayBefore || m[1] == LocalDate()) << requests[2].body;
    EXPECT_EQ(requests[0].body, requests[2].body);
    EXPECT_EQ(requests[1].body, requests[2].body);
}

}  // namespace

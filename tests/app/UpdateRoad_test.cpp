// The update road without a window toolkit: the road on a plain window driven by the test's
// clock, a view that records what it is asked to show, and the simulated device answering on
// its real modem port. The script run itself is the main window's tests' business; here the
// run's end is posted as the run would post it.
#include "Loader/app/UpdateRoad.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "Loader/common/RunNames.h"
#include "Loader/device/AtChannel.h"
#include "Loader/device/PortManage.h"
#include "platform/kernel/Event.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/system/Autostart.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
namespace win = platform::window;
namespace paths = platform::paths;

constexpr char kSwUp[] = "Software\\norvale\\ZR40UpReg\\ZR40SwUp";
constexpr char kSerial[] = "352011040012345";

const char* Name(RoadTexts texts) {
    switch (texts) {
        case RoadTexts::kFresh:
            return "fresh";
        case RoadTexts::kWriting:
            return "writing";
        case RoadTexts::kRestarting:
            return "restarting";
        case RoadTexts::kResultCheck:
            return "result check";
        case RoadTexts::kDriverWait:
            return "driver wait";
        case RoadTexts::kRegistering:
            return "registering";
    }
    return "?";
}

// Texts, boxes and the end as lines; the bar's last position apart.
class RecordingView final : public IRoadView {
  public:
    void ShowTexts(RoadTexts texts) override {
        lines.push_back(std::string("texts ") + Name(texts));
    }
    void ShowProgressControls() override { lines.emplace_back("progress shown"); }
    void SetProgress(int nPos) override { bar = nPos; }
    void SetPercentText(const std::string& text) override { percent = text; }
    void EnableButtons(bool bEnable) override {
        lines.push_back(bEnable ? "buttons on" : "buttons off");
    }
    void ShowMessage(const std::vector<int>& textIds, Icon icon) override {
        std::string line = "box";
        for (int nId : textIds) {
            line += " " + std::to_string(nId);
        }
        lines.push_back(line + (icon == Icon::kError ? " error" : " information"));
    }
    void ShowBox(WaitBox box) override {
        if (!Shown(box)) {
            lines.push_back(std::string(BoxName(box)) + " shown");
        }
        Shown(box) = true;
    }
    void CloseBox(WaitBox box) override {
        if (Shown(box)) {
            lines.push_back(std::string(BoxName(box)) + " closed");
        }
        Shown(box) = false;
    }
    bool BoxShown(WaitBox box) const override {
        return box == WaitBox::kDriver ? driverBox : networkBox;
    }
    void Close(bool bCompleted) override {
        lines.push_back(bCompleted ? "closed completed" : "closed failed");
        closed = true;
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& line : lines) {
            if (line.starts_with("box")) {
                boxes.push_back(line);
            }
        }
        return boxes;
    }
    bool Has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<std::string> lines;
    int bar = -1;
    std::string percent;
    bool driverBox = false;
    bool networkBox = false;
    bool closed = false;

  private:
    static const char* BoxName(WaitBox box) {
        return box == WaitBox::kDriver ? "driver box" : "network box";
    }
    bool& Shown(WaitBox box) { return box == WaitBox::kDriver ? driverBox : networkBox; }
};

class UpdateRoad : public ::testing::Test {
  protected:
    UpdateRoad() { fs::current_path(root.Path()); }
    ~UpdateRoad() override {
        road.reset();
        pPort.reset();
        fs::current_path(oldCwd);
    }

    void Device(std::vector<std::string> args) {
        sim = std::make_unique<devsim_test::DevSim>(simDir.Path(), std::move(args));
        ASSERT_EQ(sim->NextLine(), "ready");
        catalog.emplace("ZR40_DEVICE_CATALOG", sim->Catalog().c_str());
        ASSERT_EQ(config.LoadParamSection("Loader_Ini"), 1);
        pPort = std::make_unique<CUsbPort>(&config);
        ASSERT_EQ(pPort->FindPort(CUsbPort::kUpdatePort), 1);
        start.strDeviceVersion = "Ver1.00";
        start.strNewVersion = "Ver1.01";
        start.strExecDir = CComString::FromUtf8(root.Path().string());
        start.toolDir = root.Path();
        start.pPort = pPort.get();
        ASSERT_EQ(store.CreateStateKeys(), 1);
    }

    void Begin() {
        CRoadSystem system;
        system.serverReachable = [this] { return reachable; };
        system.startManager = [this](const fs::path& dir) {
            managerDir = dir;
            store.ReadStatus(statusAtManagerStart);
            owedAtManagerStart =
                User().OpenKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting").ok();
            return true;
        };
        road.emplace(start, view, window, clock, portLock, system);
        road->Begin();
    }

    // Handles what is queued and the ticks that come due, moving the clock from tick to tick,
    // until the window is closed, the road waits for something from outside (nothing queued, no
    // timer), or nTicks ticks have passed.
    void Pump(int nTicks = 1000) {
        for (int nTick = 0; !view.closed;) {
            window.ProcessPending();
            pollfd wake{window.WakeFd(), POLLIN, 0};
            if (view.closed || ::poll(&wake, 1, 0) == 1) {
                continue;
            }
            const std::uint32_t uiDue = window.MsUntilNextTimer();
            if (uiDue == platform::kernel::kInfinite || nTick++ == nTicks) {
                return;
            }
            clock.Advance(uiDue);
        }
    }

    void Post(std::uint32_t message, std::uintptr_t wParam = 0) {
        window.Post({message, wParam, 0, {}});
    }

    static reg::Store User() { return reg::Store(reg::CurrentUserStore()); }
    static bool RelaunchRegistered() {
        return fs::exists(platform::system::AutostartFile(
            platform::system::AutostartScope::kCurrentUser, kRelaunchEntry));
    }
    static std::vector<std::string> SwUpValues() {
        std::vector<std::string> names;
        const reg::Error e = User().Read([&](reg::Txn& t) {
            auto values = t.Values(kSwUp);
            if (!values.ok()) {
                return values.error();
            }
            for (const auto& value : values.value()) {
                names.push_back(value.name);
            }
            return reg::Error{};
        });
        EXPECT_TRUE(e.ok());
        return names;
    }

    fs::path oldCwd = fs::current_path();
    testsupport::TempDir root;
    testsupport::TempDir simDir;
    testsupport::ScopedEnv rootVar{"ZR40_ROOT", root.Path().c_str()};
    std::optional<testsupport::ScopedEnv> catalog;
    testsupport::ManualClock clock;
    std::optional<CUpdateRoad> road;
    win::Window window{"ZR-40ソフトウェア更新ツール",
                       [this](const win::Message& message) -> std::intptr_t {
                           return road && road->HandleMessage(message) ? 0 : -1;
                       },
                       clock};
    RecordingView view;
    platform::kernel::CriticalSection portLock;
    std::unique_ptr<devsim_test::DevSim> sim;
    CParamFile config;
    std::unique_ptr<CUsbPort> pPort;
    CLoaderStart start;
    CStateStore store;
    bool reachable = true;
    fs::path managerDir;
    std::uint32_t statusAtManagerStart = 0;
    bool owedAtManagerStart = false;
};

// From the start button to the manager's confirmation: every stop recorded on the way, the
// serial taken from an answer that echoes the command, and nothing left behind at the end.
TEST_F(UpdateRoad, WrittenDeviceIsCheckedRecordedAndHandedToTheManager) {
    Device({"--version", "Ver1.01", "--echo", "on", "--serial", kSerial});
    Begin();
    road->StartWrite([] { return true; });
    EXPECT_EQ(road->Phase(), RoadPhase::kWriting);
    Pump(3);
    EXPECT_EQ(view.percent, "1%  ") << "the first seconds show at least one percent";
    EXPECT_EQ(store.HasWriteUnderWay(), 1);

    Post(WM_LOADER_END);
    Pump(5);
    EXPECT_EQ(road->Phase(), RoadPhase::kRestarting);
    std::uint32_t dwStatus = 0;
    ASSERT_EQ(store.ReadStatus(dwStatus), 1);
    EXPECT_EQ(dwStatus, 1u);
    EXPECT_TRUE(RelaunchRegistered());
    EXPECT_EQ(view.bar, 25) << "five seconds of the twenty the restart is given";

    Post(win::kDeviceChangeMessage, win::kDevNodesChanged);
    Pump(0);
    EXPECT_EQ(statusAtManagerStart, 4u);
    EXPECT_TRUE(owedAtManagerStart) << "the manager looks for the record as it starts";
    EXPECT_EQ(managerDir, root.Path());
    const std::string entry = std::string("Software\\norvale\\ZR40UpReg\\UpdateList\\") + kSerial;
    EXPECT_EQ(User().GetValue(entry, "Version").value().bytes, std::string("Ver1.01\0", 8));
    EXPECT_FALSE(view.closed);

    Post(WM_LOADER_REGISTERED);
    Pump();
    EXPECT_EQ(view.Boxes(), std::vector<std::string>{"box 118 information"});
    EXPECT_EQ(view.lines.back(), "closed completed");
    EXPECT_EQ(road->Phase(), RoadPhase::kDone);
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
    EXPECT_FALSE(RelaunchRegistered());
    const std::vector<std::string> texts{"texts fresh", "texts writing", "texts restarting",
                                         "texts registering"};
    std::vector<std::string> shown;
    for (const std::string& line : view.lines) {
        if (line.starts_with("texts")) {
            shown.push_back(line);
        }
    }
    EXPECT_EQ(shown, texts);
}

// A failed write leaves the key as a fresh run finds it: no stop, no leftovers of the write's
// mark, the error noted, and the pending report given back to the manager.
TEST_F(UpdateRoad, FailedWriteLeavesNothingOfTheWriteInTheKey) {
    Device({});
    ASSERT_TRUE(User().CreateKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting").ok());
    Begin();
    road->StartWrite([] { return true; });
    EXPECT_FALSE(User().OpenKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting").ok());
    road->RunFailed();
    Post(WM_LOADER_END);
    Pump();
    EXPECT_EQ(view.lines.back(), "closed failed");
    EXPECT_EQ(SwUpValues(), std::vector<std::string>{});
    EXPECT_EQ(store.HasUpdateError(), 1);
    EXPECT_TRUE(User().OpenKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting").ok());
    EXPECT_FALSE(RelaunchRegistered());
}

// Resumed at registration without a network: the phase stays the online one, the network box
// comes at 15 seconds and the completion at 255; a confirmation in that same second ends the
// road once.
TEST_F(UpdateRoad, ResumedOfflineRegistrationEndsOnceWhenConfirmedAtItsTimeOut) {
    Device({});
    start.dwStatus = 3;
    ASSERT_EQ(store.WriteSwUpState(3, 0, "", ""), 1);
    reachable = false;
    Begin();
    EXPECT_TRUE(view.Has("buttons off"));
    Pump(16);
    EXPECT_EQ(road->Phase(), RoadPhase::kRegistering);
    EXPECT_EQ(statusAtManagerStart, 4u);
    EXPECT_TRUE(view.networkBox);
    Pump(238);
    EXPECT_FALSE(view.closed);
    // The manager's confirmation arrives as the last tick comes due.
    Post(WM_LOADER_REGISTERED);
    clock.Advance(window.MsUntilNextTimer());
    Pump();
    EXPECT_EQ(view.Boxes(), std::vector<std::string>{"box 118 information"});
    EXPECT_TRUE(view.Has("network box closed"));
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
}

TEST_F(UpdateRoad, ResumedOfflineRegistrationCompletesAfterItsTimeOut) {
    Device({});
    start.dwStatus = 4;
    ASSERT_EQ(store.WriteSwUpState(4, 0, "", ""), 1);
    reachable = false;
    Begin();
    Pump();
    EXPECT_EQ(view.Boxes(), std::vector<std::string>{"box 190 191 192 193 information"});
    EXPECT_EQ(view.lines.back(), "closed completed");
    EXPECT_EQ(clock.NowMs(), 256'000u) << "the first tick registers, 255 more end the wait";
}

// A device that no longer answers on its modem port after the write: the update failed.
TEST_F(UpdateRoad, ResultCheckWithoutAnAnswerFails) {
    Device({"--version", "Ver1.01", "--silent-modem"});
    start.dwStatus = 1;
    ASSERT_EQ(store.WriteSwUpState(1, 9, "Ver1.00", start.strExecDir), 1);
    Begin();
    Pump();
    EXPECT_EQ(view.Boxes(), std::vector<std::string>{"box 208 error"});
    EXPECT_EQ(store.HasUpdateError(), 1);
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
    EXPECT_EQ(statusAtManagerStart, 0u);
}

// Files under `top` as they stand (owner, mode, contents or link target), links not followed.
std::vector<std::string> Tree(const fs::path& top) {
    std::vector<std::string> lines;
    if (!fs::exists(fs::symlink_status(top))) {
        return lines;
    }
    auto line = [&](const fs::path& p) {
        struct stat st {};
        ::lstat(p.c_str(), &st);
        std::string text;
        if (S_ISREG(st.st_mode)) {
            text = testsupport::ReadText(p);
        } else if (S_ISLNK(st.st_mode)) {
            text = fs::read_symlink(p).string();
        }
        lines.push_back(p.string() + " " + std::to_string(st.st_uid) + " " +
                        std::to_string(st.st_mode) + " " + text);
    };
    line(top);
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        line(entry.path());
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Stopped after the write, resumed for a user who has seeded the store with a folder of their
// own as ExecDir, a manager of their own planted there, and links from their autostart and
// state folders into root's: the road installs the manager beside the running program,
// changes nothing of root's or of another user's, and ends with the manager's confirmation.
TEST_F(UpdateRoad, ResumedForAHostileUserTheRoadTouchesNothingOfRootsOrTheirs) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting for another user needs root";
    }
    constexpr uid_t kUser = 4331;
    constexpr uid_t kOther = 4332;
    const fs::path top = root.Path();
    // The manager is started as the user, from the install folder below.
    fs::permissions(top, fs::perms(0755));
    fs::create_directories(top / "etc");
    std::ofstream(top / "etc/passwd")
        << "root:x:0:0:root:/root:/bin/sh\n"
        << "mallory:x:" << kUser << ":" << kUser << "::/home/mallory:/bin/sh\n"
        << "olivia:x:" << kOther << ":" << kOther << "::/home/olivia:/bin/sh\n";
    const fs::path home = top / "home/mallory";
    const fs::path evil = home / "evil";
    for (const auto& [dir, uid] :
         {std::pair{home, kUser}, std::pair{top / "home/olivia", kOther},
          std::pair{evil / kManagerFolder, kUser}, std::pair{home / ".local", kUser},
          std::pair{evil, kUser}, std::pair{top / "home/olivia/.config", kOther}}) {
        fs::create_directories(dir);
        ASSERT_EQ(::chown(dir.c_str(), uid, uid), 0);
    }
    // The user's manager would leave a mark if anything ran it.
    for (const char* name : {kManagerProgram, kManagerUiProgram}) {
        const fs::path planted = evil / kManagerFolder / name;
        std::ofstream(planted) << "#!/bin/sh\ntouch " << (top / "planted-ran").string() << "\n";
        fs::permissions(planted, fs::perms(0755));
        ASSERT_EQ(::chown(planted.c_str(), kUser, kUser), 0);
    }
    // Root's folders the links aim at, each with a file the road must not touch.
    fs::create_directories(top / "etc/xdg/autostart");
    std::ofstream(top / "etc/xdg/autostart" / (std::string(kRelaunchEntry) + ".desktop"))
        << "root's own\n";
    fs::create_directories(top / "var/lib/zr40");
    std::ofstream(top / "var/lib/zr40/sentinel") << "root only\n";
    std::ofstream(top / "home/olivia/.config/notes") << "olivia's\n";
    fs::create_directories(home / ".config");
    ASSERT_EQ(::chown((home / ".config").c_str(), kUser, kUser), 0);
    fs::create_symlink(top / "etc/xdg/autostart", home / ".config/autostart");
    fs::create_symlink(top / "var/lib/zr40", home / ".local/state");
    for (const fs::path& link : {home / ".config/autostart", home / ".local/state"}) {
        ASSERT_EQ(::lchown(link.c_str(), kUser, kUser), 0);
    }
    // The tool's folder as shipped, root's.
    const fs::path toolDir = top / "usr/lib/zr40";
    fs::create_directories(toolDir / kManagerFolder);
    for (const char* name : {kManagerProgram, kManagerUiProgram}) {
        fs::copy_file(ZR_STANDIN, toolDir / kManagerFolder / name);
    }
    const std::vector<std::string> rootsBefore = Tree(top / "etc");
    const std::vector<std::string> varBefore = Tree(top / "var");
    const std::vector<std::string> othersBefore = Tree(top / "home/olivia");
    const std::vector<std::string> plantedBefore = Tree(evil);

    testsupport::ScopedEnv sudo("SUDO_UID", std::to_string(kUser).c_str());
    Device({"--version", "Ver1.01"});
    CStateStore user;
    ASSERT_EQ(user.CreateStateKeys(), 1);
    const CComString evilDir = CComString::FromUtf8(evil.string());
    ASSERT_EQ(user.WriteSwUpState(1, 9, "Ver1.00", evilDir), 1);
    start.dwStatus = 1;
    start.strExecDir = evilDir;
    start.toolDir = toolDir;

    CRoadSystem system;
    system.serverReachable = [] { return true; };
    system.startManager = [&](const fs::path& dir) {
        CSystemIntegration integration(clock);
        const bool bStarted =
            integration.InstallManager(dir) != CSystemIntegration::kInstallRefused &&
            CSystemIntegration::StartManager().Started();
        window.Post({WM_LOADER_REGISTERED, 0, 0, {}});
        return bStarted;
    };
    road.emplace(start, view, window, clock, portLock, system);
    road->Begin();
    Pump();

    EXPECT_EQ(view.Boxes(), std::vector<std::string>{"box 118 information"});
    EXPECT_FALSE(fs::exists(top / "planted-ran")) << "the user's manager ran";
    EXPECT_TRUE(testsupport::ReadText(paths::InstallDir() / kManagerProgram) ==
                testsupport::ReadText(ZR_STANDIN))
        << "the installed manager is the one beside the program";
    std::vector<std::string> rootsAfter = Tree(top / "etc");
    // The one change the road makes there: the manager's own entry for every user.
    std::erase_if(rootsAfter, [](const std::string& line) {
        return line.find(std::string(kManagerAutostartEntry) + ".desktop") != std::string::npos;
    });
    EXPECT_EQ(rootsAfter, rootsBefore);
    std::vector<std::string> varAfter = Tree(top / "var");
    // The machine store takes the manager's uninstall entry.
    std::erase_if(varAfter, [](const std::string& line) {
        return line.find("/var/lib/zr40/registry.sqlite") != std::string::npos;
    });
    EXPECT_EQ(varAfter, varBefore);
    EXPECT_EQ(Tree(top / "home/olivia"), othersBefore);
    EXPECT_EQ(Tree(evil), plantedBefore);
}

// What the device may answer, with and without the echo of the command.
TEST(AtAnswers, ReadersTakeWhatTheRulesSay) {
    EXPECT_EQ(AtVersionIn("\r\nVer1.01\r\n\r\nOK\r\n"), "Ver1.01");
    EXPECT_EQ(AtVersionIn("AT+GMR\r\r\nVer1.01\r\nOK\r\n"), "Ver1.01");
    EXPECT_EQ(AtVersionIn("\r\nERROR\r\n"), std::nullopt);
    EXPECT_EQ(AtVersionIn("Ver1"), "Ver1") << "an answer cut short gives what there is";

    EXPECT_EQ(AtSerialIn("\r\n352011040012345\r\n\r\nOK\r\n"), "352011040012345");
    EXPECT_EQ(AtSerialIn("AT+CGSN\r\r\n352011040012345\r\n\r\nOK\r\n"), "352011040012345");
    EXPECT_EQ(AtSerialIn(""), std::nullopt) << "nothing yet is asked again";
    EXPECT_EQ(AtSerialIn("AT+CGSN\r\r\n3520"), std::nullopt) << "an echo alone is not an answer";
    EXPECT_EQ(AtSerialIn("\r\n"), std::nullopt);

    EXPECT_EQ(AtAreaIn("@FCMINFO: 1,440,0,10\r\nOK\r\n"), AtArea::kHome);
    EXPECT_EQ(AtAreaIn("@FCMINFO: 1,440,1,10\r\nOK\r\n"), AtArea::kRoaming);
    EXPECT_EQ(AtAreaIn("@FCMINFO: 1,440,,10\r\nOK\r\n"), AtArea::kUndecided);
    EXPECT_EQ(AtAreaIn("@FCMINFO: 1,440,"), AtArea::kUndecided);
    EXPECT_EQ(AtAreaIn("@FCMINFO: 1,440,9"), AtArea::kNoService);
    EXPECT_EQ(AtAreaIn("\r\nOK\r\n"), AtArea::kUndecided);
}

}  // namespace

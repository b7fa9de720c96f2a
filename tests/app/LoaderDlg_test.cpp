// The main window's update road against the simulator: the write through the engine, the device's
// return, the result check and the hand-over to the manager, and the ways the road ends early.
#include "Loader/app/LoaderDlg.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/app/StateStore.h"
#include "Loader/app/SystemIntegration.h"
#include "Loader/common/RunNames.h"
#include "Loader/device/PortManage.h"
#include "platform/fd/UniqueFd.h"
#include "platform/kernel/Event.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/resources/resources.h"
#include "platform/system/Autostart.h"
#include "platform/ui/ScriptedHost.h"
#include "platform/window/Window.h"
#include "tests/app/ToolBoxes.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeLogin.h"
#include "tests/support/FakeModemManager.h"
#include "tests/support/ManualClock.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace ui = platform::ui;
namespace fs = std::filesystem;

// Into the boot loader, the new version recorded, the reset.
constexpr char kShortRoad[] =
    "[GLOBAL]\r\nPort=open,10\r\nCMD=ff550042000101fe\r\nTimer=1\r\nPort=close\r\n"
    "Port=open,10\r\nDBB_D2_SETVERSIONFROMFILE=latest\r\nWait_DBB=4442,10\r\n"
    "DBB_D2_CMD=4442,000B,8\r\nPort=close\r\n";
// Into the boot loader, then the first image's erase and download.
constexpr char kImageRoad[] =
    "[GLOBAL]\r\nPort=open,10\r\nCMD=ff550042000101fe\r\nTimer=1\r\nPort=close\r\n"
    "Port=open,10\r\nDBB_D2_CMD=4442,2805,12,00370037\r\nWait_DBB=4442,-1\r\n"
    "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,20\r\n";
// The image road on to the new version and the reset.
constexpr char kWriteRoad[] =
    "[GLOBAL]\r\nPort=open,10\r\nCMD=ff550042000101fe\r\nTimer=1\r\nPort=close\r\n"
    "Port=open,10\r\nDBB_D2_CMD=4442,2805,12,00370037\r\nWait_DBB=4442,-1\r\n"
    "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,20\r\nDBB_D2_SETVERSIONFROMFILE=latest\r\n"
    "Wait_DBB=4442,10\r\nDBB_D2_CMD=4442,000B,8\r\nPort=close\r\n";

class LoaderRoad : public ::testing::Test {
  protected:
    LoaderRoad() {
        ui::SetHost(&host);
        fs::current_path(root.Path());
    }
    ~LoaderRoad() override {
        pPort.reset();
        ui::SetHost(nullptr);
        fs::current_path(oldCwd);
    }

    // The device stays away long enough after its reset for the window to be waiting for it.
    void Device(std::vector<std::string> args) {
        args.insert(args.begin(), {"--reenum-ms", "1500"});
        sim = std::make_unique<devsim_test::DevSim>(simDir.Path(), std::move(args));
        ASSERT_EQ(sim->NextLine(), "ready");
        catalog.emplace("ZR40_DEVICE_CATALOG", sim->Catalog().c_str());
        platform::kernel::Event::Named("KILL_EVENT_RECV", true, false)->Reset();
    }

    void Texts(const char* pszScript) {
        ASSERT_EQ(config.LoadParamSection("Loader_Ini"), 1);
        versions.LoadParamSection("Loader_Ver");
        sums.LoadParamSection("Loader_Sum");
        const std::string_view text(pszScript);
        const platform::resources::ScopedResource laid(
            "INI", 145, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        ASSERT_EQ(script.LoadParamSection("Loader_Update"), 1);
        pPort = std::make_unique<CUsbPort>(&config);
        ASSERT_EQ(pPort->FindPort(CUsbPort::kUpdatePort), 1);
        start.strExecDir = CComString::FromUtf8(root.Path().string());
        start.strDeviceVersion = "Ver1.00";
        start.strNewVersion = "Ver1.01";
        start.pPort = pPort.get();
        start.pConfig = &config;
        start.pVersions = &versions;
        start.pScript = &script;
        start.pSums = &sums;
        ASSERT_EQ(store.CreateStateKeys(), 1);
    }

    // The manager, started by the road: it confirms at once unless told otherwise.
    CLoaderDlgSystem System() {
        CLoaderDlgSystem system;
        system.serverReachable = [this] { return reachable; };
        system.startManager = [this](const fs::path&) {
            store.ReadStatus(statusAtManagerStart);
            owedAtManagerStart = platform::registry::Store(platform::registry::CurrentUserStore())
                                     .OpenKey("Software\\norvale\\ZR40UpReg\\UpdateRequesting")
                                     .ok();
            if (confirms) {
                platform::window::PostToWindowsTitled("ZR-40ソフトウェア更新ツール",
                                                      {WM_LOADER_REGISTERED, 0, 0, {}});
            } else {
                // The user dismisses the network box; the time-out still ends the road.
                host.Press(IDD_NWCONN, ui::IDOK).Advance(240'000);
            }
            return managerStarts;
        };
        return system;
    }

    void Run() {
        host.WaitWhenIdle(true);
        CLoaderDlg dialog(start, System());
        dialog.DoModal();
        phase = dialog.Phase();
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& line : host.Record()) {
            if (line.starts_with("msgbox")) {
                boxes.push_back(line.substr(0, line.rfind(" -> ")));
            }
        }
        return boxes;
    }
    bool Shown(const char* pszWhat) const {
        return host.RecordText().find(pszWhat) != std::string::npos;
    }
    bool RelaunchRegistered() const {
        return fs::exists(platform::system::AutostartFile(
            platform::system::AutostartScope::kCurrentUser, kRelaunchEntry));
    }

    fs::path oldCwd = fs::current_path();
    testsupport::TempDir root;
    testsupport::TempDir simDir;
    testsupport::ScopedEnv rootVar{"ZR40_ROOT", root.Path().c_str()};
    std::optional<testsupport::ScopedEnv> catalog;
    testsupport::ManualClock clock;
    ui::ScriptedHost host{clock};
    std::unique_ptr<devsim_test::DevSim> sim;
    CParamFile config, versions, script, sums;
    std::unique_ptr<CUsbPort> pPort;
    CLoaderStart start;
    CStateStore store;
    bool reachable = true;
    bool managerStarts = true;
    bool confirms = true;
    std::uint32_t statusAtManagerStart = 0;
    bool owedAtManagerStart = false;
    int phase = -1;
};

TEST_F(LoaderRoad, FreshWriteEndsWithTheManagersConfirmation) {
    Device({});
    Texts(kShortRoad);
    host.Press(IDD_LOADER_DIALOG, IDC_START);
    Run();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")}) << host.RecordText();
    EXPECT_EQ(phase, 5);
    EXPECT_EQ(statusAtManagerStart, 4u);
    EXPECT_TRUE(owedAtManagerStart) << "the manager looks for the record as it starts";
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0) << "the state key is gone";
    bool bRequesting = false;
    ASSERT_EQ(store.SetUpdateRequesting(false, &bRequesting), 1);
    EXPECT_TRUE(bRequesting) << "the record waits for the manager";
    EXPECT_FALSE(RelaunchRegistered());
    EXPECT_EQ(store.HasUpdateError(), 0);
}

TEST_F(LoaderRoad, FailingRowEndsWithTheErrorRecorded) {
    Device({"--fault-error", "C_PS:3:-2"});
    Texts(kImageRoad);
    host.Press(IDD_LOADER_DIALOG, IDC_START);
    Run();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgRunFailed, "error")})
        << host.RecordText();
    // In the state folder of the user the tool works for, not where it was started.
    const fs::path log =
        platform::paths::StateDir(platform::paths::CurrentUser()) / "ZR40Loader_err.log";
    EXPECT_EQ(log.string().rfind(root.Path().string(), 0), 0u) << log;
    EXPECT_TRUE(fs::exists(log)) << log;
    EXPECT_FALSE(fs::exists(root.Path() / "ZR40Loader_err.log"));
    EXPECT_EQ(store.HasUpdateError(), 1);
    EXPECT_FALSE(RelaunchRegistered());
    EXPECT_EQ(phase, 0);
}

TEST_F(LoaderRoad, OtherVersionAfterTheResetFails) {
    Device({});
    Texts(kShortRoad);
    start.strNewVersion = "Ver1.02";
    host.Press(IDD_LOADER_DIALOG, IDC_START);
    Run();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(kMsgRunFailed, "error")})
        << host.RecordText();
    EXPECT_EQ(store.HasUpdateError(), 1);
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
    EXPECT_FALSE(RelaunchRegistered());
}

TEST_F(LoaderRoad, ManagerThatDoesNotStartEndsTheRoad) {
    start.dwStatus = 3;
    managerStarts = false;
    Device({});
    Texts(kShortRoad);
    ASSERT_EQ(store.WriteSwUpState(3, 0, "", ""), 1);
    host.Advance(1000);
    Run();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(214, "error")}) << host.RecordText();
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
}

TEST_F(LoaderRoad, OfflineRegistrationCompletesAfterItsTimeOut) {
    reachable = false;
    confirms = false;
    Device({});
    Texts(kShortRoad);
    host.Press(IDD_LOADER_DIALOG, IDC_START);
    Run();
    EXPECT_TRUE(Shown("181 show")) << host.RecordText();
    EXPECT_LT(host.RecordText().find("181 destroyed"), host.RecordText().find("msgbox"));
    std::string text;
    for (int nId = 190; nId <= 193; ++nId) {
        text += std::string(platform::resources::LoadString(nId));
    }
    const std::string expected =
        std::string("msgbox information \"ZR-40ソフトウェア更新ツール\" \"") +
        CComString(text.c_str()).ToUtf8() + "\"";
    EXPECT_EQ(Boxes(), std::vector<std::string>{expected});
}

// Stopped in the driver wait after the settings were installed: nothing will change on the
// device any more, so the wait must not depend on it.
TEST_F(LoaderRoad, DriverWaitResumedWithCurrentDriversGoesOnAtOnce) {
    start.dwStatus = 2;
    Device({});
    Texts(kShortRoad);
    ASSERT_EQ(store.WriteSwUpState(2, 1, "", ""), 1);
    host.Advance(1000);
    Run();
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")}) << host.RecordText();
    EXPECT_EQ(statusAtManagerStart, 4u);
}

// Resumed in the driver wait: the communication settings are installed meanwhile; the
// connection software's settings come through it and no saved copy is left behind.
TEST_F(LoaderRoad, DriverWaitEndsWhenTheDriversAreCurrent) {
    namespace reg = platform::registry;
    start.dwStatus = 2;
    Device({"--outdated-drivers"});
    Texts(kShortRoad);
    ASSERT_EQ(store.WriteSwUpState(2, 1, "", ""), 1);
    reg::Store user(reg::CurrentUserStore());
    ASSERT_TRUE(user.CreateKey(kConnectionSoftKey).ok());
    ASSERT_TRUE(user.SetString(kConnectionSoftKey, "Apn", "mirato.jp", reg::Zero::kStored).ok());
    host.Advance(1000).Do("the installer runs", [&] { ASSERT_TRUE(sim->Raise(SIGUSR1)); });
    Run();
    EXPECT_TRUE(Shown("180 show")) << host.RecordText();
    EXPECT_EQ(statusAtManagerStart, 4u);
    EXPECT_TRUE(owedAtManagerStart) << "the manager looks for the record as it starts";
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")});
    EXPECT_EQ(user.GetValue(kConnectionSoftKey, "Apn").value().bytes,
              std::string("mirato.jp\0", 10));
    EXPECT_EQ(user.OpenKey(kConnectionSoftSaveKey).kind, reg::Kind::kNotFound);
}

// Killed after the write: the next start waits for the device, tells why it cannot check the
// result yet, and goes on once it can.
TEST_F(LoaderRoad, ResumedAfterTheWriteWaitsForTheBusyPort) {
    start.dwStatus = 1;
    Device({"--version", "Ver1.01"});
    Texts(kShortRoad);
    ASSERT_EQ(store.WriteSwUpState(1, 9, "Ver1.00", start.strExecDir), 1);
    // Another program has the update port until the user has read the box about it.
    platform::fd::UniqueFd other(
        ::open(sim->UpdateLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    const std::string busy = BoxLine(217, "information");
    const auto windowThread = std::this_thread::get_id();
    clock.SetHook([&](std::uint32_t) {
        if (std::this_thread::get_id() == windowThread && other.Valid() && !Boxes().empty() &&
            Boxes().back() == busy) {
            other.Reset();
        }
    });
    host.Advance(5000);
    Run();
    clock.SetHook({});
    EXPECT_EQ(Boxes(), (std::vector<std::string>{busy, BoxLine(118, "information")}))
        << host.RecordText();
    EXPECT_TRUE(Shown("ZR40のソフトウェア更新結果を確認中です。"));
    EXPECT_EQ(statusAtManagerStart, 4u);
    std::uint32_t dwStatus = 0;
    EXPECT_EQ(store.ReadStatus(dwStatus), 0);
    EXPECT_FALSE(RelaunchRegistered());
}

// Another process may post anything to the window: during the write, neither the manager's
// confirmation nor the road's own message numbers move the road.
TEST_F(LoaderRoad, MessagesFromAnotherProcessDuringTheWriteChangeNothing) {
    Device({});
    Texts(kShortRoad);
    std::vector<int> reached;
    host.Press(IDD_LOADER_DIALOG, IDC_START).Do("another process posts", [&] {
        for (const char* message : {"0x401", "0x403", "0x410"}) {
            testsupport::ChildProcess poster(
                {ZR_WINDOW_HELPER, "post", "ZR-40ソフトウェア更新ツール", message, "0"}, {});
            reached.push_back(poster.Wait(testsupport::In(std::chrono::seconds(30))).value_or(-1));
        }
    });
    Run();
    EXPECT_EQ(reached, (std::vector<int>{1, 1, 1})) << "each reached the window";
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")}) << host.RecordText();
    EXPECT_EQ(statusAtManagerStart, 4u) << "the road went on to the manager";
    EXPECT_TRUE(owedAtManagerStart);
}

// The PC may not sleep while the firmware is written nor on the rest of the road: the window
// refuses a suspend query while its exit button is disabled, and logind holds the tool's lock
// from the start button to the end.
TEST_F(LoaderRoad, SuspendIsRefusedWhileTheExitButtonIsDisabled) {
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    testsupport::FakeLogin logind;
    testsupport::BusService service(bus.Address(), [&](sd_bus* b) { logind.Serve(b); });
    ASSERT_TRUE(service.Ok());
    testsupport::ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
    Device({});
    Texts(kShortRoad);

    host.WaitWhenIdle(true);
    CLoaderDlgSystem system = System();
    std::optional<CLoaderDlg> dialog;
    std::vector<std::intptr_t> answers;
    std::vector<bool> held;
    auto ask = [&] {
        answers.push_back(
            dialog->GetWindow().Send({WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0, {}}).value_or(-1));
        held.push_back(logind.Held());
    };
    auto startManager = system.startManager;
    system.startManager = [&](const fs::path& dir) {
        ask();
        return startManager(dir);
    };
    host.Do("suspend asked", ask).Press(IDD_LOADER_DIALOG, IDC_START).Do("suspend asked", ask);
    dialog.emplace(start, system);
    dialog->DoModal();

    EXPECT_EQ(answers, (std::vector<std::intptr_t>{1, BROADCAST_QUERY_DENY, BROADCAST_QUERY_DENY}));
    EXPECT_EQ(held, (std::vector<bool>{false, true, true}));
    EXPECT_FALSE(logind.Held()) << "the lock ends with the road";
    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")}) << host.RecordText();
}

// Neither the PC nor ModemManager gets in the write's way: logind's block is taken before the
// first frame reaches the device and let go at the end, and a ModemManager that restarts while
// the device erases (which it does for three seconds here) is asked to leave the device alone
// again before the next frame goes out.
TEST_F(LoaderRoad, TheBlockAndTheInhibitionCoverTheWriteAndOutliveAModemManagerRestart) {
    constexpr char kDevice[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const fs::path sysfs = root.Path() / (kDevice + 1);
    fs::create_directories(sysfs);
    std::ofstream(sysfs / "idVendor") << "1d7a\n";
    std::ofstream(sysfs / "idProduct") << "3c52\n";
    const fs::path frameLog = simDir.Path() / "frames.log";
    auto framesIn = [&] {
        std::ifstream in(frameLog);
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.starts_with("rx ") ? 1 : 0;
        }
        return n;
    };

    std::mutex mutex;
    std::vector<std::string> seen;  // what each party asked for, after how many frames
    auto note = [&](const std::string& what) {
        const std::lock_guard lock(mutex);
        seen.push_back(what + " after " + std::to_string(framesIn()));
    };
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    testsupport::FakeLogin logind;
    logind.onInhibit = [&](const std::string& what) { note("block " + what); };
    testsupport::FakeModemManager mm({kDevice});
    mm.onCall = [&](const std::string& uid, bool inhibit) {
        note((inhibit ? "inhibit " : "uninhibit ") + uid);
    };
    testsupport::BusService login(bus.Address(), [&](sd_bus* b) { logind.Serve(b); });
    testsupport::BusService modemManager(bus.Address(), [&](sd_bus* b) { mm.Serve(b); });
    ASSERT_TRUE(login.Ok() && modemManager.Ok());
    testsupport::ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
    Device({"--frame-log", frameLog.string(), "--erase-ms-per-block", "3000"});
    Texts(kWriteRoad);

    int erasedAfter = -1;
    bool askedAgain = false;
    std::thread restart([&] {
        if (sim->WaitFor("erased 0037-0037")) {
            erasedAfter = framesIn();
            (void)mm.TakeCalls();
            modemManager.Run(testsupport::FakeModemManager::Restart);
            askedAgain = mm.WaitForCall(std::chrono::seconds(30));
        }
    });
    host.Press(IDD_LOADER_DIALOG, IDC_START);
    Run();
    restart.join();

    EXPECT_EQ(Boxes(), std::vector<std::string>{BoxLine(118, "information")}) << host.RecordText();
    ASSERT_GT(erasedAfter, 0) << sim->Seen();
    EXPECT_TRUE(askedAgain);
    const int written = framesIn();
    EXPECT_GT(written, erasedAfter + 2) << "the image went on after the erase";
    const std::string device = std::string(" ") + kDevice + " after ";
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "block shutdown:sleep:idle:handle-lid-switch after 0");
    EXPECT_EQ(seen[1], "inhibit" + device + "0");
    EXPECT_EQ(seen[2], "inhibit" + device + std::to_string(erasedAfter));
    EXPECT_TRUE(seen[3].starts_with("uninhibit" + device)) << seen[3];
    EXPECT_FALSE(logind.Held()) << "the block ends with the road";
}

}  // namespace

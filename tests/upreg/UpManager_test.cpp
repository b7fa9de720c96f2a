// The manager's window as a user and the update tool meet it: the tray, the setting, the
// new-version balloon and dialog, the device button, and the program's start and end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Loader/app/StateStore.h"
#include "ZR40UpReg/ZR40UpRegDlg.h"
#include "platform/net/UpdateServer.h"
#include "platform/paths/Paths.h"
#include "platform/system/System.h"
#include "platform/ui/ScriptedHost.h"
#include "platform/window/Window.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/ManualClock.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;
namespace ui = platform::ui;
namespace window = platform::window;
using testsupport::ScopedEnv;

namespace {

constexpr std::uint32_t kGuardMs = 30000;

bool Has(const ui::ScriptedHost& host, const std::string& line) {
    return host.RecordText().find(line) != std::string::npos;
}

class UpManager : public ::testing::Test {
  protected:
    UpManager() { ui::SetHost(&m_host); }
    ~UpManager() override { ui::SetHost(nullptr); }

    WorkerEnvironment Env() {
        WorkerEnvironment env;
        env.clock = &m_clock;
        env.store = [this] { return CUpRegStore(m_location); };
        env.serverReachable = [] { return false; };
        env.devices.clock = &m_clock;
        env.devices.updatePorts = [this] {
            std::lock_guard lock(m_portsLock);
            return m_ports;
        };
        return env;
    }
    void SetPorts(std::vector<std::string> ports) {
        std::lock_guard lock(m_portsLock);
        m_ports = std::move(ports);
    }
    CUpRegStore Store() { return CUpRegStore(m_location); }

    testsupport::TempDir m_root;
    ScopedEnv m_rootEnv{platform::paths::kRootVariable, m_root.Path().c_str()};
    ScopedEnv m_runtime{"XDG_RUNTIME_DIR", nullptr};
    ScopedEnv m_server{"ZR40_UPDATE_SERVER", "http://127.0.0.1:9"};
    ScopedEnv m_catalog{"ZR40_DEVICE_CATALOG", (m_root.Path() / "devices.json").c_str()};
    platform::registry::Location m_location =
        platform::registry::FileStore(m_root.Path() / "registry.sqlite");
    testsupport::ManualClock m_clock;
    ui::ScriptedHost m_host{m_clock};
    std::mutex m_portsLock;
    std::vector<std::string> m_ports;
};

TEST_F(UpManager, MinimizeStartsInTrayAndOnlyTheToolsCloseEndsItWhileAReportIsOwed) {
    CStateStore tool(m_location);
    ASSERT_EQ(tool.CreateStateKeys(), 1);
    ASSERT_EQ(tool.WriteUpdateListEntry("SN0001", "Ver1.01"), 1);
    CZR40UpRegDlg dlg("/minimize", Env());
    bool bHiddenInTray = false;
    m_host.Do("look", [&] { bHiddenInTray = !dlg.IsVisible() && dlg.Tray().IsShown(); })
        .TrayEvent(ui::kTrayRightButtonUp)
        .ChooseMenuItem(ID_TRAY_EXIT)
        .Do("look", [&] { bHiddenInTray = bHiddenInTray && !dlg.IsVisible(); })
        .Do("tool closes", [] {
            window::PostToWindowsTitled(kManagerTitle, {WM_MANAGER_CLOSE, 0, 0, {}});
        });
    dlg.DoModal();

    EXPECT_TRUE(bHiddenInTray);
    EXPECT_FALSE(Has(m_host, "show \"ZR-40更新管理ツール\""));
    EXPECT_TRUE(Has(m_host, "tray add 128 \"ZR-40更新管理ツール\""));
    EXPECT_TRUE(Has(m_host, "ソフトウェア更新情報のサーバー登録処理を継続中のため終了できません。"))
        << m_host.RecordText();
    EXPECT_FALSE(Has(m_host, "script: skipped"));
}

TEST_F(UpManager, OkStoresTheSettingAndCancelLeavesIt) {
    CZR40UpRegDlg dlg("", Env());
    int nRadioAfterCancel = -1;
    m_host.Do("choose off", [&] { dlg.UserCheck(1002); })
        .Press(IDD_ZR40UPREG_DIALOG, IDC_CANCEL)
        .TrayEvent(ui::kTrayLeftButtonUp)
        .Do("look", [&] { nRadioAfterCancel = dlg.GetRadioValue(IDC_NOTIFY_ON); })
        .Do("choose off", [&] { dlg.UserCheck(1002); })
        .Press(IDD_ZR40UPREG_DIALOG, IDC_OK);
    dlg.DoModal();

    EXPECT_EQ(nRadioAfterCancel, 0);
    bool bOn = true;
    EXPECT_EQ(Store().ReadVerCheck(bOn), 1);
    EXPECT_FALSE(bOn);
    EXPECT_FALSE(dlg.IsVisible());
}

TEST_F(UpManager, WithoutATrayTheWindowIsMinimisedNotLost) {
    m_host.SetTrayAvailable(false);
    CZR40UpRegDlg dlg("/minimize", Env());
    bool bReachable = false;
    m_host.Do("look", [&] { bReachable = dlg.IsVisible() && dlg.IsMinimized(); });
    dlg.DoModal();

    EXPECT_TRUE(bReachable);
}

std::size_t Count(const ui::ScriptedHost& host, const std::string& line) {
    const std::string record = host.RecordText();
    std::size_t count = 0;
    for (auto at = record.find(line); at != std::string::npos; at = record.find(line, at + 1)) {
        ++count;
    }
    return count;
}

// Minimised on the task bar for want of a tray, the window stands where the icon would: the
// balloon goes out (as a desktop notice) instead of waiting for a tray that may never come.
TEST_F(UpManager, WithoutATrayTheNewVersionBalloonStillGoesOutAndATrayThatAppearsTakesTheWindow) {
    m_host.SetTrayAvailable(false);
    const std::string notice =
        "tray notice \"お知らせ\" \"ZR-40ソフトウェアに新しいバージョンが見つかりました。\" 30000";
    const std::string balloon =
        "tray balloon \"お知らせ\" \"ZR-40ソフトウェアに新しいバージョンが見つかりました。\" 30000";
    CZR40UpRegDlg dlg("", Env());
    std::size_t nWhileShown = 1;
    std::size_t nOnceMinimised = 0;
    bool bMinimised = false;
    bool bHiddenInTray = false;
    m_host.Do("new version", [&] { dlg.NewVersionBalloon(); })
        .Do("look", [&] { nWhileShown = Count(m_host, notice); })
        .Press(IDD_ZR40UPREG_DIALOG, IDC_CANCEL)
        .Do("look",
            [&] {
                bMinimised = dlg.IsVisible() && dlg.IsMinimized() && !dlg.Tray().IsShown();
                nOnceMinimised = Count(m_host, notice);
            })
        .Do("new version", [&] { dlg.NewVersionBalloon(); })
        .TrayAppears()
        .Do("look", [&] { bHiddenInTray = !dlg.IsVisible() && dlg.Tray().IsShown(); })
        .Do("new version", [&] { dlg.NewVersionBalloon(); });
    dlg.DoModal();

    EXPECT_EQ(nWhileShown, 0u);
    EXPECT_TRUE(bMinimised);
    EXPECT_EQ(nOnceMinimised, 1u) << m_host.RecordText();
    EXPECT_EQ(Count(m_host, notice), 2u) << m_host.RecordText();
    EXPECT_TRUE(bHiddenInTray) << m_host.RecordText();
    EXPECT_EQ(Count(m_host, balloon), 1u) << m_host.RecordText();
    EXPECT_FALSE(Has(m_host, "script: skipped"));
}

TEST_F(UpManager, NewVersionBalloonWaitsForTheTrayAndItsClickOpensTheDownloadPage) {
    const fs::path bin = m_root.Path() / "bin";
    fs::create_directories(bin);
    fs::copy_file(ZR_SYSTEM_HELPER, bin / "xdg-open");
    const fs::path out = m_root.Path() / "opened";
    ScopedEnv path("PATH", bin.c_str());
    ScopedEnv report("ZR_TEST_OUT", out.c_str());
    ASSERT_EQ(Store().WriteLastVer("120101", "1.2.3"), 1);

    CZR40UpRegDlg dlg("", Env());
    bool bBalloonWhileVisible = true;
    m_host.Do("new version", [&] { dlg.NewVersionBalloon(); })
        .Do("look", [&] { bBalloonWhileVisible = Has(m_host, "tray balloon"); })
        .Press(IDD_ZR40UPREG_DIALOG, IDC_CANCEL)
        .TrayEvent(ui::kTrayBalloonClick)
        .Press(IDD_UPDATE_DIALOG, IDC_CHECK_NOW);
    dlg.DoModal();

    EXPECT_FALSE(bBalloonWhileVisible);
    EXPECT_TRUE(Has(m_host,
                    "tray balloon \"お知らせ\" "
                    "\"ZR-40ソフトウェアに新しいバージョンが見つかりました。\" 30000"))
        << m_host.RecordText();
    EXPECT_TRUE(Has(m_host, "text 1007 \"（バージョン 1.2.3）\""));
    ASSERT_TRUE(testsupport::Eventually([&] { return fs::exists(out); }, kGuardMs));
    std::string url;
    std::getline(std::ifstream(out), url);
    EXPECT_EQ(url, "http://127.0.0.1:9/telmirato/update/zr-40/");
}

TEST_F(UpManager, CheckButtonFollowsTheDevice) {
    ASSERT_EQ(Store().WriteVerCheck(false), 1);
    CZR40UpRegDlg dlg("", Env());
    bool bEnabledAtStart = true;
    bool bEnabledAfterArrival = false;
    auto change = [&](std::uintptr_t what) {
        dlg.GetWindow().Post({window::kDeviceChangeMessage, what, 0, "ttyACM3"});
    };
    m_host.Do("look", [&] { bEnabledAtStart = dlg.IsItemEnabled(IDC_CHECK_NOW); })
        .Do("plug",
            [&] {
                SetPorts({"ttyACM3"});
                change(window::kDeviceArrival);
            })
        .Do("look", [&] { bEnabledAfterArrival = dlg.IsItemEnabled(IDC_CHECK_NOW); })
        .Do("unplug", [&] {
            SetPorts({});
            change(window::kDeviceRemoveComplete);
        });
    dlg.DoModal();

    EXPECT_FALSE(bEnabledAtStart);
    EXPECT_TRUE(bEnabledAfterArrival);
    EXPECT_FALSE(dlg.IsItemEnabled(IDC_CHECK_NOW));
}

// The window's timers do not run while the PC sleeps; the stored schedules are on the wall clock,
// which does. A resume re-reads both, so what fell due during the sleep goes out at once.
TEST_F(UpManager, ResumeAfterALongSuspendSendsTheOwedReportAndChecksTheVersionAtOnce) {
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    testsupport::BusService logind(
        bus.Address(), [](sd_bus* b) { sd_bus_request_name(b, "org.freedesktop.login1", 0); });
    ASSERT_TRUE(logind.Ok());
    ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
    const fs::path log = m_root.Path() / "server.log";
    net_test::Serverd server({"--log", log.string()});
    ASSERT_GT(server.Port(), 0);
    ScopedEnv url("ZR40_UPDATE_SERVER", server.Url("").c_str());

    std::atomic<std::time_t> wall{std::time(nullptr)};
    WorkerEnvironment env = Env();
    env.store = [this, &wall] { return CUpRegStore(m_location, [&wall] { return wall.load(); }); };
    env.serverReachable = [] { return true; };
    CStateStore tool(m_location);
    ASSERT_EQ(tool.CreateStateKeys(), 1);
    ASSERT_EQ(tool.WriteUpdateListEntry("SN0001", "Ver1.01"), 1);
    ASSERT_EQ(tool.SetUpdateRequesting(true), 1);
    // Daily retries by now, the last one just failed; the version was checked just now.
    ASSERT_EQ(env.store().WriteRetryState(5), 1);
    ASSERT_EQ(env.store().WriteVerCheck(true), 1);
    ASSERT_EQ(env.store().WriteVerLastDate(), 1);

    auto logged = [&](const char* method, const char* path) {
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(std::string("\"method\":\"") + method + "\"") != std::string::npos &&
                line.find(std::string("\"path\":\"") + path + "\"") != std::string::npos &&
                line.find("\"status\":200") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    CZR40UpRegDlg dlg("/minimize", env);
    m_host.WaitWhenIdle(true);
    m_host.Do("sleep two days, then wake", [&] {
        wall += 2 * 86400;
        logind.Run([](sd_bus* b) {
            sd_bus_emit_signal(b, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", 0);
        });
    });
    // The manager's clock never moves: only the resume can have set anything off.
    std::thread closer([&] {
        testsupport::Eventually(
            [&] {
                return logged("POST", platform::net::kNotifyPath) &&
                       logged("GET", platform::net::kVersionPagePath) &&
                       Store().HasRetryState() == 0;
            },
            kGuardMs);
        window::PostToWindowsTitled(kManagerTitle, {WM_MANAGER_CLOSE, 0, 0, {}});
    });
    dlg.DoModal();
    closer.join();

    EXPECT_TRUE(logged("POST", platform::net::kNotifyPath)) << m_host.RecordText();
    EXPECT_TRUE(logged("GET", platform::net::kVersionPagePath));
    std::string serial;
    EXPECT_EQ(Store().HasUpdateListEntry(serial), 0) << serial;
    EXPECT_EQ(Store().IsUpdateRequesting(), 0);
    EXPECT_EQ(Store().HasRetryState(), 0);
    EXPECT_EQ(m_clock.NowMs(), 0u);
}

// The check button's request may hang for minutes: the window goes on meanwhile (a report owed
// by then goes out at once), and its end cuts the request short instead of waiting it out.
TEST_F(UpManager, TheWindowGoesOnWhileTheCheckButtonsRequestHangsAndItsEndCutsItShort) {
    const fs::path log = m_root.Path() / "server.log";
    net_test::Serverd server({"--log", log.string(), "--version", "stall"});
    ASSERT_GT(server.Port(), 0);
    ScopedEnv url("ZR40_UPDATE_SERVER", server.Url("").c_str());
    auto logged = [&](const std::string& what) {
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(what) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    WorkerEnvironment env = Env();
    env.serverReachable = [] { return true; };
    ASSERT_EQ(Store().WriteVerCheck(false), 1);  // no periodic check: the only GET is the button's
    SetPorts({"ttyACM3"});

    CZR40UpRegDlg dlg("", env);
    std::promise<window::WindowHandle> handle;
    std::atomic<bool> bEnded{false};
    m_host.WaitWhenIdle(true);
    m_host.Do("look", [&] { handle.set_value(dlg.GetWindow().Handle()); })
        .Press(IDD_ZR40UPREG_DIALOG, IDC_CHECK_NOW);
    std::thread user([&] {
        const window::WindowHandle manager = handle.get_future().get();
        EXPECT_TRUE(
            testsupport::Eventually([&] { return logged("\"answer\":\"stall\""); }, kGuardMs));
        CStateStore tool(m_location);
        EXPECT_EQ(tool.CreateStateKeys(), 1);
        EXPECT_EQ(tool.WriteUpdateListEntry("SN0001", "Ver1.01"), 1);
        EXPECT_EQ(tool.SetUpdateRequesting(true), 1);
        manager.Post({WM_NOTIFY_NOW, 0, 0, {}});
        std::string serial;
        EXPECT_TRUE(testsupport::Eventually([&] { return Store().HasUpdateListEntry(serial) == 0; },
                                            kGuardMs))
            << "the report waited for the check";
        manager.Post({WM_MANAGER_CLOSE, 0, 0, {}});
        // Far less than the request's own bound: a minute without a byte.
        EXPECT_TRUE(testsupport::Eventually([&] { return bEnded.load(); }, kGuardMs))
            << "the end waited for the request";
    });
    dlg.DoModal();
    bEnded = true;
    user.join();

    EXPECT_TRUE(logged("\"body\":\"serial=SN0001&"));
    EXPECT_FALSE(Has(m_host, "msgbox")) << m_host.RecordText();
}

// The program itself: one per session, and the tool's close message ends it from outside.
class UpManagerProgram : public UpManager {
  protected:
    pid_t Start(const char* arg, const fs::path& errFile) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT, 0600);
        char* argv[] = {const_cast<char*>(ZR_UPMANAGER), const_cast<char*>(arg), nullptr};
        pid_t pid = -1;
        posix_spawn(&pid, ZR_UPMANAGER, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    ~UpManagerProgram() override {
        if (m_first > 0) {
            ::kill(m_first, SIGKILL);
            ::waitpid(m_first, nullptr, 0);
        }
    }
    pid_t m_first = -1;
    ScopedEnv m_ui{"ZR40_UI", "scripted"};
    ScopedEnv m_script{"ZR40_UI_SCRIPT", (m_root.Path() / "script").c_str()};
};

TEST_F(UpManagerProgram, SecondStartEndsSilentlyAndTheToolsCloseEndsTheFirst) {
    std::ofstream(m_root.Path() / "script") << "";
    m_first = Start("/minimize", m_root.Path() / "first.err");
    ASSERT_GT(m_first, 0);
    ASSERT_TRUE(
        testsupport::Eventually([] { return window::FindWindow(kManagerTitle); }, kGuardMs));

    const pid_t second = Start("/minimize", m_root.Path() / "second.err");
    int status = -1;
    ASSERT_EQ(::waitpid(second, &status, 0), second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fs::file_size(m_root.Path() / "second.err"), 0u);

    EXPECT_EQ(window::PostToWindowsTitled(kManagerTitle, {WM_MANAGER_CLOSE, 0, 0, {}}), 1);
    ASSERT_EQ(::waitpid(m_first, &status, 0), m_first);
    m_first = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Refused before anything of the session is made: no window, no tray, no lock, no store.
TEST_F(UpManagerProgram, BelowVistaItOnlyWarnsWith140AndFromVistaOnItRuns) {
    std::ofstream(m_root.Path() / "script") << "";
    {
        ScopedEnv os(platform::system::kOsVersionVariable, "5.2");
        const pid_t refused = Start("/minimize", m_root.Path() / "refused.err");
        ASSERT_GT(refused, 0);
        int status = -1;
        ASSERT_EQ(::waitpid(refused, &status, 0), refused);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::stringstream record;
    record << std::ifstream(m_root.Path() / "refused.err").rdbuf();
    EXPECT_EQ(record.str(),
              "msgbox warning \"ZR-40更新管理ツール\" "
              "\"ご使用されているOSでの動作をサポートしていません。\" -> 1 (default)\n");
    std::set<std::string> made;
    for (const auto& entry : fs::recursive_directory_iterator(m_root.Path())) {
        made.insert(fs::relative(entry.path(), m_root.Path()).string());
    }
    EXPECT_EQ(made, (std::set<std::string>{"script", "refused.err"}));

    ScopedEnv os(platform::system::kOsVersionVariable, "6.0");
    m_first = Start("/minimize", m_root.Path() / "vista.err");
    ASSERT_GT(m_first, 0);
    ASSERT_TRUE(
        testsupport::Eventually([] { return window::FindWindow(kManagerTitle); }, kGuardMs));
    EXPECT_EQ(window::PostToWindowsTitled(kManagerTitle, {WM_MANAGER_CLOSE, 0, 0, {}}), 1);
    int status = -1;
    ASSERT_EQ(::waitpid(m_first, &status, 0), m_first);
    m_first = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

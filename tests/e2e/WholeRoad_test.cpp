// The whole update road with the built programs as separate processes: the simulator, the
// server double, ZR40_SWUpdate under the console host with the user's answers on its input, and
// the ZR40_UpManager it installs and starts, under the scripted host with nothing to do and its
// record in a file of its own, all in one temporary root. Then the same road as pkexec starts
// the tool for a user: from root's home, with what pkexec keeps of the environment, and the
// user's desktop session known only to logind; once as pkexec does it, once through pkexec.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeLogin.h"
#include "tests/support/PrivateBus.h"
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

// The processes running the program `exe`: the manager stays in the tray after the road.
std::vector<pid_t> ProcessesOf(const fs::path& exe) {
    std::vector<pid_t> pids;
    for (const fs::directory_entry& e : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(e.path() / "exe", ec) == exe) {
            pids.push_back(std::stoi(e.path().filename().string()));
        }
    }
    return pids;
}

void StopInstalledManager(const fs::path& exe) {
    for (const pid_t pid : ProcessesOf(exe)) {
        ::kill(pid, SIGTERM);
    }
}

// A process's environment, by name.
std::map<std::string, std::string> EnvironmentOf(pid_t pid) {
    std::map<std::string, std::string> vars;
    std::istringstream in(testsupport::ReadText("/proc/" + std::to_string(pid) + "/environ"));
    for (std::string entry; std::getline(in, entry, '\0');) {
        if (const auto eq = entry.find('='); eq != std::string::npos) {
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    return vars;
}

// The real user id, from the "Uid:" line of its status.
std::string UidOf(pid_t pid) {
    std::istringstream in(testsupport::ReadText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Uid:")) {
            std::istringstream ids(line.substr(4));
            std::string real;
            ids >> real;
            return real;
        }
    }
    return {};
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

    static bool KeyExists(const reg::Location& store, const std::string& key) {
        return reg::Store(store).OpenKey(key).ok();
    }

    // The road's end: message 118 and no other box, the manager gone to the tray under its own
    // host without a box, the update state of the person the tool works for deleted from
    // `store`, and the report accepted after the refusals: the server answered `answers`.
    void ExpectRoadEnded(const testsupport::ChildProcess& tool, int status,
                         const reg::Location& store, const fs::path& managerOut,
                         const std::vector<int>& answers, const std::string& dayBefore) {
        const std::string& shown = tool.Text();
        const std::vector<Request> requests = Notifications(serverLog);
        ASSERT_EQ(status, 0) << shown << "\n" << requests.size() << " reports sent";

        const std::size_t box = shown.rfind("[i] ZR-40ソフトウェア更新ツール\n");
        ASSERT_NE(box, std::string::npos) << shown;
        EXPECT_TRUE(shown.substr(box).starts_with(
            std::string("[i] ZR-40ソフトウェア更新ツール\n    ") + kSuccess + "\n    -> OK\n"))
            << shown;
        EXPECT_EQ(shown.find("[x] "), std::string::npos) << shown;
        // Sanitizer builds report into each program's output.
        EXPECT_EQ(shown.find("Sanitizer"), std::string::npos) << shown;
        const std::string managerShown = testsupport::ReadText(managerOut);
        EXPECT_NE(managerShown.find("\n102 minimize \"ZR-40更新管理ツール\"\n"), std::string::npos)
            << managerShown;
        EXPECT_EQ(managerShown.find("msgbox"), std::string::npos) << managerShown;
        EXPECT_EQ(managerShown.find("Sanitizer"), std::string::npos) << managerShown;

        EXPECT_FALSE(KeyExists(store, std::string(kBase) + "\\ZR40SwUp"));
        EXPECT_FALSE(KeyExists(store, std::string(kBase) + "\\UpdateRequesting"));
        EXPECT_FALSE(KeyExists(store, std::string(kBase) + "\\UpdateList\\" + kSerial));
        EXPECT_FALSE(KeyExists(store, std::string(kBase) + "\\UpdateRetry"));

        // The manager stopped sending once accepted.
        ASSERT_EQ(requests.size(), answers.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            EXPECT_EQ(requests[i].status, answers[i]) << i;
            EXPECT_EQ(requests[i].body, requests.back().body) << i;
        }
        const std::regex report(std::string("serial=") + kSerial +
                                "&version=0000\\.0001\\.01&date=(\\d{8})\\d{6}");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(requests.back().body, m, report)) << requests.back().body;
        EXPECT_TRUE(m[1] == dayBefore || m[1] == LocalDate()) << requests.back().body;
    }

    testsupport::TempDir root;
    testsupport::TempDir simDir;
    fs::path toolDir = root.Path() / "tool";
    fs::path serverLog = root.Path() / "server.log";
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
    // In the USB guest (tools/usbvm.sh) the device is a real USB gadget: the tool finds it
    // through sysfs, and udev tells it of the device's comings and goings.
    const bool gadget = std::getenv("ZR_USBVM_GADGET") != nullptr;
    std::vector<std::string> args = {"--serial", kSerial, "--reenum-ms", "1000"};
    if (gadget) {
        args.push_back("--gadget");
    }
    devsim_test::DevSim sim(simDir.Path(), args);
    ASSERT_EQ(sim.NextLine(), "ready");
    ScopedEnv catalog("ZR40_DEVICE_CATALOG", gadget ? nullptr : sim.Catalog().c_str());
    net_test::Serverd server({"--log", serverLog.string(), "--notify", "503,503,200"});
    ASSERT_GT(server.Port(), 0);
    ScopedEnv url("ZR40_UPDATE_SERVER",
                  ("http://127.0.0.1:" + std::to_string(server.Port())).c_str());
    const std::string dayBefore = LocalDate();

    testsupport::ChildProcess tool({(toolDir / "ZR40_SWUpdate").string()},
                                   {.cwd = toolDir, .input = true});
    // The notice's 次へ and 書込開始 at once, as a pipe delivers them; the input stays open.
    ASSERT_TRUE(tool.Write("1\n1\n"));
    const int status = tool.Wait(testsupport::In(kRoadGuard)).value_or(-1);
    ExpectRoadEnded(tool, status, reg::CurrentUserStore(), managerRecord, {503, 503, 200},
                    dayBefore);
}

// The account the tool works for; it exists on every Debian system, so polkit knows it too.
constexpr const char* kAccount = "nobody";
// Its desktop session as logind tells it. pkexec lets the display of the caller's terminal through,
// which is not the session's.
constexpr const char* kCallersDisplay = ":3";
constexpr const char* kSessionDisplay = ":7";
constexpr const char* kXauthority = "/home/nobody/.Xauthority";

// How the tool is started in the test.
enum class Way {
    kAsPkexecDoes,   // with the working directory and environment pkexec gives it
    kThroughPkexec,  // through the real pkexec and polkit, in a mount namespace of the test's
    kInstalled,      // the installed package's program and action, through the real pkexec
};

// The installed program, when tools/package-check.sh has installed the package for this test.
const char* InstalledTool() {
    return std::getenv("ZR_INSTALLED_TOOL");
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// What is missing here for the real pkexec; nothing when it can run.
std::optional<std::string> WhyNoRealPkexec() {
    struct stat st {};
    if (::stat("/usr/bin/pkexec", &st) != 0 || st.st_uid != 0 || (st.st_mode & S_ISUID) == 0) {
        return "no setuid pkexec";
    }
    for (const char* needed :
         {"/usr/lib/polkit-1/polkitd", "/usr/bin/pkaction", "/usr/bin/gdbus", "/usr/bin/setpriv",
          "/usr/bin/unshare", "/usr/share/polkit-1/actions", "/etc/polkit-1/rules.d"}) {
        if (::access(needed, F_OK) != 0) {
            return std::string("no ") + needed;
        }
    }
    testsupport::ChildProcess probe({"/usr/bin/unshare", "--mount", "--", "/bin/true"}, {});
    if (probe.Wait(testsupport::In(std::chrono::seconds(20))).value_or(-1) != 0) {
        return "no mount namespace for the test";
    }
    return std::nullopt;
}

// The tool as pkexec starts it for `kAccount`: as root in root's home, with what pkexec keeps of
// the caller's environment (polkit 122: the locale and terminal variables, SHELL when it is a
// login shell, DISPLAY and XAUTHORITY for an action that allows a GUI) and what it sets (HOME,
// USER, LOGNAME, PATH, PKEXEC_UID). The tool's folder, laid out as shipped, is somewhere else;
// the account's session has a Wayland compositor, a session bus and a display of its own.
class UnderPkexec : public WholeRoad, public ::testing::WithParamInterface<Way> {
  protected:
    void SetUp() override {
        WholeRoad::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (::geteuid() != 0) {
            GTEST_SKIP() << "pkexec starts the tool as root";
        }
        const passwd* pw = ::getpwnam(kAccount);
        if (pw == nullptr) {
            GTEST_SKIP() << "no account " << kAccount;
        }
        account = {pw->pw_uid, pw->pw_gid, kAccount, "/home/nobody"};
        runtime = root.Path() / "run/user" / std::to_string(account.uid);
        if (GetParam() == Way::kInstalled && InstalledTool() == nullptr) {
            GTEST_SKIP() << "the package is not installed (tools/package-check.sh runs this)";
        }
        if (GetParam() != Way::kAsPkexecDoes) {
#ifdef ZR_SANITIZED
            // The same programs run under the sanitizers as pkexec would start them; the real
            // pkexec adds only its own checks, and a minute per flavour.
            GTEST_SKIP() << "the real pkexec runs in the plain build only";
#endif
            if (const auto why = WhyNoRealPkexec()) {
                GTEST_SKIP() << *why;
            }
        }
        const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
        fs::permissions(root.Path(), open);
        fs::permissions(simDir.Path(), open);
        fs::create_directories(root.Path() / "etc");
        std::ofstream(root.Path() / "etc/passwd")
            << "root:x:0:0:root:/root:/bin/sh\n"
            << kAccount << ":x:" << account.uid << ":" << account.gid << ":" << kAccount
            << ":/home/nobody:/usr/sbin/nologin\n";
        fs::create_directories(rootsHome);
        fs::permissions(rootsHome, fs::perms::owner_all);
        GiveToAccount(root.Path() / "home/nobody", open);
        // What logind makes at the logon: the runtime directory, with the session's sockets.
        fs::create_directories(runtime.parent_path());
        GiveToAccount(runtime, fs::perms::owner_all);
        for (const char* socket : {"bus", "wayland-0"}) {
            ASSERT_TRUE(testsupport::MakeSocketFile(runtime / socket));
            ASSERT_EQ(::chown((runtime / socket).c_str(), account.uid, account.gid), 0);
        }

        // The tool's folder as shipped: the program and ZR40_UpMng/ beside it, linked so that
        // the running program's path is the folder's.
        fs::create_directories(shippedDir / "ZR40_UpMng");
        LinkOrCopy(ZR_SWUPDATE, shippedDir / "ZR40_SWUpdate");
        for (const char* name : {"ZR40_UpManager", "ZR40_UpMng_ui"}) {
            LinkOrCopy(fs::path(ZR_UPMNG_DIR) / name, shippedDir / "ZR40_UpMng" / name);
        }

        ASSERT_FALSE(bus.Address().empty());
        // polkitd and the manager reach it under their own users.
        const std::string address = bus.Address().substr(std::string("unix:path=").size());
        busSocket = address.substr(0, address.find(','));
        fs::permissions(busSocket.parent_path(), open);
        login.emplace(std::vector<testsupport::FakeSession>{
            {.id = "c1", .uid = account.uid},
            {.id = "2", .uid = account.uid, .type = "wayland", .display = kSessionDisplay},
            {.id = "3", .uid = 0, .type = "x11", .display = ":0"}});
        logind.emplace(bus.Address(), [this](sd_bus* b) { login->Serve(b); });
        ASSERT_TRUE(logind->Ok());
    }

    void GiveToAccount(const fs::path& dir, fs::perms perms) {
        fs::create_directories(dir);
        fs::permissions(dir, perms);
        ASSERT_EQ(::chown(dir.c_str(), account.uid, account.gid), 0);
    }

    static void LinkOrCopy(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_hard_link(from, to, ec);
        if (ec) {
            fs::copy_file(from, to);
        }
    }

    // What the test sets for the programs, which pkexec would not let through.
    std::vector<std::string> Relocation(int port) const {
        std::vector<std::string> vars = {
            "ZR40_ROOT=" + root.Path().string(),
            "ZR40_DEVICE_CATALOG=" + (simDir.Path() / "catalog.txt").string(),
            "ZR40_UPDATE_SERVER=http://127.0.0.1:" + std::to_string(port),
            "ZR40_UI=console",
            "ZR40_MANAGER_UI=scripted",
            "ZR40_MANAGER_UI_SCRIPT=" + managerSteps.string(),
            "ZR40_MANAGER_OUTPUT=" + managerOut.string()};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                vars.push_back(std::string(name) + "=" + value);
            }
        }
        return vars;
    }

    // The environment pkexec gives the program when the caller has the desktop's variables.
    std::vector<std::string> AsPkexecLeavesIt() const {
        return {std::string("DISPLAY=") + kCallersDisplay,
                "HOME=/root",
                "LANG=C.UTF-8",
                "LOGNAME=root",
                "PATH=/usr/sbin:/usr/bin:/sbin:/bin:/root/bin",
                "PKEXEC_UID=" + std::to_string(account.uid),
                "USER=root",
                std::string("XAUTHORITY=") + kXauthority};
    }

    fs::path Program() const {
        return GetParam() == Way::kInstalled ? fs::path(InstalledTool())
                                             : shippedDir / "ZR40_SWUpdate";
    }

    std::unique_ptr<testsupport::ChildProcess> Start(int port) {
        const fs::path program = Program();
        if (GetParam() == Way::kAsPkexecDoes) {
            std::vector<std::string> env = AsPkexecLeavesIt();
            for (std::string& var : Relocation(port)) {
                env.push_back(std::move(var));
            }
            // The system bus with logind, which through pkexec is at its standard place.
            env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus.Address());
            return std::make_unique<testsupport::ChildProcess>(
                std::vector<std::string>{program.string()},
                testsupport::ChildProcess::Options{.cwd = rootsHome, .env = env, .input = true});
        }
        // pkexec runs the launcher, which records what the tool would find and adds the test's
        // variables; the action is the shipped one but for its id and path.
        const fs::path launcher = root.Path() / "bin/zr40-under-pkexec";
        fs::create_directories(launcher.parent_path());
        {
            std::ofstream script(launcher);
            script << "#!/bin/sh\n{ pwd; env; } >" << Quoted(found.string()) << "\nexec env";
            for (const std::string& var : Relocation(port)) {
                script << " " << Quoted(var);
            }
            script << " " << Quoted(program.string()) << "\n";
        }
        fs::permissions(launcher, fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
        const fs::path actions = root.Path() / "polkit/actions";
        const fs::path rules = root.Path() / "polkit/rules";
        fs::create_directories(actions);
        fs::create_directories(rules);
        const bool installed = GetParam() == Way::kInstalled;
        const fs::path shipped =
            installed ? fs::path(kInstalledActions) / kPolicyName : fs::path(ZR_POLKIT_POLICY);
        fs::copy_file(shipped, actions / kPolicyName);
        std::string policy = testsupport::ReadText(shipped);
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{">" + InstalledPath() + "<",
                                                  ">" + launcher.string() + "<"},
              {"\"" ZR_POLKIT_ACTION "\"", "\"" ZR_POLKIT_ACTION ".test\""}}) {
            const auto at = policy.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos) {
                policy.replace(at, from.size(), to);
            }
        }
        std::ofstream(actions / (ZR_POLKIT_ACTION ".test.policy")) << policy;
        std::ofstream(rules / "10-zr40-test.rules")
            << "polkit.addRule(function(action, subject) {\n"
            << "    if (action.id == \"" ZR_POLKIT_ACTION ".test\" && subject.user == \""
            << kAccount << "\") {\n"
            << "        return polkit.Result.YES;\n    }\n});\n";
        // The caller's desktop environment, most of which pkexec drops.
        const std::string uid = std::to_string(account.uid);
        const std::vector<std::string> callers = {
            std::string("DISPLAY=") + kCallersDisplay,
            std::string("XAUTHORITY=") + kXauthority,
            "LANG=C.UTF-8",
            "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
            "HOME=/home/nobody",
            "XDG_RUNTIME_DIR=/run/user/" + uid,
            "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/" + uid + "/bus",
            "WAYLAND_DISPLAY=wayland-0",
            "ZR40_UI=qt"};
        return std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"/bin/sh", ZR_THROUGH_PKEXEC, busSocket.string(),
                                     actions.string(), rules.string(), uid,
                                     std::to_string(account.gid), ZR_POLKIT_ACTION,
                                     pkaction.string(), polkitLog.string(), launcher.string()},
            testsupport::ChildProcess::Options{.cwd = root.Path(), .env = callers, .input = true});
    }

    // Where the action says the program is.
    std::string InstalledPath() const {
        return GetParam() == Way::kInstalled ? InstalledTool() : ZR_TOOL_INSTALLED_PATH;
    }

    static constexpr const char* kInstalledActions = "/usr/share/polkit-1/actions";
    static constexpr const char* kPolicyName = ZR_POLKIT_ACTION ".policy";

    platform::paths::User account;
    fs::path rootsHome = root.Path() / "root";
    // The account's runtime directory.
    fs::path runtime;
    // Spaces, so that the relaunch entry has to quote it.
    fs::path shippedDir = root.Path() / "ZR-40 tool";
    fs::path managerOut = root.Path() / "home/nobody/manager.out";
    fs::path found = root.Path() / "found";
    fs::path pkaction = root.Path() / "pkaction.txt";
    fs::path polkitLog = root.Path() / "polkitd.log";
    testsupport::PrivateBus bus;
    fs::path busSocket;
    std::optional<testsupport::FakeLogin> login;
    std::optional<testsupport::BusService> logind;
};

TEST_P(UnderPkexec, TheWholeRoadWithTheManagerInTheUsersSession) {
    devsim_test::DevSim sim(simDir.Path(), {"--serial", kSerial, "--reenum-ms", "1000"});
    ASSERT_EQ(sim.NextLine(), "ready");
    net_test::Serverd server({"--log", serverLog.string(), "--notify", "503,200"});
    ASSERT_GT(server.Port(), 0);
    const std::string dayBefore = LocalDate();

    const auto tool = Start(server.Port());
    ASSERT_TRUE(tool->Write("1\n1\n"));
    // The relaunch entry is written at the write's end and deleted at the road's; the report's
    // refusal and the manager's retry ten seconds later keep it there while it is read.
    ASSERT_TRUE(tool->WaitFor("ZR40を再起動しています。", testsupport::In(kRoadGuard)))
        << tool->Text() << testsupport::ReadText(polkitLog);
    const std::string relaunch = testsupport::ReadText(platform::paths::UserAutostartDir(account) /
                                                       "zr40-swupdate-relaunch.desktop");
    const int status = tool->Wait(testsupport::In(kRoadGuard)).value_or(-1);

    if (GetParam() != Way::kAsPkexecDoes) {
        // What the emulation gives the tool is what the real pkexec gave it.
        std::istringstream in(testsupport::ReadText(found));
        std::string cwd;
        std::getline(in, cwd);
        EXPECT_EQ(cwd, ::getpwnam("root")->pw_dir);
        std::vector<std::string> env;
        for (std::string line; std::getline(in, line);) {
            if (!line.starts_with("PWD=") && !line.starts_with("SHLVL=") &&
                !line.starts_with("_=")) {
                env.push_back(line);
            }
        }
        std::sort(env.begin(), env.end());
        EXPECT_EQ(env, AsPkexecLeavesIt()) << testsupport::ReadText(polkitLog);
        const std::string described = testsupport::ReadText(pkaction);
        for (const std::string& line : std::vector<std::string>{
                 "org.freedesktop.policykit.exec.path -> " + InstalledPath() + "\n",
                 "org.freedesktop.policykit.exec.allow_gui -> true\n",
                 "implicit active:   auth_admin_keep\n", "icon:              zr40-swupdate\n"}) {
            EXPECT_NE(described.find(line), std::string::npos) << line << described;
        }
    }

    // The entry starts the program where it really is, through pkexec. Holds once the tool
    // takes its folder from the running program rather than from the working directory.
    const std::string program = fs::canonical(Program()).string();
    // The shipped folder's name has spaces, which the entry quotes; the installed one has none.
    const std::string exec = program.find(' ') == std::string::npos ? program : '"' + program + '"';
    EXPECT_NE(relaunch.find("\nExec=pkexec " + exec + "\n"), std::string::npos) << relaunch;

    // The road's end needs the manager, which the tool installs from its folder: as above.
    ExpectRoadEnded(*tool, status, reg::UserStore(account), managerOut, {503, 200}, dayBefore);

    // The manager runs as the account in its desktop session, as logind and the runtime
    // directory tell it, with the display authority pkexec let through.
    const std::vector<pid_t> managers =
        ProcessesOf(platform::paths::InstallDir() / "ZR40_UpManager");
    ASSERT_EQ(managers.size(), 1u);
    EXPECT_EQ(UidOf(managers[0]), std::to_string(account.uid));
    const auto env = EnvironmentOf(managers[0]);
    const std::string user = std::to_string(account.uid);
    const std::map<std::string, std::string> expected = {
        {"HOME", "/home/nobody"},
        {"USER", kAccount},
        {"XDG_RUNTIME_DIR", "/run/user/" + user},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/" + user + "/bus"},
        {"XDG_SESSION_TYPE", "wayland"},
        {"WAYLAND_DISPLAY", "wayland-0"},
        {"DISPLAY", kSessionDisplay},
        {"XAUTHORITY", kXauthority},
        {"ZR40_ROOT", root.Path().string()},
        {"ZR40_UI", "scripted"}};
    for (const auto& [name, value] : expected) {
        const auto it = env.find(name);
        EXPECT_TRUE(it != env.end() && it->second == value)
            << name << "=" << (it == env.end() ? "(unset)" : it->second);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, UnderPkexec,
                         ::testing::Values(Way::kAsPkexecDoes, Way::kThroughPkexec,
                                           Way::kInstalled),
                         [](const ::testing::TestParamInfo<Way>& param) {
                             return param.param == Way::kAsPkexecDoes    ? "AsPkexecDoes"
                                    : param.param == Way::kThroughPkexec ? "ThroughPkexec"
                                                                         : "Installed";
                         });

// What pkexec keeps for an action that allows a GUI is all the tool needs for its own window on
// the user's X display, which admits only holders of the user's cookie.
TEST(UnderPkexecsEnvironment, TheToolsWindowReachesTheUsersDisplay) {
    constexpr std::chrono::seconds kGuard{60};
    if (::geteuid() != 0) {
        GTEST_SKIP() << "pkexec starts the tool as root";
    }
    const passwd* pw = ::getpwnam(kAccount);
    for (const char* needed : {"/usr/bin/Xvfb", "/usr/bin/xauth", "/usr/bin/xdotool"}) {
        if (pw == nullptr || ::access(needed, X_OK) != 0) {
            GTEST_SKIP() << "no " << (pw == nullptr ? kAccount : needed);
        }
    }
    const uid_t uid = pw->pw_uid;
    testsupport::TempDir root;
    fs::create_directories(root.Path() / "etc");
    std::ofstream(root.Path() / "etc/passwd")
        << "root:x:0:0:root:/root:/bin/sh\n"
        << kAccount << ":x:" << uid << ":" << pw->pw_gid << ":" << kAccount
        << ":/home/nobody:/usr/sbin/nologin\n";
    fs::create_directories(root.Path() / "root");
    fs::create_directories(root.Path() / "home/nobody");
    const fs::path xauthority = root.Path() / "home/nobody/.Xauthority";
    const auto run = [&](std::vector<std::string> argv, std::vector<std::string> env) {
        testsupport::ChildProcess child(argv, {.env = env});
        const int status = child.Wait(testsupport::In(kGuard)).value_or(-1);
        return std::make_pair(status, child.Text());
    };
    char cookie[33];
    std::random_device random;
    for (int i = 0; i < 32; i += 8) {
        std::snprintf(cookie + i, 9, "%08x", static_cast<unsigned>(random()));
    }
    const auto addCookie = [&](const std::string& display) {
        return run({"/usr/bin/xauth", "-q", "-f", xauthority.string(), "add", display,
                    "MIT-MAGIC-COOKIE-1", cookie},
                   {})
            .first;
    };
    // The server learns the cookie at its start; the entry for its number follows.
    ASSERT_EQ(addCookie(":0"), 0);
    testsupport::ChildProcess xvfb(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-auth", xauthority.string(), "-nolisten", "tcp"},
        {.errorsWithOutput = false});
    const auto number = xvfb.NextLine(testsupport::In(kGuard));
    ASSERT_TRUE(number);
    const std::string display = ":" + *number;
    ASSERT_EQ(addCookie(display), 0);
    const std::vector<std::string> user = {"DISPLAY=" + display,
                                           "XAUTHORITY=" + xauthority.string()};

    std::vector<std::string> env = {"DISPLAY=" + display,
                                    "XAUTHORITY=" + xauthority.string(),
                                    "HOME=/root",
                                    "LANG=C.UTF-8",
                                    "LOGNAME=root",
                                    "PATH=/usr/sbin:/usr/bin:/sbin:/bin:/root/bin",
                                    "PKEXEC_UID=" + std::to_string(uid),
                                    "USER=root",
                                    "ZR40_ROOT=" + root.Path().string(),
                                    "ZR40_DEVICE_CATALOG=" + (root.Path() / "none.txt").string()};
    testsupport::ChildProcess tool({ZR_SWUPDATE}, {.cwd = root.Path() / "root", .env = env});
    // No device: its first window is the box that asks for one.
    const auto [found, windows] =
        run({"/usr/bin/xdotool", "search", "--sync", "--name", "^ZR-40"}, user);
    EXPECT_EQ(found, 0) << windows << tool.Text();
    // Without the cookie the display refuses.
    EXPECT_NE(run({"/usr/bin/xdotool", "search", "--name", "^ZR-40"}, {"DISPLAY=" + display}).first,
              0);
    tool.Kill();
    xvfb.Signal(SIGTERM);
    EXPECT_TRUE(xvfb.Wait(testsupport::In(kGuard)));
}

// The action as shipped: valid for polkit, and it starts the installed tool with its window.
TEST(PolkitAction, IsValidAndStartsTheInstalledToolWithItsWindow) {
    const std::string policy = testsupport::ReadText(ZR_POLKIT_POLICY);
    for (const char* part :
         {"<action id=\"" ZR_POLKIT_ACTION "\">",
          "<annotate key=\"org.freedesktop.policykit.exec.path\">" ZR_TOOL_INSTALLED_PATH
          "</annotate>",
          "<annotate key=\"org.freedesktop.policykit.exec.allow_gui\">true</annotate>",
          "<allow_active>auth_admin_keep</allow_active>", "<icon_name>zr40-swupdate</icon_name>",
          "<message xml:lang=\"ja\">ZR-40のソフトウェアを更新するには認証が必要です</message>",
          "<description xml:lang=\"ja\">"}) {
        EXPECT_NE(policy.find(part), std::string::npos) << part;
    }
    constexpr const char* kDtd = "/usr/share/polkit-1/policyconfig-1.dtd";
    if (::access(kDtd, R_OK) != 0 || ::access("/usr/bin/xmllint", X_OK) != 0) {
        GTEST_SKIP() << "no polkit DTD or xmllint to validate against";
    }
    testsupport::ChildProcess xmllint(
        {"/usr/bin/xmllint", "--noout", "--dtdvalid", kDtd, ZR_POLKIT_POLICY}, {});
    EXPECT_EQ(xmllint.Wait(testsupport::In(std::chrono::seconds(60))).value_or(-1), 0)
        << xmllint.Text();
}

}  // namespace

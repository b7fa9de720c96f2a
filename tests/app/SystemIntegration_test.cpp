// The tool's marks on the system, in a relocated system where root acts for user 4321 as sudo
// arranges, with a second profile (4322) beside it.
#include "Loader/app/SystemIntegration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "Loader/common/ComString.h"
#include "platform/fd/UniqueFd.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/system/Autostart.h"
#include "platform/window/Window.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
namespace sys = platform::system;
namespace paths = platform::paths;
namespace win = platform::window;

constexpr uid_t kUser = 4321;
constexpr uid_t kOther = 4322;

using testsupport::ReadText;

sys::OsVersion Os(unsigned major, unsigned minor) {
    sys::OsVersion os;
    os.major = major;
    os.minor = minor;
    return os;
}

class SystemIntegration : public ::testing::Test {
  protected:
    SystemIntegration() {
        fs::permissions(root_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
        fs::create_directories(root_.Path() / "etc");
        std::ofstream(root_.Path() / "etc/passwd")
            << "root:x:0:0:root:/root:/bin/sh\n"
            << "zrone:x:" << kUser << ":" << kUser << "::/home/zrone:/bin/sh\n"
            << "zrtwo:x:" << kOther << ":" << kOther << "::/home/zrtwo:/bin/sh\n";
        fs::create_directories(root_.Path() / "home/zrone");
        fs::create_directories(root_.Path() / "home/zrtwo");
        // What the build puts beside the tool.
        fs::create_directories(source_.Path() / kManagerFolder);
        for (const char* name : {kManagerProgram, kManagerUiProgram}) {
            fs::copy_file(ZR_STANDIN, source_.Path() / kManagerFolder / name);
        }
    }

    static bool Root() { return geteuid() == 0; }

    static std::string ManagerEntry() {
        return ReadText(sys::AutostartFile(sys::AutostartScope::kAllUsers, kManagerAutostartEntry));
    }

    testsupport::TempDir root_;
    testsupport::TempDir source_;
    testsupport::ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::ScopedEnv sudo_{"SUDO_UID", std::to_string(kUser).c_str()};
    testsupport::ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
    testsupport::ScopedEnv runtime_{"XDG_RUNTIME_DIR", nullptr};
    testsupport::ManualClock clock_;
    CSystemIntegration integration_{clock_};
};

// The manager's window on a thread of its own; it notes the request to end and goes when the test
// lets it.
class ManagerWindow {
  public:
    static constexpr std::uint32_t kGo = 0x9000;

    ManagerWindow() {
        thread_ = std::thread([this] {
            {
                win::Window* self = nullptr;
                win::Window window(kManagerWindowTitle, [&](const win::Message& m) {
                    if (m.message == WM_MANAGER_QUIT) {
                        asked_ = true;
                    } else if (m.message == kGo) {
                        self->PostQuit(0);
                    }
                    return std::intptr_t{0};
                });
                self = &window;
                SetUp(window.Handle());
                window.Run();
            }
            std::lock_guard lock(mutex_);
            gone_ = true;
            changed_.notify_all();
        });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return static_cast<bool>(handle_); });
    }
    ~ManagerWindow() {
        Go();
        thread_.join();
    }

    // Ends the window and returns once it cannot be found any more.
    void Go() {
        std::unique_lock lock(mutex_);
        handle_.Post({kGo, 0, 0, {}});
        changed_.wait(lock, [this] { return gone_; });
    }
    bool Asked() const { return asked_; }

  private:
    void SetUp(win::WindowHandle handle) {
        std::lock_guard lock(mutex_);
        handle_ = std::move(handle);
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    win::WindowHandle handle_;
    bool gone_ = false;
    std::atomic<bool> asked_{false};
    std::thread thread_;
};

// This process's standard output and error on a pipe, as a terminal the tool runs in: whatever
// it and the programs it starts write there.
class CaughtStreams {
  public:
    CaughtStreams() {
        std::fflush(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        read_.Reset(fds[0]);
        const platform::fd::UniqueFd write(fds[1]);
        out_.Reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        err_.Reset(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
        ::dup2(write.Get(), STDOUT_FILENO);
        ::dup2(write.Get(), STDERR_FILENO);
    }
    ~CaughtStreams() { Restore(); }
    CaughtStreams(const CaughtStreams&) = delete;
    CaughtStreams& operator=(const CaughtStreams&) = delete;

    // Our streams given back, then what was written, up to the end of the last program that
    // still held them.
    std::string Take(testsupport::Deadline until) {
        Restore();
        std::string text;
        for (;;) {
            pollfd p{read_.Get(), POLLIN, 0};
            const int msLeft = testsupport::MsLeft(until);
            char chunk[512];
            const ssize_t n = msLeft >= 0 && ::poll(&p, 1, msLeft) > 0
                                  ? ::read(read_.Get(), chunk, sizeof chunk)
                                  : 0;
            if (n <= 0) {
                return text;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    void Restore() {
        if (out_.Valid()) {
            std::fflush(nullptr);
            ::dup2(out_.Get(), STDOUT_FILENO);
            ::dup2(err_.Get(), STDERR_FILENO);
            out_.Reset();
            err_.Reset();
        }
    }

    platform::fd::UniqueFd read_;
    platform::fd::UniqueFd out_;
    platform::fd::UniqueFd err_;
};

TEST_F(SystemIntegration, RelaunchStartsTheToolThroughPkexecLiterallyAndOnlyTheNewerBranchWaits) {
    const fs::path toolDir = root_.Path() / "up date;x $(id)";
    const fs::path entryFile =
        sys::AutostartFile(sys::AutostartScope::kCurrentUser, kRelaunchEntry);
    const std::string exec =
        "\nExec=pkexec \"" + root_.Path().string() + "/up date;x \\\\$(id)/ZR40_SWUpdate\"\n";

    ASSERT_EQ(integration_.SetRelaunch(true, Os(6, 1), toolDir), 1);
    std::string text = ReadText(entryFile);
    EXPECT_NE(text.find(exec), std::string::npos) << text;
    EXPECT_NE(text.find("\nX-GNOME-Autostart-Delay=20\n"), std::string::npos) << text;
    EXPECT_EQ(fs::path(entryFile).parent_path(),
              paths::UserAutostartDir(*paths::LookupUser(kUser)));

    ASSERT_EQ(integration_.SetRelaunch(true, Os(5, 1), toolDir), 1);
    text = ReadText(entryFile);
    EXPECT_NE(text.find(exec), std::string::npos) << text;
    EXPECT_EQ(text.find("Delay"), std::string::npos) << text;

    EXPECT_EQ(integration_.SetRelaunch(false, Os(6, 1)), 1);
    EXPECT_FALSE(fs::exists(entryFile));
    EXPECT_EQ(integration_.SetRelaunch(false, Os(6, 1)), 1);
}

// pkexec finds the tool's action only by the very path the action names.
TEST_F(SystemIntegration, RelaunchNamesTheProgramWhereItReallyIsNotThroughALink) {
    const fs::path real = root_.Path() / "tool folder";
    fs::create_directories(real);
    fs::create_directory_symlink(real, root_.Path() / "link");
    std::ofstream(real / kToolProgram) << "program";

    ASSERT_EQ(integration_.SetRelaunch(true, Os(6, 1), root_.Path() / "link"), 1);
    const std::string text =
        ReadText(sys::AutostartFile(sys::AutostartScope::kCurrentUser, kRelaunchEntry));
    EXPECT_NE(text.find("\nExec=pkexec \"" + fs::canonical(real / kToolProgram).string() + "\"\n"),
              std::string::npos)
        << text;
}

TEST_F(SystemIntegration, InstallsIntoAnEmptySystemWithLogonEntryAndUninstallEntry) {
    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    const fs::path installed = paths::InstallDir();
    for (const char* name : {kManagerProgram, kManagerUiProgram}) {
        EXPECT_EQ(fs::status(installed / name).permissions() & fs::perms::others_exec,
                  fs::perms::others_exec)
            << name;
    }
    EXPECT_NE(ManagerEntry().find("\nExec=\"" + (installed / kManagerProgram).string() +
                                  "\" /minimize\n"),
              std::string::npos)
        << ManagerEntry();

    reg::Store machine(reg::MachineStore());
    const std::string ui = (installed / kManagerUiProgram).string();
    EXPECT_EQ(machine.GetValue(kUninstallKey, "DisplayName").value().bytes,
              CComString::FromUtf8(kManagerWindowTitle).Str() + '\0');
    EXPECT_EQ(machine.GetValue(kUninstallKey, "DisplayIcon").value().bytes, ui + '\0');
    EXPECT_EQ(machine.GetValue(kUninstallKey, "UninstallString").value().bytes, ui + '\0');
    EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(SystemIntegration, InstallingOverARunningManagerWaitsForItsWindowToGo) {
    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    std::ofstream(paths::InstallDir() / kManagerProgram) << "old";
    ManagerWindow manager;
    ASSERT_TRUE(win::FindWindow(kManagerWindowTitle));
    // The manager ends during the installer's first wait, once it has been asked to.
    clock_.SetHook([&](std::uint32_t) {
        if (testsupport::Eventually([&] { return manager.Asked(); }, 10'000)) {
            manager.Go();
        }
    });

    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    EXPECT_TRUE(manager.Asked());
    EXPECT_EQ(clock_.Sleeps(), std::vector<std::uint32_t>{CSystemIntegration::kManagerClosePollMs});
    EXPECT_NE(ReadText(paths::InstallDir() / kManagerProgram), "old");
}

TEST_F(SystemIntegration, AManagerThatDoesNotEndHoldsTheInstallationOnlyUpToTheBound) {
    ManagerWindow manager;
    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    EXPECT_TRUE(testsupport::Eventually([&] { return manager.Asked(); }, 10'000));
    EXPECT_EQ(clock_.Sleeps().size(),
              CSystemIntegration::kManagerCloseLimitMs / CSystemIntegration::kManagerClosePollMs);
    EXPECT_EQ(clock_.NowMs(), CSystemIntegration::kManagerCloseLimitMs);
}

TEST_F(SystemIntegration, AMissingSourceOrAFailedCopyRegistersNothing) {
    const fs::path entry =
        sys::AutostartFile(sys::AutostartScope::kAllUsers, kManagerAutostartEntry);
    fs::create_directories(paths::InstallDir() / kManagerUiProgram / "taken");
    EXPECT_EQ(integration_.InstallManager(source_.Path()), 0);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(reg::Store(reg::MachineStore()).OpenKey(kUninstallKey).ok());
    EXPECT_FALSE(fs::exists(paths::InstallDir() / (std::string(kManagerUiProgram) + ".new")));

    fs::remove_all(paths::InstallDir() / kManagerUiProgram);
    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    fs::remove(source_.Path() / kManagerFolder / kManagerUiProgram);
    EXPECT_EQ(integration_.InstallManager(source_.Path()), 0);
    EXPECT_TRUE(fs::exists(paths::InstallDir() / kManagerProgram));
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_TRUE(reg::Store(reg::MachineStore()).OpenKey(kUninstallKey).ok());
}

// Root copies programs that every user will run: a source that anyone but root could have
// changed installs nothing at all.
TEST_F(SystemIntegration, ASourceSomeoneElseCouldHaveChangedIsRefused) {
    if (!Root()) {
        GTEST_SKIP() << "handing folders to another user needs root";
    }
    const fs::path folder = source_.Path() / kManagerFolder;
    const fs::path program = folder / kManagerProgram;
    const fs::path sentinel = root_.Path() / "root-only";
    std::ofstream(sentinel) << "secret";
    fs::permissions(sentinel, fs::perms::owner_read | fs::perms::owner_write);
    auto refused = [&](const char* how) {
        SCOPED_TRACE(how);
        EXPECT_EQ(integration_.InstallManager(source_.Path()), CSystemIntegration::kInstallRefused);
        EXPECT_FALSE(fs::exists(paths::InstallDir() / kManagerProgram));
        EXPECT_FALSE(
            fs::exists(sys::AutostartFile(sys::AutostartScope::kAllUsers, kManagerAutostartEntry)));
    };

    ASSERT_EQ(::chown(folder.c_str(), kUser, kUser), 0);
    refused("the user's folder");
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);

    fs::permissions(source_.Path(), fs::perms::group_write, fs::perm_options::add);
    refused("a folder above that others may write");
    fs::permissions(source_.Path(), fs::perms::group_write, fs::perm_options::remove);

    fs::remove(program);
    fs::create_symlink(sentinel, program);
    refused("a link to a file of root's");
    EXPECT_EQ(fs::status(sentinel).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    fs::remove(program);
    fs::copy_file(ZR_STANDIN, program);
    ASSERT_EQ(::chown(program.c_str(), kUser, kUser), 0);
    refused("the user's program");
}

TEST_F(SystemIntegration, TheManagerStartsAsTheUserMinimisedAndAMissingOneIsReportedAsFailure) {
    if (!Root()) {
        GTEST_SKIP() << "starting as another user needs root";
    }
    EXPECT_LE(CSystemIntegration::StartManager().code, 32);

    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    const fs::path outDir = root_.Path() / "out";
    fs::create_directories(outDir);
    fs::permissions(outDir, fs::perms::all);
    const fs::path out = outDir / "started";
    testsupport::ScopedEnv outVar("ZR40_STANDIN_OUT", out.c_str());

    ASSERT_TRUE(CSystemIntegration::StartManager().Started());
    ASSERT_TRUE(testsupport::Eventually([&] { return fs::exists(out); }, 10'000));
    EXPECT_EQ(ReadText(out), "program=ZR40_UpManager\nuid=" + std::to_string(kUser) +
                                 "\nshow=minimized\nui=(unset)\nui_script=(unset)\n");
}

// The tool runs in a terminal, or under a test's scripted user; the manager it starts stays in
// the session after it and gets neither, only what the tool passes on for it.
TEST_F(SystemIntegration, TheStartedManagerHasNoneOfTheToolsStreamsOrUserInterfaceSettings) {
    constexpr std::chrono::milliseconds kGuard{20'000};
    ASSERT_EQ(integration_.InstallManager(source_.Path()), 1);
    const fs::path outDir = root_.Path() / "out";
    fs::create_directories(outDir);
    fs::permissions(outDir, fs::perms::all);
    const fs::path seen = outDir / "seen";
    testsupport::ScopedEnv seenVar("ZR40_STANDIN_OUT", seen.c_str());
    testsupport::ScopedEnv toolUi("ZR40_UI", "console");
    testsupport::ScopedEnv toolScript("ZR40_UI_SCRIPT", (outDir / "tool.steps").c_str());
    const std::string head =
        "program=ZR40_UpManager\nuid=" + std::to_string(Root() ? kUser : ::geteuid()) +
        "\nshow=minimized\n";

    const auto start = [&] {
        fs::remove(seen);
        CaughtStreams toolStreams;
        const sys::StartResult started = CSystemIntegration::StartManager();
        EXPECT_EQ(toolStreams.Take(testsupport::In(kGuard)), "");
        EXPECT_TRUE(started.Started());
        EXPECT_TRUE(testsupport::WaitUntilGone(started.pid, testsupport::In(kGuard)));
        return ReadText(seen);
    };
    EXPECT_EQ(start(), head + "ui=(unset)\nui_script=(unset)\n");

    const fs::path managerSteps = outDir / "manager.steps";
    const fs::path managerOut = outDir / "manager.out";
    testsupport::ScopedEnv managerUi(kManagerUiVariable, "scripted");
    testsupport::ScopedEnv managerScript(kManagerUiScriptVariable, managerSteps.c_str());
    testsupport::ScopedEnv managerOutVar(kManagerOutputVariable, managerOut.c_str());
    EXPECT_EQ(start(), head + "ui=scripted\nui_script=" + managerSteps.string() + "\n");
    EXPECT_EQ(ReadText(managerOut),
              "ZR40_UpManager: a stand-in for the program of this name, which is not part of "
              "this system\n");
}

TEST_F(SystemIntegration, SettingsAreSavedAndRestoredPerProfileSkippingADamagedStore) {
    const auto one = *paths::LookupUser(kUser);
    const auto two = *paths::LookupUser(kOther);
    {
        reg::Store store(reg::UserStore(one));
        ASSERT_TRUE(store.CreateKey(std::string(kConnectionSoftKey) + "\\Profile").ok());
        ASSERT_TRUE(
            store.SetString(kConnectionSoftKey, "Apn", "mirato.jp", reg::Zero::kStored).ok());
    }
    fs::create_directories(paths::UserStoreFile(two).parent_path());
    std::ofstream(paths::UserStoreFile(two)) << "not a store";

    EXPECT_EQ(CSystemIntegration::SaveConnectionSettings(), 1);
    reg::Store store(reg::UserStore(one));
    EXPECT_TRUE(store.OpenKey(std::string(kConnectionSoftSaveKey) + "\\Profile").ok());

    // The reinstall resets the settings.
    ASSERT_TRUE(store.SetString(kConnectionSoftKey, "Apn", "", reg::Zero::kStored).ok());
    EXPECT_EQ(CSystemIntegration::RestoreConnectionSettings(), 1);
    EXPECT_EQ(store.GetValue(kConnectionSoftKey, "Apn").value().bytes,
              std::string("mirato.jp\0", 10));
    EXPECT_EQ(store.OpenKey(kConnectionSoftSaveKey).kind, reg::Kind::kNotFound);
    EXPECT_EQ(ReadText(paths::UserStoreFile(two)), "not a store");

    // Nothing saved: nothing restored, nothing lost.
    EXPECT_EQ(CSystemIntegration::RestoreConnectionSettings(), 0);
    EXPECT_TRUE(store.OpenKey(kConnectionSoftKey).ok());
}

}  // namespace

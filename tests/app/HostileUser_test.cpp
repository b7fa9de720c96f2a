// Root working for a user who means harm: before each operation the user has planted a link
// (or a second name) at a path the tool touches on the user's behalf, aimed at something of
// root's; or, in the race, swaps a folder for such a link while root makes it. Whatever the
// operation answers, nothing of root's may change: owner, mode, contents, the entries of its
// folders. Runs as root in a relocated system where sudo made user 4331 the one the tool
// works for, with a second profile (4332) beside.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "Loader/app/SystemIntegration.h"
#include "Loader/common/ComLog.h"
#include "Loader/common/ErrorRecord.h"
#include "platform/fd/UniqueFd.h"
#include "platform/paths/Paths.h"
#include "platform/registry/Registry.h"
#include "platform/system/Autostart.h"
#include "platform/system/System.h"
#include "platform/window/Window.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
namespace sys = platform::system;
namespace paths = platform::paths;
namespace win = platform::window;
using platform::fd::UniqueFd;

constexpr uid_t kUser = 4331;   // the user the tool works for, and the attacker
constexpr uid_t kOther = 4332;  // another profile

// One file or folder as it stands: who owns it, its mode, what it holds.
struct Node {
    std::string path;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    std::string data;  // a file's contents, a link's target

    bool operator==(const Node&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Node& n) {
    return out << n.path << " " << n.uid << ":" << n.gid << " " << std::oct << n.mode << std::dec
               << " [" << n.data.substr(0, 40) << "]";
}

// `top` and everything below it, links not followed.
std::vector<Node> Snapshot(const fs::path& top) {
    std::vector<Node> nodes;
    const auto add = [&](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            nodes.push_back(Node{p.string(), 0, 0, 0, "(none)"});
            return;
        }
        std::string data;
        if (S_ISREG(st.st_mode)) {
            data = testsupport::ReadText(p);
        } else if (S_ISLNK(st.st_mode)) {
            data = fs::read_symlink(p).string();
        }
        nodes.push_back(Node{p.string(), st.st_uid, st.st_gid, st.st_mode, data});
        if (S_ISDIR(st.st_mode)) {
            for (const auto& entry : fs::recursive_directory_iterator(p)) {
                struct stat inner {};
                ::lstat(entry.path().c_str(), &inner);
                nodes.push_back(
                    Node{entry.path().string(), inner.st_uid, inner.st_gid, inner.st_mode,
                         S_ISREG(inner.st_mode)   ? testsupport::ReadText(entry.path())
                         : S_ISLNK(inner.st_mode) ? fs::read_symlink(entry.path()).string()
                                                  : std::string()});
            }
        }
    };
    add(top);
    std::sort(nodes.begin(), nodes.end(),
              [](const Node& a, const Node& b) { return a.path < b.path; });
    return nodes;
}

class HostileUser : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root";
        }
        fs::create_directories(root_.Path() / "etc/xdg/autostart");
        std::ofstream(root_.Path() / "etc/passwd")
            << "root:x:0:0:root:/root:/bin/sh\n"
            << "mallory:x:" << kUser << ":" << kUser << "::/home/mallory:/bin/sh\n"
            << "olivia:x:" << kOther << ":" << kOther << "::/home/olivia:/bin/sh\n";
        Fresh(Home(), kUser);
        Fresh(root_.Path() / "home/olivia", kOther);
        Fresh(root_.Path() / "run/user" / std::to_string(kUser), kUser);
        // What a plant aims at: a folder of root's with a private file, a file of root's, and
        // the machine store, which holds a key the profile copies would move.
        fs::create_directories(root_.Path() / "etc/sentinel");
        std::ofstream(root_.Path() / "etc/sentinel/secret") << "root only";
        fs::permissions(root_.Path() / "etc/sentinel/secret", fs::perms(0600));
        std::ofstream(root_.Path() / "etc/shadow") << "root:!:19000::::::\n";
        fs::permissions(root_.Path() / "etc/shadow", fs::perms(0640));
        reg::Store machine(reg::MachineStore());
        ASSERT_TRUE(machine.CreateKey(kConnectionSoftSaveKey).ok());
        ASSERT_TRUE(machine.SetDword(kConnectionSoftSaveKey, "Kept", 7).ok());
    }

    fs::path Home() const { return root_.Path() / "home/mallory"; }
    fs::path Runtime() const { return root_.Path() / "run/user" / std::to_string(kUser) / "zr40"; }
    fs::path SentinelDir() const { return root_.Path() / "etc/sentinel"; }
    fs::path SentinelFile() const { return root_.Path() / "etc/shadow"; }

    // Everything of root's that the plants aim at.
    std::vector<Node> RootsFiles() const {
        std::vector<Node> nodes = Snapshot(root_.Path() / "etc");
        for (Node& n : Snapshot(root_.Path() / "var")) {
            nodes.push_back(std::move(n));
        }
        return nodes;
    }

    // An empty folder of the user's, as its user would have it.
    static void Fresh(const fs::path& dir, uid_t uid) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(::chown(dir.c_str(), uid, uid), 0);
        fs::permissions(dir, fs::perms(0700));
    }

    // The user's folders down to `dir`, below the user's home or runtime directory.
    static void UsersFolders(const fs::path& base, const fs::path& below) {
        fs::path dir = base;
        for (const fs::path& part : below) {
            dir /= part;
            if (!fs::exists(fs::symlink_status(dir))) {
                fs::create_directory(dir);
                ASSERT_EQ(::chown(dir.c_str(), kUser, kUser), 0);
            }
        }
    }

    // A link of the user's at `at` (folders made down to it) aimed at `target`.
    static void Plant(const fs::path& base, const fs::path& below, const fs::path& target) {
        UsersFolders(base, below.parent_path());
        fs::create_symlink(target, base / below);
        ASSERT_EQ(::lchown((base / below).c_str(), kUser, kUser), 0);
    }

    // A second name for `target`, as a user may make without protected_hardlinks.
    static void PlantHard(const fs::path& base, const fs::path& below, const fs::path& target) {
        UsersFolders(base, below.parent_path());
        fs::create_hard_link(target, base / below);
    }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::ScopedEnv sudo_{"SUDO_UID", std::to_string(kUser).c_str()};
    testsupport::ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
    testsupport::ScopedEnv runtime_{"XDG_RUNTIME_DIR", nullptr};
    testsupport::ScopedEnv config_{"XDG_CONFIG_HOME", nullptr};
    testsupport::ScopedEnv state_{"XDG_STATE_HOME", nullptr};
};

TEST_F(HostileUser, LinksAtTheStoresPathsReachNothingOfRoots) {
    struct Case {
        const char* below;  // under the home
        bool toFolder;
        bool hard;
    };
    const Case cases[] = {
        {".config", true, false},
        {".config/zr40", true, false},
        {".config/zr40/registry.sqlite", false, false},
        {".config/zr40/registry.sqlite", false, true},
        {".config/zr40/registry.sqlite-wal", false, false},
        {".config/zr40/registry.sqlite-wal", false, true},
        {".config/zr40/registry.sqlite-shm", false, false},
        {".config/zr40/registry.sqlite-shm", false, true},
    };
    const std::vector<Node> before = RootsFiles();
    for (const Case& c : cases) {
        const std::string what = std::string(c.below) + (c.hard ? " (second name)" : " (link)");
        Fresh(Home(), kUser);
        const fs::path target = c.toFolder ? SentinelDir() : SentinelFile();
        c.hard ? PlantHard(Home(), c.below, target) : Plant(Home(), c.below, target);

        reg::Store store(reg::CurrentUserStore());
        const bool written = store.CreateKey("Software\\Norvale").ok();
        EXPECT_EQ(RootsFiles(), before) << what;
        if (written) {
            // Only where SQLite, working as the user, could put the planted name aside itself
            // (a -wal it cannot read is dropped) and then made its own file.
            struct stat st {};
            EXPECT_EQ(::lstat((Home() / c.below).c_str(), &st), 0) << what;
            EXPECT_EQ(st.st_uid, kUser) << what;
            EXPECT_TRUE(c.hard) << what;
        }
    }
    // With nothing planted, the same write makes the user's own store.
    Fresh(Home(), kUser);
    {
        reg::Store store(reg::CurrentUserStore());
        ASSERT_TRUE(store.CreateKey("Software\\Norvale").ok());
    }
    struct stat st {};
    ASSERT_EQ(::stat(paths::UserStoreFile(paths::CurrentUser()).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
}

TEST_F(HostileUser, AnotherProfilesStoreLinkedToTheMachinesIsNeitherCopiedNorEmptied) {
    // The other user's store folder is a link to the machine store's folder, which holds the key
    // a restore copies back and deletes.
    const fs::path other = root_.Path() / "home/olivia";
    fs::create_directories(other / ".config");
    ASSERT_EQ(::chown((other / ".config").c_str(), kOther, kOther), 0);
    fs::create_symlink(paths::MachineStoreFile().parent_path(), other / ".config/zr40");
    ASSERT_EQ(::lchown((other / ".config/zr40").c_str(), kOther, kOther), 0);
    const std::vector<Node> before = RootsFiles();

    EXPECT_EQ(CSystemIntegration::RestoreConnectionSettings(), 0);
    EXPECT_EQ(CSystemIntegration::SaveConnectionSettings(), 0);
    EXPECT_EQ(RootsFiles(), before);
    reg::Store machine(reg::MachineStore());
    EXPECT_EQ(machine.GetValue(kConnectionSoftSaveKey, "Kept").value().dword, 7u);
    EXPECT_EQ(machine.OpenKey(kConnectionSoftKey).kind, reg::Kind::kNotFound);
}

TEST_F(HostileUser, TheRelaunchEntryGoesNowhereButTheUsersOwnAutostartFolder) {
    CSystemIntegration integration;
    sys::OsVersion os;
    const std::string entry = std::string(kRelaunchEntry) + ".desktop";
    // An entry of root's by the same name, where a link would lead a removal.
    std::ofstream(SentinelDir() / entry) << "[Desktop Entry]\nExec=root's own\n";
    const std::vector<Node> before = RootsFiles();
    for (const char* below : {".config", ".config/autostart"}) {
        Fresh(Home(), kUser);
        Plant(Home(), below, SentinelDir());
        EXPECT_EQ(integration.SetRelaunch(true, os, "/opt/tool"), 0) << below;
        EXPECT_EQ(integration.SetRelaunch(false, os), 0) << below;
        EXPECT_EQ(RootsFiles(), before) << below;
    }
    // A link under the entry's own name is replaced, not written through.
    Fresh(Home(), kUser);
    Plant(Home(), fs::path(".config/autostart") / entry, SentinelFile());
    EXPECT_EQ(integration.SetRelaunch(true, os, "/opt/tool"), 1);
    EXPECT_EQ(RootsFiles(), before);
    struct stat st {};
    ASSERT_EQ(::lstat((Home() / ".config/autostart" / entry).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, kUser);
}

TEST_F(HostileUser, SocketsAndLocksStayInTheUsersRuntimeDirectory) {
    const fs::path base = Runtime().parent_path();
    const std::vector<Node> before = RootsFiles();
    // The runtime directory itself leads into root's folder.
    Plant(base, "zr40", SentinelDir());
    {
        win::Window window("tool", [](const win::Message&) { return std::intptr_t{0}; });
        EXPECT_FALSE(window.Published());
        sys::SingleInstance lock("ZR40_SWUpdate");
        EXPECT_EQ(lock.State(), sys::InstanceState::kFailed);
    }
    EXPECT_EQ(RootsFiles(), before);

    // A lock's name taken by a link, or by a second name of root's file.
    for (const bool hard : {false, true}) {
        Fresh(Runtime(), kUser);
        hard ? PlantHard(base, "zr40/ZR40_SWUpdate.lock", SentinelFile())
             : Plant(base, "zr40/ZR40_SWUpdate.lock", SentinelFile());
        sys::SingleInstance lock("ZR40_SWUpdate");
        EXPECT_EQ(lock.State(), sys::InstanceState::kFailed) << hard;
        EXPECT_EQ(RootsFiles(), before) << hard;
    }

    // A window's name taken by a link to a socket of root's: nothing is sent through it.
    Fresh(Runtime(), kUser);
    fs::create_directories(root_.Path() / "var/private");
    fs::permissions(root_.Path() / "var/private", fs::perms(0700));
    const fs::path rootSocket = root_.Path() / "var/private/socket";
    UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(rootSocket.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, rootSocket.c_str());
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    Plant(base, "zr40/" + win::SocketPrefix(kManagerWindowTitle) + "1-0", rootSocket);
    EXPECT_EQ(CSystemIntegration::PostManagerQuit(), 0);
    char got[64];
    EXPECT_LT(::recv(listener.Get(), got, sizeof got, MSG_DONTWAIT), 0)
        << "root's socket was sent to";

    // Unplanted, the window's socket is the user's and private.
    Fresh(Runtime(), kUser);
    win::Window window("tool", [](const win::Message&) { return std::intptr_t{0}; });
    ASSERT_TRUE(window.Published());
    const auto found = win::EnumWindows("tool");
    ASSERT_EQ(found.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::lstat(found[0].socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(HostileUser, TheErrorLogIsWrittenOnlyAsTheUserInTheUsersStateFolder) {
    const ScopedErrorLogPlace place(&CSystemIntegration::OpenErrorLog);
    const std::vector<Node> before = RootsFiles();
    struct Case {
        fs::path below;
        bool toFolder;
        bool hard;
    };
    const Case cases[] = {
        {".local", true, false},
        {".local/state/zr40", true, false},
        {fs::path(".local/state/zr40") / kErrorLogName, false, false},
        {fs::path(".local/state/zr40") / kErrorLogName, false, true},
    };
    for (const Case& c : cases) {
        Fresh(Home(), kUser);
        const fs::path target = c.toFolder ? SentinelDir() : SentinelFile();
        c.hard ? PlantHard(Home(), c.below, target) : Plant(Home(), c.below, target);
        SetExecError(1, 2, 3, 4);
        EXPECT_EQ(WriteErrorLog(), 0) << c.below;
        EXPECT_EQ(RootsFiles(), before) << c.below;
    }
    Fresh(Home(), kUser);
    SetExecError(1, 2, 3, 4);
    ASSERT_EQ(WriteErrorLog(), 1);
    const fs::path log = Home() / ".local/state/zr40" / kErrorLogName;
    EXPECT_NE(testsupport::ReadText(log).find("Err  contents=3"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    ASSERT_EQ(::stat(log.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ExecError().Reset();
}

// A process of the user's that, while told to, swaps two names in its home again and again
// (rename exchange), so that one of them is now the folder root just made, now a link of the
// user's to root's folder.
class Swapper {
  public:
    Swapper(const fs::path& home, uid_t uid) {
        int command[2];
        int answer[2];
        if (::pipe2(command, O_CLOEXEC) != 0 || ::pipe2(answer, O_CLOEXEC) != 0) {
            return;
        }
        UniqueFd homeFd(::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(command[1]);
            ::close(answer[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                ::setresuid(uid, uid, uid) != 0) {
                ::_exit(2);
            }
            Serve(homeFd.Get(), command[0], answer[1]);
        }
        ::close(command[0]);
        ::close(answer[1]);
        command_.Reset(command[1]);
        answer_.Reset(answer[0]);
    }
    ~Swapper() {
        if (pid_ > 0) {
            command_.Reset();
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Starts swapping `a` and `b` (relative to the home).
    bool Start(const std::string& a, const std::string& b) {
        const std::string line = a + "\n" + b + "\n";
        return ::write(command_.Get(), line.data(), line.size()) ==
               static_cast<ssize_t>(line.size());
    }
    // Stops it; gives how many swaps it made since Start.
    std::uint64_t Stop() {
        std::uint64_t swaps = 0;
        if (::write(command_.Get(), "\n", 1) != 1 ||
            ::read(answer_.Get(), &swaps, sizeof swaps) != sizeof swaps) {
            return 0;
        }
        return swaps;
    }

  private:
    static std::string ReadLine(int fd) {
        std::string line;
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    [[noreturn]] static void Serve(int homeFd, int command, int answer) {
        while (true) {
            const std::string a = ReadLine(command);
            if (a.empty()) {
                ::_exit(0);
            }
            const std::string b = ReadLine(command);
            std::uint64_t swaps = 0;
            pollfd stop{command, POLLIN, 0};
            // Bounded: the parent's stop normally comes long before.
            for (long round = 0; round < 50'000'000 && ::poll(&stop, 1, 0) == 0; ++round) {
                if (::renameat2(homeFd, a.c_str(), homeFd, b.c_str(), RENAME_EXCHANGE) == 0) {
                    ++swaps;
                }
            }
            ReadLine(command);  // the stop
            if (::write(answer, &swaps, sizeof swaps) != sizeof swaps) {
                ::_exit(1);
            }
        }
    }

    pid_t pid_ = -1;
    UniqueFd command_;
    UniqueFd answer_;
};

TEST_F(HostileUser, SwappingAFolderForALinkWhileRootMakesItNeverReachesRootsFiles) {
    constexpr int kRounds = 1000;
    const std::vector<Node> before = RootsFiles();
    Swapper swapper(Home(), kUser);
    std::uint64_t swaps = 0;
    int made = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Every other round the swap is one level deeper, in a .config that is there already.
        const bool deeper = round % 2 == 1;
        const fs::path parent = deeper ? Home() / ".config" : Home();
        fs::remove_all(Home() / ".config");
        fs::remove_all(Home() / "swap");
        if (deeper) {
            UsersFolders(Home(), ".config");
        }
        fs::create_symlink(SentinelDir(), parent / "swap");
        ASSERT_EQ(::lchown((parent / "swap").c_str(), kUser, kUser), 0);
        ASSERT_TRUE(deeper ? swapper.Start(".config/zr40", ".config/swap")
                           : swapper.Start(".config", "swap"));
        {
            reg::Store store(reg::CurrentUserStore());
            made += store.CreateKey("Software\\Norvale").ok() ? 1 : 0;
        }
        swaps += swapper.Stop();
        ASSERT_EQ(RootsFiles(), before) << "round " << round;
    }
    // Both ways out happened: some rounds were won by the swaps, some by root.
    EXPECT_GT(swaps, 0u);
    EXPECT_GT(made, 0);
    RecordProperty("swaps", std::to_string(swaps));
    RecordProperty("stores_made", std::to_string(made));
}

}  // namespace

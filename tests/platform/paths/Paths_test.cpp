#include "platform/paths/Paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/paths/Owned.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
namespace paths = platform::paths;
using testsupport::ScopedEnv;

namespace {

class RelocatedPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root_.Path() / "etc");
        std::ofstream(root_.Path() / "etc/passwd")
            << "root:x:0:0:root:/root:/bin/bash\n"
            << "broken line without fields\n"
            << "bob:x:1001:1001:Bob:/home/bob:/bin/bash\n"
            << "alice:x:1000:1000:Alice,,,:/home/alice:/bin/bash\n"
            << "gone:x:1002:1002::/home/gone:/bin/bash\n"
            << "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
        fs::create_directories(root_.Path() / "home/alice");
        fs::create_directories(root_.Path() / "home/bob");
    }

    testsupport::TempDir root_;
    ScopedEnv rootEnv_{paths::kRootVariable, root_.Path().c_str()};
    ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
    ScopedEnv sudo_{"SUDO_UID", nullptr};
    ScopedEnv config_{"XDG_CONFIG_HOME", nullptr};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", nullptr};
};

TEST_F(RelocatedPaths, TheCurrentUserIsWhoeverStartedTheProgramThroughPkexecOrSudo) {
    {
        ScopedEnv sudo("SUDO_UID", "1001");
        EXPECT_EQ(paths::CurrentUser().name, "bob");
        ScopedEnv pkexec("PKEXEC_UID", "1000");  // pkexec wins over sudo
        const auto user = paths::CurrentUser();
        EXPECT_EQ(user.name, "alice");
        EXPECT_EQ(paths::UserStoreFile(user),
                  root_.Path() / "home/alice/.config/zr40/registry.sqlite");
        EXPECT_EQ(paths::RuntimeDir(user), root_.Path() / "run/user/1000/zr40");
    }
    ScopedEnv sudo("SUDO_UID", "12x");  // not a number: the real user
    EXPECT_EQ(paths::CurrentUser().uid, getuid());
    ScopedEnv unknown("SUDO_UID", "4242");
    EXPECT_EQ(paths::CurrentUser().name, "4242");
}

TEST_F(RelocatedPaths, ProfilesArePeopleWithAHomeInUserIdOrder) {
    const auto profiles = paths::ProfileUsers();
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(profiles[0].name, "alice");
    EXPECT_EQ(profiles[1].name, "bob");
    EXPECT_EQ(paths::ProfileId(1000), "uid-1000");
    EXPECT_EQ(paths::ProfileUid("uid-1000"), 1000u);
    EXPECT_FALSE(paths::ProfileUid("uid-10x0"));
    EXPECT_FALSE(paths::ProfileUid("S-1-5-18"));
}

TEST_F(RelocatedPaths, EveryPlaceMovesUnderTheRootAndXdgVariablesCountOnlyForTheirOwnUser) {
    EXPECT_EQ(paths::MachineStoreFile(), root_.Path() / "var/lib/zr40/registry.sqlite");
    EXPECT_EQ(paths::InstallDir(), root_.Path() / "opt/Norvale/mirato ZR40");
    EXPECT_EQ(paths::AllUsersAutostartDir(), root_.Path() / "etc/xdg/autostart");
    ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
    ScopedEnv runtime("XDG_RUNTIME_DIR", "/rt");
    paths::User me{getuid(), getgid(), "me", "/home/me"};
    paths::User other{getuid() + 1, 0, "other", "/home/other"};
    EXPECT_EQ(paths::UserAutostartDir(me), root_.Path() / "cfg/autostart");
    EXPECT_EQ(paths::RuntimeDir(me), root_.Path() / "rt/zr40");
    EXPECT_EQ(paths::UserAutostartDir(other), root_.Path() / "home/other/.config/autostart");
}

TEST_F(RelocatedPaths, MadeFoldersGetTheirModeWhateverTheUmask) {
    const auto old = ::umask(0077);
    const fs::path dir = root_.Path() / "run/user/1000/zr40";
    ASSERT_TRUE(paths::OpenOwnedDir(dir, paths::CurrentUser(), 0755, paths::Missing::kCreate).ok());
    ::umask(old);
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms(0755));
    // existing: as it was
    EXPECT_TRUE(paths::OpenOwnedDir(dir, paths::CurrentUser(), 0700, paths::Missing::kCreate).ok());
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms(0755));
}

}  // namespace

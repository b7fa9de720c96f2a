#include "platform/system/System.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/devices/Catalog.h"
#include "tests/platform/system/SystemTestSupport.h"

namespace sys = platform::system;
using systemtest::ForOtherUser;
using systemtest::LockHolder;
using testsupport::ScopedEnv;

TEST(OsVersion, SevenUnlessTheVariableSaysOtherwiseAndMalformedValuesKeepSeven) {
    {
        ScopedEnv unset(sys::kOsVersionVariable, nullptr);
        const auto v = sys::GetOsVersion();
        EXPECT_EQ(v.platformId, sys::kPlatformNt);
        EXPECT_EQ(v.major * 10 + v.minor, 61u);
    }
    {
        ScopedEnv xp(sys::kOsVersionVariable, "5.1");
        const auto v = sys::GetOsVersion();
        EXPECT_EQ(v.major * 10 + v.minor, 51u);
    }
    {
        ScopedEnv ten(sys::kOsVersionVariable, "10.0.19045");
        const auto v = sys::GetOsVersion();
        EXPECT_EQ(v.major, 10u);
        EXPECT_EQ(v.minor, 0u);
        EXPECT_EQ(v.build, 19045u);
    }
    for (const char* bad : {"6", "abc", "6.", ".1", "6.1.2.3", "-6.0", "5.1x", "6..1"}) {
        ScopedEnv junk(sys::kOsVersionVariable, bad);
        const auto v = sys::GetOsVersion();
        EXPECT_EQ(v.major * 10 + v.minor, 61u) << bad;
    }
}

TEST_F(ForOtherUser, OneHolderOfANamedLockAcrossProcessesAndWithinOne) {
    const std::string name = "MUTEX____ZR40_UpManager.exe/../x y";
    {
        const sys::SingleInstance mine(name);
        ASSERT_TRUE(mine.Owned());
        // Another process and a second object in this one are both refused.
        LockHolder other(name);
        EXPECT_EQ(other.State(),
                  std::to_string(static_cast<int>(sys::InstanceState::kAlreadyRunning)));
        EXPECT_EQ(sys::SingleInstance(name).State(), sys::InstanceState::kAlreadyRunning);
        // Another name is another lock.
        EXPECT_TRUE(sys::SingleInstance("Loader").Owned());

        // The name stays inside the user's runtime folder, which only the user may enter.
        EXPECT_EQ(mine.File().parent_path(), root_.Path() / "run/user/4321/zr40");
        EXPECT_EQ(mine.File().filename(), "MUTEX____ZR40_UpManager.exe%2F..%2Fx%20y.lock");
        struct stat st {};
        ASSERT_EQ(::stat(mine.File().parent_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        if (Root()) {
            EXPECT_EQ(st.st_uid, systemtest::kOtherUid);
            ASSERT_EQ(::stat(mine.File().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, systemtest::kOtherUid);
        }
    }
    LockHolder other(name);
    EXPECT_EQ(other.State(), std::to_string(static_cast<int>(sys::InstanceState::kOwned)));
    EXPECT_FALSE(sys::SingleInstance(name).Owned());
    other.Release();
    EXPECT_TRUE(sys::SingleInstance(name).Owned());
}

TEST(RunningProcesses, FromProcOrOnlyFromTheCatalogueWhenItIsInUse) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    {
        ScopedEnv noCatalog(platform::devices::kCatalogVariable, nullptr);
        EXPECT_TRUE(sys::IsProcessRunning(self));
        EXPECT_FALSE(sys::IsProcessRunning(self.substr(0, self.size() - 1)));
        EXPECT_FALSE(sys::IsProcessRunning("ZR40_ConnectionSoft.exe"));
    }
    testsupport::TempDir dir;
    const auto catalog = dir.Path() / "catalog.txt";
    std::ofstream(catalog) << "Ports\tX\tPortName=ttyACM0\nProcess\tZR40_ConnectionSoft.exe\n";
    ScopedEnv useCatalog(platform::devices::kCatalogVariable, catalog.c_str());
    EXPECT_EQ(sys::RunningProcessNames(), std::vector<std::string>{"ZR40_ConnectionSoft.exe"});
    EXPECT_TRUE(sys::IsProcessRunning("ZR40_ConnectionSoft.exe"));
    EXPECT_FALSE(sys::IsProcessRunning(self));
}

// The shared state store as the two programs see it: the tool's writes, the manager's reads.
#include "ZR40UpReg/UpRegStore.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "Loader/app/StateStore.h"
#include "tests/support/TempDir.h"

namespace reg = platform::registry;

namespace {

constexpr const char* kBase = "Software\\Norvale\\ZR40UpReg";

class SharedStore : public ::testing::Test {
  protected:
    std::time_t Now() const { return now_; }
    std::string Key(const std::string& sub) const { return std::string(kBase) + "\\" + sub; }
    reg::Result<reg::Value> Raw(const std::string& key, const char* name) {
        reg::Store store(location_);
        return store.GetValue(Key(key), name);
    }
    void PutRaw(const std::string& key, const char* name, const std::string& text) {
        reg::Store store(location_);
        ASSERT_TRUE(store.CreateKey(Key(key)).ok());
        ASSERT_TRUE(store.SetString(Key(key), name, text, reg::Zero::kStored).ok());
    }

    testsupport::TempDir dir_;
    reg::Location location_ = reg::FileStore(dir_.Path() / "registry.sqlite");
    std::time_t now_ = 1'800'000'000;
    CStateStore tool_{location_, [this] { return Now(); }};
    CUpRegStore manager_{location_, [this] { return Now(); }};
};

TEST_F(SharedStore, TheManagerReachesTheToolsLowerCaseKeyAndSendsIndexZeroOnly) {
    EXPECT_EQ(tool_.WriteUpdateListEntry("358000000000002", "Ver1.01"), 0);  // no base key yet
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    ASSERT_EQ(tool_.WriteUpdateListEntry("358000000000002", "Ver1.01"), 1);
    ASSERT_EQ(tool_.WriteUpdateListEntry("358000000000001", "Ver1.02"), 1);
    ASSERT_EQ(tool_.SetUpdateRequesting(true), 1);
    EXPECT_EQ(manager_.IsUpdateRequesting(), 1);

    std::string serial, dateTime, version;
    ASSERT_EQ(manager_.HasUpdateListEntry(serial), 1);
    EXPECT_EQ(serial, "358000000000001");
    ASSERT_EQ(manager_.ReadUpdateListEntry(serial, dateTime, version), 1);
    std::tm tm{};
    const std::time_t now = Now();
    localtime_r(&now, &tm);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y%m%d%H%M%S", &tm);
    EXPECT_EQ(dateTime, expected);
    EXPECT_EQ(version, "Ver1.02");
    ASSERT_EQ(manager_.DeleteUpdateListEntry(serial), 1);
    ASSERT_EQ(manager_.HasUpdateListEntry(serial), 1);
    EXPECT_EQ(serial, "358000000000002");

    // The tool stops the request and learns it was there; a second stop finds nothing.
    bool existed = false;
    ASSERT_EQ(tool_.SetUpdateRequesting(false, &existed), 1);
    EXPECT_TRUE(existed);
    ASSERT_EQ(tool_.SetUpdateRequesting(false, &existed), 1);
    EXPECT_FALSE(existed);
    EXPECT_EQ(manager_.DeleteUpdateRequesting(), 1);  // absent counts as deleted
}

TEST_F(SharedStore, EntriesTheManagerCannotHoldAreRefused) {
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    std::string serial, dateTime, version;
    ASSERT_EQ(tool_.WriteUpdateListEntry("3580000000000012", "Ver1.01"), 1);  // 16 characters
    EXPECT_EQ(manager_.HasUpdateListEntry(serial), 0);
    ASSERT_EQ(manager_.DeleteUpdateListEntry("3580000000000012"), 1);

    ASSERT_EQ(tool_.WriteUpdateListEntry("1", "Ver1.01234"), 1);  // 7 after "Ver": accepted
    EXPECT_EQ(manager_.ReadUpdateListEntry("1", dateTime, version), 1);
    ASSERT_EQ(tool_.WriteUpdateListEntry("1", "Ver1.012345"), 1);  // 8 after "Ver"
    EXPECT_EQ(manager_.ReadUpdateListEntry("1", dateTime, version), 0);
    EXPECT_EQ(version, "Ver1.01234");  // a failed read leaves the caller's text alone

    EXPECT_EQ(tool_.WriteUpdateListEntry("a\\b", "Ver1.01"), 0);  // would name a deeper key
}

TEST_F(SharedStore, SerialNumbersAreNamesAndNeverCommands) {
    testsupport::TempCwd cwd;
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    for (const char* serial : {"1;touch X", "$(touch X)", "`touch X`|x&"}) {
        ASSERT_EQ(tool_.WriteUpdateListEntry(serial, "Ver1.01"), 1) << serial;
        std::string seen, dateTime, version;
        ASSERT_EQ(manager_.HasUpdateListEntry(seen), 1);
        EXPECT_EQ(seen, serial);
        EXPECT_EQ(manager_.ReadUpdateListEntry(seen, dateTime, version), 1);
        EXPECT_EQ(manager_.DeleteUpdateListEntry(seen), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(cwd.Path() / "X"));
}

TEST_F(SharedStore, TheToolsProgressRecordFollowsItsCodes) {
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    ASSERT_EQ(tool_.WriteSwUpState(1, 2, "Ver1.00", "/home/ann/tool"), 1);
    ASSERT_EQ(tool_.WriteSwUpState(3, 9, "Ver9.99", "/elsewhere"), 1);
    std::uint32_t status = 0, driver = 0;
    CComString oldVersion, execDir;
    ASSERT_EQ(tool_.ReadStatus(status), 1);
    EXPECT_EQ(status, 3u);
    ASSERT_EQ(tool_.ReadDriverUpdate(driver), 1);
    EXPECT_EQ(driver, 2u);  // 9: unchanged
    ASSERT_EQ(tool_.ReadOldVersion(oldVersion), 1);
    EXPECT_EQ(oldVersion, CComString("Ver1.00"));  // written with Status 1 only
    ASSERT_EQ(tool_.ReadExecDir(execDir), 1);
    EXPECT_EQ(execDir, CComString("/home/ann/tool"));
    EXPECT_EQ(Raw("zr40swup", "OldVersion").value().bytes, "Ver1.00");  // no zero stored

    ASSERT_EQ(tool_.SetUpdateError(true), 1);
    EXPECT_EQ(tool_.HasUpdateError(), 1);
    ASSERT_EQ(tool_.WriteSwUpState(99, 0, "", ""), 1);
    EXPECT_EQ(tool_.ReadStatus(status), 0);
    EXPECT_EQ(tool_.ReadOldVersion(oldVersion), 0);
    EXPECT_EQ(tool_.WriteSwUpState(99, 0, "", ""), 1);  // already gone
    ASSERT_EQ(tool_.SetUpdateError(false), 1);
    EXPECT_EQ(tool_.HasUpdateError(), 0);
}

TEST_F(SharedStore, RetryStateAndSettingsOfTheManager) {
    bool on = false;
    std::int64_t elapsed = 0;
    EXPECT_EQ(manager_.ReadVerCheck(on), 0);  // no GetVerSetting: on, and the check is due
    EXPECT_TRUE(on);
    EXPECT_EQ(manager_.ReadVerLastDate(elapsed), 0);
    ASSERT_EQ(manager_.WriteVerLastDate(), 1);
    EXPECT_EQ(manager_.ReadVerCheck(on), 0);  // the key alone: still on
    EXPECT_TRUE(on);
    ASSERT_EQ(manager_.WriteVerCheck(false), 1);
    ASSERT_EQ(manager_.ReadVerCheck(on), 1);
    EXPECT_FALSE(on);
    EXPECT_EQ(Raw("GetVerSetting", "VerCheck").value().bytes, std::string("0", 2));

    now_ += 86'401;
    ASSERT_EQ(manager_.ReadVerLastDate(elapsed), 1);
    EXPECT_EQ(elapsed, 86'401);
    ASSERT_EQ(manager_.DeleteVerLastDate(), 1);
    EXPECT_EQ(manager_.DeleteVerLastDate(), 1);

    ASSERT_EQ(manager_.WriteRetryState(9), 1);  // clamped
    EXPECT_EQ(Raw("UpdateRetry", "UpRetryCount").value().bytes, std::string("5", 2));
    EXPECT_EQ(Raw("UpdateRetry", "UpRetryStart").value().bytes.size(), 15u);
    PutRaw("UpdateRetry", "UpRetryCount", "12");
    now_ += 30;
    int count = 0;
    ASSERT_EQ(manager_.ReadRetryState(count, elapsed), 1);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(elapsed, 30);
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    ASSERT_EQ(tool_.SetUpdateRequesting(true), 1);  // takes the retry state with it
    EXPECT_EQ(manager_.HasRetryState(), 0);

    std::string code = "x", name = "y";
    EXPECT_EQ(manager_.ReadLastVer(code, name), 0);
    ASSERT_EQ(manager_.WriteLastVer("110805", "V07R22C"), 1);
    ASSERT_EQ(manager_.ReadLastVer(code, name), 1);
    EXPECT_EQ(code + name, "110805V07R22C");
}

TEST_F(SharedStore, AStoredTimeThatIsNoDateAndTimeCountsAsAbsent) {
    std::int64_t elapsed = 0;
    int count = 0;
    for (const char* bad :
         {"18991231235959", "20261301120000", "20261200120000", "20261232120000", "20261207240000",
          "20261207126000", "20261207120060", "2026120712000", "2026-207120000", ""}) {
        PutRaw("GetVerSetting", "VerLastDate", bad);
        EXPECT_EQ(manager_.ReadVerLastDate(elapsed), 0) << bad;
        PutRaw("UpdateRetry", "UpRetryCount", "1");
        PutRaw("UpdateRetry", "UpRetryStart", bad);
        EXPECT_EQ(manager_.ReadRetryState(count, elapsed), 0) << bad;
    }
    PutRaw("GetVerSetting", "VerLastDate", "19000101000000");
    EXPECT_EQ(manager_.ReadVerLastDate(elapsed), 1);
}

// One process adds records as the tool does while this one sends and deletes them as the
// manager does: each record is seen whole and deleted once, and no operation fails as busy.
TEST_F(SharedStore, TheToolAddsWhileTheManagerSendsAndNothingIsLost) {
    constexpr int kEntries = 150;
    ASSERT_EQ(tool_.CreateStateKeys(), 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CStateStore tool(location_);
        for (int i = 0; i < kEntries; ++i) {
            const std::string serial = "35" + std::to_string(1'000'000'000'000 + i);
            if (tool.WriteUpdateListEntry(serial.c_str(), "Ver1.01") != 1 ||
                tool.SetUpdateRequesting(true) != 1) {
                ::_exit(1);
            }
        }
        ::_exit(0);
    }
    std::map<std::string, int> sent;
    int failures = 0;
    bool childDone = false;
    int status = -1;
    while (true) {
        std::string serial, dateTime, version;
        if (manager_.HasUpdateListEntry(serial) == 1) {
            failures += manager_.ReadUpdateListEntry(serial, dateTime, version) != 1;
            failures += version != "Ver1.01" || dateTime.size() != 14;
            ++sent[serial];
            failures += manager_.DeleteUpdateListEntry(serial) != 1;
            continue;
        }
        if (childDone) {
            break;
        }
        // One more look after the writer has gone, for its last record.
        childDone = ::waitpid(child, &status, WNOHANG) == child;
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(kEntries));
    for (const auto& [serial, times] : sent) {
        EXPECT_EQ(times, 1) << serial;
    }
    EXPECT_EQ(manager_.DeleteUpdateRequesting(), 1);
    EXPECT_EQ(manager_.IsUpdateRequesting(), 0);
}

}  // namespace

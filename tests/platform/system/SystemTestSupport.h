// A relocated system with one more user, and the helper program as another process.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

namespace systemtest {

namespace fs = std::filesystem;

inline constexpr const char* kHelper = ZR_SYSTEM_HELPER;
inline constexpr uid_t kOtherUid = 4321;

using testsupport::ReadText;

// Everything under one root that other users may enter; the process acts for user 4321
// ("zrtester", home /home/zrtester) as sudo would arrange.
class ForOtherUser : public ::testing::Test {
  protected:
    ForOtherUser() {
        fs::permissions(root_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
        fs::create_directories(root_.Path() / "etc");
        std::ofstream(root_.Path() / "etc/passwd")
            << "root:x:0:0:root:/root:/bin/sh\n"
            << "zrtester:x:" << kOtherUid << ":" << kOtherUid << "::/home/zrtester:/bin/sh\n";
        fs::create_directories(root_.Path() / "home/zrtester");
    }

    static bool Root() { return geteuid() == 0; }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::ScopedEnv sudo_{"SUDO_UID", std::to_string(kOtherUid).c_str()};
    testsupport::ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
};

// The helper in "lock" mode: it reports the state of its lock and holds it until Release.
class LockHolder {
  public:
    explicit LockHolder(const std::string& name)
        : helper_({kHelper, "lock", name}, {.input = true, .errorsWithOutput = false}) {
        state_ = helper_.NextLine(testsupport::In(kGuard)).value_or("");
    }
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // The lock state the helper saw, as a number.
    const std::string& State() const { return state_; }

    void Release() {
        helper_.CloseInput();
        helper_.Wait(testsupport::In(kGuard));
    }

  private:
    // Only guards against a hang.
    static constexpr std::chrono::milliseconds kGuard{20'000};

    testsupport::ChildProcess helper_;
    std::string state_;
};

}  // namespace systemtest

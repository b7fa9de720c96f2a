// A relocated system with one more user, and the helper program as another process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TextFile.h"

extern char** environ;

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
    explicit LockHolder(const std::string& name) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char* argv[] = {const_cast<char*>(kHelper), const_cast<char*>("lock"),
                        const_cast<char*>(name.c_str()), nullptr};
        if (posix_spawn(&pid_, kHelper, &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        char c = 0;
        while (pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
            state_ += c;
        }
        ::close(out[0]);
    }
    ~LockHolder() { Release(); }

    // The lock state the helper saw, as a number.
    const std::string& State() const { return state_; }

    void Release() {
        if (stdin_ >= 0) {
            ::close(stdin_);
            stdin_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::string state_;
};

}  // namespace systemtest

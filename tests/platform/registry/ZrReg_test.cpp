#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ZrReg : public ::testing::Test {
  protected:
    Outcome Run(std::vector<std::string> args) {
        args.insert(args.begin(), {ZR40_REG, "--file", store_.string()});
        const fs::path out = dir_.Path() / "out", err = dir_.Path() / "err";
        // Only async-signal-safe calls between fork and exec.
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        Outcome result;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        }
        result.out = Slurp(out);
        result.err = Slurp(err);
        return result;
    }
    static std::string Slurp(const fs::path& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    testsupport::TempDir dir_;
    fs::path store_ = dir_.Path() / "registry.sqlite";
};

TEST_F(ZrReg, SupportStaffWriteReadAndDumpJapaneseTextAndGetAnExitCodePerFailure) {
    const std::string key = "Software\\Norvale\\ZR40UpReg\\UpdateList\\356789012345678";
    EXPECT_EQ(Run({"write-string", key, "Version", "Ver1.01"}).status, 0);
    EXPECT_EQ(Run({"write-string", key, "Note", "更新済み", "--no-zero"}).status, 0);
    EXPECT_EQ(Run({"write-dword", "software\\norvale\\zr40upreg\\ZR40SwUp", "Status", "2"}).status,
              0);

    const Outcome read = Run({"read", key, "note"});
    EXPECT_EQ(read.status, 0);
    EXPECT_NE(read.out.find("更新済み"), std::string::npos) << read.out;
    const Outcome dump = Run({"dump"});
    EXPECT_EQ(dump.status, 0);
    for (const char* text : {"UpdateList", "356789012345678", "Ver1.01", "ZR40SwUp", "Status"}) {
        EXPECT_NE(dump.out.find(text), std::string::npos) << text << "\n" << dump.out;
    }

    EXPECT_EQ(Run({"read", key, "DateTime"}).status, 1);
    EXPECT_EQ(Run({"delete-key", "Software\\Norvale"}).status, 0);
    EXPECT_EQ(Run({"list", key}).status, 1);
    EXPECT_EQ(Run({"frobnicate"}).status, 2);
    EXPECT_EQ(Run({"write-dword", key, "Status", "many"}).status, 2);

    std::ofstream(store_, std::ios::trunc) << "this is not a database, it is a letter\n";
    const Outcome damaged = Run({"dump"});
    EXPECT_EQ(damaged.status, 3);
    EXPECT_NE(damaged.err.find(store_.string()), std::string::npos) << damaged.err;
}

}  // namespace

#include "Loader/common/ComLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Loader/common/ErrorRecord.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Each test runs in a fresh current directory, where the error log lands.
class InTempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(cwd_.Path().empty());
        ExecError().Reset();
    }
    void TearDown() override { ExecError().Reset(); }

    testsupport::TempCwd cwd_{"zr_common_"};
    const fs::path dir_ = cwd_.Path();
};

using ComLog = InTempDir;
using ErrorLog = InTempDir;

const char* const kDate = R"(<\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3}>)";
const char* const kTime = R"(<\d{2}:\d{2}:\d{2}\.\d{3}>)";

TEST_F(ComLog, LineFormatsAndLineEnds) {
    std::ofstream("x.log") << "old content that must go";
    CComLog log;
    ASSERT_EQ(log.Open("x.log"), 1);
    log.WriteText("a\nb");
    log.WriteDateTime("dt");
    log.WriteTime("t");
    log.WriteSource("D:\\work\\portfile", 42, "x");
    log.WriteSource("/src/Loader/port.cpp", 7, "y");
    log.WriteSource(CComString("D:\\") + "\x95\x5C", 1, "z");  // 表: its 0x5C is no separator
    log.WriteSourceTime("D:\\work\\portfile", 42, "x");
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.GetFileName(), "");

    std::string expect = std::string("a\r\nb") + kDate + " dt\r\n" + kTime + " t\r\n" +
                         R"(portfile\(00042\): x\r\n)" + R"(port\.cpp\(00007\): y\r\n)" +
                         "\x95\\\\" + R"(\(00001\): z\r\n)" + R"(portfile\(00042\): )" + kTime +
                         " x\r\n";
    EXPECT_TRUE(std::regex_match(Slurp("x.log"), std::regex(expect))) << Slurp("x.log");
}

TEST_F(ComLog, ClosedOrUncreatableLogIgnoresWrites) {
    CComLog closed;
    closed.WriteText("a");
    closed.WriteSourceTime("p", 1, "b");
    EXPECT_FALSE(closed.IsOpen());

    CComLog missing("no/such/dir/x.log");
    EXPECT_FALSE(missing.IsOpen());
    missing.WriteDateTime("a");
    EXPECT_FALSE(fs::exists("no"));
}

TEST_F(ComLog, DefaultName) {
    EXPECT_EQ(CComLog::DefaultLogName("C:\\Tools\\a.b.exe"), "C:\\Tools\\a.log");
    EXPECT_EQ(CComLog::DefaultLogName("/opt/zr.d/ZR40_SWUpdate"), "/opt/zr.d/ZR40_SWUpdate.log");

    CComLog log;
    ASSERT_EQ(log.OpenDefault(), 1);
    fs::path name = log.GetFileName().Str();
    EXPECT_EQ(name, fs::read_symlink("/proc/self/exe").parent_path() / "common_tests.log");
    log.Close();
    fs::remove(name);
}

TEST_F(ErrorLog, ThreeLinesWithStartValues) {
    SetExecError(12, 3, 7, 0x1F);
    ASSERT_EQ(WriteErrorLog(), 1);
    std::string expect =
        std::string(kDate) +
        " \r\nExec idx=12 info=3 detail=-1\r\nErr  contents=7 detail=0x0000001f\r\n";
    EXPECT_TRUE(std::regex_match(Slurp("ZR40Loader_err.log"), std::regex(expect)))
        << Slurp("ZR40Loader_err.log");
}

TEST_F(ErrorLog, SecondFailureReplacesTheFirst) {
    std::ofstream("ZR40Loader_err.log") << std::string(500, 'o');
    ExecError().ExecDetail = 2;
    SetExecError(1, 2, 3, 4);
    ASSERT_EQ(WriteErrorLog(), 1);
    SetExecError(5, 6, 7, -1);
    ASSERT_EQ(WriteErrorLog(), 1);
    std::string text = Slurp("ZR40Loader_err.log");
    EXPECT_TRUE(std::regex_match(
        text, std::regex(std::string(kDate) + " \r\nExec idx=5 info=6 detail=2\r\n"
                                              "Err  contents=7 detail=0xffffffff\r\n")))
        << text;
}

// A command run in the working directory as root must not empty what a name planted there
// stands for.
TEST_F(ErrorLog, ALinkUnderTheLogsNameIsNeitherFollowedNorEmptied) {
    const testsupport::TempDir elsewhere;
    const fs::path precious = elsewhere.Path() / "precious";
    std::ofstream(precious) << "keep me";
    for (const bool hard : {false, true}) {
        hard ? fs::create_hard_link(precious, kErrorLogName)
             : fs::create_symlink(precious, kErrorLogName);
        SetExecError(1, 1, 1, 1);
        EXPECT_EQ(WriteErrorLog(), 0) << (hard ? "hard link" : "symbolic link");
        EXPECT_EQ(Slurp(precious), "keep me") << (hard ? "hard link" : "symbolic link");
        fs::remove(kErrorLogName);
    }
}

TEST_F(ErrorLog, UnwritableDirectoryIsNotFatal) {
    fs::remove(dir_);  // the current directory no longer exists
    SetExecError(1, 1, 1, 1);
    EXPECT_EQ(WriteErrorLog(), 0);
}

}  // namespace

// Parallel sections each write their own record; the log shows the writer's, and the process's
// record is untouched until the thread publishes it.
TEST(ExecErrorBinding, ThreadsWriteTheirOwnRecord) {
    ProcessExecError().Reset();
    ExecErrorRecord mine;
    {
        ScopedExecErrorBinding binding(mine);
        SetExecError(4, 99, -1, 0);
        EXPECT_EQ(&ExecError(), &mine);
        EXPECT_EQ(ProcessExecError().ExecInfo.load(), -1);
    }
    EXPECT_EQ(&ExecError(), &ProcessExecError());
    EXPECT_EQ(mine.ExecIdx.load(), 4);
    ProcessExecError().CopyFrom(mine);
    EXPECT_EQ(ProcessExecError().ExecInfo.load(), 99);
    EXPECT_EQ(ProcessExecError().ExecDetail.load(), -1);
    ProcessExecError().Reset();
}

// Faults that must end a run cleanly, and parallel sections, with short scripts against the
// simulator: the run's result, the error log, one failure box, every thread joined.
#include <gmock/gmock.h>

#include "tests/e2e/E2eSupport.h"

namespace e2etest {
namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string Script(std::string_view rows) {
    return std::string(kEnterLoader) + std::string(rows);
}

// Rows 6 and 7: erase the blocks of C_PS and wait for the answer.
constexpr std::string_view kErasePs = "DBB_D2_CMD=4442,2805,12,00370037\nWait_DBB=4442,-1\n";

class Faults : public E2eTest {
  protected:
    // A failed run: one box with message 208, the run's threads all ended and joined.
    void ExpectFailedOnce() {
        EXPECT_FALSE(GuardFired());
        EXPECT_TRUE(run->Failed());
        EXPECT_EQ(run->ErrorBoxCount(), 1);
        EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
        EXPECT_EQ(run->ThreadCount(), 2);
        EXPECT_EQ(run->EndCount(), 1);
    }
};

TEST_F(Faults, AnErrorAnswerDuringTheL1DownloadFailsWith8) {
    Launch({"--fault-error", "C_L1:3:-2"});
    ASSERT_EQ(Prepare(Script("DBB_D2_CMD=4442,2805,12,00D80155\nWait_DBB=4442,-1\n"
                             "DBB_LM_File=DATA\\C_L1\\QRV_C_L1.cvt,20\n"
                             "DBB_D2_CMD=4442,0107,8\nWait_DBB=4442,-1\n")),
              1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    EXPECT_TRUE(Reentered());
    ExpectFailedOnce();
    // Detail: the image's row in the module table (C_L1 is row 4).
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=8 info=8 detail=4", "Err  contents=8 detail=0x00000000"));
    EXPECT_THAT(steps.From("0:DBB 受信エラー発生", 2),
                ElementsAre("0:DBB 受信エラー発生", "1:   ---> 0xfffffffe"));
    // The error answer is an answer too: progress is posted before it is judged.
    EXPECT_EQ(run->ProgressCount(), 3);
    // The third frame got the error answer; nothing was written after it.
    const auto lines = LoaderLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), DbLine("tx", 0x80FF, 12));
    EXPECT_EQ(lines.size(), 2U + 3U * 2U);
}

TEST_F(Faults, ALostAcknowledgementFailsWith7AfterTheRowsTimeOut) {
    Launch({"--fault-no-ack", "C_PS:2"});
    ASSERT_EQ(Prepare(Script(std::string(kErasePs) + "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,2\n")),
              1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=8 info=8 detail=7", "Err  contents=7 detail=0x00000000"));
    EXPECT_THAT(
        steps.From("0:DBB D2 ファイル読み込みエラー", 2),
        ElementsAre("0:DBB D2 ファイル読み込みエラー", "1:   --> 待ち時間タイムアウト ( 2 秒 )"));
    EXPECT_EQ(run->ProgressCount(), 1);
    const auto lines = LoaderLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "rx DB 2801 491");
}

// The last image frame answered twice in one write, then the finish answered with an error: the
// copy must not pass for the finish's answer, so the finish's own row fails, not the checksum.
TEST_F(Faults, ADuplicateAnswerInOneBurstIsNotTakenByTheNextWait) {
    Launch({"--fault-double-ack", "C_PS:5", "--fault-finish-error", "C_PS:-5"});
    ASSERT_EQ(Prepare(Script(std::string(kErasePs) + "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,20\n"
                                                     "DBB_D2_CMD=4442,0107,8\nWait_DBB=4442,-1\n"
                                                     "DBB_Checksum=C_PS,10,1\n")),
              1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=10 info=9 detail=7", "Err  contents=8 detail=0x00000000"));
    const auto lines = LoaderLines();
    EXPECT_THAT(lines, Contains("tx DB 2801 8 x2"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), DbLine("tx", 0x80FF, 12));
}

TEST_F(Faults, AChecksumMismatchFailsWith13) {
    Launch({"--fault-bad-sum", "C_PS"});
    ASSERT_EQ(
        Prepare(Script(std::string(kErasePs) + "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,20\n"
                                               "DBB_D2_CMD=4442,0107,8\nWait_DBB=4442,-1\n"
                                               "DBB_Checksum=C_PS,10,1\nDBB_D2_CMD=4442,000B,8\n")),
        1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=11 info=16 detail=7", "Err  contents=13 detail=0x00000000"));
    EXPECT_THAT(steps.From("1:   --> PC側 SUM = 0x41F2", 5),
                ElementsAre("1:   --> PC側 SUM = 0x41F2", "1:   --> MS側 SUM = 0x41F3",
                            "1:   --> C_PS Checksum Unmatch", "0:チェックサム異常", "1:"));
    EXPECT_EQ(run->ProgressCount(), 5);
    // No reset after the mismatch.
    const auto lines = LoaderLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), DbLine("tx", 0x0809, 10));
}

TEST_F(Faults, AnUnplugInTheMiddleOfAFrameFailsAsThePortReports) {
    Launch({"--fault-unplug", "C_L1:2"});
    ASSERT_EQ(Prepare(Script("DBB_D2_CMD=4442,2805,12,00D80155\nWait_DBB=4442,-1\n"
                             "DBB_LM_File=DATA\\C_L1\\QRV_C_L1.cvt,20\n"
                             "DBB_D2_CMD=4442,0107,8\nWait_DBB=4442,-1\n")),
              1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_EQ(ExecError().ExecIdx.load(), 8);
    EXPECT_EQ(ExecError().ExecInfo.load(), 8);
    EXPECT_THAT(ExecError().ErrContents.load(), AnyOf(2, -2));
    const auto record = cwd.LogRecord();
    ASSERT_EQ(record.size(), 2U);
    EXPECT_EQ(record[0].substr(0, 20), "Exec idx=8 info=8 de");
    EXPECT_THAT(record[1], AnyOf(::testing::StartsWith("Err  contents=2 "),
                                 ::testing::StartsWith("Err  contents=-2 ")));
    EXPECT_EQ(run->ProgressCount(), 1);
    EXPECT_THAT(FrameLines(), Contains("rx DB 2801 65560 partial"));
    EXPECT_TRUE(sim->WaitFor("unplugged")) << sim->Seen();
}

TEST_F(Faults, AnUnknownCommandFailsWith99) {
    Launch();
    ASSERT_EQ(Prepare(Script("Flash=all\nDBB_D2_CMD=4442,0004,8\n")), 1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=6 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(steps.From("0:サポート外のコマンドが定義されています。", 2),
                ElementsAre("0:サポート外のコマンドが定義されています。", "1:   --> Flash"));
    EXPECT_THAT(LoaderLines(), IsEmpty());
}

TEST_F(Faults, ASectionWithoutRowsSucceedsWithoutTouchingTheDevice) {
    Launch();
    ASSERT_EQ(Prepare("[GLOBAL]\n[OTHER]\nCMD=ff550042000101fe\n"), 1);
    EXPECT_EQ(RunGuarded(), Result::kSucceeded);
    EXPECT_FALSE(run->Failed());
    EXPECT_EQ(run->ErrorBoxCount(), 0);
    EXPECT_EQ(run->ThreadCount(), 2);
    EXPECT_EQ(run->EndCount(), 1);
    EXPECT_FALSE(cwd.HasLog());
    EXPECT_THAT(FrameLines(), IsEmpty());
}

TEST_F(Faults, AnUnpairedLoaderSeqFailsWith2BeforeAnyRow) {
    Launch();
    ASSERT_EQ(Prepare("[GLOBAL]\nPort=open,10\nLOADER_SEQ=start\nCMD=ff550042000101fe\n"), 1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    ExpectFailedOnce();
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=2 detail=-1", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(FrameLines(), IsEmpty());
}

class Sections : public Faults {};

TEST_F(Sections, TwoSectionsRunInParallelAndTheRowReturnsWhenBothHaveEnded) {
    Launch();
    ASSERT_EQ(Prepare(Script("WaitSection=SEC_A,SEC_B\n"
                             "DBB_D2_CMD=4442,0109,8\nWait_DBB=4442,5\n"
                             "[SEC_A]\nTimer=0\nDBB_D2_CMD=4442,0809,8\nWait_DBB=4442,5\n"
                             "[SEC_B]\nTimer=0\nDBB_D2_CMD=4442,0209,8\nWait_DBB=4442,5\n")),
              1);
    EXPECT_EQ(RunGuarded(), Result::kSucceeded);
    EXPECT_FALSE(GuardFired());
    EXPECT_EQ(run->ErrorBoxCount(), 0);
    EXPECT_FALSE(cwd.HasLog());
    // The receive thread, GLOBAL and the two children; each execution thread ended once.
    EXPECT_EQ(run->ThreadCount(), 4);
    EXPECT_EQ(run->EndCount(), 3);
    EXPECT_TRUE(steps.Has("1:並列実行開始"));
    EXPECT_TRUE(steps.Has("1:   --> SEC_A ・ SEC_B"));
    // Both children asked and were answered before the parent went on.
    const auto lines = LoaderLines();
    ASSERT_EQ(lines.size(), 6U);
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 4),
                UnorderedElementsAre(DbLine("rx", 0x0809, 8), DbLine("tx", 0x0809, 10),
                                     DbLine("rx", 0x0209, 8), DbLine("tx", 0x0209, 10)));
    EXPECT_EQ(lines[4], DbLine("rx", 0x0109, 8));
    EXPECT_EQ(lines[5], DbLine("tx", 0x0109, 10));
}

TEST_F(Sections, AFailureInOneSectionStopsTheOtherAndTheParent) {
    Launch();
    std::string longRows;
    constexpr int kLongRows = 400;
    for (int i = 0; i < kLongRows; ++i) {
        longRows += "Timer=0\n";
    }
    ASSERT_EQ(Prepare(Script("WaitSection=SEC_A,SEC_B\n"
                             "DBB_D2_CMD=4442,0109,8\nWait_DBB=4442,5\n"
                             "[SEC_A]\nTimer=0\nDBB_D2_CMD=4442,0809,8\nWait_DBB=4442,5\n"
                             "BOGUS=1\n"
                             "[SEC_B]\n" +
                             longRows)),
              1);
    EXPECT_EQ(RunGuarded(), Result::kFailed);
    EXPECT_FALSE(GuardFired());
    EXPECT_TRUE(run->Failed());
    EXPECT_EQ(run->ErrorBoxCount(), 1);
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_EQ(run->ThreadCount(), 4);
    EXPECT_EQ(run->EndCount(), 3);
    // The parent never went on to its next row, and SEC_B stopped before its end.
    const auto lines = LoaderLines();
    EXPECT_THAT(lines, ElementsAre(DbLine("rx", 0x0809, 8), DbLine("tx", 0x0809, 10)));
    int nTimers = 0;
    for (const std::string& line : steps.Lines()) {
        nTimers += line == "1:（タイマー待ち 0 秒）" ? 1 : 0;
    }
    EXPECT_LT(nTimers, kLongRows + 1);
    // The log names the row that failed, not a thread that was stopped because of it.
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=4 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
}

}  // namespace
}  // namespace e2etest

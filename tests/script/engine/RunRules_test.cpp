// The row loop of an execution thread: pauses, the stop poll, LOADER_SEQ, the keyword table, the
// error record and log, and what the owner is told.
#include <gmock/gmock.h>

#include "tests/script/engine/EngineTestSupport.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Result = CLoaderRun::Result;

TEST_F(RunTest, EveryRowIsPrecededByTheWaitTimePause) {
    m_ini = "[SYSTEM]\nWaitTime=10\n[MODULE_DATA_SIZE]\nMAX=4096\n";
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\nTimer=2\nCMD=02\n"), Result::kSucceeded);
    EXPECT_THAT(clock.Sleeps(), ElementsAre(10, 10, 2000, 10));
    EXPECT_THAT(port->WritesHex(), ElementsAre("01", "02"));
}

TEST_F(RunTest, EmptySectionOrEndAsLastRowSucceedsAtOnce) {
    EXPECT_EQ(RunScript("[GLOBAL]\n[OTHER]\nCMD=01\n"), Result::kSucceeded);
    EXPECT_EQ(run->EndCount(), 1);
    EXPECT_EQ(run->ErrorBoxCount(), 0);
    EXPECT_FALSE(cwd.HasLog());
    EXPECT_THAT(port->Calls(), IsEmpty());

    EXPECT_EQ(RunScript("[GLOBAL]\nLOADER_SEQ=start\nCMD=01\nLOADER_SEQ=end\n"),
              Result::kSucceeded);
    EXPECT_THAT(port->Calls(), IsEmpty());
    EXPECT_THAT(clock.Sleeps(), IsEmpty());
}

TEST_F(RunTest, RowsUpToTheEndMarkerAreSkippedAndNotCounted) {
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=00\nCMD=01\nLOADER_SEQ=Start\nCMD=03\nCMD=04\n"
                        "loader_seq=END\nCMD=06\nBOGUS=1\n"),
              Result::kFailed);
    EXPECT_THAT(port->WritesHex(), ElementsAre("06"));
    // The unknown row is the second row executed.
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=2 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
}

TEST_F(RunTest, AnUnpairedLoaderSeqFailsBeforeAnyRow) {
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\nLOADER_SEQ=start\nCMD=02\n"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
    EXPECT_TRUE(
        steps.Has("1:●●● The selected INI file is incomplete: the LOADER_SEQ command is "
                  "not proper ●●● "));
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=2 detail=-1", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));

    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\nLOADER_SEQ=end\nCMD=02\n"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
}

TEST_F(RunTest, AMissingSectionFailsWithInfo1) {
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\n", "NOWHERE"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=1 detail=-1", "Err  contents=-1 detail=0x00000000"));
    EXPECT_EQ(run->EndCount(), 1);
}

TEST_F(RunTest, AnUnknownCommandFailsWith99AndMessage119) {
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\nFlash=all\nCMD=02\n"), Result::kFailed);
    EXPECT_THAT(port->WritesHex(), ElementsAre("01"));
    EXPECT_THAT(steps.From("0:サポート外のコマンドが定義されています。", 2),
                ElementsAre("0:サポート外のコマンドが定義されています。", "1:   --> Flash"));
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=2 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_TRUE(run->Failed());
}

TEST_F(RunTest, ALoaderSeqRowWithAnotherValueIsUnknown) {
    EXPECT_EQ(RunScript("[GLOBAL]\nLOADER_SEQ=middle\n"), Result::kFailed);
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=1 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
}

TEST_F(RunTest, KeysAndOperationsAreComparedWithoutCase) {
    EXPECT_EQ(RunScript("[GLOBAL]\nport=OPEN\ncmd=0a0B\ntimer=0\nPORT=Close\ndbb_d1_cmd=x\n"),
              Result::kSucceeded);
    EXPECT_THAT(port->Calls(), ElementsAre("open", "send", "close"));
    EXPECT_THAT(port->WritesHex(), ElementsAre("0A0B"));
    EXPECT_TRUE(steps.Has("1:DBB_D1_CMD コマンドは現在未サポートです。"));
}

TEST_F(RunTest, TheShippedVersionRowWithABlankBeforeTheEqualsSignDispatches) {
    EXPECT_EQ(RunScript("[GLOBAL]\nDBB_D2_SETVERSIONFROMFILE =latest\nWait_DBB=4442,5\n"),
              Result::kSucceeded);
    ASSERT_EQ(port->Writes().size(), 1U);
    EXPECT_EQ(port->Writes()[0].size(), 30U);
}

TEST_F(RunTest, AStopDuringATimerRowEndsTheRunBeforeTheNextRowWithoutFailure) {
    // The stop arrives while the 15-second pause runs; the pause is not cut short.
    clock.SetHook([this](std::uint32_t ms) {
        if (ms == 15000) {
            run->Stop();
        }
    });
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=01\nTimer=15\nCMD=02\n"), Result::kStopped);
    EXPECT_THAT(port->WritesHex(), ElementsAre("01"));
    EXPECT_THAT(clock.Sleeps(), ElementsAre(1, 1, 15000, 1));
    EXPECT_FALSE(run->Failed());
    EXPECT_EQ(run->ErrorBoxCount(), 0);
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=3 detail=0", "Err  contents=0 detail=0x00000000"));
}

TEST_F(RunTest, AFailedRowWritesTheLogOnceAndShowsTheBoxOnce) {
    ASSERT_EQ(Prepare("[GLOBAL]\nPort=open\nCMD=ff550042000101fe\nCMD=02\n"), 1);
    port->SetSendResult(0);
    EXPECT_EQ(run->Run(), Result::kFailed);
    EXPECT_THAT(port->WritesHex(), ElementsAre("FF550042000101FE"));
    const auto lines = cwd.LogLines();
    ASSERT_EQ(lines.size(), 3U);
    // "<yyyy.mm.dd hh:mm:ss.mmm> "
    EXPECT_EQ(lines[0].size(), 26U);
    EXPECT_EQ(lines[0].front(), '<');
    EXPECT_EQ(lines[0].substr(24), "> ");
    EXPECT_EQ(lines[1], "Exec idx=2 info=2 detail=0");
    EXPECT_EQ(lines[2], "Err  contents=2 detail=0x00000000");
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_EQ(run->EndCount(), 1);
}

TEST_F(RunTest, EveryThreadOfTheRunIsJoined) {
    EXPECT_EQ(RunScript("[GLOBAL]\nWaitSection=A,B\n[A]\nCMD=0A\n[B]\nCMD=0B\n"),
              Result::kSucceeded);
    // Receive thread, GLOBAL and the two children.
    EXPECT_EQ(run->ThreadCount(), 4);
    EXPECT_EQ(run->EndCount(), 3);
}

// A run whose work buffers cannot be had must not pass for a success.
class NoMemoryThread : public CLoaderExecThread {
  protected:
    std::shared_ptr<CExecRunShared> AllocateRunShared() override { return nullptr; }
};

TEST(RunBuffers, AFailedAllocationFailsTheRunWithItsRecord) {
    TempCwd cwd;
    ExecError().Reset();
    LaidText script("[GLOBAL]\nCMD=01\n", kScriptText);
    LaidText iniText(kTestIni, kIniText);
    EngineOwner owner;
    CParamFile scriptFile;
    ASSERT_EQ(scriptFile.LoadParamSection("Loader_Update"), 1);
    DevicePort port;
    auto* thread =
        platform::kernel::WorkerThread::CreateAutoDelete(std::make_unique<NoMemoryThread>());
    ASSERT_NE(thread, nullptr);
    owner.RegisterThread("GLOBAL", thread);
    thread->SetOwnerDlg(&owner);
    thread->SetScript(&scriptFile);
    thread->SetSection("GLOBAL");
    thread->SetPort(&port);
    thread->SetQueManage(&owner.queue);
    thread->CreateKillEvent("GLOBAL");
    thread->CreateRecvEvent();
    const platform::kernel::ThreadHandle handle = thread->Handle();
    thread->Resume();
    ASSERT_TRUE(handle.Wait(kGuardMs));
    EXPECT_EQ(handle.ExitCode(), kLoaderThreadExitCode);
    EXPECT_TRUE(owner.Failed());
    EXPECT_EQ(owner.ends.load(), 1);
    EXPECT_THAT(owner.Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=0 detail=-1", "Err  contents=1 detail=0x00000000"));
}

class BufferProbe : public CLoaderExecThread {
  public:
    using CLoaderExecThread::AllocateRunShared;
};

TEST(RunBuffers, TheShippedWorkBuffersCostNothingUntilACommandUsesAWindow) {
    BufferProbe thread;
    thread.SetMaxDataSize(0x17C00000);
    const std::shared_ptr<CExecRunShared> shared = thread.AllocateRunShared();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->imageBuffer.Size(), 0x17C00000U);
    EXPECT_EQ(shared->fillBuffer.Size(), 0x17C00000U / 2);
    EXPECT_EQ(shared->fillBuffer.FilledBytes(), 0U) << "nothing filled before a command asks";

    thread.SetRunShared(shared);
    EXPECT_TRUE(thread.GetFillWindow(0x17C00000U / 2 + 1).empty());
    const std::span<std::uint8_t> window = thread.GetFillWindow(0x6000);
    ASSERT_EQ(window.size(), 0x6000U);
    EXPECT_TRUE(
        std::all_of(window.begin(), window.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(shared->fillBuffer.FilledBytes(), platform::kernel::LazyBuffer::kChunk);
}

TEST_F(RunTest, TheWorkBuffersHaveTheConfiguredSizes) {
    EXPECT_EQ(Prepare("[GLOBAL]\n"), 1);
    EXPECT_EQ(run->ReadMaxDataSize(), 0x20000U);
    m_ini = "[MODULE_DATA_SIZE]\nMAX = 0x17C00000\n";
    EXPECT_EQ(Prepare("[GLOBAL]\n"), 1);
    EXPECT_EQ(run->ReadMaxDataSize(), 398458880U);
    m_ini = "[MODULE_DATA_SIZE]\nMAX=65536\n";
    EXPECT_EQ(Prepare("[GLOBAL]\n"), 1);
    EXPECT_EQ(run->ReadMaxDataSize(), 65536U);
}

}  // namespace
}  // namespace enginetest

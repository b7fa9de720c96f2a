// DBB_D2_CMD frames and the answer waits.
#include <gmock/gmock.h>

#include "tests/script/engine/EngineTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/FrameBuilders.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Result = CLoaderRun::Result;

// ---------------------------------------------------------------------------------------------
// DBB_D2_CMD

TEST_F(HandlerTest, D2CmdBuildsTheFrameFromTheValue) {
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,2805,12,00370037"), 1);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,8"), 1);
    // A short payload leaves zeros, a long one is cut.
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0108,11,41"), 1);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0108,9,414243"), 1);
    EXPECT_THAT(port.WritesHex(), ElementsAre("444228050000000C00370037", "4442000400000008",
                                              "444201080000000B410000", "444201080000000941"));
    EXPECT_THAT(
        owner.steps.From("1:DBB D2 コマンド実行", 2),
        ElementsAre("1:DBB D2 コマンド実行", "1:   --> コマンド：444228050000000C00370037"));
}

TEST_F(HandlerTest, D2CmdWithALengthBelow8FailsWithoutWriting) {
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,7"), 0);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004"), 0);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,-8"), 0);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,65561"), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStartup);
    EXPECT_TRUE(owner.steps.Has("0:DBB コマンドフォーマットエラー"));
    EXPECT_TRUE(owner.steps.Has("1:   --> DBB_D2_CMD=4442,0004,7"));
}

TEST_F(HandlerTest, D2CmdFailsWhenTheWriteFailsOrTheStopIsSeen) {
    port.SetSendResult(0);
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,8"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWriteFailed);

    port.SetSendResult(1);
    port.SetOnSend([this](const Bytes&) { Kill()->Set(); });
    EXPECT_EQ(exec->DBB_D2_CMDFunc("4442,0004,8"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStopped);
}

TEST_F(RunTest, D1CmdSucceedsWithoutTouchingThePort) {
    EXPECT_EQ(RunScript("[GLOBAL]\nDBB_D1_CMD=4442,0004,8\n"), Result::kSucceeded);
    EXPECT_THAT(port->Calls(), IsEmpty());
}

// ---------------------------------------------------------------------------------------------
// Wait_DBB

TEST_F(RunTest, AnAnswerThatComesBeforeTheWaitRowIsNotLost) {
    // The pause before each row lasts until the receive thread has read the answer to the
    // frame just written: the wait of the next row must already be registered by then.
    std::string script = "[GLOBAL]\n";
    for (int i = 0; i < 3; ++i) {
        script += "DBB_D2_CMD=4442,2805,12,00370037\nWait_DBB=4442,2\n";
    }
    script += "DBB_D2_SETVERSION=ABC\nWait_DBB=4442,2\n";
    ASSERT_EQ(Prepare(script), 1);
    clock.SetHook([this](std::uint32_t) {
        EXPECT_TRUE(testsupport::Eventually([&] { return port->Pending() == 0; }, kGuardMs));
    });
    EXPECT_EQ(run->Run(), Result::kSucceeded);
    EXPECT_EQ(port->Writes().size(), 4U);
}

TEST_F(HandlerTest, WaitDbbTakesAnAcknowledgement) {
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x00, 0x04, 0, 0, 0, 8}).data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc("4442,5"), 1);
    EXPECT_FALSE(owner.steps.Has("1:データ受信"));
    CriticalSectionLock lock(owner.queueLock());
    EXPECT_EQ(owner.queue.GetEntryCount(), 0U);
}

TEST_F(HandlerTest, WaitDbbShowsTheAnswerWhenAskedTo) {
    port.SetResponder([](const Bytes& frame) { return DbAck(frame, B({0x12, 0xAB})); });
    exec->Wait_DBBFunc2_SetQue("4442,5,x");
    const Bytes frame = B({0x44, 0x42, 0x00, 0x06, 0, 0, 0, 8});
    ASSERT_EQ(exec->SendToPort(frame.data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc("4442,5,x"), 1);
    // The record carries the length in host order.
    EXPECT_THAT(owner.steps.From("1:データ受信", 2),
                ElementsAre("1:データ受信", "1:   --> データ　：444200060A00000012AB"));
}

TEST_F(HandlerTest, AnErrorAnswerFailsWith8AndItsLines) {
    port.SetResponder([](const Bytes&) { return frametest::MakeDbErrorFrame(-3); });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x28, 0x05, 0, 0, 0, 8}).data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc("4442,5"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrDeviceError);
    EXPECT_THAT(
        owner.steps.From("0:DBB 受信エラー発生", 3),
        ElementsAre("0:DBB 受信エラー発生", "1:   ---> 0xfffffffd", "1:   ---> 消去エラー"));
}

TEST_F(HandlerTest, AnErrorAnswerWithAnUnknownCodeIsUndefined) {
    port.SetResponder([](const Bytes&) { return frametest::MakeDbErrorFrame(0x01020304); });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x28, 0x05, 0, 0, 0, 8}).data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc("4442,5"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrDeviceError);
    EXPECT_THAT(
        owner.steps.From("0:DBB 受信エラー発生", 3),
        ElementsAre("0:DBB 受信エラー発生", "1:   ---> 0x01020304", "1:   ---> 未定義エラー"));
}

TEST_F(HandlerTest, NoAnswerInTimeFailsWith7) {
    clock.SetTimeoutsPassAtOnce(true);  // nothing was asked, so nothing can come
    EXPECT_EQ(exec->Wait_DBBFunc("4442,1"), 0);
    EXPECT_EQ(clock.NowMs(), 1000u);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
    EXPECT_THAT(owner.steps.Lines(), ElementsAre("0:DBB D2 ファイル読み込みエラー",
                                                 "1:   --> 待ち時間タイムアウト ( 1 秒 )"));
}

TEST_F(HandlerTest, ATimeOutOf0LooksOnce) {
    // Nothing has come: a time-out at once, the answer is never read.
    EXPECT_EQ(exec->Wait_DBBFunc("4442,0"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
    EXPECT_TRUE(owner.steps.Has("1:   --> 待ち時間タイムアウト ( 0 秒 )"));

    // An answer already delivered is taken.
    exec->Wait_DBBFunc2_SetQue("4442,0");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x00, 0x04, 0, 0, 0, 8}).data(), 8), 1);
    ASSERT_TRUE(AnswerDelivered());
    EXPECT_EQ(exec->Wait_DBBFunc2_Wait("4442,0"), 1);
    EXPECT_EQ(owner.progress.load(), 1);
}

TEST_F(HandlerTest, TheStopEventEndsAnUnlimitedWait) {
    std::thread stopper([this] {
        const auto recv = exec->GetRecvEvent();
        EXPECT_TRUE(testsupport::Eventually([&] { return recv->WaiterCount() > 0; }, kGuardMs));
        Kill()->Set();
    });
    EXPECT_EQ(exec->Wait_DBBFunc("4442,-1"), 0);
    stopper.join();
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStopped);
    EXPECT_THAT(owner.steps.Lines(), IsEmpty());
}

TEST_F(HandlerTest, ALateAnswerIsNotTakenForTheNextOne) {
    // The first wait times out; its answer comes later and must not satisfy the second wait.
    EXPECT_EQ(exec->Wait_DBBFunc("4442,0"), 0);
    port.Feed(frametest::MakeDbErrorFrame(-1));
    ASSERT_TRUE(AnswerDelivered());
    port.SetResponder([](const Bytes& frame) { return DbAck(frame); });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x00, 0x04, 0, 0, 0, 8}).data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc2_Wait("4442,5"), 1);
}

// ---------------------------------------------------------------------------------------------
// The split wait and the version query

TEST_F(HandlerTest, TheSplitWaitPostsProgressPerAnswer) {
    for (int i = 0; i < 3; ++i) {
        exec->Wait_DBBFunc2_SetQue("4442,5");
        ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x28, 0x01, 0, 0, 0, 8}).data(), 8), 1);
        EXPECT_EQ(exec->Wait_DBBFunc2_Wait("4442,5"), 1);
    }
    EXPECT_EQ(owner.progress.load(), 3);

    port.SetResponder([](const Bytes&) { return frametest::MakeDbErrorFrame(-2); });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x28, 0x01, 0, 0, 0, 8}).data(), 8), 1);
    EXPECT_EQ(exec->Wait_DBBFunc2_Wait("4442,5"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrDeviceError);
    EXPECT_TRUE(owner.steps.Has("1:   ---> 書き込み異常"));
}

TEST_F(HandlerTest, GetDbbVersionReadsThePayloadAsText) {
    port.SetResponder([](const Bytes& frame) {
        const std::string text = "LTEL1_018";
        return DbAck(frame, Bytes(text.begin(), text.end()));
    });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x01, 0x06, 0, 0, 0, 8}).data(), 8), 1);
    CComString version;
    EXPECT_EQ(exec->GetDBBVersion("4442,5", version), 1);
    EXPECT_EQ(version.Str(), "LTEL1_018");

    port.SetResponder([](const Bytes& frame) { return DbAck(frame); });
    exec->Wait_DBBFunc2_SetQue("4442,5");
    ASSERT_EQ(exec->SendToPort(B({0x44, 0x42, 0x01, 0x06, 0, 0, 0, 8}).data(), 8), 1);
    CComString empty;
    EXPECT_EQ(exec->GetDBBVersion("4442,5", empty), 1);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(HandlerTest, GetDbbVersionReportsATimeOutUnderItsOwnHeading) {
    CComString version;
    EXPECT_EQ(exec->GetDBBVersion("4442,0", version), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
    EXPECT_THAT(owner.steps.Lines(),
                ElementsAre("0:DBB 受信エラー発生", "1:   --> 待ち時間タイムアウト ( 0 秒 )"));
}

}  // namespace
}  // namespace enginetest

// Port, CMD, Timer and WaitSection.
#include <gmock/gmock.h>

#include <thread>
#include <utility>
#include <vector>

#include "tests/script/engine/EngineTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/FrameBuilders.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Result = CLoaderRun::Result;

// ---------------------------------------------------------------------------------------------
// Port

TEST_F(RunTest, PortOpensAndClosesThePort) {
    EXPECT_EQ(RunScript("[GLOBAL]\nPort=open\nPort=close\n"), Result::kSucceeded);
    EXPECT_THAT(port->Calls(), ElementsAre("open", "close"));
    EXPECT_TRUE(steps.Has("1:通信ポート open"));
    EXPECT_TRUE(steps.Has("1:通信ポート close"));
}

TEST_F(RunTest, APortThatDoesNotOpenFailsTheRowWithDetail1) {
    port = nullptr;
    ASSERT_EQ(Prepare("[GLOBAL]\nPort=open,5\nCMD=01\n"), 1);
    static_cast<DevicePort*>(run->GetPort())->SetOpenResult(0);
    EXPECT_EQ(run->Run(), Result::kFailed);
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=1 info=1 detail=1", "Err  contents=0 detail=0x00000000"));
}

TEST_F(RunTest, APortOperationOtherThanOpenOrCloseFailsWithoutTouchingThePort) {
    EXPECT_EQ(RunScript("[GLOBAL]\nPort=reset\n"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
    EXPECT_TRUE(steps.Has("1:通信ポート reset"));

    EXPECT_EQ(RunScript("[GLOBAL]\nPort=\n"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
}

TEST_F(HandlerTest, PortOpenKeepsTryingForTheGivenSecondsOr30) {
    // A port whose device is never there: the open retries on its clock until it gives up.
    testsupport::ManualClock portClock;
    CUsbPort usb(&ini, portClock);
    exec->SetPort(&usb);
    EXPECT_EQ(exec->PortFunc("open,5"), 0);
    EXPECT_GE(portClock.NowMs(), 5000U);
    EXPECT_LE(portClock.NowMs(), 7000U);
    EXPECT_EQ(ExecError().ExecDetail.load(), 1);

    const std::uint64_t before = portClock.NowMs();
    EXPECT_EQ(exec->PortFunc("OPEN"), 0);
    EXPECT_GE(portClock.NowMs() - before, 30000U);
    EXPECT_LE(portClock.NowMs() - before, 32000U);
    exec->SetPort(&port);
}

// Any port takes the seconds, and only under portLock, which the open itself is under.
TEST_F(HandlerTest, PortOpenHandsTheSecondsToThePortUnderThePortLock) {
    class TimeoutPort : public DevicePort {
      public:
        explicit TimeoutPort(EngineOwner& owner) : m_owner(owner) {}
        void SetOpenTimeout(int nSeconds) override {
            bool bHeldByCaller = false;
            std::thread([&] {
                if (m_owner.portLock().TryLock()) {
                    m_owner.portLock().Unlock();
                } else {
                    bHeldByCaller = true;
                }
            }).join();
            seen.emplace_back(nSeconds, bHeldByCaller);
        }
        std::vector<std::pair<int, bool>> seen;

      private:
        EngineOwner& m_owner;
    };
    TimeoutPort timeoutPort(owner);
    exec->SetPort(&timeoutPort);
    EXPECT_EQ(exec->PortFunc("open,7"), 1);
    EXPECT_EQ(exec->PortFunc("open"), 1);
    EXPECT_THAT(timeoutPort.seen, ElementsAre(std::pair(7, true), std::pair(30, true)));
    exec->SetPort(&port);
}

// ---------------------------------------------------------------------------------------------
// CMD

TEST_F(RunTest, CmdWritesTheBytesInOneWrite) {
    EXPECT_EQ(RunScript("[GLOBAL]\nCMD=ff550042000101fe\nCMD=FFFDEFFDEE6F000140FE\nCMD=ABC\n"),
              Result::kSucceeded);
    EXPECT_THAT(port->WritesHex(), ElementsAre("FF550042000101FE", "FFFDEFFDEE6F000140FE", "AB"));
    EXPECT_THAT(steps.From("1:汎用コマンド実行", 2),
                ElementsAre("1:汎用コマンド実行", "1:   --> コマンド：ff550042000101fe"));
}

TEST_F(RunTest, AStopSeenAfterACmdWriteFailsTheRow) {
    ASSERT_EQ(Prepare("[GLOBAL]\nCMD=01\nCMD=02\n"), 1);
    static_cast<DevicePort*>(run->GetPort())->SetOnSend([this](const Bytes&) { run->Stop(); });
    EXPECT_EQ(run->Run(), Result::kFailed);
    EXPECT_THAT(static_cast<DevicePort*>(run->GetPort())->WritesHex(), ElementsAre("01"));
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=1 info=2 detail=0", "Err  contents=-2 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
}

// ---------------------------------------------------------------------------------------------
// Timer

TEST_F(RunTest, TimerPausesOnTheClock) {
    EXPECT_EQ(RunScript("[GLOBAL]\nTimer=0\nTimer=15\nTimer=abc\n"), Result::kSucceeded);
    EXPECT_THAT(clock.Sleeps(), ElementsAre(1, 0, 1, 15000, 1, 0));
    EXPECT_TRUE(steps.Has("1:（タイマー待ち 15 秒）"));
    EXPECT_TRUE(steps.Has("1:（タイマー待ち abc 秒）"));
}

// ---------------------------------------------------------------------------------------------
// WaitSection

TEST_F(RunTest, WaitSectionRunsTheSectionsInParallelAndWaitsForAll) {
    // Each section's answer comes only once both sections have written their frame, so the
    // sections cannot have run one after the other.
    ASSERT_EQ(Prepare("[GLOBAL]\nWaitSection=SEC_A,SEC_B\nCMD=EE\n"
                      "[SEC_A]\nDBB_D2_CMD=4442,0001,8\nWait_DBB=4442,20\n"
                      "[SEC_B]\nDBB_D2_CMD=4442,0002,8\nWait_DBB=4442,20\n"),
              1);
    auto* device = static_cast<DevicePort*>(run->GetPort());
    auto written = std::make_shared<int>(0);
    device->SetResponder([written](const Bytes& frame) {
        if (frame.size() == 8 && ++*written == 2) {
            Bytes answers = frametest::MakeDbFrame(0x0001);
            const Bytes second = frametest::MakeDbFrame(0x0002);
            answers.insert(answers.end(), second.begin(), second.end());
            return answers;
        }
        return Bytes{};
    });
    EXPECT_EQ(run->Run(), Result::kSucceeded);
    const auto writes = device->WritesHex();
    ASSERT_EQ(writes.size(), 3U);
    EXPECT_EQ(writes[2], "EE");
    EXPECT_TRUE(steps.Has("1:並列実行開始"));
    EXPECT_TRUE(steps.Has("1:   --> SEC_A ・ SEC_B"));
    EXPECT_EQ(run->ErrorBoxCount(), 0);
}

TEST_F(RunTest, AFailureInOneSectionStopsTheOtherAndTheParent) {
    ASSERT_EQ(Prepare("[GLOBAL]\nWaitSection=WAITER,FAILER\nCMD=EE\n"
                      "[WAITER]\nWait_DBB=4442,-1\nCMD=AA\n"
                      "[FAILER]\nCMD=BB\nNoSuchCommand=1\n"),
              1);
    port = static_cast<DevicePort*>(run->GetPort());
    // FAILER goes on once WAITER waits for its answer (the error record is shared by all).
    port->SetOnSend([](const Bytes&) {
        const auto recv = Event::Named("RECV_EVENT_WAITER", true, false);
        EXPECT_TRUE(testsupport::Eventually([&] { return recv->WaiterCount() > 0; }, kGuardMs));
    });
    EXPECT_EQ(run->Run(), Result::kFailed);
    const auto writes = port->WritesHex();
    EXPECT_THAT(writes, ElementsAre("BB"));
    // The first failure's record stays in the log; the box is shown once.
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=2 info=99 detail=0", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_EQ(run->ThreadCount(), 4);
}

TEST_F(RunTest, AMissingChildSectionEndsTheRun) {
    EXPECT_EQ(RunScript("[GLOBAL]\nWaitSection=NOPE\nCMD=EE\n"), Result::kFailed);
    EXPECT_THAT(port->Calls(), IsEmpty());
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=0 info=1 detail=-1", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
}

TEST_F(RunTest, ASectionThatWaitsForItselfIsRefused) {
    EXPECT_EQ(
        RunScript("[GLOBAL]\nWaitSection=A\n[A]\nCMD=0A\nWaitSection=B\n[B]\nWaitSection=a\n"),
        Result::kFailed);
    EXPECT_THAT(port->WritesHex(), ElementsAre("0A"));
    EXPECT_EQ(run->ThreadCount(), 4);
    EXPECT_TRUE(steps.Has("1:   --> WaitSection=a"));
}

// A parent that has ended is never looked at again: its child knows the names it needs.
TEST_F(HandlerTest, AChildRefusesItsAncestorsSectionsAfterTheyEnded) {
    auto parent = std::make_unique<CLoaderExecThread>();
    parent->SetSection("GLOBAL");
    exec->SetParentThread(parent.get());
    exec->SetAncestorSections({"GLOBAL", "OUTER"});
    parent.reset();
    EXPECT_EQ(exec->WaitSectionFunc("outer"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStartup);
    EXPECT_EQ(exec->WaitSectionFunc("Global"), 0);
}

// Two parents name one section: the second start is refused while the first still runs, since
// both would share the section's events and its registry entry. A section may run again once it
// has ended.
TEST_F(RunTest, ASectionRunningElsewhereIsRefusedAndMayRunAgainOnceEnded) {
    ASSERT_EQ(Prepare("[GLOBAL]\nWaitSection=P1,P2\n"
                      "[P1]\nWaitSection=C\n"
                      "[P2]\nCMD=BB\nWaitSection=c\n"
                      "[C]\nWait_DBB=4442,-1\n"),
              1);
    port = static_cast<DevicePort*>(run->GetPort());
    // P2 goes on once C waits for its answer.
    port->SetOnSend([](const Bytes&) {
        const auto recv = Event::Named("RECV_EVENT_C", true, false);
        EXPECT_TRUE(testsupport::Eventually([&] { return recv->WaiterCount() > 0; }, kGuardMs));
    });
    EXPECT_EQ(run->Run(), Result::kFailed);
    EXPECT_TRUE(steps.Has("0:WaitSection エラー : セクションは実行中です"));
    EXPECT_TRUE(steps.Has("1:   --> WaitSection=c"));
    EXPECT_THAT(cwd.LogRecord(),
                ElementsAre("Exec idx=2 info=4 detail=0", "Err  contents=-1 detail=0x00000000"));
    EXPECT_THAT(Boxes(), ElementsAre(kMsgRunFailed));
    EXPECT_EQ(run->ThreadCount(), 5);

    EXPECT_EQ(RunScript("[GLOBAL]\nWaitSection=A\nWaitSection=A,B\n[A]\nCMD=0A\n[B]\nCMD=0B\n"),
              Result::kSucceeded);
    EXPECT_EQ(port->WritesHex().size(), 3U);
}

TEST_F(RunTest, ASectionNamedTwiceRunsOnce) {
    EXPECT_EQ(RunScript("[GLOBAL]\nWaitSection=A,A\n[A]\nCMD=0A\n"), Result::kSucceeded);
    EXPECT_THAT(port->WritesHex(), ElementsAre("0A"));
}

TEST_F(RunTest, ChildrenShareTheGlobalThreadsPortAndPauses) {
    EXPECT_EQ(RunScript("[GLOBAL]\nPort=open\nWaitSection=A\nPort=close\n[A]\nTimer=3\nCMD=0A\n"),
              Result::kSucceeded);
    EXPECT_THAT(port->Calls(), ElementsAre("open", "send", "close"));
    EXPECT_THAT(clock.Sleeps(), ElementsAre(1, 1, 1, 3000, 1, 1));
}

}  // namespace
}  // namespace enginetest

// The response queue and the receive thread, over a port that is a byte buffer.
#include <gtest/gtest.h>

#include "Loader/device/Frame.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/FrameBuilders.h"

using namespace devtest;

namespace {

constexpr std::uint8_t kDb[] = {0x44, 0x42};

Bytes DbAnswer(std::uint16_t word, const Bytes& payload = {}) {
    return frametest::MakeDbFrame(word, payload);
}

// The DB record: the length in host order.
Bytes DbRecord(std::uint16_t word, const Bytes& payload = {}) {
    Bytes record = DbAnswer(word, payload);
    frames::WriteLe32(record.data() + 4, static_cast<std::uint32_t>(record.size()));
    return record;
}

// A receive thread that is never started: the test calls ReadRecvCommand itself.
class ReaderTest : public ::testing::Test {
  protected:
    ReaderTest() {
        port.Unplug();  // what is fed is all there is
        SetZeroLedAnswerFlag(0);
        reader.SetOwnerDlg(&owner);
        reader.SetPort(&port);
        reader.SetQueManage(owner.GetQueManage());
        reader.CreateKillEvent("RECV");
        reader.CreateReadEvent();
        owner.GetQueManage()->SetReadThreadObject(&reader);
    }
    ~ReaderTest() override {
        owner.GetQueManage()->SetReadThreadObject(nullptr);
        SetZeroLedAnswerFlag(0);
    }
    // Feeds the bytes and reads frames until the port is empty; the results of each call.
    std::vector<int> ReadAll(const Bytes& bytes) {
        port.Feed(bytes);
        std::vector<int> results;
        while (port.Left() > 0) {
            results.push_back(reader.ReadRecvCommand());
        }
        return results;
    }
    Bytes Taken(Waiter& w) {
        Bytes record;
        EXPECT_TRUE(w.Take(owner, record, 0)) << "nothing delivered";
        return record;
    }
    bool Woken(Waiter& w) { return w.GetRecvEvent()->Wait(0); }

    FakePort port;
    TestOwner owner;
    CLoaderReadThread reader;
    Waiter a{"A"};
    Waiter b{"B"};
};

TEST_F(ReaderTest, EachFamilyBecomesItsRecord) {
    a.Register(owner, B({0x44, 0x42}));
    EXPECT_EQ(ReadAll(DbAnswer(0x0107, B({0xAA, 0xBB, 0xCC, 0xDD}))), std::vector<int>{1});
    EXPECT_EQ(Taken(a), DbRecord(0x0107, B({0xAA, 0xBB, 0xCC, 0xDD})));

    a.Register(owner, B({0x44, 0x42}));
    ReadAll(DbAnswer(0x2805));
    EXPECT_EQ(Taken(a), DbRecord(0x2805));  // a bare acknowledgement: 8 bytes

    // HP: the frame as received, matched on as many leading bytes as the key has.
    Bytes hp = B({0x48, 0x50, 1, 2, 0, 0, 0, 18, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE, 0xFF});
    a.Register(owner, B({0x48, 0x50, 1, 2}));
    ReadAll(hp);
    EXPECT_EQ(Taken(a), hp);

    a.Register(owner, B({0xB1}));
    ReadAll(B({0xB1, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Taken(a), B({0x00, 0x00}));

    a.Register(owner, B({0xB3}));
    ReadAll(B({0xB3, 0x00}));
    EXPECT_EQ(Taken(a), Bytes{});
}

TEST_F(ReaderTest, ZeroLedAnswerOnlyWhileTheFlagIsSet) {
    a.Register(owner, B({0xB0}));
    ReadAll(B({0x00, 0x7F, 0x05}));  // 00 7F dropped, 05 starts nothing
    EXPECT_FALSE(Woken(a));

    SetZeroLedAnswerFlag(1);
    EXPECT_EQ(ReadAll(B({0x00, 0x7F, 0x05})), std::vector<int>{1});
    EXPECT_EQ(Taken(a), B({0x05}));
}

TEST_F(ReaderTest, ReaderDoesNotHuntForFrameStarts) {
    a.Register(owner, B({0x44, 0x42}));
    EXPECT_EQ(ReadAll(Cat(B({0xFF, 0x55}), DbAnswer(0x0004))), (std::vector<int>{0, 1}));
    EXPECT_EQ(Taken(a), DbRecord(0x0004));

    a.Register(owner, B({0x44, 0x42}));
    ReadAll(Cat(B({0x55}), DbAnswer(0x0004)));  // 55 44, then 42 00 ...: the frame is lost
    ReadAll(B({0x44, 0x00}));                   // "D" without "B"
    EXPECT_FALSE(Woken(a));
    ReadAll(DbAnswer(0x000B));
    EXPECT_EQ(Taken(a), DbRecord(0x000B));
}

TEST_F(ReaderTest, BadLengthsDropTheHeaderWithoutAllocating) {
    a.Register(owner, B({0x44, 0x42}));
    const Bytes next = DbAnswer(0x2805);
    for (std::uint32_t length : {0u, 1u, 7u, frames::kMaxFrameLength + 1, 0xFFFFFFFFu}) {
        Bytes header = B({0x44, 0x42, 0x01, 0x07, 0, 0, 0, 0});
        frames::WriteBe32(header.data() + 4, length);
        EXPECT_EQ(ReadAll(Cat(header, next)), (std::vector<int>{0, 1})) << length;
        EXPECT_EQ(Taken(a), DbRecord(0x2805)) << length;
        a.Register(owner, B({0x44, 0x42}));
    }
    Bytes hp = B({0x48, 0x50, 0, 0, 0, 0, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(ReadAll(Cat(hp, next)), (std::vector<int>{0, 1}));
    for (std::uint32_t asked : port.Requests()) {
        EXPECT_LE(asked, frames::kHpHeaderSize - 2);  // never the payload of a refused frame
    }
}

TEST_F(ReaderTest, LargestFrameIsTakenWhole) {
    a.Register(owner, B({0x44, 0x42}));
    Bytes payload(frames::kMaxFrameLength - 8);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 31);
    }
    ReadAll(DbAnswer(0x2801, payload));
    EXPECT_EQ(Taken(a), DbRecord(0x2801, payload));
}

TEST_F(ReaderTest, TruncatedFrameIsLost) {
    a.Register(owner, B({0x44, 0x42}));
    Bytes frame = DbAnswer(0x0108, B({1, 2, 3, 4}));
    frame.resize(frame.size() - 1);
    port.Feed(frame);
    EXPECT_EQ(reader.ReadRecvCommand(), 0);  // unplugged in the middle of the frame
    EXPECT_FALSE(Woken(a));
}

TEST_F(ReaderTest, WaitsAreServedInRegistrationOrder) {
    a.Register(owner, B({0x44, 0x42}));
    b.Register(owner, B({0x44, 0x42}));
    ReadAll(Cat(DbAnswer(0x2805), DbAnswer(0x2C05)));  // both arrive before either is taken
    EXPECT_EQ(Taken(a), DbRecord(0x2805));
    EXPECT_EQ(Taken(b), DbRecord(0x2C05));
}

TEST_F(ReaderTest, AnswersWithoutAWaitAreDropped) {
    EXPECT_EQ(ReadAll(DbAnswer(0x2805)), std::vector<int>{0});
    a.Register(owner, B({0x44, 0x42}));
    ReadAll(DbAnswer(0x0107));
    EXPECT_EQ(Taken(a), DbRecord(0x0107));

    // The key "4442" + command word is longer than the two bytes a DB answer is looked up with.
    a.Register(owner, B({0x44, 0x42, 0x28, 0x05}));
    EXPECT_EQ(ReadAll(DbAnswer(0x2805)), std::vector<int>{0});
    EXPECT_FALSE(Woken(a));
}

TEST(ResponseQueue, ReadEventFollowsThePendingWaits) {
    FakePort port;  // creates "READ_EVENT" first, as the real port does
    CLoaderReadThread reader;
    reader.CreateReadEvent();
    ASSERT_FALSE(reader.GetReadEvent()->IsManualReset());
    CQueManage queue;
    queue.SetReadThreadObject(&reader);
    Waiter a("A"), b("B");
    const auto& read = reader.GetReadEvent();

    queue.AddQueData(kDb, 2, &a);
    queue.AddQueData(kDb, 2, &b);
    EXPECT_EQ(queue.GetWaitCount(), 2);
    queue.SetRecvData(queue.FindQueData(kDb, 2), B({1}));
    EXPECT_EQ(queue.GetWaitCount(), 1);
    EXPECT_TRUE(read->Wait(0));  // still a wait to serve
    read->Set();
    queue.SetRecvData(queue.FindQueData(kDb, 2), B({2}));
    EXPECT_EQ(queue.GetWaitCount(), 0);
    EXPECT_FALSE(read->Wait(0));  // reset with the last pending wait
    EXPECT_TRUE(a.GetRecvEvent()->Wait(0));
    EXPECT_TRUE(b.GetRecvEvent()->Wait(0));

    // A further frame for a served entry replaces its record; nothing is counted twice.
    queue.SetRecvData(queue.FindQueData(kDb, 2), B({3, 3}));
    EXPECT_EQ(queue.FindQueData(&a)->GetRecvData(), B({3, 3}));
    EXPECT_EQ(queue.FindQueData(&a)->GetLength(), 2u);
    EXPECT_EQ(queue.GetWaitCount(), 0);
    queue.AddQueData(kDb, 2, &a);
    EXPECT_EQ(queue.GetWaitCount(), 1);

    // Removal: the oldest entry of the owner; a pending one stops counting.
    EXPECT_EQ(queue.DelQueData(&a), 1);
    EXPECT_EQ(queue.FindQueData(&a)->IsServed(), false);
    EXPECT_EQ(queue.DelAllQueData(&a), 1);
    EXPECT_EQ(queue.GetWaitCount(), 0);
    EXPECT_EQ(queue.DelQueData(&a), 0);
    EXPECT_EQ(queue.GetEntryCount(), 1u);
}

TEST(ResponseQueue, KeysAreCopiedAndEmptyKeysMatchEverything) {
    CQueManage queue;
    Waiter a("A");
    Bytes key = B({0xB1});
    queue.AddQueData(key.data(), 1, &a);
    key[0] = 0xB2;
    EXPECT_EQ(queue.FindQueData(key.data(), 1), nullptr);
    EXPECT_EQ(queue.FindQueData(nullptr, 0), nullptr);
    queue.AddQueData(nullptr, 5, &a);  // no key bytes: zero bytes always compare equal
    EXPECT_NE(queue.FindQueData(key.data(), 1), nullptr);
    EXPECT_EQ(queue.AddQueData(std::unique_ptr<CQueData>()), 0);
    EXPECT_EQ(queue.SetRecvData(nullptr, {}), 0);
}

// The thread itself, polling the fake port.
class ReadThreadTest : public ::testing::Test {
  protected:
    Config config{"[SYSTEM]\nWaitTime=1\n"};
    FakePort port;
    TestOwner owner;
    Waiter a{"A"};
    Waiter b{"B"};
};

TEST_F(ReadThreadTest, ServesWaitsAndEndsOnStop) {
    ReadThreadRun run(owner, &port, config.get());
    ASSERT_TRUE(run);
    a.Register(owner, B({0x44, 0x42}));
    b.Register(owner, B({0x44, 0x42}));
    port.Feed(Cat(DbAnswer(0x2805), DbAnswer(0x0107)));
    Bytes first, second;
    ASSERT_TRUE(a.Take(owner, first));
    ASSERT_TRUE(b.Take(owner, second));
    EXPECT_EQ(first, DbRecord(0x2805));
    EXPECT_EQ(second, DbRecord(0x0107));
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
    CriticalSectionLock lock(owner.queueLock());
    EXPECT_EQ(owner.GetQueManage()->GetReadThreadObject(), nullptr);
}

TEST_F(ReadThreadTest, StopDuringAPartialFrameEndsTheRead) {
    ReadThreadRun run(owner, &port, config.get());
    a.Register(owner, B({0x44, 0x42}));
    Bytes frame = DbAnswer(0x0108, B({1, 2, 3, 4, 5, 6}));
    frame.resize(10);
    port.Feed(frame);
    ASSERT_TRUE(port.Starved()->Wait(kGuardMs));
    EXPECT_EQ(run.Stop(), kLoaderThreadExitCode);
    EXPECT_FALSE(a.GetRecvEvent()->Wait(0));
}

TEST_F(ReadThreadTest, NegativeWaitTimeStopsTheRunWithoutReading) {
    Config bad("[SYSTEM]\nWaitTime=-1\n");
    port.Feed(DbAnswer(0x2805));
    platform::kernel::ThreadHandle handle = owner.StartReadThread(&port, bad.get());
    ASSERT_TRUE(handle.Wait(kGuardMs));
    EXPECT_EQ(handle.ExitCode(), kLoaderThreadExitCode);
    EXPECT_EQ(owner.Boxes(), std::vector<int>{kMsgSystemError});
    ASSERT_EQ(owner.StopCalls().size(), 1u);
    EXPECT_NE(owner.StopCalls()[0], nullptr);  // the receive thread itself
    EXPECT_TRUE(port.Requests().empty());
}

}  // namespace

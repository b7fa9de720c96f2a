#include "platform/kernel/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/platform/kernel/KernelTestUtil.h"

using namespace platform::kernel;
using kernel_test::Eventually;
using kernel_test::kLong;

namespace {

using Events = std::vector<std::shared_ptr<Event>>;

TEST(AutoResetEvent, EachSetReleasesExactlyOneWaiterAndStaysClear) {
    auto ev = Event::Create(false, false);
    auto released = Event::Create(false, false);
    std::atomic<int> count{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            count += ev->Wait(kInfinite) ? 1 : 0;
            released->Set();
        });
    }
    ASSERT_TRUE(Eventually([&] { return ev->WaiterCount() == 3; }));
    ev->Set();
    ASSERT_TRUE(released->Wait(kLong));
    EXPECT_EQ(WaitOne(released, 20), kTimeout);  // nobody else got through
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ev->WaiterCount(), 2u);
    EXPECT_FALSE(ev->TryConsume());  // the release took the signal
    ev->Set();
    ev->Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(count, 3);
    EXPECT_FALSE(ev->TryConsume());
}

TEST(AutoResetEvent, SignalWithoutWaiterIsKeptForOneWait) {
    auto ev = Event::Create(false, false);
    ev->Set();
    ev->Set();                      // signals do not add up
    EXPECT_TRUE(ev->TryConsume());  // a test is a wait: it takes the signal
    EXPECT_FALSE(ev->TryConsume());
    ev->Set();
    ev->Reset();
    EXPECT_EQ(WaitOne(ev, 20), kTimeout);
    EXPECT_TRUE(Event::Create(false, true)->Wait(0));
}

TEST(ManualResetEvent, StaysSetAndReleasesEveryWaiter) {
    auto ev = Event::Create(true, false);
    std::atomic<int> count{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { count += ev->Wait(kInfinite) ? 1 : 0; });
    }
    ASSERT_TRUE(Eventually([&] { return ev->WaiterCount() == 3; }));
    ev->Set();
    ev->Reset();  // the waiters blocked at the Set are released all the same
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(count, 3);
    ev->Set();
    EXPECT_TRUE(ev->TryConsume());
    EXPECT_TRUE(ev->TryConsume());
    ev->Reset();
    EXPECT_EQ(WaitOne(ev, 20), kTimeout);
}

TEST(WaitAny, ReportsTheLowestSignalledIndexAndTakesOnlyThatEvent) {
    Events ev{Event::Create(false, false), Event::Create(true, false), Event::Create(false, false)};
    EXPECT_EQ(WaitAny(ev, 0), kTimeout);
    ev[2]->Set();
    ev[1]->Set();
    EXPECT_EQ(WaitAny(ev, 0), 1);
    ev[0]->Set();
    EXPECT_EQ(WaitAny(ev, kInfinite), 0);
    ev[1]->Reset();
    EXPECT_EQ(WaitAny(ev, 0), 2);  // kept its signal while the others were reported
    EXPECT_EQ(WaitAny(ev, 20), kTimeout);
}

TEST(WaitAny, BlockedWaitIsReleasedByTheEventSetAndASecondSignalStaysPending) {
    Events ev{Event::Create(false, false), Event::Create(false, false), Event::Create(true, false)};
    for (bool both : {false, true}) {
        int result = kFailed;
        std::thread waiter([&] { result = WaitAny(ev, kInfinite); });
        ASSERT_TRUE(Eventually([&] { return ev[1]->WaiterCount() == 1; }));
        if (both) {
            ev[0]->Set();
        }
        ev[1]->Set();
        waiter.join();
        EXPECT_EQ(result, both ? 0 : 1);
        EXPECT_EQ(ev[1]->TryConsume(), both);
        EXPECT_EQ(ev[2]->WaiterCount(), 0u);  // the finished wait left no trace
    }
}

TEST(WaitAny, RejectsBadArguments) {
    EXPECT_EQ(WaitAny({}, 0), kFailed);
    EXPECT_EQ(WaitOne(nullptr, 0), kFailed);
    Events ev;
    for (std::size_t i = 0; i < kMaxWaitObjects; ++i) {
        ev.push_back(Event::Create(true, i + 1 == kMaxWaitObjects));
    }
    EXPECT_EQ(WaitAny(ev, 0), 63);
    ev.push_back(Event::Create(true, true));
    EXPECT_EQ(WaitAny(ev, kInfinite), kFailed);
    ev.pop_back();
    ev[5] = nullptr;
    EXPECT_EQ(WaitAny(ev, kInfinite), kFailed);
    auto twice = Event::Create(false, true);
    EXPECT_EQ(WaitAny(Events{twice, twice}, 0), 0);
}

TEST(NamedEvent, FirstCreatorDecidesAndTheNameIsFreedWithTheLastOwner) {
    auto first = Event::Named("KT_READ_EVENT", false, false);
    auto second = Event::Named("KT_READ_EVENT", true, true);
    ASSERT_EQ(first, second);
    EXPECT_FALSE(second->IsManualReset());
    EXPECT_FALSE(second->TryConsume());
    first->Set();
    EXPECT_TRUE(second->TryConsume());
    EXPECT_NE(Event::Named("kt_read_event", false, false), first);  // names keep their case
    EXPECT_NE(Event::Named("", false, false), Event::Named("", false, false));

    first.reset();
    EXPECT_EQ(Event::Named("KT_READ_EVENT", true, true), second);  // still owned
    second.reset();
    auto fresh = Event::Named("KT_READ_EVENT", true, true);
    EXPECT_TRUE(fresh->IsManualReset());
    EXPECT_TRUE(fresh->TryConsume());
}

TEST(NamedEvent, DyingEventDoesNotTakeTheNameFromItsSuccessor) {
    std::thread churn([] {
        for (int i = 0; i < 60000; ++i) {
            Event::Named("KT_CHURN", i % 2 == 0, false);
        }
    });
    int lost = 0;
    for (int i = 0; i < 60000; ++i) {
        auto held = Event::Named("KT_CHURN", true, false);
        lost += Event::Named("KT_CHURN", true, false) != held ? 1 : 0;
    }
    churn.join();
    EXPECT_EQ(lost, 0);
}

TEST(EventRaces, NoSignalIsLostToATimeOut) {
    for (int i = 0; i < 300; ++i) {
        auto ev = Event::Create(false, false);
        bool taken = false;
        std::thread waiter([&] { taken = ev->Wait(1); });
        ev->Set();
        waiter.join();
        EXPECT_NE(taken, ev->TryConsume()) << "round " << i;  // either the wait or the event has it
    }
}

}  // namespace

#include "platform/kernel/Clock.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/kernel/Event.h"
#include "tests/support/ManualClock.h"

using namespace platform::kernel;
using testsupport::ManualClock;

namespace {

TEST(Clock, ManualClockAdvancesAtOnceAndRecordsSleepsFromAnyThread) {
    ManualClock manual(1000);
    Clock& c = manual;
    c.SleepMs(500);
    c.SleepMs(0);
    manual.Advance(20);
    std::thread([&] { c.SleepMs(80); }).join();
    EXPECT_EQ(c.NowMs(), 1600u);
    EXPECT_EQ(manual.Sleeps(), (std::vector<std::uint32_t>{500, 0, 80}));

    const std::uint64_t before = TickCount();
    Sleep(0);
    EXPECT_GE(SystemClock().NowMs(), before);
}

// A test clock lets time-outs pass at once only once the test says nothing can come; the real
// clock and a signalled event never wait.
TEST(Clock, WaitsCountTheirTimeOutsOnTheClock) {
    ManualClock manual(0);
    const std::shared_ptr<Event> events[] = {Event::Create(true, false), Event::Create(true, true)};
    EXPECT_EQ(SystemClock().WaitAny(events, kInfinite), 1);
    EXPECT_EQ(manual.WaitAny(std::span(events).first(1), 0), kTimeout);
    manual.SetTimeoutsPassAtOnce(true);
    EXPECT_EQ(manual.WaitAny(std::span(events).first(1), 60000), kTimeout);
    EXPECT_EQ(manual.NowMs(), 60000u);
    EXPECT_EQ(manual.WaitAny(events, 60000), 1);
    EXPECT_EQ(manual.NowMs(), 60000u);
    EXPECT_TRUE(manual.Sleeps().empty());
}

}  // namespace

#include "platform/kernel/Clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace platform::kernel;

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

}  // namespace

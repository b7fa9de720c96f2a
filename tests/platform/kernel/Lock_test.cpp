#include "platform/kernel/Lock.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform::kernel;

namespace {

bool TryFromOtherThread(CriticalSection& cs) {
    bool got = false;
    std::thread([&] {
        if (cs.TryLock()) {
            got = true;
            cs.Unlock();
        }
    }).join();
    return got;
}

void OwnerEntersAgainAndMustLeaveAsOften() ZR_NO_THREAD_SAFETY_ANALYSIS {
    CriticalSection cs;
    cs.Lock();
    {
        CriticalSectionLock again(cs);
        EXPECT_TRUE(cs.TryLock());
        cs.Unlock();
    }
    EXPECT_FALSE(TryFromOtherThread(cs));  // still entered once
    cs.Unlock();
    EXPECT_TRUE(TryFromOtherThread(cs));

    long counter = 0;
    auto work = [&]() ZR_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < 20000; ++i) {
            CriticalSectionLock outer(cs);
            CriticalSectionLock inner(cs);
            counter = counter + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(CriticalSection, OwnerEntersAgainAndMustLeaveAsOften) {
    OwnerEntersAgainAndMustLeaveAsOften();
}

}  // namespace

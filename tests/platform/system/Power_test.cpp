#include "platform/system/Power.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/Eventually.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sys = platform::system;
using testsupport::BusService;
using testsupport::PrivateBus;
using testsupport::ScopedEnv;

namespace {

constexpr std::uint32_t kGuardMs = 20000;

// logind as far as the programs use it: Inhibit hands out the write end of a pipe and keeps
// the read end, which reports a hang-up once every copy of the lock is gone.
struct FakeLogind {
    std::mutex mutex;
    std::vector<std::string> inhibitArgs;
    int readEnd = -1;

    ~FakeLogind() {
        if (readEnd >= 0) {
            ::close(readEnd);
        }
    }

    static int Inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeLogind*>(userdata);
        const char* args[4] = {};
        if (sd_bus_message_read(m, "ssss", &args[0], &args[1], &args[2], &args[3]) < 0) {
            return -EINVAL;
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return -errno;
        }
        {
            std::lock_guard lock(self->mutex);
            self->inhibitArgs.assign(args, args + 4);
            self->readEnd = fds[0];
        }
        const int rc = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);  // the reply carries its own copy
        return rc;
    }

    int ReadEnd() {
        std::lock_guard lock(mutex);
        return readEnd;
    }
};

const sd_bus_vtable kLogindVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_VTABLE_END,
};

void ServeLogind(sd_bus* bus, FakeLogind* logind) {
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", kLogindVtable, logind);
    sd_bus_request_name(bus, "org.freedesktop.login1", 0);
}

void EmitPrepareForSleep(BusService& service, bool going) {
    service.Run([going](sd_bus* bus) {
        sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", static_cast<int>(going));
    });
}

// Waits for a count another thread raises; the guard only stops a hang.
int WaitFor(const std::atomic<int>& count, int atLeast) {
    testsupport::Eventually([&] { return count.load() >= atLeast; }, kGuardMs);
    return count.load();
}

}  // namespace

TEST(Logind, InhibitorIsHeldWhileTheObjectLivesAndResumeReachesTheCallback) {
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    FakeLogind logind;
    BusService service(bus.Address(), [&](sd_bus* b) { ServeLogind(b, &logind); });
    ASSERT_TRUE(service.Ok());
    ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());

    {
        const sys::StayAwake awake("ZR40_SWUpdate", "writing the firmware");
        ASSERT_TRUE(awake.Held());
        {
            std::lock_guard lock(logind.mutex);
            EXPECT_EQ(logind.inhibitArgs,
                      (std::vector<std::string>{"shutdown:sleep:idle:handle-lid-switch",
                                                "ZR40_SWUpdate", "writing the firmware", "block"}));
        }
        pollfd held{logind.ReadEnd(), POLLIN, 0};
        ASSERT_EQ(::poll(&held, 1, 0), 0) << "the lock was let go while held";
    }
    pollfd released{logind.ReadEnd(), POLLIN, 0};
    ASSERT_EQ(::poll(&released, 1, kGuardMs), 1);
    EXPECT_NE(released.revents & POLLHUP, 0);

    std::atomic<int> resumes{0};
    {
        sys::ResumeWatcher watcher([&] { ++resumes; });
        ASSERT_TRUE(watcher.Active());
        EmitPrepareForSleep(service, true);  // going to sleep: not a resume
        EmitPrepareForSleep(service, false);
        EXPECT_EQ(WaitFor(resumes, 1), 1);
    }
    EXPECT_EQ(resumes.load(), 1);
}

TEST(Logind, WithoutLogindOrWithoutABusNothingIsHeldAndNothingBreaks) {
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    {
        ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
        EXPECT_FALSE(sys::StayAwake("ZR40_SWUpdate", "writing").Held());
    }
    testsupport::TempDir dir;
    const std::string nowhere = "unix:path=" + (dir.Path() / "none").string();
    ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str());
    EXPECT_FALSE(sys::StayAwake("ZR40_SWUpdate", "writing").Held());
    const sys::ResumeWatcher watcher([] {});
    EXPECT_FALSE(watcher.Active());
}

TEST(SessionEnd, TerminationAndHangUpReachTheCallbackOnItsOwnThread) {
    std::mutex mutex;
    std::vector<int> seen;
    std::atomic<int> ends{0};
    const auto caller = std::this_thread::get_id();
    bool otherThread = true;
    {
        const sys::SessionEndWatcher watcher([&](int signal) {
            {
                std::lock_guard lock(mutex);
                seen.push_back(signal);
                otherThread = otherThread && std::this_thread::get_id() != caller;
            }
            ++ends;
        });
        ASSERT_TRUE(watcher.Active());
        // Only one watcher at a time.
        EXPECT_FALSE(sys::SessionEndWatcher([](int) {}).Active());

        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        ASSERT_EQ(WaitFor(ends, 1), 1);
        ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
        ASSERT_EQ(WaitFor(ends, 2), 2);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGHUP}));
    EXPECT_TRUE(otherThread);
}

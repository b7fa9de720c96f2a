#include "platform/window/Window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "platform/kernel/Event.h"
#include "platform/paths/Paths.h"
#include "tests/platform/window/WindowTestSupport.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
namespace window = platform::window;
using testsupport::ScopedEnv;
using window::Message;
using windowtest::Helper;
using windowtest::PumpUntil;

constexpr std::uint32_t kTimer = window::kTimerMessage;

// Records what a window handled: message number and wParam (the timer id for ticks).
struct Log {
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> seen;
    window::Handler Handler() {
        return [this](const Message& m) -> std::intptr_t {
            seen.emplace_back(m.message, m.wParam);
            return 0;
        };
    }
};

// Every window of a test lives in a private system root.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root_.Path() / "etc");
        std::ofstream(root_.Path() / "etc/passwd") << "root:x:0:0:root:/root:/bin/bash\n"
                                                   << "alice:x:1000:1000::/home/alice:/bin/sh\n";
    }

    testsupport::TempDir root_;
    ScopedEnv rootEnv_{platform::paths::kRootVariable, root_.Path().c_str()};
    ScopedEnv pkexec_{"PKEXEC_UID", nullptr};
    ScopedEnv sudo_{"SUDO_UID", nullptr};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", nullptr};
};

TEST_F(WindowTest, PostedAndSentMessagesRunOnTheWindowThreadInArrivalOrder) {
    std::promise<window::WindowHandle> made;
    std::vector<std::pair<std::uint32_t, std::thread::id>> seen;
    std::thread::id windowThread;
    std::thread thread([&] {
        windowThread = std::this_thread::get_id();
        window::Window* self = nullptr;
        window::Window w("order", [&](const Message& m) -> std::intptr_t {
            seen.emplace_back(m.message, std::this_thread::get_id());
            if (m.message == 2) {
                self->Post({4, 0, 0, {}});
                // Sent on its own thread: handled at once, inside this handler.
                EXPECT_EQ(self->Send({5, 0, 0, {}}), 50);
                return 20;
            }
            if (m.message == 9) {
                self->PostQuit(7);
            }
            return static_cast<std::intptr_t>(m.message) * 10;
        });
        self = &w;
        made.set_value(w.Handle());
        EXPECT_EQ(w.Run(), 7);
    });
    window::WindowHandle h = made.get_future().get();
    EXPECT_TRUE(h.Post({1, 0, 0, {}}));
    EXPECT_EQ(h.Send({2, 0, 0, {}}), 20);
    EXPECT_TRUE(h.Post({3, 0, 0, {}}));
    EXPECT_EQ(h.Send({9, 0, 0, {}}), 90);
    thread.join();

    std::vector<std::uint32_t> order;
    for (auto [message, tid] : seen) {
        order.push_back(message);
        EXPECT_EQ(tid, windowThread);
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2, 5, 4, 3, 9}));
    // The window is gone: the handle fails instead of waiting for ever.
    EXPECT_FALSE(h.IsWindow());
    EXPECT_FALSE(h.Post({1, 0, 0, {}}));
    EXPECT_EQ(h.Send({1, 0, 0, {}}), std::nullopt);
}

TEST_F(WindowTest, TimersRestartTickOnceWhenBehindAndStopWhenKilled) {
    testsupport::ManualClock clock;
    Log log;
    window::Window w("timers", log.Handler(), clock);
    using Seen = std::vector<std::pair<std::uint32_t, std::uintptr_t>>;

    w.SetTimer(1, 300000);
    w.SetTimer(2, 1000);
    w.Post({0x400, 0, 0, {}});
    clock.Advance(1000);
    w.ProcessPending();
    EXPECT_EQ(log.seen, (Seen{{0x400, 0}, {kTimer, 2}}));  // messages first, then due timers

    log.seen.clear();
    clock.Advance(299000);  // timer 2 missed 298 periods: one tick, before the later timer 1
    w.ProcessPending();
    w.ProcessPending();
    EXPECT_EQ(log.seen, (Seen{{kTimer, 2}, {kTimer, 1}}));

    log.seen.clear();
    w.KillTimer(2);
    clock.Advance(299999);
    w.SetTimer(1, 300000);  // restarted 1 ms before its tick
    clock.Advance(1);
    w.ProcessPending();
    EXPECT_TRUE(log.seen.empty());
    EXPECT_EQ(w.MsUntilNextTimer(), 299999u);
    clock.Advance(299999);
    w.ProcessPending();
    EXPECT_EQ(log.seen, (Seen{{kTimer, 1}}));

    EXPECT_TRUE(w.KillTimer(1));
    EXPECT_FALSE(w.KillTimer(1));
    clock.Advance(900000);
    w.ProcessPending();
    EXPECT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(w.MsUntilNextTimer(), platform::kernel::kInfinite);
}

TEST_F(WindowTest, RunWaitsOnTheWindowClock) {
    testsupport::ManualClock clock;
    clock.SetTimeoutsPassAtOnce(true);
    int ticks = 0;
    window::Window* self = nullptr;
    window::Window w(
        "driver wait",
        [&](const Message& m) -> std::intptr_t {
            if (m.message == kTimer && ++ticks == 3) {
                self->PostQuit(3);
            }
            return 0;
        },
        clock);
    self = &w;
    w.SetTimer(1, 300000);
    EXPECT_EQ(w.Run(), 3);
    EXPECT_EQ(clock.NowMs(), 900000u);
}

TEST_F(WindowTest, PostByTitleReachesAnotherProcessAndSocketsOfDeadProcessesGo) {
    const std::string title = "ZR-40更新管理ツール";
    std::vector<Message> replies;
    window::Window me("reply", [&](const Message& m) -> std::intptr_t {
        replies.push_back(m);
        return 0;
    });
    ASSERT_TRUE(me.Published());

    Helper manager({"serve", title, "reply"});
    ASSERT_TRUE(manager.Ready());
    Helper killed({"serve", title, "reply"});
    ASSERT_TRUE(killed.Ready());
    ASSERT_EQ(window::EnumWindows(title).size(), 2u);
    const fs::path runtime = platform::paths::RuntimeDir(platform::paths::CurrentUser());
    EXPECT_EQ(fs::status(runtime).permissions(), fs::perms(0700));
    EXPECT_EQ(killed.Wait(SIGKILL), -1);  // its socket stays behind

    const std::vector<window::RemoteWindow> found = window::EnumWindows(title);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, manager.Pid());
    int files = 0;
    for (const auto& entry : fs::directory_iterator(runtime)) {
        files += entry.path().filename().string().starts_with(window::SocketPrefix(title)) ? 1 : 0;
    }
    EXPECT_EQ(files, 1);

    EXPECT_EQ(window::PostToWindowsTitled(title, {0x0401, 7, -3, {}}), 1);
    ASSERT_TRUE(PumpUntil(me, [&] { return !replies.empty(); }));
    EXPECT_EQ(replies[0].message, 0x0402u);
    EXPECT_EQ(replies[0].wParam, 7u);
    EXPECT_EQ(replies[0].lParam, -3);

    EXPECT_EQ(window::PostToWindowsTitled(title, {0x0402, 0, 0, {}}), 1);
    EXPECT_EQ(manager.Wait(), 0);
    EXPECT_FALSE(window::FindWindow(title));  // removed by its window as it closed

    me.SetTitle("renamed");
    EXPECT_FALSE(window::FindWindow("reply"));
    EXPECT_TRUE(window::FindWindow("renamed"));
}

TEST_F(WindowTest, ARuntimeDirectoryTooLongForASocketAddressStillWorks) {
    const fs::path deep = root_.Path() / std::string(120, 'd');
    fs::create_directories(deep / "etc");
    fs::copy_file(root_.Path() / "etc/passwd", deep / "etc/passwd");
    ScopedEnv rootEnv(platform::paths::kRootVariable, deep.c_str());
    std::vector<Message> got;
    window::Window w("deep", [&](const Message& m) -> std::intptr_t {
        got.push_back(m);
        return 0;
    });
    ASSERT_TRUE(w.Published());
    ASSERT_GT(window::EnumWindows("deep").at(0).socket.string().size(), 108u);
    EXPECT_EQ(window::PostToWindowsTitled("deep", {0x0401, 1, 2, {}}), 1);
    ASSERT_TRUE(PumpUntil(w, [&] { return !got.empty(); }));
    EXPECT_EQ(got[0].lParam, 2);
}

TEST_F(WindowTest, RootActingForAUserGivesTheSocketToThatUserAndHearsNoStranger) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root";
    ScopedEnv sudo("SUDO_UID", "1000");
    std::vector<Message> got;
    window::Window w("tool", [&](const Message& m) -> std::intptr_t {
        got.push_back(m);
        return 0;
    });
    ASSERT_TRUE(w.Published());
    const std::vector<window::RemoteWindow> found = window::EnumWindows("tool");
    ASSERT_EQ(found.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(found[0].socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Open every door so that only the window's own check stands in a stranger's way.
    for (fs::path p = found[0].socket.parent_path(); p != root_.Path().parent_path();
         p = p.parent_path()) {
        fs::permissions(p, fs::perms(0755));
    }
    fs::permissions(found[0].socket, fs::perms(0666));
    EXPECT_EQ(Helper({"post", "tool", "0x501", "4242"}).Wait(), 1);
    EXPECT_EQ(Helper({"post", "tool", "0x502", "1000"}).Wait(), 1);
    ASSERT_TRUE(PumpUntil(w, [&] { return !got.empty(); }));
    EXPECT_EQ(got[0].message, 0x502u);  // the stranger's came first and was dropped
}

}  // namespace

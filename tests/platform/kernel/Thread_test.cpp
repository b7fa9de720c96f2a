#include "platform/kernel/Thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/platform/kernel/KernelTestUtil.h"

using namespace platform::kernel;
using kernel_test::kLong;

namespace {

int Nice(id_t who) {
    return getpriority(PRIO_PROCESS, who);
}

// What a thread object did; outlives the object. Written by the thread, read after its handle
// reported the end.
struct Probe {
    std::atomic<int> inits{0}, runs{0}, exits{0}, destroyed{0};
    std::thread::id ranOn, destroyedOn;
    std::vector<Message> messages;
    int setUp = 0, nice = 0;
    bool peeked = false;
};

class ProbeThread : public WorkerThread {
  public:
    // kSelfQuit is the program's way: work, post a quit to itself, run the message loop.
    enum class Mode { kLoop, kSelfQuit, kNoLoop, kRefuse, kParent };
    ProbeThread(Probe& probe, Mode mode) : probe_(probe), mode_(mode) {}
    ~ProbeThread() override {
        probe_.destroyedOn = std::this_thread::get_id();
        ++probe_.destroyed;
        if (letGo) {
            dying->Set();
            letGo->Wait(kLong);
        }
    }
    int setUp = 0;
    std::shared_ptr<Event> dying, letGo;  // hold the destructor
    Probe* child = nullptr;
    Priority priority = Priority::kNormal;

  protected:
    bool InitInstance() override {
        ++probe_.inits;
        probe_.ranOn = std::this_thread::get_id();
        probe_.setUp = setUp;
        probe_.nice = Nice(static_cast<id_t>(gettid()));
        return mode_ != Mode::kRefuse;
    }
    int Run() override {
        ++probe_.runs;
        if (mode_ == Mode::kNoLoop) {
            return 7;
        }
        if (mode_ == Mode::kParent) {  // a child with the same priority
            auto* c =
                CreateAutoDelete(std::make_unique<ProbeThread>(*child, Mode::kSelfQuit), priority);
            ThreadHandle h = c->Handle();
            c->Resume();
            h.Wait(kLong);
        }
        if (mode_ != Mode::kLoop) {
            PostQuit(10);
            Message m;  // a look that leaves the quit for the loop
            probe_.peeked = PeekMessage(m, false) && m.message == kQuitMessage;
        }
        return RunMessageLoop();
    }
    int ExitInstance() override {
        ++probe_.exits;
        return WorkerThread::ExitInstance();
    }
    void OnMessage(const Message& msg) override { probe_.messages.push_back(msg); }

  private:
    Probe& probe_;
    Mode mode_;
};
using Mode = ProbeThread::Mode;

ProbeThread* Make(Probe& probe, Mode mode, Priority priority = Priority::kNormal) {
    return WorkerThread::CreateAutoDelete(std::make_unique<ProbeThread>(probe, mode), priority);
}

TEST(WorkerThread, SuspendedUntilResumedThenHandlesMessagesInOrderUntilTheQuit) {
    Probe probe;
    ProbeThread* t = Make(probe, Mode::kLoop);
    ASSERT_NE(t, nullptr);
    ThreadHandle h = t->Handle();
    t->setUp = 42;
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(t->PostMessage(0x8001, static_cast<std::uintptr_t>(i), -i), 1);
    }
    EXPECT_FALSE(h.Wait(20));
    EXPECT_EQ(probe.inits, 0);
    EXPECT_FALSE(h.ExitCode().has_value());
    EXPECT_EQ(t->Resume(), 1);
    // Through the handle: once the quit is in, the object may be gone at any moment.
    std::thread poster([h] {
        for (int i = 50; i < 100; ++i) {
            h.PostMessage(0x8001, static_cast<std::uintptr_t>(i), -i);
        }
        h.PostQuit(3);
        h.PostMessage(0x0410, 0, 0);  // after the quit: never handled
    });
    poster.join();
    ASSERT_TRUE(h.Wait(kLong));
    EXPECT_EQ(h.PostMessage(0x8001, 0, 0), 0) << "ended";
    EXPECT_EQ(h.PostQuit(0), 0);
    EXPECT_EQ(ThreadHandle().PostMessage(0x8001, 0, 0), 0);
    EXPECT_EQ(h.ExitCode(), 3);
    EXPECT_EQ(probe.setUp, 42);
    EXPECT_EQ(probe.exits, 1);
    ASSERT_EQ(probe.messages.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(probe.messages[i].wParam, static_cast<std::uintptr_t>(i));
        EXPECT_EQ(probe.messages[i].lParam, -i);
    }
}

TEST(WorkerThread, AutoDeleteObjectIsDestroyedOnceOnItsThreadBeforeTheHandleReportsTheEnd) {
    Probe probe;
    ProbeThread* t = Make(probe, Mode::kSelfQuit, Priority::kAboveNormal);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->IsAutoDelete());
    auto dying = t->dying = Event::Create(true, false);
    auto letGo = t->letGo = Event::Create(true, false);
    ThreadHandle h = t->Handle();
    t->Resume();
    ASSERT_TRUE(dying->Wait(kLong));
    EXPECT_FALSE(h.Wait(20));
    EXPECT_FALSE(h.ExitCode().has_value());
    letGo->Set();
    ASSERT_TRUE(h.Wait(kLong));
    EXPECT_EQ(h.ExitCode(), 10);
    EXPECT_EQ(probe.destroyed, 1);
    EXPECT_EQ(probe.destroyedOn, probe.ranOn);
    EXPECT_TRUE(probe.peeked);
    EXPECT_EQ(probe.exits, 1);
}

TEST(WorkerThread, ExitInstanceRunsOnceOnEveryWayOut) {
    Probe noLoop, refused;
    ProbeThread* a = Make(noLoop, Mode::kNoLoop);
    ProbeThread* b = Make(refused, Mode::kRefuse);
    ASSERT_TRUE(a && b);
    ThreadHandle ha = a->Handle(), hb = b->Handle();
    a->Resume();
    b->Resume();
    ASSERT_TRUE(ha.Wait(kLong) && hb.Wait(kLong));
    EXPECT_EQ(ha.ExitCode(), 7);  // Run's own result
    EXPECT_EQ(hb.ExitCode(), 0);  // refused: no Run, no quit code
    EXPECT_EQ(refused.runs, 0);
    for (Probe* p : {&noLoop, &refused}) {
        EXPECT_EQ(p->exits, 1);
        EXPECT_EQ(p->destroyed, 1);
    }
}

TEST(WorkerThread, OwnerKeptObjectAndHandleOutliveTheThread) {
    Probe probe;
    auto t = std::make_unique<ProbeThread>(probe, Mode::kLoop);
    EXPECT_EQ(t->PostMessage(1, 0, 0), 0);  // no thread yet
    ASSERT_EQ(t->Create(), 1);
    EXPECT_EQ(t->Create(), 0);
    EXPECT_FALSE(t->IsAutoDelete());
    ThreadHandle h = t->Handle();
    t->Resume();
    EXPECT_EQ(t->Resume(), 0);
    t->PostQuit(-5);
    ASSERT_TRUE(h.Wait(kLong));
    EXPECT_EQ(probe.destroyed, 0);
    EXPECT_EQ(t->PostMessage(1, 0, 0), 0);  // ended
    t.reset();
    EXPECT_EQ(h.ExitCode(), -5);
    EXPECT_FALSE(ThreadHandle().Wait(0));

    Probe idle;
    t = std::make_unique<ProbeThread>(idle, Mode::kLoop);
    ASSERT_EQ(t->Create(), 1);
    h = t->Handle();
    t.reset();  // destroyed while suspended: the thread ends without running a hook
    ASSERT_TRUE(h.Wait(kLong));
    EXPECT_EQ(h.ExitCode(), 0);
    EXPECT_EQ(idle.inits + idle.exits, 0);
    h = ProbeThread(idle, Mode::kLoop).Handle();
    EXPECT_TRUE(h.Wait(0));  // never created: its handle does not hang
}

TEST(WorkerThread, AboveNormalIsAtMostOneStepOverTheProcessAndNeverCumulative) {
    const int base = Nice(static_cast<id_t>(getpid()));
    for (Priority p : {Priority::kNormal, Priority::kAboveNormal}) {
        Probe parent, child;
        ProbeThread* t = Make(parent, Mode::kParent, p);
        ASSERT_NE(t, nullptr);
        t->child = &child;
        t->priority = p;
        ThreadHandle h = t->Handle();
        t->Resume();
        ASSERT_TRUE(h.Wait(kLong));
        EXPECT_EQ(child.exits, 1);
        EXPECT_TRUE(parent.nice == base || (p == Priority::kAboveNormal && parent.nice == base - 1))
            << parent.nice;
        EXPECT_EQ(child.nice, parent.nice);
    }
}

}  // namespace

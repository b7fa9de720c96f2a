// The manager's two jobs against the update-server double, on a window driven with a manual
// clock: the report's retry schedule, the version check and the device's date code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Loader/app/StateStore.h"
#include "ZR40UpReg/Notify.h"
#include "ZR40UpReg/UpRegController.h"
#include "ZR40UpReg/UpdateWorker.h"
#include "ZR40UpReg/VersionCheck.h"
#include "platform/net/Http.h"
#include "platform/paths/Paths.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/ManualClock.h"
#include "tests/support/Pty.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace net = platform::net;
namespace reg = platform::registry;
namespace window = platform::window;
using testing::HasSubstr;
using testsupport::ScopedEnv;

namespace {

constexpr std::time_t kStart = 1'800'000'000;
constexpr std::uint32_t kGuardMs = 30000;

std::string DeviceAnswer(const std::string& dateCode) {
    std::string answer(18, '\0');
    answer.replace(9, 6, dateCode);
    return answer;
}

// Plays the device on a pseudo-terminal: on the reader's first 10-ms wait it takes the version
// request and answers with what it was given, which may be cut short.
class PtyDevice {
  public:
    explicit PtyDevice(testsupport::ManualClock& clock) {
        clock.SetHook([this](std::uint32_t) { Serve(); });
    }
    void Answer(std::string bytes) {
        m_answer = std::move(bytes);
        m_served.store(false);
    }
    const std::string& Path() const { return m_pty.Path(); }
    std::string Request() const { return m_request; }

  private:
    void Serve() {
        if (m_served.exchange(true)) {
            return;
        }
        m_request.clear();
        while (m_request.size() < 10) {
            pollfd p{m_pty.Master(), POLLIN, 0};
            char buffer[16];
            if (::poll(&p, 1, static_cast<int>(kGuardMs)) <= 0) {
                return;
            }
            const ssize_t n = ::read(m_pty.Master(), buffer, 10 - m_request.size());
            if (n <= 0) {
                return;
            }
            m_request.append(buffer, static_cast<std::size_t>(n));
        }
        ASSERT_EQ(::write(m_pty.Master(), m_answer.data(), m_answer.size()),
                  static_cast<ssize_t>(m_answer.size()));
        // The reader's next read must find the bytes already there.
        testsupport::Eventually(
            [this] {
                int queued = 0;
                return ::ioctl(m_pty.SlaveFd(), FIONREAD, &queued) == 0 &&
                       static_cast<std::size_t>(queued) >= m_answer.size();
            },
            kGuardMs);
    }

    testsupport::PtyPair m_pty{testsupport::PtyPair::Slave::KeptOpen};
    std::string m_answer;
    std::string m_request;
    std::atomic<bool> m_served{true};
};

class RecordingView : public IUpRegView {
  public:
    void ShowMessage(int nStringId, Icon, const std::string& strArg) override {
        messages.push_back(nStringId);
        args.push_back(strArg);
    }
    void NewVersionBalloon() override { ++balloons; }
    void OpenNewVersionDialog(const std::string& strName) override { dialogs.push_back(strName); }

    std::vector<int> messages;
    std::vector<std::string> args;
    int balloons = 0;
    std::vector<std::string> dialogs;
};

class UpdateJobs : public ::testing::Test {
  protected:
    void StartServer(const std::vector<std::string>& args) {
        m_serverEnv.reset();
        m_server = std::make_unique<net_test::Serverd>(args);
        ASSERT_GT(m_server->Port(), 0);
        m_serverEnv = std::make_unique<ScopedEnv>(
            "ZR40_UPDATE_SERVER", ("http://127.0.0.1:" + std::to_string(m_server->Port())).c_str());
    }
    std::time_t Now() { return kStart + static_cast<std::time_t>(m_clock.NowMs() / 1000); }
    CUpRegStore Store(std::time_t offset = 0) {
        return CUpRegStore(m_location, [this, offset] { return Now() + offset; });
    }
    void OweReport(const std::string& serial) {
        CStateStore tool(m_location);
        ASSERT_EQ(tool.CreateStateKeys(), 1);
        ASSERT_EQ(tool.WriteUpdateListEntry(serial.c_str(), "Ver1.01"), 1);
        ASSERT_EQ(tool.SetUpdateRequesting(true), 1);
    }
    // Dispatches both windows until pred holds; false when the guard ran out.
    template <class Pred>
    bool PumpUntil(Pred pred) {
        const std::uint64_t giveUp = platform::kernel::TickCount() + kGuardMs;
        for (;;) {
            m_window.ProcessPending();
            if (m_tool) {
                m_tool->ProcessPending();
            }
            if (pred()) {
                return true;
            }
            if (platform::kernel::TickCount() > giveUp) {
                return false;
            }
            pollfd p[2] = {{m_window.WakeFd(), POLLIN, 0},
                           {m_tool ? m_tool->WakeFd() : -1, POLLIN, 0}};
            ::poll(p, 2, 100);
        }
    }
    std::size_t ResultsOf(std::uint32_t message) const {
        std::size_t n = 0;
        for (const auto& m : m_results) {
            n += m.message == message ? 1 : 0;
        }
        return n;
    }
    std::uintptr_t LastResult() const { return m_results.back().wParam; }

    testsupport::TempDir m_root;
    testsupport::IsolatedRoot m_isolated{m_root.Path()};
    testsupport::ManualClock m_clock;
    reg::Location m_location = reg::FileStore(m_root.Path() / "registry.sqlite");
    PtyDevice m_device{m_clock};
    bool m_bDevicePresent = true;
    std::unique_ptr<net_test::Serverd> m_server;
    std::unique_ptr<ScopedEnv> m_serverEnv;
    RecordingView m_view;
    std::vector<window::Message> m_results;
    CUpRegController* m_pController = nullptr;
    window::Window m_window{
        "ZR-40更新管理ツール",
        [this](const window::Message& msg) -> std::intptr_t {
            if (msg.message == WM_NOTIFY_RESULT || msg.message == WM_VERSION_RESULT) {
                m_results.push_back(msg);
            }
            m_pController->HandleMessage(msg);
            return 0;
        },
        m_clock};
    std::unique_ptr<window::Window> m_tool;
    std::vector<std::uint32_t> m_toolMessages;
    UpdateWorker m_worker{WorkerEnvironment{
        &m_clock,
        [this] { return Store(); },
        [] { return true; },
        {},
        DeviceAccess{[this] {
                         return m_bDevicePresent ? std::vector<std::string>{m_device.Path()}
                                                 : std::vector<std::string>{};
                     },
                     &m_clock}}};
    CUpRegController m_controller{m_window, m_worker, m_view};

    void SetUp() override {
        m_pController = &m_controller;
        ASSERT_TRUE(m_worker.StartThreads(m_window.Handle()));
    }
    void TearDown() override { m_worker.StopThreads(); }
};

TEST_F(UpdateJobs, AReportIsRetriedOnTheScheduleAndNeverSentAgainOnceAccepted) {
    StartServer({"--notify", "503,503,503,503,503,503,200"});
    m_tool = std::make_unique<window::Window>(
        kToolWindowTitle,
        [this](const window::Message& msg) -> std::intptr_t {
            m_toolMessages.push_back(msg.message);
            return 0;
        },
        m_clock);
    // '&' and '=' go out as they are.
    OweReport("35800000&=00001");
    m_controller.NotificationStartupCheck();

    const std::uint32_t schedule[] = {10, 10, 60, 60, 60, 86400};
    for (std::size_t i = 0; i < 6; ++i) {
        ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_NOTIFY_RESULT) == i + 1; }));
        EXPECT_EQ(LastResult(), 1u);
        const std::string line = m_server->Line();
        EXPECT_NE(line.find("\"body\":\"serial=35800000&=00001&version=0000.0001.01&date="),
                  std::string::npos)
            << line;
        EXPECT_EQ(m_window.MsUntilNextTimer(), schedule[i] * 1000) << "after failure " << i + 1;
        m_clock.Advance(schedule[i] * 1000 - 1);
        m_window.ProcessPending();
        EXPECT_EQ(m_window.MsUntilNextTimer(), 1u);
        m_clock.Advance(1);
    }
    int count = -1;
    std::int64_t elapsed = 0;
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_NOTIFY_RESULT) == 7; }));
    EXPECT_EQ(LastResult(), 0u);
    std::string serial;
    EXPECT_EQ(Store().HasUpdateListEntry(serial), 0);
    EXPECT_EQ(Store().IsUpdateRequesting(), 0);
    EXPECT_EQ(Store().ReadRetryState(count, elapsed), 0);
    EXPECT_EQ(m_controller.NotifyRetryIndex(), 0);
    ASSERT_TRUE(PumpUntil([&] { return !m_toolMessages.empty(); }));
    EXPECT_EQ(m_toolMessages.front(), WM_LOADER_REGISTERED);
    m_server->Line();  // the accepted POST

    // Nothing is owed any more: the run reports success without a request.
    m_worker.TriggerNotification();
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_NOTIFY_RESULT) == 8; }));
    EXPECT_EQ(LastResult(), 0u);
    platform::net::Request probe;
    probe.url = m_server->Url("/telmirato/update/zr-40/");
    EXPECT_EQ(platform::net::Fetch(probe).status, 200);
    EXPECT_NE(m_server->Line().find("\"path\":\"/telmirato/update/zr-40/\""), std::string::npos);
}

TEST_F(UpdateJobs, ARestartWaitsOnlyWhatIsLeftOfTheRunningInterval) {
    StartServer({"--notify", "503"});
    OweReport("358000000000001");
    ASSERT_EQ(Store(-30).WriteRetryState(2), 1);  // 60 s, begun 30 s ago
    m_controller.NotificationStartupCheck();
    EXPECT_EQ(m_window.MsUntilNextTimer(), 30000u);
    m_clock.Advance(30000);
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_NOTIFY_RESULT) == 1; }));
    EXPECT_EQ(m_window.MsUntilNextTimer(), 60000u);  // the next index continues the table

    // A count beyond the table reads as its last entry.
    reg::Store raw(m_location);
    ASSERT_TRUE(raw.SetString("Software\\Norvale\\ZR40UpReg\\UpdateRetry", "UpRetryCount", "9",
                              reg::Zero::kStored)
                    .ok());
    m_controller.NotificationStartupCheck();
    EXPECT_EQ(m_window.MsUntilNextTimer(), 86400000u);
}

TEST_F(UpdateJobs, ADailyCheckIsDueAnHourAfterLastCheckedTwentyThreeHoursAgo) {
    ASSERT_EQ(Store(-23 * 3600).WriteVerLastDate(), 1);
    m_controller.VersionStartupCheck();
    EXPECT_EQ(m_window.MsUntilNextTimer(), 3600000u);
}

TEST_F(UpdateJobs, ANewerVersionOnTheServerShowsTheBalloonAndAnEqualOneNothing) {
    StartServer({"--ver-date", "110805", "--ver-name", "V07R22C"});
    m_device.Answer(DeviceAnswer("110414"));
    m_controller.VersionStartupCheck();  // never checked: due now
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 1; }));
    EXPECT_EQ(LastResult(), kVersionNewer);
    EXPECT_EQ(m_view.balloons, 1);
    EXPECT_EQ(m_device.Request(), std::string("\xFF\xFD\xEF\xFD\xEE\x6F\x00\x01\x40\xFE", 10));
    std::string code, name;
    ASSERT_EQ(Store().ReadLastVer(code, name), 1);
    EXPECT_EQ(code, "110805");
    EXPECT_EQ(name, "V07R22C");
    EXPECT_EQ(m_window.MsUntilNextTimer(), 86400000u);

    m_device.Answer(DeviceAnswer("110805"));
    m_clock.Advance(86400000);
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 2; }));
    EXPECT_EQ(LastResult(), kVersionNotOlder);
    EXPECT_EQ(m_view.balloons, 1);
    EXPECT_TRUE(m_view.messages.empty());
}

TEST_F(UpdateJobs, AFailedCheckRetriesOnceAfterFiveMinutesAndKeepsTheEarlierResult) {
    StartServer({"--version", "200,401"});
    m_device.Answer(DeviceAnswer("110805"));
    m_controller.VersionStartupCheck();
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 1; }));
    EXPECT_EQ(LastResult(), kVersionNotOlder);

    m_clock.Advance(86400000);
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 2; }));
    EXPECT_EQ(LastResult(), kVersionCheckFailed);
    EXPECT_EQ(m_window.MsUntilNextTimer(), 300000u);
    std::string code, name;
    ASSERT_EQ(Store().ReadLastVer(code, name), 1);
    EXPECT_EQ(code, "110805");
    EXPECT_EQ(name, "V07R22C");

    m_clock.Advance(300000);
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 3; }));
    EXPECT_EQ(LastResult(), kVersionRetryFailed);
    EXPECT_EQ(m_window.MsUntilNextTimer(), 86400000u);
    EXPECT_EQ(m_controller.VersionRetryCount(), 0);
    EXPECT_EQ(m_view.balloons, 0);
}

TEST_F(UpdateJobs, ADeviceArrivingAfterAFailedRetryIsCheckedOnceItSettled) {
    m_bDevicePresent = false;
    StartServer({"--version", "401,401,200"});
    m_controller.VersionStartupCheck();
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 1; }));
    EXPECT_EQ(LastResult(), kVersionCheckFailed);
    m_clock.Advance(300000);
    m_window.ProcessPending();
    ASSERT_TRUE(testsupport::Eventually(
        [&] { return m_worker.CheckState() == kCheckNoDeviceOnRetry; }, kGuardMs));

    m_bDevicePresent = true;
    m_device.Answer(DeviceAnswer("110414"));
    m_clock.SetTimeoutsPassAtOnce(true);
    const std::uint64_t arrived = m_clock.NowMs();
    m_controller.DeviceArrivalCheck();
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 2; }));
    EXPECT_EQ(LastResult(), kVersionNewer);
    EXPECT_GE(m_clock.NowMs() - arrived, 20000u);
    EXPECT_EQ(m_view.balloons, 1);

    // Later arrivals compare with what the last check stored.
    m_device.Answer(DeviceAnswer("110414"));
    m_controller.DeviceArrivalCheck();
    ASSERT_TRUE(PumpUntil([&] { return ResultsOf(WM_VERSION_RESULT) == 3; }));
    EXPECT_EQ(LastResult(), kVersionArrivedOlder);
    EXPECT_EQ(m_view.balloons, 2);
}

TEST_F(UpdateJobs, StoppingEndsARequestTheServerNeverAnswers) {
    StartServer({"--version", "stall"});
    m_controller.VersionStartupCheck();
    EXPECT_NE(m_server->Line().find("version.html"), std::string::npos);
    m_worker.StopThreads();
    EXPECT_TRUE(m_results.empty());
}

TEST_F(UpdateJobs, AManualCheckTellsWhatTheServerAnswered) {
    m_bDevicePresent = false;
    m_clock.SetTimeoutsPassAtOnce(true);  // the second between two tries
    const auto check = [this] {
        const std::size_t shown = m_view.messages.size();
        m_controller.ManualCheck();
        ASSERT_TRUE(PumpUntil([&] { return m_view.messages.size() > shown; }));
    };
    StartServer({"--version", "401"});
    check();
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(m_server->Line().find("\"status\":401"), std::string::npos);
    }
    const std::filesystem::path garbage = m_root.Path() / "garbage.html";
    std::ofstream(garbage) << "VerDate=1108";
    StartServer({"--version-file", garbage.string()});
    check();
    StartServer({"--version", "503"});
    check();
    StartServer({});
    check();
    EXPECT_EQ(m_view.messages, (std::vector<int>{IDS_CHECK_FAILED, IDS_CHECK_FAILED,
                                                 IDS_MAINTENANCE, IDS_LATEST_VERSION}));
    EXPECT_EQ(m_view.args.back(), "V07R22C");
    EXPECT_EQ(m_window.MsUntilNextTimer(), 86400000u);  // VerCheck is on when not stored

    m_bDevicePresent = true;
    m_device.Answer(DeviceAnswer("110414"));
    m_controller.ManualCheck();
    ASSERT_TRUE(PumpUntil([&] { return !m_view.dialogs.empty(); }));
    EXPECT_EQ(m_view.dialogs, std::vector<std::string>{"V07R22C"});
    m_device.Answer(DeviceAnswer("110805"));
    check();
    EXPECT_EQ(m_view.messages.back(), IDS_UP_TO_DATE);
    EXPECT_EQ(m_view.args.back(), "V07R22C");
}

// Nothing takes a trigger while the threads are down: waiting for one would hang the window.
TEST_F(UpdateJobs, ATriggerWhileTheThreadsAreDownReturnsAtOnceAndSaysSoOnce) {
    m_worker.StopThreads();
    testing::internal::CaptureStderr();
    std::promise<void> returned;
    bool bVersionStarted = true;
    std::thread caller([&] {
        m_worker.TriggerNotification();
        bVersionStarted = m_worker.TriggerVersionCheck();
        m_controller.ManualCheck();
        m_worker.TriggerNotification();
        returned.set_value();
    });
    const bool bReturned = returned.get_future().wait_for(std::chrono::milliseconds(kGuardMs)) ==
                           std::future_status::ready;
    if (!bReturned) {
        m_worker.StartThreads(m_window.Handle());  // lets the caller go, so the test can end
    }
    caller.join();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(bReturned);
    EXPECT_FALSE(bVersionStarted);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_THAT(said, HasSubstr("not running"));
}

TEST_F(UpdateJobs, ADeviceThatStopsMidAnswerCountsAsOlderWithinAFewReads) {
    m_device.Answer(DeviceAnswer("110414").substr(0, 9));
    DeviceAccess devices{[this] { return std::vector<std::string>{m_device.Path()}; }, &m_clock};
    EXPECT_TRUE(devices.IsDeviceOlder("000001"));
    std::uint64_t waited = 0;
    for (const std::uint32_t ms : m_clock.Sleeps()) {
        waited += ms;
    }
    EXPECT_LE(waited, 1000u);

    m_device.Answer(
        DeviceAnswer("11\x01"
                     "414"));
    EXPECT_EQ(ReadDeviceDateCode(m_device.Path(), m_clock), "11 414");
}

// Nothing of the HTTP library's own may reach the server: it sees exactly the headers the two
// requests are made of.
TEST(ManagerRequests, CarryOnlyTheirOwnHeaders) {
    testsupport::TempDir root;
    testsupport::IsolatedRoot isolated{root.Path()};
    net_test::Serverd server;
    const std::optional<net::UpdateServer> target =
        net::ParseUpdateServer("127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(target);

    EXPECT_EQ(
        SendNotification(*target, "serial=1&version=0000.0001.01&date=20260101000000", nullptr),
        200);
    EXPECT_THAT(
        server.Line(),
        HasSubstr(R"("header_names":["Content-Length","Content-Type","Host","User-Agent"])"));
    EXPECT_EQ(FetchVersionPage(*target, nullptr).status, 200);
    EXPECT_THAT(server.Line(),
                HasSubstr(R"("header_names":["Authorization","Host","User-Agent"])"));
}

TEST(VersionPage, ValuesAreTheFixedWidthsAfterTheirMarkersInAnyOrder) {
    VersionPage page;
    ASSERT_TRUE(ParseVersionPage("VerName=V07R22C VerDate=110805", page));
    EXPECT_EQ(page.strDateCode, "110805");
    EXPECT_EQ(page.strName, "V07R22C");
    ASSERT_TRUE(ParseVersionPage("VerDate=1108&VerName=V07R22C", page));
    EXPECT_EQ(page.strDateCode, "1108&V");
    EXPECT_EQ(DateCodeNumber(page.strDateCode), 1108);
    EXPECT_FALSE(ParseVersionPage("VerDate=110805&VerName=V07", page));
    EXPECT_TRUE(page.strDateCode.empty());
    EXPECT_EQ(FormatNotifyVersion("Ver1234"), "0000.0001234");
    EXPECT_EQ(FormatNotifyVersion("Ver"), "0000.0000000");
}

}  // namespace

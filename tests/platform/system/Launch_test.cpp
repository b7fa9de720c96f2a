#include "platform/system/Launch.h"

#include <gtest/gtest.h>

#include "tests/platform/system/SystemTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeLogin.h"
#include "tests/support/PrivateBus.h"

namespace sys = platform::system;
namespace fs = std::filesystem;
using systemtest::ForOtherUser;
using systemtest::kHelper;
using systemtest::ReadText;
using testsupport::ScopedEnv;

namespace {

// The helper writes its report by rename, so a file that exists is complete.
std::string WaitForReport(const fs::path& file) {
    EXPECT_TRUE(testsupport::Eventually([&] { return fs::exists(file); }, 20000)) << file;
    return ReadText(file);
}

}  // namespace

TEST(StartProgram, ArgumentsReachTheProgramLiterallyAndNoShellSeesThem) {
    testsupport::TempDir dir;
    const fs::path report = dir.Path() / "report";
    const std::vector<std::string> tricky = {"1;touch X",    "$(touch Y)", "`touch Z`", "a b",
                                             "\"q\" 'r' \\", "%1 *",       ""};
    std::vector<std::string> args = {"argv", report.string()};
    args.insert(args.end(), tricky.begin(), tricky.end());

    const auto result = sys::StartProgram(
        kHelper, args, {.show = sys::Show::kMinimized, .keepRoot = true, .workingDir = dir.Path()});
    ASSERT_TRUE(result.Started()) << result.code;
    EXPECT_GT(result.code, 32);
    EXPECT_GT(result.pid, 0);

    const std::string text = WaitForReport(report);
    std::string expected;
    for (const auto& arg : tricky) {
        expected += "arg=" + arg + "\n";
    }
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_NE(text.find("ZR40_SHOW=minimized\n"), std::string::npos);
    EXPECT_NE(text.find("cwd=" + dir.Path().string() + "\n"), std::string::npos);
    for (const char* made : {"X", "Y", "Z"}) {
        EXPECT_FALSE(fs::exists(dir.Path() / made)) << made;
    }
}

TEST(StartProgram, WhatCannotBeExecutedIsReportedAsNotStarted) {
    testsupport::TempDir dir;
    std::ofstream(dir.Path() / "plain.txt") << "not a program\n";
    fs::create_directory(dir.Path() / "folder");

    EXPECT_EQ(sys::StartProgram(dir.Path() / "missing", {}).code, sys::kFileNotFound);
    EXPECT_EQ(sys::StartProgram("zr40-no-such-program", {}).code, sys::kFileNotFound);
    EXPECT_EQ(sys::StartProgram(dir.Path() / "plain.txt", {}).code, sys::kAccessDenied);
    EXPECT_EQ(sys::StartProgram(dir.Path() / "folder", {}).code, sys::kAccessDenied);
    EXPECT_EQ(sys::StartProgram(dir.Path() / "plain.txt/x", {}).code, sys::kPathNotFound);
    // A working folder that is not there fails the start, it does not start elsewhere.
    EXPECT_EQ(
        sys::StartProgram(
            kHelper, {"argv", (dir.Path() / "r").string()},
            {.show = sys::Show::kNormal, .keepRoot = false, .workingDir = dir.Path() / "gone"})
            .code,
        sys::kFileNotFound);
    EXPECT_FALSE(fs::exists(dir.Path() / "r"));
}

TEST_F(ForOtherUser, RootStartsProgramsAsThePersonItActsForUnlessAskedToKeepRoot) {
    if (!Root()) {
        GTEST_SKIP() << "needs root";
    }
    const fs::path out = root_.Path() / "out";
    fs::create_directory(out);
    fs::permissions(out, fs::perms::all);
    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnv display("DISPLAY", ":7");

    ASSERT_TRUE(sys::StartProgram(kHelper, {"argv", (out / "user").string()}).Started());
    const std::string user = WaitForReport(out / "user");
    EXPECT_NE(user.find("uid=4321\n"), std::string::npos) << user;
    EXPECT_NE(user.find("HOME=/home/zrtester\n"), std::string::npos);
    EXPECT_NE(user.find("USER=zrtester\n"), std::string::npos);
    EXPECT_NE(user.find("XDG_RUNTIME_DIR=/run/user/4321\n"), std::string::npos);
    EXPECT_NE(user.find("DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4321/bus\n"),
              std::string::npos);
    EXPECT_NE(user.find("DISPLAY=:7\n"), std::string::npos);
    EXPECT_NE(user.find("ZR40_SHOW=normal\n"), std::string::npos);

    ASSERT_TRUE(sys::StartProgram(kHelper, {"argv", (out / "root").string()},
                                  {.show = sys::Show::kNormal, .keepRoot = true, .workingDir = {}})
                    .Started());
    EXPECT_NE(WaitForReport(out / "root").find("uid=0\n"), std::string::npos);
}

// Under pkexec root has the display of the terminal it was started from and nothing else of the
// session; a program it starts for the user joins the user's graphical session as logind knows
// it, with the bus and compositor sockets of the user's runtime directory.
TEST_F(ForOtherUser, ProgramsStartedForTheUserJoinTheUsersGraphicalSession) {
    if (!Root()) {
        GTEST_SKIP() << "needs root";
    }
    using testsupport::FakeSession;
    const fs::path out = root_.Path() / "out";
    fs::create_directory(out);
    fs::permissions(out, fs::perms::all);
    const fs::path runtime = root_.Path() / "run/user" / std::to_string(systemtest::kOtherUid);
    fs::create_directories(runtime);
    for (const char* socket : {"bus", "wayland-1", "wayland-0"}) {
        ASSERT_TRUE(testsupport::MakeSocketFile(runtime / socket)) << socket;
    }
    std::ofstream(runtime / "wayland-00");  // not a socket
    ScopedEnv display("DISPLAY", ":3");
    ScopedEnv xauthority("XAUTHORITY", "/home/zrtester/.Xauthority");
    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    ScopedEnv noType("XDG_SESSION_TYPE", nullptr);

    const auto startWith = [&](const std::vector<FakeSession>& sessions, const char* report) {
        testsupport::PrivateBus bus;
        testsupport::FakeLogin login(sessions);
        testsupport::BusService service(bus.Address(), [&](sd_bus* b) { login.Serve(b); });
        EXPECT_TRUE(service.Ok());
        ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
        EXPECT_TRUE(sys::StartProgram(kHelper, {"argv", (out / report).string()}).Started());
        return WaitForReport(out / report);
    };
    constexpr uid_t kUid = systemtest::kOtherUid;
    const FakeSession tty{.id = "c1", .uid = kUid};
    const FakeSession greeter{
        .id = "c2", .uid = kUid, .type = "x11", .display = ":0", .sessionClass = "greeter"};
    const FakeSession other{.id = "4", .uid = kUid + 1, .type = "x11", .display = ":9"};
    const FakeSession x11{
        .id = "5", .uid = kUid, .type = "x11", .display = ":1", .state = "online", .active = false};
    const FakeSession remote{
        .id = "6", .uid = kUid, .type = "x11", .display = ":10", .remote = true};
    FakeSession remoteIdle = remote;
    remoteIdle.state = "online";
    remoteIdle.active = false;
    const FakeSession wayland{.id = "7", .uid = kUid, .type = "wayland", .display = ":5"};

    const std::string common =
        "XDG_RUNTIME_DIR=/run/user/4321\n"
        "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4321/bus\n";
    std::string seen = startWith({tty, greeter, other, x11, remote, wayland}, "wayland");
    EXPECT_NE(seen.find("uid=4321\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find(common + "DISPLAY=:5\nWAYLAND_DISPLAY=wayland-0\n"
                                 "XAUTHORITY=/home/zrtester/.Xauthority\n"
                                 "XDG_SESSION_TYPE=wayland\n"),
              std::string::npos)
        << seen;

    // No active session of the user's class: the local one comes before the remote one.
    seen = startWith({tty, greeter, other, remoteIdle, x11}, "x11");
    EXPECT_NE(seen.find(common + "DISPLAY=:1\nWAYLAND_DISPLAY=(unset)\n"
                                 "XAUTHORITY=/home/zrtester/.Xauthority\n"
                                 "XDG_SESSION_TYPE=x11\n"),
              std::string::npos)
        << seen;

    // No graphical session of the user's: what pkexec kept stands.
    seen = startWith({tty, other}, "tty");
    EXPECT_NE(seen.find(common + "DISPLAY=:3\nWAYLAND_DISPLAY=(unset)\n"
                                 "XAUTHORITY=/home/zrtester/.Xauthority\n"
                                 "XDG_SESSION_TYPE=(unset)\n"),
              std::string::npos)
        << seen;
}

TEST(OpenUrl, OnlyWebAddressesAndEachAsOneArgumentOfTheOpener) {
    for (const char* refused : {"file:///etc/passwd", "javascript:alert(1)", "http://", "ftp://x",
                                "-http://x", "http://a b", "http://a\nb", "xhttp://a"}) {
        EXPECT_EQ(sys::OpenUrl(refused).code, sys::kNoAssociation) << refused;
    }

    testsupport::TempDir dir;
    fs::copy_file(kHelper, dir.Path() / "xdg-open");
    const fs::path out = dir.Path() / "opened";
    ScopedEnv path("PATH", dir.Path().c_str());
    ScopedEnv report("ZR_TEST_OUT", out.c_str());
    ScopedEnv asMyself("SUDO_UID", nullptr);
    ScopedEnv asMyself2("PKEXEC_UID", nullptr);
    const std::string url = "HTTPS://example.com/update/?q=$(id)&a=1;b";
    ASSERT_TRUE(sys::OpenUrl(url).Started());
    EXPECT_EQ(WaitForReport(out), url + "\n");
}

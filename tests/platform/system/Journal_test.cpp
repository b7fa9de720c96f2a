// The journal as journald receives it: the test stands in for journald on its socket, inside a
// mount namespace of its own so that the machine's /run is left alone.
#include "platform/system/Journal.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace sys = platform::system;

// In the child: 0 when journald would have received exactly what the caller gave, 2 when the
// namespace cannot be had, 1 otherwise.
int SendAndReceive() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
        return 2;
    }
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/run/systemd/journal/socket");
    if (sock < 0 || ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return 1;
    }
    sys::Journal("ZR40_SWUpdate", LOG_ERR, "firmware write failed",
                 {{"ZR40_EXEC_IDX", "12"}, {"ZR40_ERR_CONTENTS", "-2"}});
    char buffer[4096];
    const ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
        return 1;
    }
    const std::string entry(buffer, static_cast<std::size_t>(n));
    const std::string expected =
        "MESSAGE=firmware write failed\nPRIORITY=3\nSYSLOG_IDENTIFIER=ZR40_SWUpdate\n"
        "ZR40_EXEC_IDX=12\nZR40_ERR_CONTENTS=-2\n";
    if (entry != expected) {
        std::fprintf(stderr, "journal entry:\n%s", entry.c_str());
        return 1;
    }
    return 0;
}

TEST(Journal, AnEntryReachesJournaldWithItsFieldsAndNoJournalIsNoFailure) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::_exit(SendAndReceive());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "no mount namespace here (needs root)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // This process has no journald socket of its own in tests: sending is silent.
    sys::Journal("ZR40_SWUpdate", LOG_NOTICE, "nobody listens");
}

}  // namespace

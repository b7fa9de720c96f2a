// Started by the proxy tests as another process: runs the update tool's reachability test of the
// configured server and prints "reachable" or "unreachable".
//   zr-reach-probe root        with an effective user id of 0: as is when root, else in a user
//                              namespace of its own; exit 77 when neither can be had
//   zr-reach-probe user <uid>  as that user (dropped from root), or as is when not root
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/net/Reachability.h"
#include "platform/net/UpdateServer.h"

namespace {

constexpr int kCannot = 77;

bool WriteFile(const char* path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

bool BecomeRoot() {
    if (::geteuid() == 0) {
        return true;
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    return ::unshare(CLONE_NEWUSER) == 0 && WriteFile("/proc/self/setgroups", "deny") &&
           WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") && ::geteuid() == 0;
}

bool BecomeUser(uid_t uid) {
    if (::geteuid() != 0) {
        return true;
    }
    const passwd* account = ::getpwuid(uid);
    const gid_t gid = account != nullptr ? account->pw_gid : static_cast<gid_t>(uid);
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
           ::setresuid(uid, uid, uid) == 0 && ::geteuid() == uid;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    bool ok = false;
    if (mode == "root" && argc == 2) {
        ok = BecomeRoot();
    } else if (mode == "user" && argc == 3) {
        ok = BecomeUser(static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10)));
    } else {
        std::fprintf(stderr, "usage: zr-reach-probe root | user <uid>\n");
        return 2;
    }
    if (!ok) {
        std::perror("zr-reach-probe");
        return kCannot;
    }
    const bool reachable =
        platform::net::IsServerReachable(platform::net::ConfiguredUpdateServer());
    std::printf("%s\n", reachable ? "reachable" : "unreachable");
    return 0;
}

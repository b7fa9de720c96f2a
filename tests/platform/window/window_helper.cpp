// The other process of the window tests and the benchmark.
//   window_helper serve TITLE REPLY   a window titled TITLE; every message but 0x0402 goes back,
//                                     number + 1, to the windows titled REPLY; 0x0402 ends it.
//                                     Prints "ready" once the window can be found.
//   window_helper post TITLE MSG UID  as user UID, posts MSG to the windows titled TITLE; the
//                                     exit code is how many got it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/window/Window.h"

namespace window = platform::window;

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4) {
        const std::string reply = argv[3];
        window::Window* self = nullptr;
        window::Window w(argv[2], [&](const window::Message& m) -> std::intptr_t {
            if (m.message == 0x0402) {
                self->PostQuit(0);
            } else {
                window::PostToWindowsTitled(reply, {m.message + 1, m.wParam, m.lParam, {}});
            }
            return 0;
        });
        self = &w;
        std::printf("ready\n");
        std::fflush(stdout);
        return w.Run();
    }
    if (mode == "post" && argc == 5) {
        const uid_t uid = static_cast<uid_t>(std::strtoul(argv[4], nullptr, 10));
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            return 100;
        }
        const auto msg = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0));
        return window::PostToWindowsTitled(argv[2], {msg, 0, 0, {}});
    }
    std::fprintf(stderr, "usage: window_helper serve TITLE REPLY | post TITLE MSG UID\n");
    return 2;
}

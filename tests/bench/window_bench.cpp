// One post to a window of another process by title, measured as a round trip: this process posts
// to the peer's window, the peer posts back to ours by title. Prints the median and the 99th
// percentile; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/window/Window.h"
#include "tests/platform/window/WindowTestSupport.h"
#include "tests/support/TempDir.h"

namespace window = platform::window;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    testsupport::TempDir root("zr40-window-bench-");
    ::setenv(platform::paths::kRootVariable, root.Path().c_str(), 1);
    ::unsetenv("XDG_RUNTIME_DIR");

    int replies = 0;
    window::Window me("bench reply", [&](const window::Message&) -> std::intptr_t {
        ++replies;
        return 0;
    });
    windowtest::Helper peer({"serve", "bench peer", "bench reply"});
    if (!me.Published() || !peer.Ready()) {
        std::fprintf(stderr, "window_bench: no peer\n");
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    std::vector<double> us;
    const int warmUp = 100;
    for (int i = 0; i < warmUp + rounds; ++i) {
        const int before = replies;
        const Clock::time_point start = Clock::now();
        if (window::PostToWindowsTitled("bench peer", {0x0400, 0, 0, {}}) != 1 ||
            !windowtest::PumpUntil(me, [&] { return replies > before; })) {
            std::fprintf(stderr, "window_bench: round %d lost\n", i);
            return 1;
        }
        if (i >= warmUp) {
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    window::PostToWindowsTitled("bench peer", {0x0402, 0, 0, {}});
    peer.Wait();

    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf(
        "cross-process post by title, round trip of two posts (%d rounds): "
        "median %.1f us, 99th percentile %.1f us\n",
        rounds, at(0.5), at(0.99));
    return 0;
}

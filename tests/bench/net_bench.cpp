// Requests as the update manager makes them, against zr40-serverd on 127.0.0.1: one connection
// per request. Prints the median and the 99th percentile of the round trip.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/net/Http.h"
#include "platform/net/UpdateServer.h"
#include "tests/platform/net/ServerdRig.h"

namespace net = platform::net;

namespace {

void Measure(const char* what, int runs, const std::function<bool()>& call) {
    std::vector<double> us;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        failed += !call();
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(us.begin(), us.end());
    std::printf("%-28s median %8.1f us   p99 %8.1f us   (%d runs, %d failed)\n", what,
                us[us.size() / 2], us[us.size() * 99 / 100], runs, failed);
}

}  // namespace

int main() {
    net_test::Serverd server({"--log", "/dev/null"});
    if (server.Port() == 0) {
        std::fprintf(stderr, "zr40-serverd did not start\n");
        return 1;
    }
    net::Request notify;
    notify.method = "POST";
    notify.url = server.Url(net::kNotifyPath);
    notify.headers = {"Content-Type: application/x-www-form-urlencoded"};
    notify.body = "serial=356789012345678&version=0000.0001234&date=20261207120000";
    notify.proxy = "";
    net::Request page;
    page.url = server.Url(net::kVersionPagePath);
    page.basicAuth = net::Credentials{net::kVersionPageUser, net::kVersionPagePassword};
    page.proxy = "";
    Measure("notification POST", 500, [&] { return net::Fetch(notify).status == 200; });
    Measure("version page GET", 500, [&] { return net::Fetch(page).status == 200; });
    return 0;
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/net/Proxy.h"
#include "platform/net/Reachability.h"
#include "tests/platform/net/ServerdRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Routes.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace net = platform::net;

namespace {

struct Env {
    std::map<std::string, std::string> values;
    std::function<const char*(const char*)> Get() const {
        return [this](const char* name) -> const char* {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : found->second.c_str();
        };
    }
};

net::ProxyLookup Answering(std::optional<std::vector<std::string>> answer) {
    return [answer](const std::string&) { return answer; };
}

TEST(Proxy, TheVariablesDecideWithoutAnAnswerFromTheUsersSettings) {
    Env env{{{"http_proxy", "proxy.corp:3128"},
             {"HTTPS_PROXY", "https://secure.corp:443"},
             {"no_proxy", "localhost, .example.jp"}}};
    const auto http = net::ChooseProxy("http://update.carrier.jp/x", {}, env.Get());
    EXPECT_EQ(http.proxy, "http://proxy.corp:3128");
    EXPECT_EQ(http.Host(), "proxy.corp");
    EXPECT_EQ(net::ChooseProxy("https://update.carrier.jp/x", {}, env.Get()).proxy,
              "https://secure.corp:443");
    EXPECT_TRUE(net::ChooseProxy("http://update.example.jp:8080/x", {}, env.Get()).Direct());
    EXPECT_TRUE(net::ChooseProxy("http://example.jp/x", {}, env.Get()).Direct());
    EXPECT_FALSE(net::ChooseProxy("http://notexample.jp/x", {}, env.Get()).Direct());
    // The upper-case HTTP_PROXY can be planted by a request header in CGI programs.
    EXPECT_TRUE(
        net::ChooseProxy("http://a.jp/", {}, Env{{{"HTTP_PROXY", "evil:1"}}}.Get()).Direct());
    EXPECT_EQ(
        net::ChooseProxy("http://a.jp/", {}, Env{{{"ALL_PROXY", "socks5h://s:1080"}}}.Get()).proxy,
        "socks5h://s:1080");
    // libproxy with nothing usable leaves the choice to the variables.
    EXPECT_EQ(
        net::ChooseProxy("http://a.jp/", Answering(std::vector<std::string>{"wpad://"}), env.Get())
            .proxy,
        "http://proxy.corp:3128");
}

TEST(Proxy, TheUsersSettingsComeFirstAndAFailedLookupIsNoDirectConnection) {
    Env env{{{"http_proxy", "proxy.corp:3128"}}};
    const auto pac = net::ChooseProxy(
        "http://a.jp/", Answering(std::vector<std::string>{"http://[fd00::1]:8080", "direct://"}),
        env.Get());
    EXPECT_EQ(pac.proxy, "http://[fd00::1]:8080");
    EXPECT_EQ(pac.Host(), "fd00::1");
    const auto direct = Answering(std::vector<std::string>{"direct://"});
    EXPECT_TRUE(net::ChooseProxy("http://a.jp/", direct, Env{}.Get()).Direct());
    // libproxy ignores a variable without a scheme; curl and wget take it.
    EXPECT_EQ(net::ChooseProxy("http://a.jp/", direct, env.Get()).proxy, "http://proxy.corp:3128");
    const auto failed = net::ChooseProxy("http://a.jp/", Answering(std::nullopt), env.Get());
    EXPECT_TRUE(failed.failed);
    EXPECT_FALSE(failed.Direct());
}

TEST(Reachability, ResolvesTheFirstHopOnlyWithAConnection) {
    const net::UpdateServer server{"http", "update.carrier.jp", 80};
    bool connected = false;
    net::ProxyChoice proxy;
    std::vector<std::string> asked;
    std::string urlAsked;
    net::ReachabilityProbe probe{[&] { return connected; },
                                 [&](const std::string& host) {
                                     asked.push_back(host);
                                     return host != "unknown.corp";
                                 },
                                 [&](const std::string& url) {
                                     urlAsked = url;
                                     return proxy;
                                 }};
    EXPECT_FALSE(net::IsServerReachable(server, probe));
    EXPECT_TRUE(asked.empty());

    connected = true;
    EXPECT_TRUE(net::IsServerReachable(server, probe));
    EXPECT_EQ(urlAsked, "http://update.carrier.jp:80/update/telmirato/zr-40/update1/notify");
    proxy.proxy = "http://proxy.corp:3128";
    EXPECT_TRUE(net::IsServerReachable(server, probe));
    proxy.proxy = "http://unknown.corp:3128";
    EXPECT_FALSE(net::IsServerReachable(server, probe));
    EXPECT_EQ(asked, (std::vector<std::string>{"update.carrier.jp", "proxy.corp", "unknown.corp"}));

    proxy.failed = true;
    EXPECT_FALSE(net::IsServerReachable(server, probe));
    EXPECT_EQ(asked.size(), 3u);
}

TEST(Reachability, AConnectionIsADefaultRouteThroughAnInterfaceThatIsUp) {
    testsupport::TempDir dir;
    const auto v4 = dir.Path() / "route";
    const auto v6 = dir.Path() / "ipv6_route";
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    std::ofstream(v4) << header << "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
                      << "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    std::ofstream(v6)
        << "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
           "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n";
    std::set<std::string> up{"lo", "eth0", "wwan0"};
    const auto isUp = [&](const std::string& iface) { return up.count(iface) > 0; };
    EXPECT_FALSE(net::HasDefaultRoute(v4, v6, isUp));

    std::ofstream(v4, std::ios::app)
        << "wwan0\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_TRUE(net::HasDefaultRoute(v4, v6, isUp));
    up.erase("wwan0");
    EXPECT_FALSE(net::HasDefaultRoute(v4, v6, isUp));

    std::ofstream(v6, std::ios::app)
        << "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
           "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 eth0\n";
    EXPECT_TRUE(net::HasDefaultRoute(v4, v6, isUp));
    EXPECT_FALSE(net::HasDefaultRoute(dir.Path() / "none", dir.Path() / "none6", isUp));
}

// The update tool runs as root for a user whose settings may name a configuration script; root
// must never fetch, let alone run, it. The same settings as the user do reach libproxy.
TEST(Reachability, AsRootTheUsersConfigurationScriptIsNeverFetched) {
    testsupport::TempDir root;
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);  // the user's probe reads the routes too
    if (!testsupport::WriteDefaultRoute(root.Path())) {
        GTEST_SKIP() << "no network interface is up";
    }
    const std::filesystem::path log = root.Path() / "pac.log";
    net_test::Serverd pac({"--log", log.string()});
    ASSERT_GT(pac.Port(), 0);
    const std::string script = "pac+" + pac.Url("/proxy.pac");
    testsupport::ScopedEnv zrRoot("ZR40_ROOT", root.Path().c_str());
    testsupport::ScopedEnv server("ZR40_UPDATE_SERVER", "http://update.zr40.test");
    testsupport::ScopedEnv user("PKEXEC_UID", "65534");
    testsupport::ScopedEnv sudo("SUDO_UID", nullptr);
    testsupport::ScopedEnv http("http_proxy", script.c_str());
    testsupport::ScopedEnv noProxy("no_proxy", nullptr);
    testsupport::ScopedEnv noProxyUpper("NO_PROXY", nullptr);
    const auto probe = [](std::vector<std::string> args) {
        args.insert(args.begin(), ZR_REACH_PROBE);
        testsupport::ChildProcess child(args, {});
        const auto status = child.Wait(testsupport::In(std::chrono::milliseconds(30000)));
        return status.value_or(-1);
    };
    const auto fetched = [&] {
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("/proxy.pac") != std::string::npos) {
                return true;
            }
        }
        return false;
    };

    const int asRoot = probe({"root"});
    if (asRoot == 77) {
        GTEST_SKIP() << "no way to run with an effective user id of 0 here";
    }
    ASSERT_EQ(asRoot, 0);
    EXPECT_FALSE(fetched());

    ASSERT_EQ(probe({"user", "65534"}), 0);
    EXPECT_TRUE(fetched());
}

}  // namespace

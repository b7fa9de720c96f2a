#include "platform/net/UpdateServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/paths/Paths.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace net = platform::net;
using testsupport::ScopedEnv;

namespace {

TEST(UpdateServer, SchemesHostsAndPortsAsAnAdministratorWouldWriteThem) {
    struct Case {
        const char* text;
        const char* url;
    };
    for (const Case& c : {Case{"update.example.jp", "http://update.example.jp:80/x"},
                          Case{"HTTPS://update.example.jp/", "https://update.example.jp:443/x"},
                          Case{"http://127.0.0.1:8080", "http://127.0.0.1:8080/x"},
                          Case{"https://[::1]:8443", "https://[::1]:8443/x"}}) {
        const auto server = net::ParseUpdateServer(c.text);
        ASSERT_TRUE(server) << c.text;
        EXPECT_EQ(server->Url("/x"), c.url);
    }
    for (const char* bad : {"", "ftp://host", "http://", "host:", "host:0", "host:65536",
                            "http://user@host", "host/update", "host;touch x", "[::1", "[::1]x"}) {
        EXPECT_FALSE(net::ParseUpdateServer(bad)) << bad;
    }
}

TEST(UpdateServer, TheVariableOverridesTheFileWhichOverridesTheDefault) {
    testsupport::TempDir root;
    ScopedEnv rootEnv(platform::paths::kRootVariable, root.Path().c_str());
    ScopedEnv variable(net::kUpdateServerVariable, nullptr);
    EXPECT_EQ(net::ConfiguredUpdateServer().Url(""), "http://update-server.zr40.invalid:80");

    std::filesystem::create_directories(root.Path() / "etc/zr40");
    std::ofstream(root.Path() / "etc/zr40/update-server") << "https://carrier.example\r\n";
    EXPECT_EQ(net::ConfiguredUpdateServer().Url(""), "https://carrier.example:443");

    ScopedEnv set(net::kUpdateServerVariable, "127.0.0.1:5000");
    EXPECT_EQ(net::ConfiguredUpdateServer().Url(""), "http://127.0.0.1:5000");
    ScopedEnv invalid(net::kUpdateServerVariable, "gopher://x");
    EXPECT_EQ(net::ConfiguredUpdateServer().host, "update-server.zr40.invalid");
}

}  // namespace

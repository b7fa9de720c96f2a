// Where the carrier's update server is: the one configuration value of the network side.
//
// ZR40_UPDATE_SERVER, when set and not empty, else the first line of /etc/zr40/update-server
// (relocated with ZR40_ROOT), else kDefaultUpdateServer. The text is "scheme://host[:port]" or
// "host[:port]"; the scheme is http (port 80 unless given) or https (port 443 unless given).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::net {

inline constexpr const char* kUpdateServerVariable = "ZR40_UPDATE_SERVER";
inline constexpr const char* kUpdateServerFile = "/etc/zr40/update-server";
// A name that never resolves: a PC without a configured server reports the server unreachable
// instead of sending reports to a stranger.
inline constexpr const char* kDefaultUpdateServer = "http://update-server.zr40.invalid";

// What the server offers, below the configured server.
inline constexpr const char* kNotifyPath = "/update/telmirato/zr-40/update1/notify";
inline constexpr const char* kVersionPagePath = "/telmirato/app/update/zr-40/version.html";
inline constexpr const char* kDownloadPagePath = "/telmirato/update/zr-40/";
inline constexpr const char* kVersionPageUser = "zr-40_norvale";
inline constexpr const char* kVersionPagePassword = "gate@5830";

struct UpdateServer {
    std::string scheme;  // "http" or "https"
    std::string host;    // a name, an IPv4 address, or an IPv6 address without brackets
    std::uint16_t port = 80;

    // "http://host:port" with the path appended (it starts with '/'); brackets around IPv6.
    std::string Url(std::string_view path) const;
};

// Nothing for a text that is not a valid server: unknown scheme, empty host, user info, a path,
// characters outside a host name, or a port outside 1-65535.
std::optional<UpdateServer> ParseUpdateServer(std::string_view text);

// The configured server; an invalid setting is reported once on stderr and the default is used.
UpdateServer ConfiguredUpdateServer();

}  // namespace platform::net

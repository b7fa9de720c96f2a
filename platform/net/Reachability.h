// Whether the update server can be reached: there is a connection and the name that the first
// hop needs resolves (the proxy's when a proxy applies, else the server's).
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/net/Proxy.h"
#include "platform/net/UpdateServer.h"

namespace platform::net {

// A default route (IPv4 or IPv6) through an interface other than loopback that is up. The
// route tables are /proc/net/route and /proc/net/ipv6_route under ZR40_ROOT.
bool HasConnection();
// The same over given route tables, with the interface state from interfaceUp.
bool HasDefaultRoute(const std::filesystem::path& routes, const std::filesystem::path& ipv6Routes,
                     const std::function<bool(const std::string& iface)>& interfaceUp);
// A non-loopback interface of this name is up (getifaddrs).
bool InterfaceUp(const std::string& iface);

// getaddrinfo finds an address for host.
bool Resolves(const std::string& host);

struct ReachabilityProbe {
    std::function<bool()> connected = HasConnection;
    std::function<bool(const std::string& host)> resolves = Resolves;
    std::function<ProxyChoice(const std::string& url)> proxyFor = ProxyFor;
};

// The proxy is the one for the notification URL.
bool IsServerReachable(const UpdateServer& server, const ReachabilityProbe& probe = {});

}  // namespace platform::net

#include "platform/net/Reachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "platform/paths/Paths.h"

namespace platform::net {
namespace {

unsigned long Hex(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 16);
}

bool UsableRoute(const std::string& iface, unsigned long flags,
                 const std::function<bool(const std::string&)>& interfaceUp) {
    return iface != "lo" && (flags & RTF_UP) != 0 && (flags & RTF_REJECT) == 0 &&
           interfaceUp(iface);
}

}  // namespace

bool HasDefaultRoute(const std::filesystem::path& routes, const std::filesystem::path& ipv6Routes,
                     const std::function<bool(const std::string& iface)>& interfaceUp) {
    std::ifstream v4(routes);
    std::string line;
    std::getline(v4, line);  // column names
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refs, use, metric, mask;
        if (fields >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask &&
            Hex(destination) == 0 && Hex(mask) == 0 &&
            UsableRoute(iface, Hex(flags), interfaceUp)) {
            return true;
        }
    }
    std::ifstream v6(ipv6Routes);
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, length, source, sourceLength, hop, metric, refs, use, flags, iface;
        if (fields >> destination >> length >> source >> sourceLength >> hop >> metric >> refs >>
                use >> flags >> iface &&
            destination.find_first_not_of('0') == std::string::npos && Hex(length) == 0 &&
            UsableRoute(iface, Hex(flags), interfaceUp)) {
            return true;
        }
    }
    return false;
}

bool InterfaceUp(const std::string& iface) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool up = false;
    for (ifaddrs* a = list; a != nullptr && !up; a = a->ifa_next) {
        up = a->ifa_name != nullptr && iface == a->ifa_name && (a->ifa_flags & IFF_UP) != 0 &&
             (a->ifa_flags & IFF_LOOPBACK) == 0;
    }
    ::freeifaddrs(list);
    return up;
}

bool HasConnection() {
    return HasDefaultRoute(paths::Relocate("/proc/net/route"),
                           paths::Relocate("/proc/net/ipv6_route"), InterfaceUp);
}

bool Resolves(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    ::freeaddrinfo(found);
    return true;
}

bool IsServerReachable(const UpdateServer& server, const ReachabilityProbe& probe) {
    if (!probe.connected()) {
        return false;
    }
    const ProxyChoice proxy = probe.proxyFor(server.Url(kNotifyPath));
    if (proxy.failed) {
        return false;
    }
    return probe.resolves(proxy.Direct() ? server.host : proxy.Host());
}

}  // namespace platform::net

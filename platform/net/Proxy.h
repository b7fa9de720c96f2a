// Which proxy a request takes, from the user's settings.
//
// libproxy answers first (environment variables, desktop settings, automatic configuration
// scripts). When it is unavailable or names no proxy, the standard variables decide:
// http_proxy / https_proxy (HTTPS_PROXY) by the URL's scheme, else all_proxy (ALL_PROXY), with
// no_proxy (NO_PROXY) naming hosts that go direct. A failed libproxy lookup (a configuration
// script that could not be run) is a failure, not a direct connection. With an effective user id
// of 0 libproxy is never asked: only the variables decide.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net {

struct ProxyChoice {
    bool failed = false;
    std::string proxy;  // "" for a direct connection, else "scheme://host:port"

    bool Direct() const { return !failed && proxy.empty(); }
    // The proxy's host: what stands before the first ':' once the scheme is gone.
    std::string Host() const;
};

// The libproxy-style answer for a URL: proxy URLs in order of preference ("direct://" for
// none), or nothing when the lookup failed.
using ProxyLookup = std::function<std::optional<std::vector<std::string>>(const std::string& url)>;

// libproxy's answer; an empty function when libproxy cannot be set up.
ProxyLookup SystemProxyLookup();

// lookup may be empty; getenv reads the standard variables (tests pass their own).
ProxyChoice ChooseProxy(const std::string& url, const ProxyLookup& lookup,
                        const std::function<const char*(const char*)>& getenv);

// The choice for url with libproxy (not as root) and the process's environment.
ProxyChoice ProxyFor(const std::string& url);

// The host of an http(s) URL, without brackets around an IPv6 address.
std::string UrlHost(std::string_view url);

}  // namespace platform::net

#include "platform/net/Proxy.h"

#include <proxy.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace platform::net {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return out;
}

std::string_view Scheme(std::string_view url) {
    const auto sep = url.find("://");
    return sep == std::string_view::npos ? std::string_view() : url.substr(0, sep);
}

// host[:port] without user info, from a URL or a bare "host:port".
std::string_view Authority(std::string_view text) {
    if (const auto sep = text.find("://"); sep != std::string_view::npos) {
        text.remove_prefix(sep + 3);
    }
    text = text.substr(0, text.find_first_of("/?#"));
    if (const auto at = text.rfind('@'); at != std::string_view::npos) {
        text.remove_prefix(at + 1);
    }
    return text;
}

std::string HostOf(std::string_view authority) {
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        return std::string(
            authority.substr(1, close == std::string_view::npos ? close : close - 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

std::optional<std::string> Usable(const std::string& entry) {
    const std::string scheme = Lower(Scheme(entry));
    if (scheme == "socks") {
        return "socks5://" + entry.substr(entry.find("://") + 3);
    }
    for (const char* known : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) {
        if (scheme == known) {
            return entry;
        }
    }
    return std::nullopt;
}

bool Bypassed(const std::string& host, std::string_view list) {
    const std::string name = Lower(host);
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view entry = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) {
            entry.remove_prefix(1);
        }
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) {
            entry.remove_suffix(1);
        }
        if (entry == "*") {
            return true;
        }
        std::string pattern = Lower(HostOf(entry));
        if (!pattern.empty() && pattern.front() == '.') {
            pattern.erase(0, 1);
        }
        if (pattern.empty()) {
            continue;
        }
        if (name == pattern || (name.size() > pattern.size() && name.ends_with("." + pattern))) {
            return true;
        }
    }
    return false;
}

const char* Either(const std::function<const char*(const char*)>& getenv, const char* lower,
                   const char* upper) {
    const char* value = getenv(lower);
    if ((value == nullptr || *value == 0) && upper != nullptr) {
        value = getenv(upper);
    }
    return value != nullptr && *value != 0 ? value : nullptr;
}

}  // namespace

std::string ProxyChoice::Host() const {
    return HostOf(Authority(proxy));
}

std::string UrlHost(std::string_view url) {
    return HostOf(Authority(url));
}

ProxyLookup SystemProxyLookup() {
    // The factory loads libproxy's modules once; its lookups are serialised here.
    static std::mutex mutex;
    static pxProxyFactory* factory = px_proxy_factory_new();
    if (factory == nullptr) {
        return {};
    }
    return [](const std::string& url) -> std::optional<std::vector<std::string>> {
        std::lock_guard lock(mutex);
        char** proxies = px_proxy_factory_get_proxies(factory, url.c_str());
        if (proxies == nullptr) {
            return std::nullopt;
        }
        std::vector<std::string> answer;
        for (char** p = proxies; *p != nullptr; ++p) {
            answer.emplace_back(*p);
        }
        px_proxy_factory_free_proxies(proxies);
        return answer;
    };
}

ProxyChoice ChooseProxy(const std::string& url, const ProxyLookup& lookup,
                        const std::function<const char*(const char*)>& getenv) {
    if (lookup) {
        const auto answer = lookup(url);
        if (!answer) {
            return ProxyChoice{true, {}};
        }
        // "direct://" first is libproxy's answer for no settings too, and it ignores a variable
        // without a scheme ("proxy:3128") that curl and wget accept: the variables decide then.
        for (const std::string& entry : *answer) {
            if (Lower(entry) == "direct://") {
                break;
            }
            if (auto proxy = Usable(entry)) {
                return ProxyChoice{false, *proxy};
            }
        }
    }
    if (const char* list = Either(getenv, "no_proxy", "NO_PROXY");
        list != nullptr && Bypassed(UrlHost(url), list)) {
        return {};
    }
    // Like curl, only the lower-case http_proxy: HTTP_PROXY may come from a CGI request header.
    const std::string scheme = Lower(Scheme(url));
    const char* value = scheme == "https" ? Either(getenv, "https_proxy", "HTTPS_PROXY")
                                          : Either(getenv, "http_proxy", nullptr);
    if (value == nullptr) {
        value = Either(getenv, "all_proxy", "ALL_PROXY");
    }
    if (value == nullptr) {
        return {};
    }
    std::string proxy = value;
    if (proxy.find("://") == std::string::npos) {
        proxy = "http://" + proxy;
    }
    if (Lower(proxy) == "direct://" || HostOf(Authority(proxy)).empty()) {
        return {};
    }
    return ProxyChoice{false, proxy};
}

ProxyChoice ProxyFor(const std::string& url) {
    const auto getenv = [](const char* name) { return std::getenv(name); };
    // A root process (the update tool, acting for a user) never makes libproxy's factory: it
    // would fetch and run the configuration script that the user's settings name, and load
    // modules from where the environment points, all as root. The variables are all root goes
    // by; the manager, which does the sending, asks libproxy as the user.
    if (::geteuid() == 0) {
        return ChooseProxy(url, {}, getenv);
    }
    static const ProxyLookup lookup = SystemProxyLookup();
    return ChooseProxy(url, lookup, getenv);
}

}  // namespace platform::net

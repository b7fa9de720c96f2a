#include "platform/net/UpdateServer.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/paths/Paths.h"

namespace platform::net {
namespace {

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

std::optional<std::string> ConfiguredText() {
    if (const char* value = std::getenv(kUpdateServerVariable); value != nullptr && *value != 0) {
        return std::string(value);
    }
    std::ifstream in(paths::Relocate(kUpdateServerFile));
    std::string line;
    if (in && std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (!line.empty()) {
            return line;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string UpdateServer::Url(std::string_view path) const {
    std::string url = scheme + "://";
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    url += ":" + std::to_string(port);
    url += path;
    return url;
}

std::optional<UpdateServer> ParseUpdateServer(std::string_view text) {
    UpdateServer server{"http", "", 80};
    if (const auto sep = text.find("://"); sep != std::string_view::npos) {
        server.scheme = std::string(text.substr(0, sep));
        for (char& c : server.scheme) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        text.remove_prefix(sep + 3);
    }
    if (server.scheme == "https") {
        server.port = 443;
    } else if (server.scheme != "http") {
        return std::nullopt;
    }
    if (!text.empty() && text.back() == '/') {
        text.remove_suffix(1);
    }
    std::string_view portText;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        server.host = std::string(text.substr(1, close - 1));
        const auto rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
        portText = rest.empty() ? rest : rest.substr(1);
        for (char c : server.host) {
            if (!(HostCharacter(c) || c == ':') || c == '_') {
                return std::nullopt;
            }
        }
    } else {
        const auto colon = text.find(':');
        server.host = std::string(text.substr(0, colon));
        portText = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
        for (char c : server.host) {
            if (!HostCharacter(c)) {
                return std::nullopt;
            }
        }
        if (colon != std::string_view::npos && portText.empty()) {
            return std::nullopt;
        }
    }
    if (server.host.empty()) {
        return std::nullopt;
    }
    if (!portText.empty()) {
        unsigned value = 0;
        const auto* end = portText.data() + portText.size();
        const auto [ptr, ec] = std::from_chars(portText.data(), end, value);
        if (ec != std::errc() || ptr != end || value == 0 || value > 65535) {
            return std::nullopt;
        }
        server.port = static_cast<std::uint16_t>(value);
    }
    return server;
}

UpdateServer ConfiguredUpdateServer() {
    const auto text = ConfiguredText();
    if (text) {
        if (auto server = ParseUpdateServer(*text)) {
            return *server;
        }
        static std::once_flag said;
        std::call_once(said, [&] {
            std::fprintf(stderr, "zr40: update server \"%s\" is not valid; using %s\n",
                         text->c_str(), kDefaultUpdateServer);
        });
    }
    return *ParseUpdateServer(kDefaultUpdateServer);
}

}  // namespace platform::net

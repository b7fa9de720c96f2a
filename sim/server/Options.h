// What zr40-serverd answers, from its command line and an optional script file.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sim::server {

struct Answer {
    enum class Kind { Status, Drop, Stall } kind = Kind::Status;
    int status = 200;
    int delayMs = 0;  // before answering
};

// "503,503@2000,drop,stall,200": one answer per request, the last one repeating.
std::optional<std::vector<Answer>> ParseAnswers(const std::string& text);

struct Options {
    int port = 0;  // 0: a free one
    std::string log;
    std::vector<Answer> notify{Answer{}};
    std::vector<Answer> version{Answer{}};
    std::vector<Answer> download{Answer{}};
    std::string versionFile;
    std::string verDate = "110805";
    std::string verName = "V07R22C";
    bool chunked = false;
    std::size_t chunkSize = 4096;
    std::string tlsCert;
    std::string tlsKey;
    bool help = false;
};

inline constexpr const char* kUsage =
    "usage: zr40-serverd [option...]\n"
    "The update server on 127.0.0.1: the notification, the version page (basic authentication)\n"
    "and the download page. Prints \"listening 127.0.0.1:PORT\" first, then one JSON line per\n"
    "request. Stops on SIGINT or SIGTERM.\n"
    "  --port N            port to listen on (default 0: a free one)\n"
    "  --log FILE          request lines go to FILE instead of standard output\n"
    "  --script FILE       more options, one per line (\"notify 503,200\"; # comments)\n"
    "  --notify LIST       answers to the notification POST (default 200)\n"
    "  --version LIST      answers to the version page once authenticated (default 200)\n"
    "  --download LIST     answers to the download page (default 200)\n"
    "                      LIST: comma-separated STATUS, STATUS@MS (after MS milliseconds),\n"
    "                      drop (close without answer), stall (headers, then nothing);\n"
    "                      one per request, the last one repeats\n"
    "  --version-file FILE body of the version page\n"
    "  --ver-date CODE     else the page is VerDate=CODE&VerName=NAME (default 110805)\n"
    "  --ver-name NAME     (default V07R22C)\n"
    "  --chunked           bodies in chunked transfer encoding, --chunk-size bytes each\n"
    "  --chunk-size N      (default 4096)\n"
    "  --tls-cert FILE     serve https with this certificate (PEM)\n"
    "  --tls-key FILE      and this private key (PEM)\n";

// Nothing, with the reason in error, for an unknown option or a bad value.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

}  // namespace sim::server

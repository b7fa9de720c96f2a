// zr40-serverd: the carrier's update server as the tests and the demo need it (Options.h).
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net/UpdateServer.h"
#include "sim/server/Options.h"

// The server library is built without ThreadSanitizer: a function-local static that one worker
// has just made and the next reads looks like a race once two requests overlap.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}

namespace {

using sim::server::Answer;
using sim::server::Options;
namespace net = platform::net;

std::string Base64(std::string_view in) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char c : in) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += digits[(bits >> count) & 63];
        }
    }
    if (count > 0) {
        out += digits[(bits << (6 - count)) & 63];
    }
    while (out.size() % 4 != 0) {
        out += '=';
    }
    return out;
}

std::string Json(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms));
    return text;
}

int SocketPort(int fd, bool peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                         : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (got != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return -1;
}

// The server library offers no way to hang up without answering; the connection's socket is
// found by its two ports and shut, so the client reads nothing at all.
void HangUp(const httplib::Request& request) {
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != ::dirfd(fds) && SocketPort(fd, false) == request.local_port &&
            SocketPort(fd, true) == request.remote_port) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    ::closedir(fds);
}

class Server {
  public:
    Server(Options options, std::FILE* log) : m_options(std::move(options)), m_log(log) {
        m_auth =
            "Basic " + Base64(std::string(net::kVersionPageUser) + ":" + net::kVersionPagePassword);
        if (!m_options.versionFile.empty()) {
            if (std::FILE* in = std::fopen(m_options.versionFile.c_str(), "rb")) {
                char buffer[4096];
                while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, in)) {
                    m_versionPage.append(buffer, n);
                }
                std::fclose(in);
            }
        } else {
            m_versionPage = "VerDate=" + m_options.verDate + "&VerName=" + m_options.verName;
        }
    }

    void Handle(const httplib::Request& request, httplib::Response& response) {
        // A proxy sees the whole URL as the target.
        std::string path = request.path;
        if (const auto scheme = path.find("://"); scheme != std::string::npos) {
            const auto slash = path.find('/', scheme + 3);
            path = slash == std::string::npos ? "/" : path.substr(slash);
        }
        Answer answer;
        std::string body;
        if (path == net::kNotifyPath && request.method == "POST") {
            answer = Next(m_notifyCount, m_options.notify);
        } else if (path == net::kVersionPagePath && request.method == "GET") {
            if (request.get_header_value("Authorization") != m_auth) {
                answer.status = 401;
                response.set_header("WWW-Authenticate", "Basic realm=\"zr-40\"");
            } else {
                answer = Next(m_versionCount, m_options.version);
                body = m_versionPage;
            }
        } else if (path == net::kDownloadPagePath && request.method == "GET") {
            answer = Next(m_downloadCount, m_options.download);
            body =
                "<html><head><meta charset=\"utf-8\"><title>ZR-40</title></head>"
                "<body><h1>ZR-40 firmware</h1><p>VerDate=" +
                m_options.verDate + " VerName=" + m_options.verName + "</p></body></html>\n";
        } else {
            answer.status = 404;
        }
        Log(request, answer);
        if (answer.delayMs > 0) {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::milliseconds(answer.delayMs),
                            [&] { return m_stopping; });
        }
        switch (answer.kind) {
            case Answer::Kind::Drop:
                HangUp(request);
                return;
            case Answer::Kind::Stall:
                response.set_chunked_content_provider(
                    "text/plain", [this](std::size_t, httplib::DataSink&) {
                        std::unique_lock lock(m_mutex);
                        m_wake.wait(lock, [&] { return m_stopping; });
                        return false;
                    });
                return;
            case Answer::Kind::Status:
                break;
        }
        response.status = answer.status;
        if (answer.status != 200 || body.empty()) {
            return;
        }
        if (!m_options.chunked) {
            response.set_content(body, "text/html");
            return;
        }
        auto shared = std::make_shared<std::string>(std::move(body));
        const std::size_t piece = m_options.chunkSize;
        response.set_chunked_content_provider(
            "text/html", [shared, piece](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= shared->size()) {
                    sink.done();
                    return true;
                }
                const std::size_t n = std::min(piece, shared->size() - offset);
                return sink.write(shared->data() + offset, n);
            });
    }

    void Stop() {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_wake.notify_all();
    }

  private:
    Answer Next(std::size_t& count, const std::vector<Answer>& answers) {
        std::lock_guard lock(m_mutex);
        const Answer answer = answers[std::min(count, answers.size() - 1)];
        ++count;
        return answer;
    }

    void Log(const httplib::Request& request, const Answer& answer) {
        std::string line = "{\"time\":" + Json(Now()) + ",\"method\":" + Json(request.method) +
                           ",\"target\":" + Json(request.target) +
                           ",\"path\":" + Json(request.path) + ",\"headers\":{";
        bool first = true;
        for (const char* name :
             {"Host", "User-Agent", "Content-Type", "Content-Length", "Authorization"}) {
            if (request.has_header(name)) {
                line += std::string(first ? "" : ",") + Json(name) + ":" +
                        Json(request.get_header_value(name));
                first = false;
            }
        }
        // Every header the client sent, by name, so that a test sees one it did not ask for; the
        // server library files the connection's addresses among them.
        line += "},\"header_names\":[";
        first = true;
        for (const auto& header : request.headers) {
            const std::string& name = header.first;
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT") {
                continue;
            }
            line += std::string(first ? "" : ",") + Json(name);
            first = false;
        }
        line += "]";
        const char* kind = answer.kind == Answer::Kind::Drop    ? "drop"
                           : answer.kind == Answer::Kind::Stall ? "stall"
                                                                : "status";
        line += ",\"body\":" + Json(request.body) + ",\"answer\":\"" + kind + "\",\"status\":" +
                std::to_string(answer.kind == Answer::Kind::Status ? answer.status : 0) +
                ",\"delay_ms\":" + std::to_string(answer.delayMs) + "}\n";
        std::lock_guard lock(m_logMutex);
        std::fputs(line.c_str(), m_log);
        std::fflush(m_log);
    }

    const Options m_options;
    std::FILE* const m_log;
    std::string m_auth;
    std::string m_versionPage;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::size_t m_notifyCount = 0;
    std::size_t m_versionCount = 0;
    std::size_t m_downloadCount = 0;
    std::mutex m_logMutex;
};

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options =
        sim::server::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "zr40-serverd: %s\n%s", error.c_str(), sim::server::kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(sim::server::kUsage, stdout);
        return 0;
    }
    if (!options->versionFile.empty() && ::access(options->versionFile.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "zr40-serverd: cannot read %s\n", options->versionFile.c_str());
        return 1;
    }
    std::FILE* log = stdout;
    if (!options->log.empty() && (log = std::fopen(options->log.c_str(), "a")) == nullptr) {
        std::fprintf(stderr, "zr40-serverd: cannot open %s\n", options->log.c_str());
        return 1;
    }
    // Signals are taken by one thread with sigwait; the server's threads inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> http;
    if (!options->tlsCert.empty()) {
        auto tls =
            std::make_unique<httplib::SSLServer>(options->tlsCert.c_str(), options->tlsKey.c_str());
        if (!tls->is_valid()) {
            std::fprintf(stderr, "zr40-serverd: cannot use %s / %s\n", options->tlsCert.c_str(),
                         options->tlsKey.c_str());
            return 1;
        }
        http = std::move(tls);
    } else {
        http = std::make_unique<httplib::Server>();
    }
    Server server(*options, log);
    const auto handler = [&](const httplib::Request& request, httplib::Response& response) {
        server.Handle(request, response);
    };
    http->Get(".*", handler);
    http->Post(".*", handler);
    http->set_keep_alive_max_count(1);

    const int port = options->port == 0
                         ? http->bind_to_any_port("127.0.0.1")
                         : (http->bind_to_port("127.0.0.1", options->port) ? options->port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "zr40-serverd: cannot listen on 127.0.0.1:%d\n", options->port);
        return 1;
    }
    std::printf("listening 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::atomic<bool> listenEnded{false};
    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
        // A signal that comes before the accept loop runs must still end it.
        while (!listenEnded && !http->is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        http->stop();
    });
    const bool listened = http->listen_after_bind();
    listenEnded = true;
    ::kill(::getpid(), SIGTERM);  // ends the signal thread if the server ended by itself
    signals.join();
    if (log != stdout) {
        std::fclose(log);
    }
    return listened ? 0 : 1;
}

// Synchronous HTTP and HTTPS requests for the update manager and the update tool (libcurl).
//
// One request holds its calling thread until it ends, and every request ends: the connection
// must be made within Limits::connect; once connected, a transfer that moves fewer than
// Limits::stallBytesPerSecond bytes per second for Limits::stall is abandoned (a server that
// answers nothing after the request counts as stalled too); no request lasts longer than
// Limits::total. The defaults are 30 s, 1 byte/s for 60 s and 10 minutes (a zero switches a
// bound off, which only tests should do). Another thread ends a request early through its
// Canceller. Redirects are not followed: a 3xx is the answer.
//
// The proxy is chosen per URL (Proxy.h) unless the request names one. Server certificates are
// checked against the system's CA store.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net {

inline constexpr const char* kUserAgent = "MiRaTo/2.0 ZR40(c500;";

struct Limits {
    std::chrono::milliseconds connect{30000};
    std::chrono::seconds stall{60};
    long stallBytesPerSecond = 1;
    std::chrono::milliseconds total{600000};
};

struct Credentials {
    std::string user;
    std::string password;
};

struct Request {
    std::string method = "GET";  // GET or POST
    std::string url;
    std::vector<std::string> headers;  // whole lines without CRLF: "Content-Type: text/plain"
    std::string body;                  // sent as is with POST
    std::optional<Credentials> basicAuth;
    std::string userAgent = kUserAgent;
    // Unset: the proxy the user's settings give for url. "" goes direct; else "scheme://host:port".
    std::optional<std::string> proxy;
    std::string caFile;  // empty: the system's CA store
    Limits limits;
};

enum class Error {
    None,
    Cancelled,
    TimedOut,           // connect, stall or total bound
    Unresolved,         // the server's or the proxy's name
    ConnectFailed,      // refused or unreachable
    ConnectionDropped,  // closed before a whole answer arrived
    Tls,
    ProxyFailed,  // the proxy lookup of the user's configuration failed
    Aborted,      // the body sink refused a chunk (or the body was too long)
    Other,
};

const char* ErrorName(Error error);

struct Result {
    Error error = Error::None;
    long status = 0;      // the HTTP status when an answer arrived, else 0
    std::string message;  // what went wrong, for logs
    bool Ok() const { return error == Error::None; }
};

struct Response : Result {
    std::string body;
};

// Ends the requests that run with it, now and later: once cancelled it stays cancelled.
class Canceller {
  public:
    Canceller();
    ~Canceller();
    Canceller(const Canceller&) = delete;
    Canceller& operator=(const Canceller&) = delete;

    void Cancel();
    bool Cancelled() const;

    struct State;

  private:
    friend struct CancelAccess;
    std::unique_ptr<State> m_state;
};

// Called with each piece of the body as it arrives; false ends the request with Error::Aborted.
using BodySink = std::function<bool(std::string_view chunk)>;

Result Perform(const Request& request, const BodySink& sink, const Canceller* canceller = nullptr);

// The body collected; more than maxBody bytes end the request with Error::Aborted.
Response Fetch(const Request& request, const Canceller* canceller = nullptr,
               std::size_t maxBody = std::size_t{1} << 20);

}  // namespace platform::net

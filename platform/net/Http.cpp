#include "platform/net/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/net/Proxy.h"

namespace platform::net {

struct Canceller::State {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::vector<CURLM*> running;  // requests in curl_multi_poll that Cancel must wake
};

struct CancelAccess {
    static Canceller::State* Of(const Canceller* canceller) {
        return canceller != nullptr ? canceller->m_state.get() : nullptr;
    }
};

Canceller::Canceller() : m_state(std::make_unique<State>()) {}
Canceller::~Canceller() = default;

void Canceller::Cancel() {
    std::lock_guard lock(m_state->mutex);
    m_state->cancelled = true;
    for (CURLM* multi : m_state->running) {
        curl_multi_wakeup(multi);
    }
}

bool Canceller::Cancelled() const {
    return m_state->cancelled;
}

const char* ErrorName(Error error) {
    switch (error) {
        case Error::None:
            return "none";
        case Error::Cancelled:
            return "cancelled";
        case Error::TimedOut:
            return "timed out";
        case Error::Unresolved:
            return "name not resolved";
        case Error::ConnectFailed:
            return "connection failed";
        case Error::ConnectionDropped:
            return "connection dropped";
        case Error::Tls:
            return "TLS failure";
        case Error::ProxyFailed:
            return "proxy lookup failed";
        case Error::Aborted:
            return "aborted";
        case Error::Other:
            return "failed";
    }
    return "failed";
}

namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Easy {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    CURLM* multi = nullptr;
    ~Easy() {
        if (multi != nullptr) {
            curl_multi_remove_handle(multi, handle);
            curl_multi_cleanup(multi);
        }
        curl_easy_cleanup(handle);
        curl_slist_free_all(headers);
    }
};

struct Sink {
    const BodySink* sink;
    bool refused = false;
};

size_t Write(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t length = size * count;
    if (!(*sink->sink)(std::string_view(data, length))) {
        sink->refused = true;
        return 0;
    }
    return length;
}

Error Classify(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return Error::None;
        case CURLE_OPERATION_TIMEDOUT:
            return Error::TimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Error::Unresolved;
        case CURLE_COULDNT_CONNECT:
            return Error::ConnectFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
            return Error::ConnectionDropped;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
            return Error::Tls;
        case CURLE_WRITE_ERROR:
            return Error::Aborted;
        default:
            return Error::Other;
    }
}

Result Failure(Error error, std::string message) {
    Result result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

}  // namespace

Result Perform(const Request& request, const BodySink& sink, const Canceller* canceller) {
    GlobalInit();
    if (canceller != nullptr && canceller->Cancelled()) {
        return Failure(Error::Cancelled, "cancelled");
    }
    const bool post = request.method == "POST";
    if (!post && request.method != "GET") {
        return Failure(Error::Other, "unsupported method " + request.method);
    }
    std::string proxy;
    if (request.proxy) {
        proxy = *request.proxy;
    } else {
        const ProxyChoice choice = ProxyFor(request.url);
        if (choice.failed) {
            return Failure(Error::ProxyFailed, "no proxy answer for " + request.url);
        }
        proxy = choice.proxy;
    }

    Easy easy;
    if (easy.handle == nullptr) {
        return Failure(Error::Other, "curl_easy_init failed");
    }
    CURL* h = easy.handle;
    char errorText[CURL_ERROR_SIZE] = {};
    Sink body{&sink};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, request.userAgent.c_str());
    // An empty string keeps curl from reading the proxy variables itself.
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.limits.connect.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, request.limits.stallBytesPerSecond);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.limits.stall.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.limits.total.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    if (!request.caFile.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, request.caFile.c_str());
    }
    if (request.basicAuth) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_USERNAME, request.basicAuth->user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, request.basicAuth->password.c_str());
    }
    // The server gets only the headers a request names: no Accept of curl's own, and the body
    // goes with the request, not after a 100-continue round trip.
    easy.headers = curl_slist_append(easy.headers, "Accept:");
    easy.headers = curl_slist_append(easy.headers, "Expect:");
    for (const std::string& line : request.headers) {
        easy.headers = curl_slist_append(easy.headers, line.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);
    if (post) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    easy.multi = curl_multi_init();
    if (easy.multi == nullptr || curl_multi_add_handle(easy.multi, h) != CURLM_OK) {
        return Failure(Error::Other, "curl_multi_init failed");
    }
    Canceller::State* cancel = CancelAccess::Of(canceller);
    if (cancel != nullptr) {
        std::lock_guard lock(cancel->mutex);
        cancel->running.push_back(easy.multi);
    }
    bool cancelled = false;
    bool done = false;
    CURLcode code = CURLE_OK;
    std::string multiError;
    while (!done) {
        if (cancel != nullptr && cancel->cancelled) {
            cancelled = true;
            break;
        }
        int running = 0;
        CURLMcode mc = curl_multi_perform(easy.multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(easy.multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                code = msg->data.result;
                done = true;
            }
        }
        if (!done && mc == CURLM_OK) {
            mc = curl_multi_poll(easy.multi, nullptr, 0, 1000, nullptr);
        }
        if (mc != CURLM_OK) {
            multiError = curl_multi_strerror(mc);
            break;
        }
    }
    if (cancel != nullptr) {
        std::lock_guard lock(cancel->mutex);
        std::erase(cancel->running, easy.multi);
    }

    Result result;
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    if (cancelled) {
        result.error = Error::Cancelled;
        result.message = "cancelled";
    } else if (!multiError.empty()) {
        result.error = Error::Other;
        result.message = multiError;
    } else if (code != CURLE_OK) {
        result.error = body.refused ? Error::Aborted : Classify(code);
        result.message = *errorText != 0 ? errorText : curl_easy_strerror(code);
    }
    return result;
}

Response Fetch(const Request& request, const Canceller* canceller, std::size_t maxBody) {
    Response response;
    bool tooLong = false;
    static_cast<Result&>(response) = Perform(
        request,
        [&](std::string_view chunk) {
            if (chunk.size() > maxBody - response.body.size()) {
                tooLong = true;
                return false;
            }
            response.body.append(chunk);
            return true;
        },
        canceller);
    if (tooLong) {
        response.message = "body longer than " + std::to_string(maxBody) + " bytes";
    }
    return response;
}

}  // namespace platform::net

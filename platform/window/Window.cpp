#include "platform/window/Window.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/fd/UniqueFd.h"
#include "platform/kernel/Event.h"
#include "platform/paths/Owned.h"
#include "platform/paths/Paths.h"

namespace platform::window {

namespace fs = std::filesystem;
using fd::UniqueFd;

namespace detail {

struct Entry {
    Message message;
    // Set for a sent message: the sender waits on it.
    std::shared_ptr<std::promise<std::optional<std::intptr_t>>> reply;
    std::optional<int> quit;
};

struct Timer {
    std::uint32_t periodMs = 0;
    std::uint64_t dueMs = 0;
    std::uint64_t generation = 0;
};

struct WindowState {
    WindowState(std::string initialTitle, Handler windowHandler, kernel::Clock& windowClock,
                std::optional<std::vector<std::uint32_t>> fromOutsideList)
        : owner(std::this_thread::get_id()),
          clock(windowClock),
          handler(std::move(windowHandler)),
          wake(kernel::Event::Create(false, false)),
          wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          fromOutside(std::move(fromOutsideList)),
          title(std::move(initialTitle)) {}

    const std::thread::id owner;
    kernel::Clock& clock;
    const Handler handler;
    const std::shared_ptr<kernel::Event> wake;
    const UniqueFd wakeFd;
    const std::optional<std::vector<std::uint32_t>> fromOutside;
    std::atomic<std::uint64_t> droppedFromOutside{0};

    bool TakesFromOutside(std::uint32_t message) const {
        return !fromOutside ||
               std::find(fromOutside->begin(), fromOutside->end(), message) != fromOutside->end();
    }

    std::mutex mutex;
    bool closed = false;
    std::string title;
    std::deque<Entry> queue;
    std::map<std::uint32_t, Timer> timers;
    std::uint64_t timerGeneration = 0;

    // After every change that may make work due.
    void Wake() {
        wake->Set();
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd.Get(), &one, sizeof one);  // full: still set
    }

    bool Enqueue(Entry entry) {
        {
            std::lock_guard lock(mutex);
            if (closed) {
                return false;
            }
            queue.push_back(std::move(entry));
        }
        Wake();
        return true;
    }
};

}  // namespace detail

namespace {

// The datagram's layout, in the byte order of the machine: sender and receiver are one user's
// processes on it.
struct Wire {
    std::uint32_t magic;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};
static_assert(sizeof(Wire) == kDatagramSize);
constexpr std::uint32_t kWireMagic = 0x4D57525A;  // "ZRWM"
// A window that does not drain its socket must not block a poster for long.
constexpr int kSendTimeoutMs = 2000;

std::atomic<unsigned> g_nextSocket{0};

std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

void Complain(const std::string& what) {
    std::fprintf(stderr, "zr40: window: %s\n", what.c_str());
}

// A socket's address names it through the descriptor of its folder, so that neither a long
// path nor a folder swapped or linked meanwhile changes which socket is meant.
bool MakeAddress(int dirFd, const std::string& name, sockaddr_un& addr, socklen_t& len) {
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// Binds sock under `name` in the user's folder, as the user: the socket file is then the
// user's, and bind gives it the mode of the unbound socket less the umask, so nothing is
// changed by name afterwards.
bool Bind(int sock, int dirFd, const std::string& name, const sockaddr_un& addr, socklen_t len,
          const paths::User& user) {
    if (::fchmod(sock, 0600) != 0) {
        return false;
    }
    const paths::ActingAs as(user);
    if (!as.ok()) {
        errno = EPERM;
        return false;
    }
    // A socket left by an earlier process with the same id is in the way.
    ::unlinkat(dirFd, name.c_str(), 0);
    return ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
}

// The names in a folder opened by paths::OpenOwnedDir.
std::vector<std::string> Names(int dirFd) {
    std::vector<std::string> names;
    const int listing = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (dir == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// "w-<hash>-<pid>-<n>" → pid; 0 when the name is not of that form.
pid_t PidOf(std::string_view name, std::string_view prefix) {
    std::string_view rest = name.substr(prefix.size());
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    if (ec != std::errc() || end == rest.data() + rest.size() || *end != '-' || pid <= 0) {
        return 0;
    }
    return pid;
}

// Calls fn with a socket connected to each live window titled so. The folder is the user's: it
// is read, and its sockets reached and cleared, as the user, and only sockets count (a link
// under a window's name could lead a root process to someone else's socket).
template <class Fn>
void ForEachWindow(std::string_view title, Fn fn) {
    const paths::User user = paths::CurrentUser();
    const fs::path dir = paths::RuntimeDir(user);
    const paths::Opened folder = paths::OpenOwnedDir(dir, user, 0700, paths::Missing::kFail);
    const paths::ActingAs as(user);
    if (!folder.ok() || !as.ok()) {
        return;
    }
    const int dirFd = folder.fd.Get();
    const std::string prefix = SocketPrefix(title);
    std::vector<std::string> names;
    for (std::string& name : Names(dirFd)) {
        if (name.starts_with(prefix) && PidOf(name, prefix) != 0) {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st {};
        sockaddr_un addr;
        socklen_t len = 0;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISSOCK(st.st_mode) || !MakeAddress(dirFd, name, addr, len)) {
            continue;
        }
        UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!sock.Valid()) {
            return;
        }
        if (::connect(sock.Get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
            if (errno == ECONNREFUSED) {
                // Nobody is bound to it any more: its process has gone.
                ::unlinkat(dirFd, name.c_str(), 0);
            }
            continue;
        }
        fn(sock.Get(), RemoteWindow{PidOf(name, prefix), dir / name});
    }
}

}  // namespace

std::string SocketPrefix(std::string_view title) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Fnv1a(title)));
    return std::string("w-") + hex + "-";
}

std::vector<RemoteWindow> EnumWindows(std::string_view title) {
    std::vector<RemoteWindow> windows;
    ForEachWindow(title, [&](int, RemoteWindow window) { windows.push_back(std::move(window)); });
    return windows;
}

bool FindWindow(std::string_view title) {
    return !EnumWindows(title).empty();
}

std::array<std::uint8_t, kDatagramSize> EncodeDatagram(const Message& message) {
    const Wire wire{kWireMagic, message.message, static_cast<std::uint64_t>(message.wParam),
                    static_cast<std::int64_t>(message.lParam)};
    std::array<std::uint8_t, kDatagramSize> datagram{};
    std::memcpy(datagram.data(), &wire, sizeof wire);
    return datagram;
}

std::optional<Message> DecodeDatagram(std::span<const std::uint8_t> datagram) {
    Wire wire{};
    if (datagram.size() != sizeof wire) {
        return std::nullopt;
    }
    std::memcpy(&wire, datagram.data(), sizeof wire);
    if (wire.magic != kWireMagic) {
        return std::nullopt;
    }
    return Message{wire.message,
                   static_cast<std::uintptr_t>(wire.wParam),
                   static_cast<std::intptr_t>(wire.lParam),
                   {}};
}

int PostToWindowsTitled(std::string_view title, const Message& message) {
    const std::array<std::uint8_t, kDatagramSize> datagram = EncodeDatagram(message);
    int posted = 0;
    ForEachWindow(title, [&](int sock, const RemoteWindow&) {
        timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        ssize_t n;
        do {
            n = ::send(sock, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        posted += n == static_cast<ssize_t>(datagram.size()) ? 1 : 0;
    });
    return posted;
}

// --- WindowHandle

bool WindowHandle::Post(Message message) const {
    return state_ && state_->Enqueue(detail::Entry{std::move(message), nullptr, std::nullopt});
}

std::optional<std::intptr_t> WindowHandle::Send(Message message) const {
    if (!state_) {
        return std::nullopt;
    }
    if (std::this_thread::get_id() == state_->owner) {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->closed) {
                return std::nullopt;
            }
        }
        return state_->handler(message);
    }
    auto reply = std::make_shared<std::promise<std::optional<std::intptr_t>>>();
    std::future<std::optional<std::intptr_t>> result = reply->get_future();
    if (!state_->Enqueue(detail::Entry{std::move(message), reply, std::nullopt})) {
        return std::nullopt;
    }
    return result.get();
}

bool WindowHandle::IsWindow() const {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    return !state_->closed;
}

// --- Window

struct Window::Publication {
    paths::User user;
    fs::path dir;
    UniqueFd dirFd;
    std::string name;
    UniqueFd sock;
    UniqueFd stop;
    std::thread receiver;
};

namespace {

// Hands each datagram from an accepted user to the window's queue until stop becomes readable.
void Receive(std::shared_ptr<detail::WindowState> state, int sock, int stop,
             std::vector<uid_t> accepted) {
    pollfd fds[2] = {{stop, POLLIN, 0}, {sock, POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            Complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        while (true) {
            // One byte more than a message: a longer datagram shows as one.
            std::array<std::uint8_t, kDatagramSize + 1> buffer{};
            iovec iov{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(sock, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0) {
                break;
            }
            const cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
            const std::optional<Message> message =
                (msg.msg_flags & MSG_TRUNC) != 0
                    ? std::nullopt
                    : DecodeDatagram(std::span(buffer.data(), static_cast<std::size_t>(n)));
            if (!message || cmsg == nullptr || cmsg->cmsg_level != SOL_SOCKET ||
                cmsg->cmsg_type != SCM_CREDENTIALS) {
                continue;
            }
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(cmsg), sizeof cred);
            if (std::find(accepted.begin(), accepted.end(), cred.uid) == accepted.end()) {
                continue;
            }
            if (!state->TakesFromOutside(message->message)) {
                state->droppedFromOutside.fetch_add(1);
                continue;
            }
            state->Enqueue(detail::Entry{*message, nullptr, std::nullopt});
        }
    }
}

}  // namespace

Window::Window(std::string title, Handler handler, kernel::Clock& clock,
               std::optional<std::vector<std::uint32_t>> fromOutside)
    : state_(std::make_shared<detail::WindowState>(std::move(title), std::move(handler), clock,
                                                   std::move(fromOutside))) {
    Publish();
}

Window::~Window() {
    Unpublish();
    if (const std::uint64_t dropped = state_->droppedFromOutside.load(); dropped != 0) {
        Complain(std::to_string(dropped) + " message(s) from other processes dropped by \"" +
                 Title() + "\"");
    }
    std::deque<detail::Entry> left;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        left.swap(state_->queue);
    }
    for (detail::Entry& entry : left) {
        if (entry.reply) {
            entry.reply->set_value(std::nullopt);
        }
    }
}

std::string Window::Title() const {
    std::lock_guard lock(state_->mutex);
    return state_->title;
}

std::uint64_t Window::DroppedFromOutside() const {
    return state_->droppedFromOutside.load();
}

bool Window::Published() const {
    return publication_ != nullptr;
}

void Window::Publish() {
    auto pub = std::make_unique<Publication>();
    pub->user = paths::CurrentUser();
    pub->dir = paths::RuntimeDir(pub->user);
    paths::Opened folder = paths::OpenOwnedDir(pub->dir, pub->user, 0700, paths::Missing::kCreate);
    if (!folder.ok()) {
        Complain("cannot create " + pub->dir.string() + ": " + std::strerror(folder.error));
        return;
    }
    pub->dirFd = std::move(folder.fd);
    pub->name = SocketPrefix(Title()) + std::to_string(::getpid()) + "-" +
                std::to_string(g_nextSocket.fetch_add(1));
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(pub->dirFd.Get(), pub->name, addr, len)) {
        Complain("no socket address in " + pub->dir.string());
        return;
    }
    pub->sock.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    pub->stop.Reset(::eventfd(0, EFD_CLOEXEC));
    const int on = 1;
    if (!pub->sock.Valid() || !pub->stop.Valid() ||
        ::setsockopt(pub->sock.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        !Bind(pub->sock.Get(), pub->dirFd.Get(), pub->name, addr, len, pub->user)) {
        Complain("cannot publish " + (pub->dir / pub->name).string() + ": " + std::strerror(errno));
        return;
    }
    std::vector<uid_t> accepted = {0, ::geteuid(), pub->user.uid};
    pub->receiver = std::thread(Receive, state_, pub->sock.Get(), pub->stop.Get(), accepted);
    publication_ = std::move(pub);
}

void Window::Unpublish() {
    if (!publication_) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(publication_->stop.Get(), &one, sizeof one);
    publication_->receiver.join();
    {
        const paths::ActingAs as(publication_->user);
        if (as.ok()) {
            ::unlinkat(publication_->dirFd.Get(), publication_->name.c_str(), 0);
        }
    }
    publication_.reset();
}

void Window::SetTitle(std::string title) {
    {
        std::lock_guard lock(state_->mutex);
        state_->title = std::move(title);
    }
    if (publication_) {
        // The socket keeps its inode through a rename, so nothing sent to it is lost.
        const std::string name = SocketPrefix(Title()) + std::to_string(::getpid()) + "-" +
                                 std::to_string(g_nextSocket.fetch_add(1));
        const int dirFd = publication_->dirFd.Get();
        bool renamed = false;
        {
            const paths::ActingAs as(publication_->user);
            renamed =
                as.ok() && ::renameat(dirFd, publication_->name.c_str(), dirFd, name.c_str()) == 0;
        }
        if (renamed) {
            publication_->name = name;
            return;
        }
        Unpublish();
    }
    Publish();
}

void Window::PostQuit(int exitCode) {
    state_->Enqueue(detail::Entry{{}, nullptr, exitCode});
}

void Window::SetTimer(std::uint32_t id, std::uint32_t periodMs) {
    {
        std::lock_guard lock(state_->mutex);
        detail::Timer& timer = state_->timers[id];
        timer.periodMs = periodMs;
        timer.dueMs = state_->clock.NowMs() + periodMs;
        timer.generation = ++state_->timerGeneration;
    }
    state_->Wake();
}

bool Window::KillTimer(std::uint32_t id) {
    std::lock_guard lock(state_->mutex);
    return state_->timers.erase(id) != 0;
}

int Window::WakeFd() const {
    return state_->wakeFd.Get();
}

std::optional<int> Window::ProcessPending() {
    detail::WindowState& s = *state_;
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(s.wakeFd.Get(), &count, sizeof count);
    std::size_t queued = 0;
    {
        std::lock_guard lock(s.mutex);
        queued = s.queue.size();
    }
    // Only what was there at the start: a handler that posts to itself cannot starve the loop.
    for (; queued > 0; --queued) {
        detail::Entry entry;
        {
            std::lock_guard lock(s.mutex);
            if (s.queue.empty()) {
                break;
            }
            entry = std::move(s.queue.front());
            s.queue.pop_front();
        }
        if (entry.quit) {
            s.Wake();  // whatever follows the quit is still pending
            return entry.quit;
        }
        const std::intptr_t result = s.handler(entry.message);
        if (entry.reply) {
            entry.reply->set_value(result);
        }
    }

    struct Due {
        std::uint64_t dueMs;
        std::uint32_t id;
        std::uint64_t generation;
    };
    std::vector<Due> due;
    {
        std::lock_guard lock(s.mutex);
        const std::uint64_t now = s.clock.NowMs();
        for (const auto& [id, timer] : s.timers) {
            if (timer.dueMs <= now) {
                due.push_back({timer.dueMs, id, timer.generation});
            }
        }
    }
    std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
        return std::tie(a.dueMs, a.id) < std::tie(b.dueMs, b.id);
    });
    for (const Due& d : due) {
        {
            std::lock_guard lock(s.mutex);
            auto it = s.timers.find(d.id);
            // Killed or set again by an earlier handler of this step.
            if (it == s.timers.end() || it->second.generation != d.generation) {
                continue;
            }
            it->second.dueMs = s.clock.NowMs() + it->second.periodMs;
        }
        s.handler(Message{kTimerMessage, d.id, 0, {}});
    }
    return std::nullopt;
}

std::uint32_t Window::MsUntilNextTimer() const {
    std::lock_guard lock(state_->mutex);
    if (state_->timers.empty()) {
        return kernel::kInfinite;
    }
    std::uint64_t earliest = UINT64_MAX;
    for (const auto& [id, timer] : state_->timers) {
        earliest = std::min(earliest, timer.dueMs);
    }
    const std::uint64_t now = state_->clock.NowMs();
    return earliest <= now ? 0
                           : static_cast<std::uint32_t>(
                                 std::min<std::uint64_t>(earliest - now, kernel::kInfinite - 1));
}

int Window::Run() {
    const std::shared_ptr<kernel::Event> wake[] = {state_->wake};
    while (true) {
        if (std::optional<int> code = ProcessPending()) {
            return *code;
        }
        const std::uint32_t wait = MsUntilNextTimer();
        if (wait != 0) {
            state_->clock.WaitAny(wake, wait);
        }
    }
}

}  // namespace platform::window

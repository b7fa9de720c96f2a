// Top-level windows: a message queue with a title, timers on it, and a way for other processes
// to find a window by its title and post to it.
//
// Everything a window receives (posted and sent messages, timer ticks, device notifications) is
// handled on the window's own thread, the thread that created it, by its handler:
//   - the messages queued when a dispatch step begins, in the order they arrived (a sent message
//     takes its place among the posted ones), then
//   - the timers that are due, earliest first. A timer that fell behind ticks once, not once per
//     period missed, and counts its next period from that tick.
// A window is driven in one of three ways, all on its thread:
//   - Run(): a blocking loop, for threads without a toolkit;
//   - from another event loop: watch WakeFd() for readability and the MsUntilNextTimer()
//     time-out, and call ProcessPending() when either fires;
//   - in tests, ProcessPending() after moving the window's clock.
//
// Across processes each window publishes one Unix datagram socket in the runtime directory of the
// current user (paths::RuntimeDir), named from a hash of its title and the process id. Only its
// user and root can reach it, and datagrams from any other user are dropped. Titles are UTF-8.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/Clock.h"

namespace platform::window {

// The messages this layer produces itself. wParam of a timer tick is the timer id.
inline constexpr std::uint32_t kTimerMessage = 0x0113;
inline constexpr std::uint32_t kDeviceChangeMessage = 0x0219;
// wParam values of kDeviceChangeMessage; arrival and removal carry the port name.
inline constexpr std::uintptr_t kDevNodesChanged = 7;
inline constexpr std::uintptr_t kDeviceArrival = 0x8000;
inline constexpr std::uintptr_t kDeviceRemoveComplete = 0x8004;

struct Message {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::string port;  // device notifications only; never crosses processes
};

using Handler = std::function<std::intptr_t(const Message&)>;

namespace detail {
struct WindowState;
}

// Reaches a window from any thread, also after the window is gone (then every call fails).
class WindowHandle {
  public:
    WindowHandle() = default;

    bool Post(Message message) const;
    // Waits until the window's thread has handled it and gives the handler's result; empty when
    // the window is gone before that. On the window's own thread the handler runs at once.
    std::optional<std::intptr_t> Send(Message message) const;
    bool IsWindow() const;

    explicit operator bool() const { return state_ != nullptr; }

  private:
    friend class Window;
    explicit WindowHandle(std::shared_ptr<detail::WindowState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::WindowState> state_;
};

class Window {
  public:
    // A window that belongs to the calling thread. When its socket cannot be published (no
    // runtime directory, a path too long even through /proc/self/fd), the window works within
    // the process and Published() is false; the reason goes to stderr.
    // `fromOutside` lists the message numbers taken from other processes (empty: none); the
    // others are dropped and counted. Without it, every number is taken.
    Window(std::string title, Handler handler, kernel::Clock& clock = kernel::SystemClock(),
           std::optional<std::vector<std::uint32_t>> fromOutside = std::nullopt);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    std::string Title() const;
    // Renames the window (on its thread); other processes find it by the new title from then on.
    void SetTitle(std::string title);
    bool Published() const;
    // Messages from other processes that were not in the window's list.
    std::uint64_t DroppedFromOutside() const;

    WindowHandle Handle() const { return WindowHandle(state_); }
    bool Post(Message message) const { return Handle().Post(std::move(message)); }
    std::optional<std::intptr_t> Send(Message message) const {
        return Handle().Send(std::move(message));
    }
    // Ends the current Run() or makes ProcessPending() report the code once the messages
    // queued before it are handled; messages queued after it wait for the next dispatch.
    void PostQuit(int exitCode);

    // Starts the timer, or restarts it with this period when the id runs already. A period of
    // 0 ticks at every dispatch step.
    void SetTimer(std::uint32_t id, std::uint32_t periodMs);
    bool KillTimer(std::uint32_t id);

    // Readable while something may be pending; ProcessPending() clears it.
    int WakeFd() const;
    // Handles what is queued and the due timers, then returns: the quit code when a quit
    // request was reached, empty otherwise.
    std::optional<int> ProcessPending();
    // Until the earliest timer is due on the window's clock (0: due now); kernel::kInfinite
    // without timers.
    std::uint32_t MsUntilNextTimer() const;
    // Dispatches until a quit request; returns its code.
    int Run();

  private:
    struct Publication;
    void Publish();
    void Unpublish();

    std::shared_ptr<detail::WindowState> state_;
    std::unique_ptr<Publication> publication_;
};

struct RemoteWindow {
    pid_t pid = 0;
    std::filesystem::path socket;
};

// The windows titled so, of any process of the current user (this one included). Sockets left by
// processes that have gone are removed on the way and not listed.
std::vector<RemoteWindow> EnumWindows(std::string_view title);
bool FindWindow(std::string_view title);
// Posts to every window titled so (message number and both parameters); returns how many got it.
int PostToWindowsTitled(std::string_view title, const Message& message);

// The socket file name of a title, without the process part: "w-<64-bit FNV-1a hex>-".
std::string SocketPrefix(std::string_view title);

// What crosses between processes: one datagram of a fixed size with the message number and
// both parameters (the port never crosses).
inline constexpr std::size_t kDatagramSize = 24;
std::array<std::uint8_t, kDatagramSize> EncodeDatagram(const Message& message);
// The message in a datagram as received; none unless it is exactly one encoded message.
std::optional<Message> DecodeDatagram(std::span<const std::uint8_t> datagram);

}  // namespace platform::window

// Desktop notifications (org.freedesktop.Notifications) on the user's session bus: where a
// desktop has no tray to show a balloon over, its notification service shows the notice and
// tells when the user clicks it.
//
// No thread of its own and no call that waits for the service: the owner's loop watches Wait()
// and calls Process(), so a click arrives on the owner's thread, and a service that hangs only
// costs the notice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::system {

struct Notice {
    std::string appName;  // UTF-8
    std::string title;    // UTF-8
    std::string text;     // UTF-8, plain: what looks like markup is shown as it is
    // How long it stays up; 0 leaves it to the service.
    std::uint32_t timeoutMs = 0;
    // Drawn beside the text when not empty: 8-bit RGBA, rows without padding.
    int imageWidth = 0;
    int imageHeight = 0;
    std::vector<std::uint8_t> imageRgba;
};

// Notices come from senders (a program's tray icons, say; any number but 0): a sender's notice
// replaces the one it showed before while that is still up, and a click is reported with its
// sender.
class DesktopNotices {
  public:
    // onClick runs inside Process() when the user clicks a notice; it must not destroy this.
    explicit DesktopNotices(std::function<void(std::uint64_t sender)> onClick);
    // Takes down the notices still up.
    ~DesktopNotices();
    DesktopNotices(const DesktopNotices&) = delete;
    DesktopNotices& operator=(const DesktopNotices&) = delete;

    // Without a notification service nothing shows, and stderr says so once.
    void Show(std::uint64_t sender, const Notice& notice);
    // Takes down the sender's notice; a click on it no longer counts.
    void Withdraw(std::uint64_t sender);

    struct Wait {
        int fd = -1;  // -1: nothing to wait for
        bool readable = false;
        bool writable = false;
        int timeoutMs = -1;  // -1: none
    };
    // What the owner's loop waits for before it calls Process() again.
    Wait NextWait() const;
    // Handles whatever the bus has ready; clicks call onClick.
    void Process();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::system

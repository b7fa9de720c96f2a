// Desktop notices driven from Qt's loop, as WindowPump drives a window: the session bus's
// descriptor becomes socket notifiers and its next time-out a single-shot timer, so a click on a
// notice arrives on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/system/Notices.h"

class QSocketNotifier;
class QTimer;

namespace platform::ui::qt {

class NoticePump {
  public:
    // onClick must not destroy the pump.
    explicit NoticePump(std::function<void(std::uint64_t sender)> onClick);
    ~NoticePump();
    NoticePump(const NoticePump&) = delete;
    NoticePump& operator=(const NoticePump&) = delete;

    void Show(std::uint64_t sender, const system::Notice& notice);
    void Withdraw(std::uint64_t sender);

  private:
    void Process();
    void Rearm();

    system::DesktopNotices notices_;
    std::unique_ptr<QSocketNotifier> read_;
    std::unique_ptr<QSocketNotifier> write_;
    std::unique_ptr<QTimer> timer_;
};

}  // namespace platform::ui::qt

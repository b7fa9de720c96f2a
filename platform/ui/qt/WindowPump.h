// Drives a platform window from Qt's event loop: its wake descriptor and its next timer become a
// socket notifier and a single-shot timer, and both call ProcessPending() on the GUI thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/window/Window.h"

class QSocketNotifier;
class QTimer;

namespace platform::ui::qt {

class WindowPump {
  public:
    // onQuit gets the code of a quit request reached while dispatching.
    WindowPump(window::Window& window, std::function<void(int)> onQuit);
    ~WindowPump();
    WindowPump(const WindowPump&) = delete;
    WindowPump& operator=(const WindowPump&) = delete;

    // Dispatches what is pending now and re-arms the timer.
    void Pump();

  private:
    void Rearm();

    window::Window& window_;
    std::function<void(int)> onQuit_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> timer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::ui::qt

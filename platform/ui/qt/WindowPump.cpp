#include "platform/ui/qt/WindowPump.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "platform/kernel/Event.h"

namespace platform::ui::qt {

WindowPump::WindowPump(window::Window& window, std::function<void(int)> onQuit)
    : window_(window),
      onQuit_(std::move(onQuit)),
      notifier_(std::make_unique<QSocketNotifier>(window.WakeFd(), QSocketNotifier::Read)),
      timer_(std::make_unique<QTimer>()) {
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Pump(); });
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Pump(); });
    Rearm();
}

WindowPump::~WindowPump() {
    // A handler may destroy its own dialog, and with it this pump, from inside Pump(): the
    // notifier or the timer is then still in its signal.
    *alive_ = false;
    notifier_->setEnabled(false);
    timer_->stop();
    notifier_.release()->deleteLater();
    timer_.release()->deleteLater();
}

void WindowPump::Pump() {
    // A handler may open a modal box; its nested loop keeps dispatching this window, as a
    // dialog's owner keeps getting its timers and messages meanwhile.
    const std::shared_ptr<bool> alive = alive_;
    const std::optional<int> quit = window_.ProcessPending();
    if (!*alive) {
        return;
    }
    Rearm();
    if (quit && onQuit_) {
        onQuit_(*quit);
    }
}

void WindowPump::Rearm() {
    const std::uint32_t ms = window_.MsUntilNextTimer();
    if (ms == kernel::kInfinite) {
        timer_->stop();
        return;
    }
    const auto capped = std::min<std::uint32_t>(ms, std::numeric_limits<int>::max());
    timer_->start(static_cast<int>(capped));
}

}  // namespace platform::ui::qt

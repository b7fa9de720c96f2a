#include "platform/ui/qt/NoticePump.h"

#include <QSocketNotifier>
#include <QTimer>

namespace platform::ui::qt {

NoticePump::NoticePump(std::function<void(std::uint64_t)> onClick)
    : notices_(std::move(onClick)), timer_(std::make_unique<QTimer>()) {
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Process(); });
    const system::DesktopNotices::Wait wait = notices_.NextWait();
    if (wait.fd >= 0) {
        read_ = std::make_unique<QSocketNotifier>(wait.fd, QSocketNotifier::Read);
        write_ = std::make_unique<QSocketNotifier>(wait.fd, QSocketNotifier::Write);
        QObject::connect(read_.get(), &QSocketNotifier::activated, [this] { Process(); });
        QObject::connect(write_.get(), &QSocketNotifier::activated, [this] { Process(); });
    }
    Rearm();
}

NoticePump::~NoticePump() = default;

void NoticePump::Show(std::uint64_t sender, const system::Notice& notice) {
    notices_.Show(sender, notice);
    Rearm();
}

void NoticePump::Withdraw(std::uint64_t sender) {
    notices_.Withdraw(sender);
    Rearm();
}

void NoticePump::Process() {
    notices_.Process();
    Rearm();
}

void NoticePump::Rearm() {
    const system::DesktopNotices::Wait wait = notices_.NextWait();
    if (wait.fd < 0) {
        // The connection is gone, and its descriptor with it. This may run inside a notifier's
        // own signal.
        if (read_) {
            read_->setEnabled(false);
            write_->setEnabled(false);
            read_.release()->deleteLater();
            write_.release()->deleteLater();
        }
        timer_->stop();
        return;
    }
    if (read_) {
        read_->setEnabled(wait.readable);
        write_->setEnabled(wait.writable);
    }
    if (wait.timeoutMs >= 0) {
        timer_->start(wait.timeoutMs);
    } else {
        timer_->stop();
    }
}

}  // namespace platform::ui::qt

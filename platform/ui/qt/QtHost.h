// The Qt 6 Widgets host: dialogs from their templates as native widgets, message boxes and the
// tray icon through QSystemTrayIcon. Everything runs on the thread that created the host, which
// must be the thread of the QApplication (the host creates one when there is none).
//
// Each dialog's window is driven from Qt's event loop, so its timers and messages arrive while a
// modal dialog, a message box or a menu waits for the user.
//
// The system-menu entries a dialog adds (its About entry) are offered as the dialog's context
// menu: Linux window managers have no menu a program can add to.
#pragma once

#include <functional>
#include <memory>

#include "platform/kernel/Clock.h"
#include "platform/ui/Ui.h"

class QMessageBox;
class QWidget;

namespace platform::ui::qt {

struct QtHostOptions {
    // Every length of a dialog follows its font: 2.0 draws dialogs as a 192-dpi screen would.
    double scale = 1.0;
    kernel::Clock* clock = nullptr;  // nullptr: the system clock
    // Called with each message box once it is on screen (screenshots and tests answer it).
    std::function<void(QMessageBox&)> onMessageBox;
};

std::unique_ptr<Host> MakeQtHost(QtHostOptions options = {});

// Registers the Qt host as "qt" for ChooseHost (see platform/ui/Ui.h).
void RegisterQtHost();

// The top-level widget of a dialog shown by a Qt host, and the widget of one of its controls;
// nullptr when the dialog has none (another host, or not created).
QWidget* DialogWidget(const Dialog& dialog);
QWidget* ControlWidget(const Dialog& dialog, int id);

}  // namespace platform::ui::qt

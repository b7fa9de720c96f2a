// The host for a terminal without a display: dialogs as text, buttons as numbered choices read
// from the input, message boxes with their answer, progress bars as one line redrawn in place.
//
// Input lines: a choice's number presses that button (or chooses that system menu entry);
// "y"/"n" answer a Yes/No box. The end of the input counts as the close box of the newest
// dialog shown (and No for a Yes/No box); nothing is read after it. While waiting for input the
// host runs every dialog's timers and messages.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ui/Ui.h"

namespace platform::ui {

// The choice an input line names: its decimal number when that is 1 to `choices`; 0 for any other
// line.
int ChoiceInLine(std::string_view line, int choices);
// The answer a line gives a Yes/No box: IDYES for "y" or "Y", IDNO for "n" or "N", 0 otherwise.
int YesNoInLine(std::string_view line);

class ConsoleHost final : public Host {
  public:
    ConsoleHost(int inFd = 0, int outFd = 1, kernel::Clock& clock = kernel::SystemClock());
    ~ConsoleHost() override;

    std::string_view Name() const override { return "console"; }
    kernel::Clock& Clock() override { return clock_; }
    std::unique_ptr<DialogPeer> CreatePeer(Dialog& dialog) override;
    void RunModal(Dialog& dialog) override;
    int MessageBox(const MessageBoxRequest& request) override;
    bool TrayAvailable() override { return false; }
    std::unique_ptr<TrayPeer> CreateTray(TrayIcon& tray) override;

  private:
    class Peer;
    struct Choice {
        enum class Kind { kButton, kSystem, kCheck };
        DialogRef dialog;
        int id;
        Kind kind;
    };
    void Write(std::string_view utf8);
    // Ends a progress line in place before other output.
    void Line(std::string_view utf8);
    void Progress(const Dialog& dialog, const ControlState& control);
    void ShowChoices();
    // One input line; empty optional at the end of the input.
    std::optional<std::string> ReadLine(const std::function<bool()>& done);
    void Handle(const std::string& line);

    int in_;
    int out_;
    kernel::Clock& clock_;
    bool inputClosed_ = false;
    bool closedAtEnd_ = false;
    bool inProgressLine_ = false;
    bool choicesDirty_ = true;
    std::string pending_;
    std::vector<Choice> choices_;
    std::vector<DialogRef> shown_;
};

}  // namespace platform::ui

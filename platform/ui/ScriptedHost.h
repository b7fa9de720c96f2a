// A host without a screen: it follows a script of user actions and records, in order, every
// dialog shown, text and state set, message box and tray action (UTF-8 lines). Deterministic:
// time moves only through the script's Advance steps, on the host's clock.
//
// Steps run in order whenever the program waits for the user (a modal dialog, a message box).
// A message box takes the next step when it is an Answer, otherwise it gets its default (OK,
// or No for Yes/No) and the record says so. A step that cannot run (a dialog that is not shown,
// an answer with no message box) is recorded as skipped. When the steps are used up while a
// modal dialog waits, the host either closes it with its close box (and, if it refuses,
// ends it with IDCANCEL) or, with WaitWhenIdle(true), keeps pumping it for real.
//
// Run from the environment (ZR40_UI=scripted): ZR40_UI_SCRIPT names a file of steps, one a
// line: "press <dialog> <control>", "close <dialog>", "answer <result>", "advance <ms>",
// "tray <event>", "menu <item>"; the record goes to stderr. Such a host waits when idle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/Ui.h"

namespace platform::ui {

class ScriptedHost final : public Host {
  public:
    explicit ScriptedHost(kernel::Clock& clock = kernel::SystemClock());
    ~ScriptedHost() override;

    ScriptedHost& Press(int dialogId, int controlId);
    ScriptedHost& Close(int dialogId);
    ScriptedHost& Answer(int result);
    // The answer to the next message box, after what the user does while it is shown (closes
    // another program, plugs a device in).
    ScriptedHost& Answer(int result, std::string what, std::function<void()> whileShown);
    ScriptedHost& Advance(std::uint32_t ms);
    ScriptedHost& TrayEvent(std::intptr_t trayEvent);
    // A tray appears on a desktop that had none: waiting icons dock.
    ScriptedHost& TrayAppears();
    ScriptedHost& ChooseMenuItem(int itemId);
    ScriptedHost& SysCommand(int dialogId, int commandId);
    ScriptedHost& Key(int dialogId, platform::ui::Key key);
    // Any action, for what the list above lacks.
    ScriptedHost& Do(std::string what, std::function<void()> action);

    void WaitWhenIdle(bool wait) { waitWhenIdle_ = wait; }
    // Without a tray an icon waits (recorded "tray wait") and its balloons are recorded as the
    // desktop notices they become ("tray notice"); TrayAppears docks it.
    void SetTrayAvailable(bool available) { trayAvailable_ = available; }
    // Every line recorded from here on also goes to this stream (nullptr: none).
    void Echo(std::FILE* stream) { echo_ = stream; }

    const std::vector<std::string>& Record() const { return record_; }
    std::string RecordText() const;
    bool StepsLeft() const { return !steps_.empty(); }
    // Runs the steps that can run now (for tests that drive modeless dialogs themselves).
    void RunSteps();

    // Loads steps from the text format above; false with *error on a bad line.
    bool LoadScript(const std::string& text, std::string* error);

    std::string_view Name() const override { return "scripted"; }
    kernel::Clock& Clock() override { return clock_; }
    std::unique_ptr<DialogPeer> CreatePeer(Dialog& dialog) override;
    void RunModal(Dialog& dialog) override;
    int MessageBox(const MessageBoxRequest& request) override;
    bool TrayAvailable() override { return trayAvailable_; }
    std::unique_ptr<TrayPeer> CreateTray(TrayIcon& tray) override;

    void Note(std::string line);

  private:
    struct Step {
        enum Kind {
            kPress,
            kClose,
            kAnswer,
            kAdvance,
            kTray,
            kDock,
            kMenu,
            kSys,
            kKey,
            kDo
        } kind = kDo;
        int dialog = 0;
        int value = 0;
        std::intptr_t event = 0;
        platform::ui::Key key = platform::ui::Key::Other;
        std::string what;
        std::function<void()> action;
    };
    static Step MakeStep(Step::Kind kind, int dialog = 0, int value = 0) {
        Step step;
        step.kind = kind;
        step.dialog = dialog;
        step.value = value;
        return step;
    }
    // Runs the first step; false when it is an answer (left for a message box).
    bool RunFirst();
    void AdvanceBy(std::uint32_t ms);

    class Peer;
    class Tray;
    kernel::Clock& clock_;
    std::deque<Step> steps_;
    std::vector<std::string> record_;
    std::vector<Tray*> trays_;
    bool waitWhenIdle_ = false;
    bool trayAvailable_ = true;
    std::FILE* echo_ = nullptr;
};

}  // namespace platform::ui

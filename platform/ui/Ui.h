// Dialogs with controls addressed by id, message boxes and the tray icon, drawn by a host.
//
// The programs derive their dialogs from Dialog and know nothing of the toolkit: they set and
// read controls by id, and their hooks run on the UI thread (the thread that created the
// dialog). A Host draws them:
//   - Qt 6 Widgets (library zr_platform_ui_qt; the program registers it, see RegisterHost),
//   - the console host, for a terminal without a display,
//   - the scripted host, for tests and unattended runs.
//
// Choosing the host (ChooseHost): ZR40_UI=qt|console|scripted decides when set; otherwise a
// display (DISPLAY or WAYLAND_DISPLAY) means qt and no display means console. A qt choice
// without a registered Qt host falls back to the console host.
//
// ZR40_SHOW=normal|minimized|hidden (set by platform::system's program start) decides how the
// first top-level dialog of the process appears; the base class applies it, not the hosts.
//
// Every dialog owns a platform::window::Window titled with its title (UTF-8), so timers, posted
// messages and other processes reach it as any window; the window's messages arrive in
// OnMessage. Hosts pump every live dialog's window while a dialog, a message box or a menu
// waits for the user (PumpDialogs, or WakeFd/MsUntilNextTimer in a toolkit loop).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/ui/Template.h"
#include "platform/window/Window.h"

namespace platform::ui {

// Results and command ids.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Messages the layer delivers through a dialog's window (wParam: the id).
inline constexpr std::uint32_t kCommandMessage = 0x0111;
inline constexpr std::uint32_t kSysCommandMessage = 0x0112;
inline constexpr std::uint32_t kCloseMessage = 0x0010;

// Tray events (lParam of the tray icon's callback message; wParam is the icon's id).
inline constexpr std::intptr_t kTrayLeftButtonUp = 0x0202;
inline constexpr std::intptr_t kTrayRightButtonUp = 0x0205;
inline constexpr std::intptr_t kTrayBalloonClick = 0x0405;

enum class ShowCommand { Hide, Normal, Minimize, Restore, Foreground };

// Keys pressed in a dialog go to Dialog::UserKey first; a key the dialog does not swallow gets
// the host's usual handling: Enter presses the default button, Escape counts as IDCANCEL, arrows
// and Tab move the focus.
enum class Key { Left, Right, Up, Down, Escape, Enter, Tab, Other };

// What changed in a control, for the host to redraw from the dialog's state.
enum class Change { Text, Enabled, Visible, Progress, Check, Icon };

// The live state of one control: its template and what the program has set since.
struct ControlState {
    ControlTemplate tmpl;
    std::string text;  // code page 932
    bool enabled = true;
    bool visible = true;
    bool checked = false;
    int rangeLow = 0;
    int rangeHigh = 100;
    int pos = 0;
    int icon = 0;
};

class Dialog;
class TrayIcon;

// The host's side of one dialog, created when its window is and destroyed in DestroyWindow
// (after OnDestroy). Calls arrive on the UI thread; the host reads the new state from the
// dialog (Controls, GetWindowText, ...). A call the host makes into the dialog (UserCommand...)
// may destroy the peer and even free the dialog: after it, look the dialog up again through a
// DialogRef before touching it or the peer.
class DialogPeer {
  public:
    virtual ~DialogPeer() = default;
    virtual void Show(ShowCommand command) = 0;
    virtual void ControlChanged(int id, Change what) = 0;
    virtual void FocusChanged(int id) = 0;
    virtual void TitleChanged() = 0;
    virtual void IconChanged() = 0;
    virtual void SystemMenuChanged() = 0;
    // A modal dialog's EndDialog: the host's RunModal should return.
    virtual void Ended() = 0;
};

class TrayPeer {
  public:
    virtual ~TrayPeer() = default;
    // False while the desktop has no tray to hold the icon. The host then shows balloons
    // another way (a desktop notification whose click counts as the balloon's) and, where it
    // can, docks the icon once a tray appears, calling TrayIcon::TrayAppeared.
    virtual bool Docked() const { return true; }
    virtual void Changed() = 0;  // tip or icon
    virtual void ShowBalloon(const std::string& titleUtf8, const std::string& textUtf8,
                             std::uint32_t timeoutMs) = 0;
    // Shows the menu; a choice comes back as TrayIcon::Choose, no choice as nothing.
    virtual void ShowMenu(const MenuTemplate& menu) = 0;
};

enum class MbIcon { None, Information, Warning, Error };
enum class MbButtons { Ok, YesNo };

struct MessageBoxRequest {
    const Dialog* owner = nullptr;  // may be nullptr
    std::string caption;            // code page 932
    std::string text;               // code page 932, '\n' line breaks
    MbIcon icon = MbIcon::None;
    MbButtons buttons = MbButtons::Ok;
};

class Host {
  public:
    virtual ~Host() = default;
    virtual std::string_view Name() const = 0;
    // The clock of every dialog window's timers.
    virtual kernel::Clock& Clock() = 0;
    virtual std::unique_ptr<DialogPeer> CreatePeer(Dialog& dialog) = 0;
    // Pumps (every live dialog, not only this one) until dialog.ModalEnded(); returns at once
    // when it already has.
    virtual void RunModal(Dialog& dialog) = 0;
    // Shown in front of everything, pumping the dialogs meanwhile; IDOK, IDYES or IDNO.
    virtual int MessageBox(const MessageBoxRequest& request) = 0;
    virtual bool TrayAvailable() = 0;
    // nullptr when the host can show no icon at all; without a tray, a host that can dock the
    // icon later returns a peer that is not Docked.
    virtual std::unique_ptr<TrayPeer> CreateTray(TrayIcon& tray) = 0;
};

// The host in use: the one set with SetHost, else ChooseHost()'s, created on first use.
Host& CurrentHost();
// Replaces the host for the process (nullptr: back to ChooseHost); the caller keeps ownership
// and must keep it alive while set. Set it before the first dialog.
void SetHost(Host* host);

using HostFactory = std::unique_ptr<Host> (*)();
// Makes a host available to ChooseHost under a name ("qt"); the Qt library's registration
// function calls this, so programs without Qt never link it.
void RegisterHost(std::string_view name, HostFactory factory);
// The host the environment asks for (see the top of this file); never nullptr.
std::unique_ptr<Host> ChooseHost();
// "qt", "console" or "scripted" from ZR40_UI and the display variables.
std::string ChosenHostName();
// ZR40_SHOW as a show command: Minimize, Hide, or empty for a normal start.
std::optional<ShowCommand> StartShowHint();

// Waits until one of the live dialogs' windows has something pending, a timer is due,
// extraFd (when >= 0) is readable, or timeoutMs passes (kernel::kInfinite: no limit); then
// dispatches every live dialog's window. True when extraFd was readable. For hosts without a
// toolkit loop; on the host's clock a ManualClock never waits.
bool PumpDialogs(std::uint32_t timeoutMs, int extraFd = -1);
// Dispatches whatever every live dialog's window has pending, without waiting.
void DispatchDialogs();
// The live dialogs of the calling thread, oldest first.
std::vector<Dialog*> LiveDialogs();

// A weak reference that tells whether the dialog still exists (a heap dialog may free itself).
class DialogRef {
  public:
    DialogRef() = default;
    explicit DialogRef(const Dialog& dialog);
    Dialog* Get() const;  // nullptr once destroyed
  private:
    std::weak_ptr<Dialog*> self_;
};

class Dialog {
  public:
    explicit Dialog(int templateId, Dialog* parent = nullptr);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Shows the dialog and pumps until EndDialog; the window is destroyed before it returns.
    // -1 when the template cannot be loaded.
    int DoModal();
    // Modeless: creates and shows the dialog (unless its template or ZR40_SHOW hides it).
    bool Create();
    // Modal: DoModal returns result. Modeless: nobody waits for a result, the window goes.
    void EndDialog(int result);
    // Destroys the window (OnDestroy, then OnPostDestroy); safe to call from the dialog's own
    // handlers and more than once.
    void DestroyWindow();

    bool IsAlive() const { return window_ != nullptr; }
    bool IsModal() const { return modal_; }
    bool ModalEnded() const { return ended_; }
    int Result() const { return result_; }
    int TemplateId() const { return templateId_; }
    Dialog* Parent() const { return parent_; }

    // Controls by id (texts in code page 932). Unknown ids are ignored / read as empty.
    void SetItemText(int id, std::string_view cp932);
    std::string GetItemText(int id) const;
    void EnableItem(int id, bool enabled);
    bool IsItemEnabled(int id) const;
    void ShowItem(int id, bool visible);
    bool IsItemVisible(int id) const;
    void SetProgressRange(int id, int low, int high);
    void SetProgressPos(int id, int pos);
    int GetProgressPos(int id) const;
    void SetCheck(int id, bool checked);
    bool GetCheck(int id) const;
    // Radio groups: the radio at firstId and the radios after it up to the next GROUP flag.
    // Value = index of the checked radio in the group, -1 when none is.
    void SetRadioValue(int firstId, int value);
    int GetRadioValue(int firstId) const;
    void SetItemIcon(int id, int iconResource);
    void SetFocus(int id);
    int GetFocus() const { return focus_; }

    void SetWindowText(std::string_view cp932);
    std::string GetWindowText() const { return title_; }
    void SetIcon(int iconResource);
    int Icon() const { return icon_; }
    // An entry of the window's system menu (after a separator); chosen, it arrives in
    // OnSysCommand.
    void AddSystemMenuItem(int id, std::string_view cp932);

    void ShowWindow(ShowCommand command);
    bool IsVisible() const { return visible_; }
    bool IsMinimized() const { return minimized_; }

    // The dialog's window: timers, posting, discovery by title. Only while IsAlive().
    window::Window& GetWindow() { return *window_; }

    // For hosts.
    const DialogTemplate& Template() const { return template_; }
    const std::vector<ControlState>& Controls() const { return controls_; }
    const ControlState* Control(int id) const;
    struct SystemMenuItem {
        int id;
        std::string text;  // code page 932
    };
    const std::vector<SystemMenuItem>& SystemMenu() const { return sysMenu_; }
    DialogPeer* Peer() const { return peer_.get(); }

    // While a modal dialog opened after this one is up, the user's actions below are ignored.
    bool IsInputBlocked() const;
    // Called by hosts on the UI thread when the user acts. Each may destroy the dialog.
    void UserCommand(int id);                       // a button
    void UserClose();                               // the close box
    void UserSysCommand(int id);                    // a system menu entry
    bool UserKey(Key key);                          // true: the dialog swallowed it
    void UserText(int id, std::string_view cp932);  // an edit the user typed in
    void UserCheck(int id);                         // a radio or check box the user clicked
    void UserFocus(int id);

  protected:
    virtual bool OnInitDialog() { return true; }
    // Buttons and menu items. IDOK and IDCANCEL go to OnOK / OnCancel by default.
    virtual void OnCommand(int id);
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // The close box; by default it counts as IDCANCEL. Refuse by not calling the base.
    virtual void OnClose() { OnCommand(IDCANCEL); }
    // Timers, user and device messages: everything else the window receives.
    virtual std::intptr_t OnMessage(const window::Message& message);
    virtual bool OnKey(Key /*key*/) { return false; }
    virtual void OnSysCommand(int /*id*/) {}
    virtual void OnDestroy() {}
    // Last call after the window is gone; a heap dialog may `delete this` here.
    virtual void OnPostDestroy() {}
    // The message numbers the window takes from other processes; the rest are dropped.
    virtual std::vector<std::uint32_t> MessagesFromOutside() const { return {}; }

  private:
    friend class DialogRef;
    bool CreateWindowAndPeer(bool modal);
    std::intptr_t Dispatch(const window::Message& message);
    ControlState* Mutable(int id);
    void Notify(int id, Change what);

    int templateId_;
    Dialog* parent_;
    DialogTemplate template_;
    std::vector<ControlState> controls_;
    std::vector<SystemMenuItem> sysMenu_;
    std::string title_;
    int icon_ = 0;
    int focus_ = kNoId;
    bool modal_ = false;
    bool ended_ = false;
    int result_ = 0;
    bool visible_ = false;
    bool minimized_ = false;
    std::shared_ptr<Dialog*> self_;
    std::unique_ptr<window::Window> window_;
    std::unique_ptr<DialogPeer> peer_;
};

// Message box through the current host. Caption and text in code page 932.
int MessageBox(std::string_view textCp932, std::string_view captionCp932, MbIcon icon,
               MbButtons buttons = MbButtons::Ok, const Dialog* owner = nullptr);

// A notification-area icon of an owner dialog. Its events arrive at the owner's window as
// callbackMessage (wParam = id, lParam = kTray...), a chosen menu item as a command to
// OnCommand; all on the UI thread.
class TrayIcon {
  public:
    TrayIcon(Dialog& owner, int id, std::uint32_t callbackMessage);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    static bool Available();

    // False when the icon is not in a tray: the owner must keep itself reachable (minimised).
    // Its balloons still reach the user where the host can show them, and the icon may dock
    // into a tray that appears later.
    bool Add(int iconResource, std::string_view tipCp932);
    void Remove();
    // In a tray.
    bool IsShown() const { return peer_ != nullptr && peer_->Docked(); }
    void SetTip(std::string_view tipCp932);
    void SetIconResource(int iconResource);
    void ShowBalloon(std::string_view titleCp932, std::string_view textCp932,
                     std::uint32_t timeoutMs);
    // Menu resource menuId; defaultId overrides the template's default item (0: keep).
    void ShowMenu(int menuId, int defaultId = 0);

    int Id() const { return id_; }
    int IconResource() const { return icon_; }
    const std::string& Tip() const { return tip_; }  // code page 932
    Dialog& Owner() const { return owner_; }

    // Called by hosts (any thread): posted to the owner's window.
    void Event(std::intptr_t trayEvent);
    void Choose(int menuItemId);
    // Called by hosts on the UI thread once the icon has docked into a tray that appeared after
    // Add: an owner still minimised for want of a tray is hidden, as the tray would have had it.
    void TrayAppeared();

  private:
    Dialog& owner_;
    int id_;
    std::uint32_t callbackMessage_;
    int icon_ = 0;
    std::string tip_;
    window::WindowHandle ownerWindow_;
    std::unique_ptr<TrayPeer> peer_;
};

}  // namespace platform::ui

#include "platform/ui/Ui.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <utility>

#include "platform/ui/Text.h"

namespace platform::ui {

std::unique_ptr<Host> MakeConsoleHost();
std::unique_ptr<Host> MakeScriptedHostFromEnvironment();

namespace {

// The dialogs of this thread, and windows of dialogs destroyed while a dispatch may still be
// inside them: freed once no dispatch runs.
struct ThreadDialogs {
    std::vector<Dialog*> live;
    std::vector<std::unique_ptr<window::Window>> graveyard;
    int dispatchDepth = 0;
    bool firstTopLevelShown = false;
};

ThreadDialogs& Dialogs() {
    thread_local ThreadDialogs dialogs;
    return dialogs;
}

struct DispatchScope {
    DispatchScope() { ++Dialogs().dispatchDepth; }
    ~DispatchScope() {
        ThreadDialogs& d = Dialogs();
        if (--d.dispatchDepth == 0) {
            d.graveyard.clear();
        }
    }
};

struct HostRegistry {
    std::mutex mutex;
    std::vector<std::pair<std::string, HostFactory>> factories;
    Host* current = nullptr;
    std::unique_ptr<Host> chosen;
};

HostRegistry& Registry() {
    static HostRegistry registry;
    return registry;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The start hint for the first top-level dialog of the process.
std::optional<ShowCommand> ShowHint() {
    const std::string hint = Env("ZR40_SHOW");
    if (hint == "minimized") {
        return ShowCommand::Minimize;
    }
    if (hint == "hidden") {
        return ShowCommand::Hide;
    }
    return std::nullopt;
}

}  // namespace

// ---- hosts -------------------------------------------------------------------------------

Host& CurrentHost() {
    HostRegistry& r = Registry();
    std::unique_lock lock(r.mutex);
    if (r.current) {
        return *r.current;
    }
    if (!r.chosen) {
        // Choosing may create a toolkit; not under the lock.
        lock.unlock();
        std::unique_ptr<Host> host = ChooseHost();
        lock.lock();
        if (!r.chosen) {
            r.chosen = std::move(host);
        }
    }
    return *r.chosen;
}

void SetHost(Host* host) {
    HostRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    r.current = host;
    // A new host starts a new session: its first top-level dialog takes the start hint.
    Dialogs().firstTopLevelShown = false;
}

void RegisterHost(std::string_view name, HostFactory factory) {
    HostRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    r.factories.emplace_back(std::string(name), factory);
}

std::string ChosenHostName() {
    const std::string asked = Env("ZR40_UI");
    if (asked == "qt" || asked == "console" || asked == "scripted") {
        return asked;
    }
    if (!asked.empty()) {
        std::cerr << "ZR40_UI=" << asked << " is not a host (qt, console, scripted)\n";
    }
    return Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty() ? "console" : "qt";
}

std::unique_ptr<Host> ChooseHost() {
    const std::string name = ChosenHostName();
    if (name == "scripted") {
        return MakeScriptedHostFromEnvironment();
    }
    if (name == "qt") {
        HostFactory factory = nullptr;
        {
            HostRegistry& r = Registry();
            std::lock_guard lock(r.mutex);
            for (const auto& [n, f] : r.factories) {
                if (n == name) {
                    factory = f;
                }
            }
        }
        if (factory) {
            if (std::unique_ptr<Host> host = factory()) {
                return host;
            }
        }
        std::cerr << "no Qt host in this program; using the console\n";
    }
    return MakeConsoleHost();
}

std::optional<ShowCommand> StartShowHint() {
    return ShowHint();
}

// ---- pumping -----------------------------------------------------------------------------

std::vector<Dialog*> LiveDialogs() {
    return Dialogs().live;
}

void DispatchDialogs() {
    DispatchScope scope;
    // A handler may destroy any dialog, itself included: look each one up again before use.
    const std::vector<Dialog*> snapshot = Dialogs().live;
    for (Dialog* dialog : snapshot) {
        const std::vector<Dialog*>& live = Dialogs().live;
        if (std::find(live.begin(), live.end(), dialog) == live.end() || !dialog->IsAlive()) {
            continue;
        }
        dialog->GetWindow().ProcessPending();
    }
}

bool PumpDialogs(std::uint32_t timeoutMs, int extraFd) {
    std::vector<pollfd> fds;
    std::uint32_t wait = timeoutMs;
    for (Dialog* dialog : Dialogs().live) {
        fds.push_back(pollfd{dialog->GetWindow().WakeFd(), POLLIN, 0});
        wait = std::min(wait, dialog->GetWindow().MsUntilNextTimer());
    }
    if (extraFd >= 0) {
        fds.push_back(pollfd{extraFd, POLLIN, 0});
    }
    bool extraReady = false;
    int ready = 0;
    do {
        ready =
            ::poll(fds.data(), fds.size(), wait == kernel::kInfinite ? -1 : static_cast<int>(wait));
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && extraFd >= 0) {
        extraReady = (fds.back().revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    DispatchDialogs();
    return extraReady;
}

// ---- dialogs -----------------------------------------------------------------------------

DialogRef::DialogRef(const Dialog& dialog) : self_(dialog.self_) {}

Dialog* DialogRef::Get() const {
    std::shared_ptr<Dialog*> self = self_.lock();
    return self ? *self : nullptr;
}

Dialog::Dialog(int templateId, Dialog* parent)
    : templateId_(templateId), parent_(parent), self_(std::make_shared<Dialog*>(this)) {}

Dialog::~Dialog() {
    // A dialog freed while its window lives skips the hooks: the derived part is gone.
    if (window_) {
        peer_.reset();
        ThreadDialogs& d = Dialogs();
        std::erase(d.live, this);
        if (d.dispatchDepth > 0) {
            d.graveyard.push_back(std::move(window_));
        }
    }
    *self_ = nullptr;
}

bool Dialog::CreateWindowAndPeer(bool modal) {
    if (window_) {
        return true;
    }
    std::string error;
    std::optional<DialogTemplate> tmpl = LoadDialog(templateId_, &error);
    if (!tmpl) {
        std::cerr << "dialog " << templateId_ << ": " << error << "\n";
        return false;
    }
    template_ = std::move(*tmpl);
    controls_.clear();
    for (const ControlTemplate& c : template_.controls) {
        ControlState state;
        state.tmpl = c;
        state.text = c.text;
        state.enabled = (c.style & kDisabled) == 0;
        state.visible = (c.style & kHidden) == 0;
        state.icon = c.icon;
        controls_.push_back(std::move(state));
    }
    title_ = template_.title;
    modal_ = modal;
    ended_ = false;
    result_ = 0;
    visible_ = false;
    minimized_ = false;
    focus_ = kNoId;
    sysMenu_.clear();

    Host& host = CurrentHost();
    std::weak_ptr<Dialog*> weak = self_;
    window_ = std::make_unique<window::Window>(
        Cp932ToUtf8(title_),
        [weak](const window::Message& message) -> std::intptr_t {
            std::shared_ptr<Dialog*> self = weak.lock();
            if (!self || !*self) {
                return 0;
            }
            return (*self)->Dispatch(message);
        },
        host.Clock(), MessagesFromOutside());
    Dialogs().live.push_back(this);
    peer_ = host.CreatePeer(*this);
    return true;
}

std::intptr_t Dialog::Dispatch(const window::Message& message) {
    DispatchScope scope;
    switch (message.message) {
        case kCommandMessage:
            OnCommand(static_cast<int>(message.wParam));
            return 0;
        case kSysCommandMessage:
            OnSysCommand(static_cast<int>(message.wParam));
            return 0;
        case kCloseMessage:
            OnClose();
            return 0;
        default:
            return OnMessage(message);
    }
}

int Dialog::DoModal() {
    if (!CreateWindowAndPeer(true)) {
        return -1;
    }
    DialogRef ref(*this);
    if (!Create()) {
        return -1;
    }
    if (ref.Get() && IsAlive() && !ended_) {
        CurrentHost().RunModal(*this);
    }
    if (!ref.Get()) {
        return result_;  // unreachable for a dialog on the stack; a heap one freed itself
    }
    const int result = result_;
    DestroyWindow();
    return result;
}

bool Dialog::Create() {
    if (!CreateWindowAndPeer(modal_)) {
        return false;
    }
    DialogRef ref(*this);
    {
        DispatchScope scope;
        OnInitDialog();
    }
    if (!ref.Get() || !IsAlive()) {
        return true;
    }
    std::optional<ShowCommand> show = ShowCommand::Normal;
    ThreadDialogs& d = Dialogs();
    if (parent_ == nullptr && !d.firstTopLevelShown) {
        d.firstTopLevelShown = true;
        if (std::optional<ShowCommand> hint = ShowHint()) {
            show = hint;
        }
    }
    // OnInitDialog may have shown, hidden or minimised the window itself.
    if (!visible_ && !minimized_ && !ended_) {
        ShowWindow(*show);
    }
    return true;
}

void Dialog::EndDialog(int result) {
    result_ = result;
    if (!modal_) {
        // A modeless dialog has nobody waiting for a result: it goes.
        DestroyWindow();
        return;
    }
    if (!ended_) {
        ended_ = true;
        if (peer_) {
            peer_->Ended();
        }
    }
}

void Dialog::DestroyWindow() {
    if (!window_) {
        return;
    }
    DialogRef ref(*this);
    {
        DispatchScope scope;
        OnDestroy();
    }
    if (!ref.Get() || !window_) {
        return;
    }
    if (modal_ && !ended_) {
        ended_ = true;
        if (peer_) {
            peer_->Ended();
        }
    }
    if (peer_) {
        peer_->Show(ShowCommand::Hide);
    }
    visible_ = false;
    peer_.reset();
    ThreadDialogs& d = Dialogs();
    std::erase(d.live, this);
    if (d.dispatchDepth > 0) {
        d.graveyard.push_back(std::move(window_));
    } else {
        window_.reset();
    }
    OnPostDestroy();
}

ControlState* Dialog::Mutable(int id) {
    if (id == kNoId) {
        return nullptr;
    }
    for (ControlState& c : controls_) {
        if (c.tmpl.id == id) {
            return &c;
        }
    }
    return nullptr;
}

const ControlState* Dialog::Control(int id) const {
    return const_cast<Dialog*>(this)->Mutable(id);
}

void Dialog::Notify(int id, Change what) {
    if (peer_) {
        peer_->ControlChanged(id, what);
    }
}

void Dialog::SetItemText(int id, std::string_view cp932) {
    if (ControlState* c = Mutable(id)) {
        c->text = std::string(cp932);
        Notify(id, Change::Text);
    }
}

std::string Dialog::GetItemText(int id) const {
    const ControlState* c = Control(id);
    return c ? c->text : std::string();
}

void Dialog::EnableItem(int id, bool enabled) {
    ControlState* c = Mutable(id);
    if (c && c->enabled != enabled) {
        c->enabled = enabled;
        Notify(id, Change::Enabled);
    }
}

bool Dialog::IsItemEnabled(int id) const {
    const ControlState* c = Control(id);
    return c && c->enabled;
}

void Dialog::ShowItem(int id, bool visible) {
    ControlState* c = Mutable(id);
    if (c && c->visible != visible) {
        c->visible = visible;
        Notify(id, Change::Visible);
    }
}

bool Dialog::IsItemVisible(int id) const {
    const ControlState* c = Control(id);
    return c && c->visible;
}

void Dialog::SetProgressRange(int id, int low, int high) {
    if (ControlState* c = Mutable(id)) {
        c->rangeLow = low;
        c->rangeHigh = high;
        c->pos = std::clamp(c->pos, low, std::max(low, high));
        Notify(id, Change::Progress);
    }
}

void Dialog::SetProgressPos(int id, int pos) {
    if (ControlState* c = Mutable(id)) {
        c->pos = std::clamp(pos, c->rangeLow, std::max(c->rangeLow, c->rangeHigh));
        Notify(id, Change::Progress);
    }
}

int Dialog::GetProgressPos(int id) const {
    const ControlState* c = Control(id);
    return c ? c->pos : 0;
}

void Dialog::SetCheck(int id, bool checked) {
    ControlState* c = Mutable(id);
    if (c && c->checked != checked) {
        c->checked = checked;
        Notify(id, Change::Check);
    }
}

bool Dialog::GetCheck(int id) const {
    const ControlState* c = Control(id);
    return c && c->checked;
}

namespace {

// Indexes of the radio group that starts at firstId.
std::vector<std::size_t> RadioGroup(const std::vector<ControlState>& controls, int firstId) {
    std::vector<std::size_t> group;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (group.empty()) {
            if (controls[i].tmpl.id == firstId && controls[i].tmpl.kind == ControlKind::Radio) {
                group.push_back(i);
            }
            continue;
        }
        if (controls[i].tmpl.kind != ControlKind::Radio || (controls[i].tmpl.style & kGroup)) {
            break;
        }
        group.push_back(i);
    }
    return group;
}

}  // namespace

void Dialog::SetRadioValue(int firstId, int value) {
    const std::vector<std::size_t> group = RadioGroup(controls_, firstId);
    for (std::size_t k = 0; k < group.size(); ++k) {
        ControlState& c = controls_[group[k]];
        const bool checked = static_cast<int>(k) == value;
        if (c.checked != checked) {
            c.checked = checked;
            Notify(c.tmpl.id, Change::Check);
        }
    }
}

int Dialog::GetRadioValue(int firstId) const {
    const std::vector<std::size_t> group = RadioGroup(controls_, firstId);
    for (std::size_t k = 0; k < group.size(); ++k) {
        if (controls_[group[k]].checked) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

void Dialog::SetItemIcon(int id, int iconResource) {
    if (ControlState* c = Mutable(id)) {
        c->icon = iconResource;
        Notify(id, Change::Icon);
    }
}

void Dialog::SetFocus(int id) {
    focus_ = id;
    if (peer_) {
        peer_->FocusChanged(id);
    }
}

void Dialog::SetWindowText(std::string_view cp932) {
    title_ = std::string(cp932);
    if (window_) {
        window_->SetTitle(Cp932ToUtf8(title_));
    }
    if (peer_) {
        peer_->TitleChanged();
    }
}

void Dialog::SetIcon(int iconResource) {
    icon_ = iconResource;
    if (peer_) {
        peer_->IconChanged();
    }
}

void Dialog::AddSystemMenuItem(int id, std::string_view cp932) {
    sysMenu_.push_back(SystemMenuItem{id, std::string(cp932)});
    if (peer_) {
        peer_->SystemMenuChanged();
    }
}

void Dialog::ShowWindow(ShowCommand command) {
    switch (command) {
        case ShowCommand::Hide:
            visible_ = false;
            break;
        case ShowCommand::Minimize:
            visible_ = true;
            minimized_ = true;
            break;
        case ShowCommand::Normal:
        case ShowCommand::Restore:
        case ShowCommand::Foreground:
            visible_ = true;
            minimized_ = false;
            break;
    }
    if (peer_) {
        peer_->Show(command);
    }
}

void Dialog::OnCommand(int id) {
    if (id == IDOK) {
        OnOK();
    } else if (id == IDCANCEL) {
        OnCancel();
    }
}

std::intptr_t Dialog::OnMessage(const window::Message& /*message*/) {
    return 0;
}

bool Dialog::IsInputBlocked() const {
    const std::vector<Dialog*>& live = Dialogs().live;
    auto it = std::find(live.begin(), live.end(), this);
    if (it == live.end()) {
        return true;
    }
    // A modal dialog opened later holds the input until it ends.
    return std::any_of(std::next(it), live.end(),
                       [](const Dialog* d) { return d->IsModal() && !d->ModalEnded(); });
}

void Dialog::UserCommand(int id) {
    const ControlState* c = Control(id);
    if ((c && (!c->enabled || !c->visible)) || IsInputBlocked()) {
        return;  // a disabled button cannot be pressed
    }
    DispatchScope scope;
    OnCommand(id);
}

void Dialog::UserClose() {
    if (IsInputBlocked()) {
        return;
    }
    DispatchScope scope;
    OnClose();
}

void Dialog::UserSysCommand(int id) {
    if (IsInputBlocked()) {
        return;
    }
    DispatchScope scope;
    OnSysCommand(id);
}

bool Dialog::UserKey(Key key) {
    if (IsInputBlocked()) {
        return true;
    }
    DispatchScope scope;
    return OnKey(key);
}

void Dialog::UserText(int id, std::string_view cp932) {
    if (ControlState* c = Mutable(id)) {
        c->text = std::string(cp932);
    }
}

void Dialog::UserCheck(int id) {
    ControlState* c = Mutable(id);
    if (!c || !c->enabled || IsInputBlocked()) {
        return;
    }
    if (c->tmpl.kind == ControlKind::CheckBox) {
        SetCheck(id, !c->checked);
        return;
    }
    // The radio's group: from the last GROUP start at or before it.
    std::size_t at = static_cast<std::size_t>(c - controls_.data());
    std::size_t start = at;
    while (start > 0 && !(controls_[start].tmpl.style & kGroup) &&
           controls_[start - 1].tmpl.kind == ControlKind::Radio) {
        --start;
    }
    SetRadioValue(controls_[start].tmpl.id, static_cast<int>(at - start));
}

void Dialog::UserFocus(int id) {
    focus_ = id;
}

// ---- message boxes and tray --------------------------------------------------------------

int MessageBox(std::string_view textCp932, std::string_view captionCp932, MbIcon icon,
               MbButtons buttons, const Dialog* owner) {
    MessageBoxRequest request;
    request.owner = owner;
    request.caption = std::string(captionCp932);
    request.text = std::string(textCp932);
    request.icon = icon;
    request.buttons = buttons;
    DispatchScope scope;
    return CurrentHost().MessageBox(request);
}

TrayIcon::TrayIcon(Dialog& owner, int id, std::uint32_t callbackMessage)
    : owner_(owner), id_(id), callbackMessage_(callbackMessage) {
    if (owner.IsAlive()) {
        ownerWindow_ = owner.GetWindow().Handle();
    }
}

TrayIcon::~TrayIcon() {
    Remove();
}

bool TrayIcon::Available() {
    return CurrentHost().TrayAvailable();
}

bool TrayIcon::Add(int iconResource, std::string_view tipCp932) {
    icon_ = iconResource;
    tip_ = std::string(tipCp932);
    if (owner_.IsAlive()) {
        ownerWindow_ = owner_.GetWindow().Handle();
    }
    if (!peer_) {
        peer_ = CurrentHost().CreateTray(*this);
    } else {
        peer_->Changed();
    }
    return IsShown();
}

void TrayIcon::Remove() {
    peer_.reset();
}

void TrayIcon::SetTip(std::string_view tipCp932) {
    tip_ = std::string(tipCp932);
    if (peer_) {
        peer_->Changed();
    }
}

void TrayIcon::SetIconResource(int iconResource) {
    icon_ = iconResource;
    if (peer_) {
        peer_->Changed();
    }
}

void TrayIcon::ShowBalloon(std::string_view titleCp932, std::string_view textCp932,
                           std::uint32_t timeoutMs) {
    if (peer_) {
        peer_->ShowBalloon(Cp932ToUtf8(titleCp932), Cp932ToUtf8(textCp932), timeoutMs);
    }
}

void TrayIcon::ShowMenu(int menuId, int defaultId) {
    std::optional<MenuTemplate> menu = LoadMenu(menuId);
    if (!peer_ || !menu) {
        return;
    }
    if (defaultId != 0) {
        for (MenuItem& item : menu->items) {
            item.isDefault = item.id == defaultId;
        }
    }
    peer_->ShowMenu(*menu);
}

void TrayIcon::Event(std::intptr_t trayEvent) {
    ownerWindow_.Post(
        window::Message{callbackMessage_, static_cast<std::uintptr_t>(id_), trayEvent, {}});
}

void TrayIcon::TrayAppeared() {
    if (owner_.IsAlive() && owner_.IsVisible() && owner_.IsMinimized()) {
        owner_.ShowWindow(ShowCommand::Hide);
    }
}

void TrayIcon::Choose(int menuItemId) {
    ownerWindow_.Post(
        window::Message{kCommandMessage, static_cast<std::uintptr_t>(menuItemId), 0, {}});
}

}  // namespace platform::ui

#include "platform/ui/ScriptedHost.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/ui/Text.h"

namespace platform::ui {

namespace {

std::string Quoted(std::string_view cp932) {
    return "\"" + Cp932ToUtf8(cp932) + "\"";
}

const char* IconName(MbIcon icon) {
    switch (icon) {
        case MbIcon::Information:
            return "information";
        case MbIcon::Warning:
            return "warning";
        case MbIcon::Error:
            return "error";
        case MbIcon::None:
            break;
    }
    return "none";
}

const char* ShowName(ShowCommand command) {
    switch (command) {
        case ShowCommand::Hide:
            return "hide";
        case ShowCommand::Normal:
            return "show";
        case ShowCommand::Minimize:
            return "minimize";
        case ShowCommand::Restore:
            return "restore";
        case ShowCommand::Foreground:
            return "foreground";
    }
    return "?";
}

// The newest shown dialog of that template that takes input.
Dialog* FindShown(int dialogId) {
    Dialog* found = nullptr;
    for (Dialog* d : LiveDialogs()) {
        if (d->TemplateId() == dialogId && d->IsVisible() && !d->IsInputBlocked()) {
            found = d;
        }
    }
    return found;
}

}  // namespace

class ScriptedHost::Peer final : public DialogPeer {
  public:
    Peer(ScriptedHost& host, Dialog& dialog) : host_(host), dialog_(dialog) {}
    ~Peer() override { host_.Note(Prefix() + "destroyed"); }

    void Show(ShowCommand command) override {
        if (command == ShowCommand::Hide && !shown_) {
            return;
        }
        host_.Note(Prefix() + ShowName(command) +
                   (shown_ ? "" : " " + Quoted(dialog_.GetWindowText())));
        if (!shown_ && command != ShowCommand::Hide) {
            shown_ = true;
            for (const ControlState& c : dialog_.Controls()) {
                if (!c.text.empty() && c.visible) {
                    host_.Note(Prefix() + "item " + std::to_string(c.tmpl.id) + " " +
                               Quoted(c.text));
                }
            }
        }
    }
    void ControlChanged(int id, Change what) override {
        const ControlState* c = dialog_.Control(id);
        if (!c) {
            return;
        }
        std::string line = Prefix();
        switch (what) {
            case Change::Text:
                line += "text " + std::to_string(id) + " " + Quoted(c->text);
                break;
            case Change::Enabled:
                line += (c->enabled ? "enable " : "disable ") + std::to_string(id);
                break;
            case Change::Visible:
                line += (c->visible ? "show " : "hide ") + std::to_string(id);
                break;
            case Change::Progress:
                line += "progress " + std::to_string(id) + " " + std::to_string(c->pos) + " of " +
                        std::to_string(c->rangeLow) + "-" + std::to_string(c->rangeHigh);
                break;
            case Change::Check:
                line += (c->checked ? "check " : "uncheck ") + std::to_string(id);
                break;
            case Change::Icon:
                line += "icon " + std::to_string(id) + " " + std::to_string(c->icon);
                break;
        }
        host_.Note(line);
    }
    void FocusChanged(int id) override { host_.Note(Prefix() + "focus " + std::to_string(id)); }
    void TitleChanged() override {
        host_.Note(Prefix() + "title " + Quoted(dialog_.GetWindowText()));
    }
    void IconChanged() override {}
    void SystemMenuChanged() override {
        const auto& items = dialog_.SystemMenu();
        if (!items.empty()) {
            host_.Note(Prefix() + "sysmenu " + std::to_string(items.back().id) + " " +
                       Quoted(items.back().text));
        }
    }
    void Ended() override { host_.Note(Prefix() + "end " + std::to_string(dialog_.Result())); }

  private:
    std::string Prefix() const { return std::to_string(dialog_.TemplateId()) + " "; }
    ScriptedHost& host_;
    Dialog& dialog_;
    bool shown_ = false;
};

class ScriptedHost::Tray final : public TrayPeer {
  public:
    Tray(ScriptedHost& host, TrayIcon& tray, bool docked)
        : host_(host), tray_(tray), docked_(docked) {
        host_.trays_.push_back(this);
        host_.Note(std::string(docked_ ? "tray add " : "tray wait ") +
                   std::to_string(tray.IconResource()) + " " + Quoted(tray.Tip()));
    }
    ~Tray() override {
        std::erase(host_.trays_, this);
        host_.Note("tray remove");
    }
    TrayIcon& Icon() const { return tray_; }
    bool Docked() const override { return docked_; }
    void Dock() {
        if (!docked_) {
            docked_ = true;
            host_.Note("tray dock");
            tray_.TrayAppeared();
        }
    }
    void Changed() override {
        host_.Note("tray change " + std::to_string(tray_.IconResource()) + " " +
                   Quoted(tray_.Tip()));
    }
    // Without a tray the balloon is a desktop notice.
    void ShowBalloon(const std::string& titleUtf8, const std::string& textUtf8,
                     std::uint32_t timeoutMs) override {
        host_.Note(std::string(docked_ ? "tray balloon" : "tray notice") + " \"" + titleUtf8 +
                   "\" \"" + textUtf8 + "\" " + std::to_string(timeoutMs));
    }
    void ShowMenu(const MenuTemplate& menu) override {
        std::string line = "tray menu " + std::to_string(menu.id);
        for (const MenuItem& item : menu.items) {
            line += item.separator ? " |"
                                   : " " + std::to_string(item.id) + Quoted(item.text) +
                                         (item.isDefault ? "*" : "");
        }
        host_.Note(line);
    }

  private:
    ScriptedHost& host_;
    TrayIcon& tray_;
    bool docked_;
};

ScriptedHost::ScriptedHost(kernel::Clock& clock) : clock_(clock) {}

ScriptedHost::~ScriptedHost() = default;

ScriptedHost& ScriptedHost::Press(int dialogId, int controlId) {
    steps_.push_back(MakeStep(Step::kPress, dialogId, controlId));
    return *this;
}

ScriptedHost& ScriptedHost::Close(int dialogId) {
    steps_.push_back(MakeStep(Step::kClose, dialogId));
    return *this;
}

ScriptedHost& ScriptedHost::Answer(int result) {
    steps_.push_back(MakeStep(Step::kAnswer, 0, result));
    return *this;
}

ScriptedHost& ScriptedHost::Answer(int result, std::string what, std::function<void()> whileShown) {
    Step step = MakeStep(Step::kAnswer, 0, result);
    step.what = std::move(what);
    step.action = std::move(whileShown);
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedHost& ScriptedHost::Advance(std::uint32_t ms) {
    steps_.push_back(MakeStep(Step::kAdvance, 0, static_cast<int>(ms)));
    return *this;
}

ScriptedHost& ScriptedHost::TrayEvent(std::intptr_t trayEvent) {
    Step step = MakeStep(Step::kTray);
    step.event = trayEvent;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedHost& ScriptedHost::TrayAppears() {
    steps_.push_back(MakeStep(Step::kDock));
    return *this;
}

ScriptedHost& ScriptedHost::ChooseMenuItem(int itemId) {
    steps_.push_back(MakeStep(Step::kMenu, 0, itemId));
    return *this;
}

ScriptedHost& ScriptedHost::SysCommand(int dialogId, int commandId) {
    steps_.push_back(MakeStep(Step::kSys, dialogId, commandId));
    return *this;
}

ScriptedHost& ScriptedHost::Key(int dialogId, platform::ui::Key key) {
    Step step = MakeStep(Step::kKey, dialogId);
    step.key = key;
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedHost& ScriptedHost::Do(std::string what, std::function<void()> action) {
    Step step = MakeStep(Step::kDo);
    step.what = std::move(what);
    step.action = std::move(action);
    steps_.push_back(std::move(step));
    return *this;
}

void ScriptedHost::Note(std::string line) {
    if (echo_) {
        std::fprintf(echo_, "%s\n", line.c_str());
        std::fflush(echo_);
    }
    record_.push_back(std::move(line));
}

std::string ScriptedHost::RecordText() const {
    std::string text;
    for (const std::string& line : record_) {
        text += line;
        text += '\n';
    }
    return text;
}

std::unique_ptr<DialogPeer> ScriptedHost::CreatePeer(Dialog& dialog) {
    return std::make_unique<Peer>(*this, dialog);
}

std::unique_ptr<TrayPeer> ScriptedHost::CreateTray(TrayIcon& tray) {
    return std::make_unique<Tray>(*this, tray, trayAvailable_);
}

void ScriptedHost::AdvanceBy(std::uint32_t ms) {
    // Timer by timer, so a periodic timer ticks once per period passed, as in real time.
    std::uint32_t left = ms;
    while (true) {
        DispatchDialogs();
        std::uint32_t next = kernel::kInfinite;
        for (Dialog* d : LiveDialogs()) {
            next = std::min(next, d->GetWindow().MsUntilNextTimer());
        }
        if (left == 0) {
            break;
        }
        const std::uint32_t step = std::max<std::uint32_t>(1, std::min(next, left));
        clock_.SleepMs(step);
        left -= step;
    }
}

bool ScriptedHost::RunFirst() {
    Step step = std::move(steps_.front());
    if (step.kind == Step::kAnswer) {
        return false;
    }
    steps_.pop_front();
    auto skip = [&](const std::string& why) { Note("script: skipped " + why); };
    switch (step.kind) {
        case Step::kPress:
            if (Dialog* d = FindShown(step.dialog)) {
                Note("press " + std::to_string(step.dialog) + " " + std::to_string(step.value));
                d->UserCommand(step.value);
            } else {
                skip("press " + std::to_string(step.dialog) + " " + std::to_string(step.value));
            }
            break;
        case Step::kClose:
            if (Dialog* d = FindShown(step.dialog)) {
                Note("close " + std::to_string(step.dialog));
                d->UserClose();
            } else {
                skip("close " + std::to_string(step.dialog));
            }
            break;
        case Step::kSys:
            if (Dialog* d = FindShown(step.dialog)) {
                Note("syscommand " + std::to_string(step.dialog) + " " +
                     std::to_string(step.value));
                d->UserSysCommand(step.value);
            } else {
                skip("syscommand " + std::to_string(step.dialog));
            }
            break;
        case Step::kKey:
            if (Dialog* d = FindShown(step.dialog)) {
                const bool swallowed = d->UserKey(step.key);
                Note("key " + std::to_string(step.dialog) + " " +
                     std::to_string(static_cast<int>(step.key)) + (swallowed ? " swallowed" : ""));
            } else {
                skip("key " + std::to_string(step.dialog));
            }
            break;
        case Step::kAdvance:
            Note("advance " + std::to_string(step.value));
            AdvanceBy(static_cast<std::uint32_t>(step.value));
            break;
        case Step::kTray:
            if (!trays_.empty()) {
                Note("tray event " + std::to_string(step.event));
                trays_.back()->Icon().Event(step.event);
            } else {
                skip("tray event");
            }
            break;
        case Step::kMenu:
            if (!trays_.empty()) {
                Note("menu " + std::to_string(step.value));
                trays_.back()->Icon().Choose(step.value);
            } else {
                skip("menu " + std::to_string(step.value));
            }
            break;
        case Step::kDock: {
            Note("tray appears");
            trayAvailable_ = true;
            const std::vector<Tray*> waiting = trays_;
            for (Tray* tray : waiting) {
                tray->Dock();
            }
            break;
        }
        case Step::kDo:
            Note("do " + step.what);
            step.action();
            break;
        case Step::kAnswer:
            break;
    }
    DispatchDialogs();
    return true;
}

void ScriptedHost::RunSteps() {
    DispatchDialogs();
    while (!steps_.empty()) {
        if (!RunFirst()) {
            Note("script: skipped answer " + std::to_string(steps_.front().value) +
                 " (no message box)");
            steps_.pop_front();
        }
    }
}

void ScriptedHost::RunModal(Dialog& dialog) {
    DialogRef ref(dialog);
    auto ended = [&] { return !ref.Get() || dialog.ModalEnded() || !dialog.IsAlive(); };
    DispatchDialogs();
    while (!ended()) {
        if (!steps_.empty()) {
            if (!RunFirst()) {
                Note("script: skipped answer " + std::to_string(steps_.front().value) +
                     " (no message box)");
                steps_.pop_front();
            }
            continue;
        }
        if (waitWhenIdle_) {
            PumpDialogs(kernel::kInfinite);
            continue;
        }
        Note("script: used up; closing " + std::to_string(dialog.TemplateId()));
        dialog.UserClose();
        DispatchDialogs();
        if (!ended()) {
            dialog.EndDialog(IDCANCEL);
        }
    }
}

int ScriptedHost::MessageBox(const MessageBoxRequest& request) {
    std::string line = std::string("msgbox ") + IconName(request.icon) + " " +
                       Quoted(request.caption) + " " + Quoted(request.text);
    int answer = request.buttons == MbButtons::YesNo ? IDNO : IDOK;
    bool scripted = false;
    std::optional<Step> whileShown;
    if (!steps_.empty() && steps_.front().kind == Step::kAnswer) {
        answer = steps_.front().value;
        if (steps_.front().action) {
            whileShown = std::move(steps_.front());
        }
        steps_.pop_front();
        scripted = true;
    }
    if (whileShown) {
        Note("do " + whileShown->what + " (while a message box is shown)");
        whileShown->action();
    }
    Note(line + " -> " + std::to_string(answer) + (scripted ? "" : " (default)"));
    return answer;
}

bool ScriptedHost::LoadScript(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb) || verb.starts_with("#")) {
            continue;
        }
        long a = 0;
        long b = 0;
        bool ok = true;
        if (verb == "press") {
            ok = static_cast<bool>(words >> a >> b);
            Press(static_cast<int>(a), static_cast<int>(b));
        } else if (verb == "close" || verb == "answer" || verb == "advance" || verb == "tray" ||
                   verb == "menu") {
            ok = static_cast<bool>(words >> a);
            if (verb == "close") {
                Close(static_cast<int>(a));
            } else if (verb == "answer") {
                Answer(static_cast<int>(a));
            } else if (verb == "advance") {
                Advance(static_cast<std::uint32_t>(a));
            } else if (verb == "tray") {
                TrayEvent(a);
            } else {
                ChooseMenuItem(static_cast<int>(a));
            }
        } else {
            ok = false;
        }
        if (!ok) {
            if (error) {
                *error = "line " + std::to_string(number) + ": " + line;
            }
            return false;
        }
    }
    return true;
}

std::unique_ptr<Host> MakeScriptedHostFromEnvironment() {
    auto host = std::make_unique<ScriptedHost>();
    host->WaitWhenIdle(true);
    host->Echo(stderr);
    if (const char* path = std::getenv("ZR40_UI_SCRIPT")) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!in || !host->LoadScript(text.str(), &error)) {
            std::cerr << "ZR40_UI_SCRIPT " << path << ": " << (in ? error : "cannot read") << "\n";
        }
    }
    return host;
}

}  // namespace platform::ui

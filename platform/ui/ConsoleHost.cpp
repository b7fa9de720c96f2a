#include "platform/ui/ConsoleHost.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "platform/ui/Text.h"

namespace platform::ui {

namespace {

std::string Display(std::string_view cp932) {
    return StripMnemonic(Cp932ToUtf8(cp932));
}

// The text's lines, without the CR of CR LF line ends.
std::vector<std::string> Lines(const std::string& utf8) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : utf8) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            continue;
        }
        line += c;
    }
    lines.push_back(line);
    return lines;
}

bool IsButton(const ControlState& c) {
    return c.tmpl.kind == ControlKind::PushButton || c.tmpl.kind == ControlKind::DefPushButton;
}

// Fields beside a bar (the percent) are drawn on the bar's line instead of a line of their own.
bool RidesOnBar(const ControlState& c) {
    return (c.tmpl.style & kRight) != 0 && c.tmpl.kind == ControlKind::Edit;
}

}  // namespace

int ChoiceInLine(std::string_view line, int choices) {
    int number = 0;
    const char* end = line.data() + line.size();
    auto [ptr, ec] = std::from_chars(line.data(), end, number);
    if (ec != std::errc() || ptr != end || number < 1 || number > choices) {
        return 0;
    }
    return number;
}

int YesNoInLine(std::string_view line) {
    if (line == "y" || line == "Y") {
        return IDYES;
    }
    if (line == "n" || line == "N") {
        return IDNO;
    }
    return 0;
}

class ConsoleHost::Peer final : public DialogPeer {
  public:
    Peer(ConsoleHost& host, Dialog& dialog) : host_(host), dialog_(dialog) {}
    ~Peer() override {
        std::erase_if(host_.shown_, [&](const DialogRef& r) { return r.Get() == &dialog_; });
        host_.choicesDirty_ = true;
    }

    void Show(ShowCommand command) override {
        host_.choicesDirty_ = true;
        if (command == ShowCommand::Hide) {
            std::erase_if(host_.shown_, [&](const DialogRef& r) { return r.Get() == &dialog_; });
            return;
        }
        if (command == ShowCommand::Minimize) {
            host_.Line("(" + Display(dialog_.GetWindowText()) + ": minimized)");
        }
        if (std::none_of(host_.shown_.begin(), host_.shown_.end(),
                         [&](const DialogRef& r) { return r.Get() == &dialog_; })) {
            host_.shown_.emplace_back(dialog_);
            Draw();
        }
    }
    void ControlChanged(int id, Change what) override {
        const ControlState* c = dialog_.Control(id);
        if (!c || !Shown()) {
            return;
        }
        switch (what) {
            case Change::Text:
                if (RidesOnBar(*c)) {
                    if (const ControlState* bar = VisibleBar()) {
                        host_.Progress(dialog_, *bar);
                    }
                } else if (c->visible && !IsButton(*c)) {
                    DrawText(*c);
                }
                break;
            case Change::Progress:
            case Change::Visible:
                if (c->tmpl.kind == ControlKind::Progress && c->visible) {
                    host_.Progress(dialog_, *c);
                } else if (what == Change::Visible && c->visible && !IsButton(*c)) {
                    DrawText(*c);
                }
                host_.choicesDirty_ =
                    host_.choicesDirty_ || IsButton(*c);  // a moving bar is no choice
                break;
            case Change::Enabled:
                host_.choicesDirty_ = host_.choicesDirty_ || IsButton(*c);
                break;
            case Change::Check:
                if (c->checked) {
                    host_.Line("  (*) " + Display(c->text));
                }
                break;
            case Change::Icon:
                break;
        }
    }
    void FocusChanged(int) override {}
    void TitleChanged() override {
        if (Shown()) {
            host_.Line("== " + Display(dialog_.GetWindowText()) + " ==");
        }
    }
    void IconChanged() override {}
    void SystemMenuChanged() override { host_.choicesDirty_ = true; }
    void Ended() override { host_.choicesDirty_ = true; }

  private:
    bool Shown() const {
        return std::any_of(host_.shown_.begin(), host_.shown_.end(),
                           [&](const DialogRef& r) { return r.Get() == &dialog_; });
    }
    const ControlState* VisibleBar() const {
        for (const ControlState& c : dialog_.Controls()) {
            if (c.tmpl.kind == ControlKind::Progress && c.visible) {
                return &c;
            }
        }
        return nullptr;
    }
    void DrawText(const ControlState& c) {
        const std::string text = Display(c.text);
        if (c.tmpl.kind == ControlKind::GroupBox) {
            host_.Line("  -- " + text + " --");
            return;
        }
        if (c.tmpl.kind == ControlKind::Radio || c.tmpl.kind == ControlKind::CheckBox) {
            host_.Line(std::string(c.checked ? "  (*) " : "  ( ) ") + text);
            return;
        }
        for (const std::string& line : Lines(text)) {
            if (!line.empty()) {
                host_.Line("  " + line);
            }
        }
    }
    void Draw() {
        host_.Line("== " + Display(dialog_.GetWindowText()) + " ==");
        for (const ControlState& c : dialog_.Controls()) {
            if (!c.visible || IsButton(c) || RidesOnBar(c)) {
                continue;
            }
            if (c.tmpl.kind == ControlKind::Progress) {
                host_.Progress(dialog_, c);
            } else if (!c.text.empty()) {
                DrawText(c);
            }
        }
    }

    ConsoleHost& host_;
    Dialog& dialog_;
};

ConsoleHost::ConsoleHost(int inFd, int outFd, kernel::Clock& clock)
    : in_(inFd), out_(outFd), clock_(clock) {}

ConsoleHost::~ConsoleHost() = default;

std::unique_ptr<DialogPeer> ConsoleHost::CreatePeer(Dialog& dialog) {
    return std::make_unique<Peer>(*this, dialog);
}

std::unique_ptr<TrayPeer> ConsoleHost::CreateTray(TrayIcon& /*tray*/) {
    return nullptr;
}

void ConsoleHost::Write(std::string_view utf8) {
    while (!utf8.empty()) {
        const ssize_t n = ::write(out_, utf8.data(), utf8.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a closed terminal: the program goes on without an audience
        }
        utf8.remove_prefix(static_cast<std::size_t>(n));
    }
}

void ConsoleHost::Line(std::string_view utf8) {
    std::string text;
    if (inProgressLine_) {
        text += '\n';
        inProgressLine_ = false;
    }
    text += utf8;
    text += '\n';
    Write(text);
}

void ConsoleHost::Progress(const Dialog& dialog, const ControlState& bar) {
    constexpr int kWidth = 30;
    const int span = std::max(1, bar.rangeHigh - bar.rangeLow);
    const int done = std::clamp((bar.pos - bar.rangeLow) * kWidth / span, 0, kWidth);
    std::string line = "\r  [" + std::string(static_cast<std::size_t>(done), '#') +
                       std::string(static_cast<std::size_t>(kWidth - done), '.') + "]";
    for (const ControlState& c : dialog.Controls()) {
        if (RidesOnBar(c) && c.visible) {
            line += " " + Display(c.text);
        }
    }
    // Clears what a longer earlier rider left on the line.
    line += "\x1b[K";
    Write(line);
    inProgressLine_ = true;
}

void ConsoleHost::ShowChoices() {
    choicesDirty_ = false;
    choices_.clear();
    std::string line;
    for (const DialogRef& ref : shown_) {
        Dialog* d = ref.Get();
        if (!d || !d->IsVisible() || d->IsInputBlocked()) {
            continue;
        }
        for (const ControlState& c : d->Controls()) {
            if (IsButton(c) && c.visible && c.enabled && c.tmpl.id != kNoId) {
                choices_.push_back(Choice{ref, c.tmpl.id, Choice::Kind::kButton});
                line += "  [" + std::to_string(choices_.size()) + "] " + Display(c.text);
            }
        }
        // A setting is a choice too, or a terminal user could never change it.
        for (const ControlState& c : d->Controls()) {
            const bool radio = c.tmpl.kind == ControlKind::Radio;
            if ((radio || c.tmpl.kind == ControlKind::CheckBox) && c.visible && c.enabled &&
                c.tmpl.id != kNoId && !(radio && c.checked)) {
                choices_.push_back(Choice{ref, c.tmpl.id, Choice::Kind::kCheck});
                line += "  [" + std::to_string(choices_.size()) + "] " +
                        (c.checked ? "(*) " : "( ) ") + Display(c.text);
            }
        }
        for (const Dialog::SystemMenuItem& item : d->SystemMenu()) {
            choices_.push_back(Choice{ref, item.id, Choice::Kind::kSystem});
            line += "  [" + std::to_string(choices_.size()) + "] " + Display(item.text);
        }
    }
    if (!line.empty()) {
        Line(line);
    }
}

std::optional<std::string> ConsoleHost::ReadLine(const std::function<bool()>& done) {
    while (!done()) {
        const std::size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            // Lines that came in one read answer what is shown when their turn comes, not the
            // choices of a dialog that has gone meanwhile.
            DispatchDialogs();
            if (done()) {
                break;
            }
            if (choicesDirty_) {
                ShowChoices();
            }
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (inputClosed_) {
            return std::nullopt;
        }
        if (choicesDirty_) {
            ShowChoices();
        }
        if (!PumpDialogs(kernel::kInfinite, in_)) {
            continue;
        }
        char buffer[512];
        const ssize_t n = ::read(in_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            inputClosed_ = true;
            if (!pending_.empty()) {
                pending_ += '\n';  // a last line without its line end still counts
            }
            continue;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
    return std::string();
}

void ConsoleHost::Handle(const std::string& line) {
    const int number = ChoiceInLine(line, static_cast<int>(choices_.size()));
    if (number == 0) {
        if (!line.empty()) {
            Line("?");
        }
        return;
    }
    const Choice choice = choices_[static_cast<std::size_t>(number - 1)];
    choicesDirty_ = true;
    if (Dialog* d = choice.dialog.Get()) {
        switch (choice.kind) {
            case Choice::Kind::kSystem:
                d->UserSysCommand(choice.id);
                break;
            case Choice::Kind::kCheck:
                d->UserCheck(choice.id);
                break;
            case Choice::Kind::kButton:
                // Answers from a pipe are not echoed: the record says what was pressed.
                if (const ControlState* c = d->Control(choice.id)) {
                    Line("  -> " + Display(c->text));
                }
                d->UserCommand(choice.id);
                break;
        }
        DispatchDialogs();
    }
}

void ConsoleHost::RunModal(Dialog& dialog) {
    DialogRef ref(dialog);
    auto ended = [&] { return !ref.Get() || dialog.ModalEnded() || !dialog.IsAlive(); };
    while (!ended()) {
        std::optional<std::string> line = ReadLine(ended);
        if (ended()) {
            break;
        }
        if (line) {
            Handle(*line);
            continue;
        }
        // The end of the input: the close box of the newest dialog, once.
        if (!closedAtEnd_) {
            closedAtEnd_ = true;
            Dialog* newest = nullptr;
            for (const DialogRef& r : shown_) {
                if (Dialog* d = r.Get()) {
                    newest = d;
                }
            }
            if (newest == nullptr) {
                newest = &dialog;
            }
            Line("(input closed)");
            newest->UserClose();
            DispatchDialogs();
            continue;
        }
        PumpDialogs(kernel::kInfinite);
    }
    if (inProgressLine_) {
        Write("\n");
        inProgressLine_ = false;
    }
}

int ConsoleHost::MessageBox(const MessageBoxRequest& request) {
    const char* label = "";
    switch (request.icon) {
        case MbIcon::Information:
            label = "[i] ";
            break;
        case MbIcon::Warning:
            label = "[!] ";
            break;
        case MbIcon::Error:
            label = "[x] ";
            break;
        case MbIcon::None:
            break;
    }
    Line(std::string(label) + Display(request.caption));
    for (const std::string& line : Lines(Display(request.text))) {
        Line("    " + line);
    }
    if (request.buttons == MbButtons::Ok) {
        Line("    -> OK");
        return IDOK;
    }
    while (true) {
        Line("    (y/n)");
        std::optional<std::string> answer = ReadLine([] { return false; });
        if (!answer) {
            Line("    -> No (input closed)");
            return IDNO;
        }
        switch (YesNoInLine(*answer)) {
            case IDYES:
                Line("    -> Yes");
                return IDYES;
            case IDNO:
                Line("    -> No");
                return IDNO;
            default:
                break;
        }
    }
}

}  // namespace platform::ui

namespace platform::ui {

std::unique_ptr<Host> MakeConsoleHost() {
    return std::make_unique<ConsoleHost>();
}

}  // namespace platform::ui

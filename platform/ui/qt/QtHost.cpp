#include "platform/ui/qt/QtHost.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDialog>
#include <QEventLoop>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <cstdio>
#include <map>
#include <vector>

#include "platform/resources/resources.h"
#include "platform/ui/Text.h"
#include "platform/ui/qt/Fonts.h"
#include "platform/ui/qt/NoticePump.h"
#include "platform/ui/qt/WindowPump.h"

namespace platform::ui::qt {
namespace {

constexpr int kScMinimize = 0xF020;
constexpr int kScRestore = 0xF120;
// Windows draws icons of dialogs and message boxes 32 pixels square at 96 dpi.
constexpr int kIconPixels = 32;
// Notification services draw the image at about 48 pixels.
constexpr int kNoticeIconPixels = 48;
// How often an icon without a tray looks for one that appeared.
constexpr int kTrayLookoutMs = 2000;

QString Qs(std::string_view cp932) {
    return QString::fromStdString(Cp932ToUtf8(cp932));
}

// Line breaks of the programs' texts are "\r\n" as often as "\n".
QString ShowLines(std::string_view cp932) {
    QString text = Qs(cp932);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QString ShowPlain(std::string_view cp932) {
    return QString::fromStdString(StripMnemonic(ShowLines(cp932).toStdString()));
}

QApplication& EnsureApplication() {
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return *app;
    }
    // Lives as long as the process: Qt must not be torn down by static destructors.
    static int argc = 1;
    static char name[] = "zr40";
    static char* argv[] = {name, nullptr};
    return *new QApplication(argc, argv);
}

QPixmap IconPixmap(int resource, int size, qreal ratio) {
    if (resource == 0) {
        return {};
    }
    const std::optional<resources::Bytes> bytes = resources::Find("ICON", resource);
    return bytes ? Picture(*bytes, size, ratio) : QPixmap();
}

Key KeyOf(int qtKey) {
    switch (qtKey) {
        case Qt::Key_Left:
            return Key::Left;
        case Qt::Key_Right:
            return Key::Right;
        case Qt::Key_Up:
            return Key::Up;
        case Qt::Key_Down:
            return Key::Down;
        case Qt::Key_Escape:
            return Key::Escape;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return Key::Enter;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return Key::Tab;
        default:
            return Key::Other;
    }
}

class QtHostImpl;
class QtDialogPeer;

class DialogForm final : public QDialog {
  public:
    explicit DialogForm(QtDialogPeer* peer) : peer_(peer) {}
    void Detach() { peer_ = nullptr; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override {}
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QtDialogPeer* peer_;
};

class QtDialogPeer final : public DialogPeer {
  public:
    QtDialogPeer(QtHostImpl& host, Dialog& dialog);
    ~QtDialogPeer() override;

    void Show(ShowCommand command) override;
    void ControlChanged(int id, Change what) override;
    void FocusChanged(int id) override;
    void TitleChanged() override;
    void IconChanged() override;
    void SystemMenuChanged() override;
    void Ended() override;

    QWidget* Form() const { return form_; }
    QWidget* Widget(int id) const;
    void SetLoop(QEventLoop* loop) { loop_ = loop; }

    void UserClose() { dialog_.UserClose(); }
    void UserCancel() { dialog_.UserCommand(IDCANCEL); }
    void UserWindowState(bool minimized);
    bool UserKey(QEvent* event);

  private:
    void Build();
    QWidget* Make(const ControlTemplate& control, QButtonGroup*& group);
    void Apply(std::size_t index, Change what);
    int IdOf(const QObject* widget) const;

    QtHostImpl& host_;
    Dialog& dialog_;
    DialogForm* form_;
    // Context of every connection into this peer: deleted with it, so a widget waiting for
    // deferred deletion never calls into a dialog that is gone.
    std::unique_ptr<QObject> guard_;
    std::vector<QWidget*> widgets_;  // by index of Dialog::Controls(); nullptr for none
    std::vector<QButtonGroup*> groups_;
    std::vector<QAction*> sysMenu_;
    std::unique_ptr<WindowPump> pump_;
    QEventLoop* loop_ = nullptr;
    QFont font_;
    BaseUnits units_;
    bool placed_ = false;
};

class QtTrayPeer final : public TrayPeer {
  public:
    QtTrayPeer(QtHostImpl& host, TrayIcon& tray);
    ~QtTrayPeer() override;
    bool Docked() const override { return docked_; }
    void Changed() override;
    void ShowBalloon(const std::string& titleUtf8, const std::string& textUtf8,
                     std::uint32_t timeoutMs) override;
    void ShowMenu(const MenuTemplate& menu) override;

  private:
    void LookForTray();
    void ShowNotice(const std::string& titleUtf8, const std::string& textUtf8,
                    std::uint32_t timeoutMs);

    QtHostImpl& host_;
    TrayIcon& tray_;
    std::uint64_t sender_;
    std::unique_ptr<QObject> guard_;
    QSystemTrayIcon* icon_;
    bool docked_;
    QTimer* lookout_ = nullptr;
};

class QtHostImpl final : public Host {
  public:
    explicit QtHostImpl(QtHostOptions options)
        : options_(std::move(options)),
          clock_(options_.clock ? options_.clock : &kernel::SystemClock()) {
        EnsureApplication();
        // Balloons are Qt's own widgets and take the application's font; left to the default,
        // their Latin letters come from another face than their kana.
        QApplication::setFont(DialogFont({}, 9, options_.scale));
    }
    ~QtHostImpl() override {
        // Widgets of destroyed dialogs wait for deferred deletion; without a loop to come back
        // to they would outlive the host.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    std::string_view Name() const override { return "qt"; }
    kernel::Clock& Clock() override { return *clock_; }
    double Scale() const { return options_.scale; }

    std::unique_ptr<DialogPeer> CreatePeer(Dialog& dialog) override {
        return std::make_unique<QtDialogPeer>(*this, dialog);
    }

    void RunModal(Dialog& dialog) override {
        while (!dialog.ModalEnded()) {
            auto* peer = dynamic_cast<QtDialogPeer*>(dialog.Peer());
            if (peer == nullptr) {
                return;
            }
            QEventLoop loop;
            peer->SetLoop(&loop);
            loop.exec();
            if (auto* still = dynamic_cast<QtDialogPeer*>(dialog.Peer())) {
                still->SetLoop(nullptr);
            }
        }
    }

    int MessageBox(const MessageBoxRequest& request) override {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (request.icon) {
            case MbIcon::Information:
                icon = QMessageBox::Information;
                break;
            case MbIcon::Warning:
                icon = QMessageBox::Warning;
                break;
            case MbIcon::Error:
                icon = QMessageBox::Critical;
                break;
            case MbIcon::None:
                break;
        }
        const auto buttons = request.buttons == MbButtons::YesNo
                                 ? QMessageBox::Yes | QMessageBox::No
                                 : QMessageBox::StandardButtons(QMessageBox::Ok);
        QWidget* parent = request.owner ? DialogWidget(*request.owner) : nullptr;
        if (parent != nullptr && !parent->isVisible()) {
            parent = nullptr;
        }
        QMessageBox box(icon, ShowPlain(request.caption), ShowLines(request.text), buttons, parent);
        box.setTextFormat(Qt::PlainText);
        box.setFont(DialogFont({}, 9, options_.scale));
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
        if (request.buttons == MbButtons::Ok) {
            box.setEscapeButton(QMessageBox::Ok);
        }
        if (options_.onMessageBox) {
            QTimer::singleShot(0, &box, [this, &box] { options_.onMessageBox(box); });
        }
        box.show();
        box.raise();
        box.activateWindow();
        box.exec();
        switch (box.standardButton(box.clickedButton())) {
            case QMessageBox::Yes:
                return IDYES;
            case QMessageBox::No:
                return IDNO;
            default:
                return request.buttons == MbButtons::YesNo ? IDNO : IDOK;
        }
    }

    bool TrayAvailable() override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    std::unique_ptr<TrayPeer> CreateTray(TrayIcon& tray) override {
        auto peer = std::make_unique<QtTrayPeer>(*this, tray);
        if (peer->Docked()) {
            return peer;
        }
        if (!saidNoTray_) {
            saidNoTray_ = true;
            std::fprintf(stderr,
                         "zr40: no system tray on this desktop; the window stays on the task "
                         "bar instead of hiding to the tray, and balloons go out as desktop "
                         "notifications, until a tray appears\n");
        }
        // The owner hides itself before it adds its icon; without the icon it must remain
        // reachable. Afterwards, so the owner's own sequence is not entered from inside.
        const DialogRef owner(tray.Owner());
        QTimer::singleShot(0, [owner] {
            Dialog* dialog = owner.Get();
            if (dialog != nullptr && !dialog->IsVisible()) {
                dialog->ShowWindow(ShowCommand::Minimize);
            }
        });
        return peer;
    }

    // The desktop notices of icons without a tray, on one connection whose signals keep their
    // order. A sender is an icon, never reused.
    std::uint64_t AddNoticeSender(TrayIcon& tray) {
        noticeSenders_[++lastSender_] = &tray;
        return lastSender_;
    }
    void RemoveNoticeSender(std::uint64_t sender) {
        noticeSenders_.erase(sender);
        if (notices_) {
            notices_->Withdraw(sender);
        }
    }
    void ShowNotice(std::uint64_t sender, const system::Notice& notice) {
        if (!notices_) {
            notices_ = std::make_unique<NoticePump>([this](std::uint64_t clicked) {
                // Posted to the owner, so nothing runs inside the pump.
                if (const auto it = noticeSenders_.find(clicked); it != noticeSenders_.end()) {
                    it->second->Event(kTrayBalloonClick);
                }
            });
        }
        notices_->Show(sender, notice);
    }

  private:
    QtHostOptions options_;
    kernel::Clock* clock_;
    bool saidNoTray_ = false;
    std::uint64_t lastSender_ = 0;
    std::map<std::uint64_t, TrayIcon*> noticeSenders_;
    std::unique_ptr<NoticePump> notices_;
};

// ---------------------------------------------------------------------------------------------

void DialogForm::closeEvent(QCloseEvent* event) {
    // The dialog decides; when it ends, the peer hides and discards this form.
    event->ignore();
    if (peer_ != nullptr) {
        peer_->UserClose();
    }
}

void DialogForm::reject() {
    if (peer_ != nullptr) {
        peer_->UserCancel();
    }
}

void DialogForm::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && peer_ != nullptr) {
        peer_->UserWindowState(isMinimized());
    }
}

bool DialogForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && peer_ != nullptr && peer_->UserKey(event)) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QtDialogPeer::QtDialogPeer(QtHostImpl& host, Dialog& dialog)
    : host_(host), dialog_(dialog), form_(new DialogForm(this)), guard_(new QObject) {
    Build();
    if (dialog_.IsAlive()) {
        pump_ = std::make_unique<WindowPump>(dialog_.GetWindow(), nullptr);
    }
}

QtDialogPeer::~QtDialogPeer() {
    guard_.reset();
    pump_.reset();
    form_->Detach();
    form_->hide();
    // This may run inside a signal of one of the form's widgets.
    form_->deleteLater();
    if (loop_ != nullptr) {
        loop_->quit();
    }
}

void QtDialogPeer::Build() {
    const DialogTemplate& tmpl = dialog_.Template();
    font_ = DialogFont(tmpl.fontFace, tmpl.fontPoints, host_.Scale());
    units_ = DialogBaseUnits(tmpl.fontFace, tmpl.fontPoints, host_.Scale());
    form_->setFont(font_);
    Qt::WindowFlags flags =
        Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (tmpl.style & kSysMenu) {
        flags |= Qt::WindowSystemMenuHint;
    }
    if (tmpl.style & kMinimizeBox) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    form_->setWindowFlags(flags);
    form_->setSizeGripEnabled(false);
    const FontMetrics metrics{units_.cx, units_.cy};
    form_->setFixedSize(DialogXToPixels(tmpl.cx, metrics), DialogYToPixels(tmpl.cy, metrics));
    form_->installEventFilter(form_);

    const std::vector<ControlState>& controls = dialog_.Controls();
    widgets_.assign(controls.size(), nullptr);
    QButtonGroup* group = nullptr;
    QWidget* previousTab = nullptr;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlTemplate& control = controls[i].tmpl;
        QWidget* widget = Make(control, group);
        widgets_[i] = widget;
        if (widget == nullptr) {
            continue;
        }
        widget->setObjectName(QString::number(control.id));
        const Rect rect = DialogToPixels({control.x, control.y, control.cx, control.cy}, metrics);
        widget->setGeometry(rect.x, rect.y, rect.cx, rect.cy);
        widget->installEventFilter(form_);
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previousTab != nullptr) {
                QWidget::setTabOrder(previousTab, widget);
            }
            previousTab = widget;
        }
        for (Change what : {Change::Text, Change::Enabled, Change::Visible, Change::Progress,
                            Change::Check, Change::Icon}) {
            Apply(i, what);
        }
    }
    // Group frames lie under the controls they frame.
    for (QWidget* widget : widgets_) {
        if (qobject_cast<QGroupBox*>(widget) != nullptr) {
            widget->lower();
        }
    }
    QObject::connect(qApp, &QApplication::focusChanged, guard_.get(),
                     [this](QWidget*, QWidget* now) {
                         const int id = IdOf(now);
                         if (id != kNoId && id != dialog_.GetFocus()) {
                             dialog_.UserFocus(id);
                         }
                     });
    TitleChanged();
    IconChanged();
    SystemMenuChanged();
}

QWidget* QtDialogPeer::Make(const ControlTemplate& control, QButtonGroup*& group) {
    if (control.style & kGroup) {
        group = nullptr;
    }
    const int id = control.id;
    const bool tabStop = (control.style & kTabStop) != 0;
    switch (control.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(form_);
            button->setDefault(control.kind == ControlKind::DefPushButton);
            button->setAutoDefault(true);
            button->setFocusPolicy(Qt::StrongFocus);
            QObject::connect(button, &QPushButton::clicked, guard_.get(),
                             [this, id] { dialog_.UserCommand(id); });
            return button;
        }
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(form_);
            box->setFocusPolicy(Qt::StrongFocus);
            QObject::connect(box, &QCheckBox::clicked, guard_.get(),
                             [this, id] { dialog_.UserCheck(id); });
            return box;
        }
        case ControlKind::Radio: {
            auto* radio = new QRadioButton(form_);
            radio->setAutoExclusive(false);
            if (group == nullptr) {
                group = new QButtonGroup(form_);
                groups_.push_back(group);
            }
            group->addButton(radio);
            // Only a group's first radio is a tab stop; arrows move within the group.
            radio->setFocusPolicy(group->buttons().size() == 1 || tabStop ? Qt::StrongFocus
                                                                          : Qt::ClickFocus);
            QObject::connect(radio, &QRadioButton::clicked, guard_.get(),
                             [this, id] { dialog_.UserCheck(id); });
            return radio;
        }
        case ControlKind::Static: {
            auto* label = new QLabel(form_);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(false);
            Qt::Alignment align = Qt::AlignTop;
            align |= (control.style & kCenter)  ? Qt::AlignHCenter
                     : (control.style & kRight) ? Qt::AlignRight
                                                : Qt::AlignLeft;
            label->setAlignment(align);
            return label;
        }
        case ControlKind::GroupBox:
            return new QGroupBox(form_);
        case ControlKind::Icon: {
            auto* label = new QLabel(form_);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return label;
        }
        case ControlKind::Progress: {
            auto* bar = new QProgressBar(form_);
            bar->setTextVisible(false);
            return bar;
        }
        case ControlKind::Edit: {
            const bool readOnly = (control.style & kReadOnly) != 0;
            const Qt::Alignment horizontal = (control.style & kCenter)  ? Qt::AlignHCenter
                                             : (control.style & kRight) ? Qt::AlignRight
                                                                        : Qt::AlignLeft;
            QWidget* edit = nullptr;
            if (control.style & kMultiLine) {
                auto* text = new QTextEdit(form_);
                text->setAcceptRichText(false);
                text->setReadOnly(readOnly);
                text->setLineWrapMode(QTextEdit::NoWrap);
                text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                text->setFrameShape((control.style & kBorder) ? QFrame::StyledPanel
                                                              : QFrame::NoFrame);
                text->document()->setDocumentMargin(1);
                QTextOption option = text->document()->defaultTextOption();
                option.setAlignment(horizontal);
                text->document()->setDefaultTextOption(option);
                if (!readOnly) {
                    QObject::connect(text, &QTextEdit::textChanged, guard_.get(), [this, id, text] {
                        dialog_.UserText(id, Utf8ToCp932(text->toPlainText().toStdString()));
                    });
                }
                edit = text;
            } else {
                auto* line = new QLineEdit(form_);
                line->setReadOnly(readOnly);
                line->setFrame((control.style & kBorder) != 0);
                line->setAlignment(horizontal | Qt::AlignVCenter);
                line->setTextMargins(0, 0, 0, 0);
                if (!readOnly) {
                    QObject::connect(line, &QLineEdit::textEdited, guard_.get(),
                                     [this, id](const QString& text) {
                                         dialog_.UserText(id, Utf8ToCp932(text.toStdString()));
                                     });
                }
                edit = line;
            }
            if (readOnly) {
                // A read-only edit shows the dialog's face colour, as the programs expect.
                QPalette palette = edit->palette();
                palette.setColor(QPalette::Base, palette.color(QPalette::Window));
                edit->setPalette(palette);
            }
            edit->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
            return edit;
        }
    }
    return nullptr;
}

void QtDialogPeer::Apply(std::size_t index, Change what) {
    QWidget* widget = widgets_[index];
    if (widget == nullptr) {
        return;
    }
    const ControlState& state = dialog_.Controls()[index];
    switch (what) {
        case Change::Text:
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                button->setText(Qs(state.text));
            } else if (auto* label = qobject_cast<QLabel*>(widget)) {
                if (state.tmpl.kind != ControlKind::Icon) {
                    label->setText(ShowPlain(state.text));
                }
            } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
                box->setTitle(Qs(state.text));
            } else if (auto* text = qobject_cast<QTextEdit*>(widget)) {
                const QString shown = ShowLines(state.text);
                if (text->toPlainText() != shown) {
                    const QSignalBlocker quiet(text);
                    text->setPlainText(shown);
                }
            } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
                const QString shown = ShowLines(state.text);
                if (line->text() != shown) {
                    line->setText(shown);
                }
            }
            break;
        case Change::Enabled:
            widget->setEnabled(state.enabled);
            break;
        case Change::Visible:
            widget->setVisible(state.visible);
            break;
        case Change::Progress:
            if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
                bar->setRange(state.rangeLow, state.rangeHigh);
                bar->setValue(std::clamp(state.pos, state.rangeLow, state.rangeHigh));
            }
            break;
        case Change::Check:
            if (auto* button = qobject_cast<QAbstractButton*>(widget);
                button != nullptr && button->isCheckable()) {
                QButtonGroup* group = button->group();
                const bool exclusive = group != nullptr && group->exclusive();
                // An exclusive group refuses to uncheck its checked button.
                if (exclusive && !state.checked) {
                    group->setExclusive(false);
                }
                button->setChecked(state.checked);
                if (exclusive) {
                    group->setExclusive(true);
                }
            }
            break;
        case Change::Icon:
            if (state.tmpl.kind == ControlKind::Icon) {
                auto* label = static_cast<QLabel*>(widget);
                const int size = static_cast<int>(std::lround(kIconPixels * host_.Scale()));
                const int icon = state.icon != 0 ? state.icon : state.tmpl.icon;
                label->setPixmap(IconPixmap(icon, size, label->devicePixelRatioF()));
                // An icon control takes the icon's size, whatever the template says.
                label->resize(size, size);
            }
            break;
    }
}

int QtDialogPeer::IdOf(const QObject* widget) const {
    if (widget == nullptr) {
        return kNoId;
    }
    for (std::size_t i = 0; i < widgets_.size(); ++i) {
        if (widgets_[i] == widget) {
            return dialog_.Controls()[i].tmpl.id;
        }
    }
    return kNoId;
}

QWidget* QtDialogPeer::Widget(int id) const {
    const std::vector<ControlState>& controls = dialog_.Controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].tmpl.id == id) {
            return widgets_[i];
        }
    }
    return nullptr;
}

void QtDialogPeer::Show(ShowCommand command) {
    if (!pump_ && dialog_.IsAlive()) {
        pump_ = std::make_unique<WindowPump>(dialog_.GetWindow(), nullptr);
    }
    if (command != ShowCommand::Hide && !placed_) {
        placed_ = true;
        const Dialog* parent = dialog_.Parent();
        QWidget* over = parent != nullptr ? DialogWidget(*parent) : nullptr;
        const QRect area = over != nullptr && over->isVisible()
                               ? over->frameGeometry()
                               : QGuiApplication::primaryScreen()->availableGeometry();
        QRect frame(QPoint(0, 0), form_->size());
        frame.moveCenter(area.center());
        form_->move(frame.topLeft());
        if (dialog_.IsModal()) {
            form_->setWindowModality(Qt::ApplicationModal);
        }
    }
    switch (command) {
        case ShowCommand::Hide:
            form_->hide();
            break;
        case ShowCommand::Normal:
        case ShowCommand::Restore:
            form_->showNormal();
            break;
        case ShowCommand::Minimize:
            form_->showMinimized();
            break;
        case ShowCommand::Foreground:
            form_->showNormal();
            form_->raise();
            form_->activateWindow();
            break;
    }
}

void QtDialogPeer::ControlChanged(int id, Change what) {
    const std::vector<ControlState>& controls = dialog_.Controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].tmpl.id == id) {
            Apply(i, what);
        }
    }
}

void QtDialogPeer::FocusChanged(int id) {
    if (QWidget* widget = Widget(id)) {
        widget->setFocus(Qt::OtherFocusReason);
    }
}

void QtDialogPeer::TitleChanged() {
    form_->setWindowTitle(Qs(dialog_.GetWindowText()));
}

void QtDialogPeer::IconChanged() {
    const QPixmap pixmap = IconPixmap(dialog_.Icon(), kIconPixels * 2, 1.0);
    form_->setWindowIcon(pixmap.isNull() ? QIcon() : QIcon(pixmap));
}

void QtDialogPeer::SystemMenuChanged() {
    for (QAction* action : sysMenu_) {
        form_->removeAction(action);
        delete action;
    }
    sysMenu_.clear();
    for (const Dialog::SystemMenuItem& item : dialog_.SystemMenu()) {
        auto* action = new QAction(Qs(item.text), form_);
        const int id = item.id;
        QObject::connect(action, &QAction::triggered, guard_.get(),
                         [this, id] { dialog_.UserSysCommand(id); });
        form_->addAction(action);
        sysMenu_.push_back(action);
    }
    form_->setContextMenuPolicy(sysMenu_.empty() ? Qt::DefaultContextMenu : Qt::ActionsContextMenu);
}

void QtDialogPeer::Ended() {
    if (loop_ != nullptr) {
        loop_->quit();
    }
}

void QtDialogPeer::UserWindowState(bool minimized) {
    // The window manager's minimise and restore reach the dialog as its system commands do.
    if (minimized != dialog_.IsMinimized()) {
        dialog_.UserSysCommand(minimized ? kScMinimize : kScRestore);
    }
}

bool QtDialogPeer::UserKey(QEvent* event) {
    const Key key = KeyOf(static_cast<QKeyEvent*>(event)->key());
    if (key == Key::Other) {
        return false;
    }
    return dialog_.UserKey(key);
}

// ---------------------------------------------------------------------------------------------

QtTrayPeer::QtTrayPeer(QtHostImpl& host, TrayIcon& tray)
    : host_(host),
      tray_(tray),
      sender_(host.AddNoticeSender(tray)),
      guard_(new QObject),
      icon_(new QSystemTrayIcon(qApp)),
      docked_(QSystemTrayIcon::isSystemTrayAvailable()) {
    QObject::connect(icon_, &QSystemTrayIcon::activated, guard_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             tray_.Event(kTrayLeftButtonUp);
                         } else if (reason == QSystemTrayIcon::Context) {
                             tray_.Event(kTrayRightButtonUp);
                         }
                     });
    QObject::connect(icon_, &QSystemTrayIcon::messageClicked, guard_.get(),
                     [this] { tray_.Event(kTrayBalloonClick); });
    Changed();
    // Shown even without a tray on X11: Qt's icon docks by itself into a tray that appears later
    // (it follows the owner of the tray selection). It tells nobody, so until then the peer
    // looks. Elsewhere Qt decides once whether there is a tray.
    const bool canDockLater = QGuiApplication::platformName() == QLatin1String("xcb");
    if (docked_ || canDockLater) {
        icon_->show();
    }
    if (!docked_ && canDockLater) {
        lookout_ = new QTimer(guard_.get());
        QObject::connect(lookout_, &QTimer::timeout, guard_.get(), [this] { LookForTray(); });
        lookout_->start(kTrayLookoutMs);
    }
}

QtTrayPeer::~QtTrayPeer() {
    // Its notice goes with the icon, as a balloon would.
    host_.RemoveNoticeSender(sender_);
    guard_.reset();
    icon_->hide();
    icon_->deleteLater();
}

void QtTrayPeer::LookForTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    docked_ = true;
    lookout_->stop();
    tray_.TrayAppeared();
}

void QtTrayPeer::Changed() {
    const QPixmap pixmap = IconPixmap(tray_.IconResource(), kIconPixels * 2, 1.0);
    icon_->setIcon(pixmap.isNull() ? QIcon() : QIcon(pixmap));
    icon_->setToolTip(Qs(tray_.Tip()));
}

void QtTrayPeer::ShowBalloon(const std::string& titleUtf8, const std::string& textUtf8,
                             std::uint32_t timeoutMs) {
    // A tray that went away since takes Qt's icon and its balloons with it.
    if (!docked_ || !QSystemTrayIcon::isSystemTrayAvailable()) {
        ShowNotice(titleUtf8, textUtf8, timeoutMs);
        return;
    }
    icon_->showMessage(QString::fromStdString(titleUtf8), QString::fromStdString(textUtf8),
                       QSystemTrayIcon::Information, static_cast<int>(timeoutMs));
}

void QtTrayPeer::ShowNotice(const std::string& titleUtf8, const std::string& textUtf8,
                            std::uint32_t timeoutMs) {
    system::Notice notice;
    notice.appName = Cp932ToUtf8(tray_.Tip());
    notice.title = titleUtf8;
    notice.text = textUtf8;
    notice.timeoutMs = timeoutMs;
    const QPixmap pixmap = IconPixmap(tray_.IconResource(), kNoticeIconPixels, 1.0);
    if (!pixmap.isNull()) {
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_RGBA8888);
        notice.imageWidth = image.width();
        notice.imageHeight = image.height();
        notice.imageRgba.reserve(static_cast<std::size_t>(image.width()) * image.height() * 4);
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = image.constScanLine(y);
            notice.imageRgba.insert(notice.imageRgba.end(), row, row + image.width() * 4);
        }
    }
    host_.ShowNotice(sender_, notice);
}

void QtTrayPeer::ShowMenu(const MenuTemplate& menu) {
    QMenu popup;
    popup.setFont(DialogFont({}, 9, 1.0));
    for (const MenuItem& item : menu.items) {
        if (item.separator) {
            popup.addSeparator();
            continue;
        }
        QAction* action = popup.addAction(Qs(item.text));
        action->setData(item.id);
        if (item.isDefault) {
            popup.setDefaultAction(action);
        }
    }
    // The icon (and this peer) may be removed while the menu is open; the TrayIcon stays.
    TrayIcon& tray = tray_;
    const DialogRef owner(tray.Owner());
    QAction* chosen = popup.exec(QCursor::pos());
    if (chosen != nullptr && owner.Get() != nullptr) {
        tray.Choose(chosen->data().toInt());
    }
}

}  // namespace

std::unique_ptr<Host> MakeQtHost(QtHostOptions options) {
    return std::make_unique<QtHostImpl>(std::move(options));
}

void RegisterQtHost() {
    RegisterHost("qt", [] { return MakeQtHost(); });
}

QWidget* DialogWidget(const Dialog& dialog) {
    auto* peer = dynamic_cast<QtDialogPeer*>(dialog.Peer());
    return peer != nullptr ? peer->Form() : nullptr;
}

QWidget* ControlWidget(const Dialog& dialog, int id) {
    auto* peer = dynamic_cast<QtDialogPeer*>(dialog.Peer());
    return peer != nullptr ? peer->Widget(id) : nullptr;
}

}  // namespace platform::ui::qt

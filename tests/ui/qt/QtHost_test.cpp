// The Qt host under Qt's offscreen platform: Japanese drawn with a font that has it, a dialog
// driven through native widgets and Qt's loop, no text of either program's dialogs cut off, and
// balloons without a tray as desktop notifications, against a notification service of the test's
// own on a private session bus.
#include "platform/ui/qt/QtHost.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resources/resources.h"
#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/ui/qt/ProgramResources.h"
#include "tests/ui/qt/SampleTexts.h"

// Qt keeps fontconfig's configuration until the process ends and never hands it back; that
// allocation is fontconfig's own, not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace ui = platform::ui;
using platform::ui::qt::ControlWidget;
using platform::ui::qt::DialogWidget;

namespace {

class QtHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ASSERT_FALSE(root_.Path().empty());
    }
    void TearDown() override { ui::SetHost(nullptr); }

    // Before whatever the host talks to goes away.
    void DropHost() {
        ui::SetHost(nullptr);
        host_.reset();
    }

    void UseHost(double scale) {
        ui::SetHost(nullptr);
        platform::ui::qt::QtHostOptions options;
        options.scale = scale;
        host_ = platform::ui::qt::MakeQtHost(std::move(options));
        ui::SetHost(host_.get());
    }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootEnv_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::ScopedEnv showEnv_{"ZR40_SHOW", nullptr};
    std::unique_ptr<ui::Host> host_;
};

// A template registered as DIALOG resource `id` while the object lives.
class ScopedTemplate {
  public:
    ScopedTemplate(int id, const std::string& utf8)
        : bytes_(ui::Utf8ToCp932(utf8)),
          resource_(
              "DIALOG", id,
              std::span(reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size())) {}

  private:
    std::string bytes_;
    platform::resources::ScopedResource resource_;
};

class Probe : public ui::Dialog {
  public:
    using Dialog::Dialog;

    std::vector<int> commands;
    std::vector<ui::Key> keys;
    bool refuseClose = true;
    int closesRefused = 0;
    bool swallowLeft = true;

  protected:
    void OnCommand(int id) override {
        commands.push_back(id);
        Dialog::OnCommand(id);
    }
    void OnClose() override {
        if (refuseClose) {
            ++closesRefused;
            return;
        }
        Dialog::OnClose();
    }
    bool OnKey(ui::Key key) override {
        keys.push_back(key);
        return key == ui::Key::Left && swallowLeft;
    }
};

constexpr int kProbeTemplate = 9101;
const char* const kProbeText = R"(DIALOG 9101 160 60
TITLE "更新テスト"
FONT 9 "MS UI Gothic"
STYLE SYSMENU
CONTROL STATIC 1100 "更" 8 8 40 10
CONTROL EDIT 1101 "abc" 8 22 60 12 BORDER TABSTOP
CONTROL DEFPUSHBUTTON 1 "OK" 8 40 50 14 TABSTOP
CONTROL PUSHBUTTON 1202 "書込開始" 64 40 50 14 TABSTOP
)";

QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    widget.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

// Pixels clearly darker than the white page.
int InkedPixels(const QImage& image) {
    int inked = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            inked += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        }
    }
    return inked;
}

TEST_F(QtHostTest, JapaneseIsDrawnWithAFontThatHasIt) {
    UseHost(1.0);
    ScopedTemplate tmpl(kProbeTemplate, kProbeText);
    Probe dialog(kProbeTemplate);
    ASSERT_TRUE(dialog.Create());
    auto* label = qobject_cast<QLabel*>(ControlWidget(dialog, 1100));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QString::fromUtf8("更"));

    label->setAutoFillBackground(false);
    const QImage drawn = Render(*label);
    // The same label with a character no font here has: what a missing glyph looks like.
    QLabel missing;
    QFont only = label->font();
    only.setStyleStrategy(QFont::NoFontMerging);
    missing.setFont(only);
    missing.setText(QString(QChar(0xE000)));
    missing.resize(label->size());
    missing.setAlignment(label->alignment());
    const QImage box = Render(missing);

    EXPECT_GT(InkedPixels(drawn), 20);
    EXPECT_NE(drawn, box);
    dialog.DestroyWindow();
}

TEST_F(QtHostTest, ButtonsCloseBoxAndArrowKeysReachTheDialog) {
    UseHost(1.0);
    ScopedTemplate tmpl(kProbeTemplate, kProbeText);
    Probe dialog(kProbeTemplate);
    ASSERT_TRUE(dialog.Create());
    QWidget* form = DialogWidget(dialog);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), QString::fromUtf8("更新テスト"));

    qobject_cast<QPushButton*>(ControlWidget(dialog, 1202))->click();
    EXPECT_EQ(dialog.commands, std::vector<int>{1202});
    dialog.EnableItem(1202, false);
    EXPECT_FALSE(ControlWidget(dialog, 1202)->isEnabled());

    // Left is the dialog's; the edit's cursor stays. Once the dialog lets it pass, it moves.
    auto* edit = qobject_cast<QLineEdit*>(ControlWidget(dialog, 1101));
    ASSERT_NE(edit, nullptr);
    edit->setCursorPosition(3);
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QApplication::sendEvent(edit, &left);
    EXPECT_EQ(edit->cursorPosition(), 3);
    dialog.swallowLeft = false;
    QKeyEvent again(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QApplication::sendEvent(edit, &again);
    EXPECT_EQ(edit->cursorPosition(), 2);
    EXPECT_EQ(dialog.keys, (std::vector<ui::Key>{ui::Key::Left, ui::Key::Left}));

    form->close();
    EXPECT_EQ(dialog.closesRefused, 1);
    EXPECT_TRUE(dialog.IsAlive());
    EXPECT_TRUE(form->isVisible());
    dialog.refuseClose = false;
    form->close();
    EXPECT_EQ(dialog.commands, (std::vector<int>{1202, ui::IDCANCEL}));
    EXPECT_FALSE(dialog.IsAlive());
}

TEST_F(QtHostTest, WithoutATrayTheHiddenOwnerStaysReachable) {
    UseHost(1.0);
    ScopedTemplate tmpl(kProbeTemplate, kProbeText);
    Probe owner(kProbeTemplate);
    ASSERT_TRUE(owner.Create());
    owner.ShowWindow(ui::ShowCommand::Hide);
    ui::TrayIcon tray(owner, 1, 0x8003);
    // The offscreen platform has no tray, like a desktop without one.
    EXPECT_FALSE(tray.Add(128, "tip"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(owner.IsMinimized());
    EXPECT_TRUE(DialogWidget(owner)->isMinimized());
    owner.DestroyWindow();
}

// A dialog that keeps the events of its tray icons: (icon id, event).
class TrayOwner : public Probe {
  public:
    using Probe::Probe;
    static constexpr std::uint32_t kTrayMessage = 0x8003;
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> trayEvents;

  protected:
    std::intptr_t OnMessage(const platform::window::Message& message) override {
        if (message.message == kTrayMessage) {
            trayEvents.emplace_back(message.wParam, message.lParam);
        }
        return 0;
    }
};

constexpr int kGuardMs = 30'000;

// Runs Qt's loop until pred holds; the guard only stops a hang.
template <class Pred>
bool RunQtUntil(Pred pred) {
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(kGuardMs);
    while (!pred() && guard.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return pred();
}

constexpr char kNoticePath[] = "/org/freedesktop/Notifications";
constexpr char kNoticeInterface[] = "org.freedesktop.Notifications";

// A desktop's notification service: it records what it is asked to show and sends what the
// user's clicks make it send.
class NoticeService {
  public:
    struct Shown {
        std::uint32_t id = 0;
        std::string app;
        std::uint32_t replaces = 0;
        std::string title;
        std::string text;
        std::vector<std::string> actions;
        int imageWidth = 0;
        int imageHeight = 0;
        std::size_t imageBytes = 0;
        std::int32_t timeout = 0;
    };

    explicit NoticeService(const std::string& address)
        : service_(address, [this](sd_bus* bus) {
              ok_ = sd_bus_add_object_vtable(bus, nullptr, kNoticePath, kNoticeInterface, kVtable,
                                             this) >= 0 &&
                    sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) >= 0;
          }) {}

    bool Ok() const { return service_.Ok() && ok_; }
    std::vector<Shown> AllShown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    void Click(std::uint32_t id) {
        service_.Run([id](sd_bus* bus) {
            sd_bus_emit_signal(bus, kNoticePath, kNoticeInterface, "ActionInvoked", "us", id,
                               "default");
        });
    }

  private:
    static int OnNotify(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<NoticeService*>(userdata);
        Shown shown;
        const char* app = nullptr;
        const char* icon = nullptr;
        const char* title = nullptr;
        const char* text = nullptr;
        char** actions = nullptr;
        if (sd_bus_message_read(m, "susss", &app, &shown.replaces, &icon, &title, &text) < 0 ||
            sd_bus_message_read_strv(m, &actions) < 0) {
            return -EINVAL;
        }
        shown.app = app;
        shown.title = title;
        shown.text = text;
        for (char** action = actions; action != nullptr && *action != nullptr; ++action) {
            shown.actions.emplace_back(*action);
            std::free(*action);
        }
        std::free(actions);
        if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
            return -EINVAL;
        }
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            if (std::string_view(key) == "image-data" &&
                sd_bus_message_enter_container(m, 'v', "(iiibiiay)") >= 0 &&
                sd_bus_message_enter_container(m, 'r', "iiibiiay") >= 0) {
                int stride = 0;
                int alpha = 0;
                int bits = 0;
                int channels = 0;
                const void* bytes = nullptr;
                sd_bus_message_read(m, "iiibii", &shown.imageWidth, &shown.imageHeight, &stride,
                                    &alpha, &bits, &channels);
                sd_bus_message_read_array(m, 'y', &bytes, &shown.imageBytes);
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            } else {
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        if (sd_bus_message_read(m, "i", &shown.timeout) < 0) {
            return -EINVAL;
        }
        {
            std::lock_guard lock(self->mutex_);
            shown.id = shown.replaces != 0 ? shown.replaces : ++self->lastId_;
            self->shown_.push_back(shown);
        }
        return sd_bus_reply_method_return(m, "u", shown.id);
    }
    static int OnClose(sd_bus_message* m, void* /*userdata*/, sd_bus_error* /*error*/) {
        return sd_bus_reply_method_return(m, "");
    }

    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &NoticeService::OnNotify, 0),
        SD_BUS_METHOD("CloseNotification", "u", "", &NoticeService::OnClose, 0), SD_BUS_VTABLE_END};

    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
    std::uint32_t lastId_ = 40;
    bool ok_ = false;
    // Last: its thread serves the members above.
    testsupport::BusService service_;
};

// The program's icon, as an SVG picture.
constexpr char kIconSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32">)"
                            R"(<rect width="32" height="32" fill="#2060c0"/></svg>)";
constexpr int kIconResource = 9102;

TEST_F(QtHostTest, WithoutATrayABalloonIsADesktopNotification) {
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    NoticeService service(bus.Address());
    ASSERT_TRUE(service.Ok());
    testsupport::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
    {
        UseHost(1.0);
        ScopedTemplate tmpl(kProbeTemplate, kProbeText);
        platform::resources::ScopedResource icon(
            "ICON", kIconResource,
            std::span(reinterpret_cast<const std::uint8_t*>(kIconSvg), sizeof kIconSvg - 1));
        TrayOwner owner(kProbeTemplate);
        ASSERT_TRUE(owner.Create());
        ui::TrayIcon tray(owner, 1, TrayOwner::kTrayMessage);
        // The offscreen platform has no tray, like a desktop without one.
        EXPECT_FALSE(tray.Add(kIconResource, ui::Utf8ToCp932("ZR-40更新管理ツール")));
        tray.ShowBalloon(ui::Utf8ToCp932("お知らせ"),
                         ui::Utf8ToCp932("ZR-40ソフトウェアに新しいバージョンが見つかりました。"),
                         30000);
        ASSERT_TRUE(RunQtUntil([&] { return service.AllShown().size() == 1; }));

        const NoticeService::Shown shown = service.AllShown()[0];
        EXPECT_EQ(shown.app, "ZR-40更新管理ツール");
        EXPECT_EQ(shown.title, "お知らせ");
        EXPECT_EQ(shown.text, "ZR-40ソフトウェアに新しいバージョンが見つかりました。");
        EXPECT_EQ(shown.timeout, 30000);
        EXPECT_EQ(shown.replaces, 0u);
        // Actions are key and label pairs; "default" is a click on the notice itself.
        ASSERT_EQ(shown.actions.size() % 2, 0u);
        ASSERT_FALSE(shown.actions.empty());
        EXPECT_EQ(shown.actions[0], "default");
        EXPECT_GT(shown.imageWidth, 0);
        EXPECT_EQ(shown.imageBytes, static_cast<std::size_t>(shown.imageWidth) *
                                        static_cast<std::size_t>(shown.imageHeight) * 4);
        EXPECT_TRUE(owner.trayEvents.empty());
        owner.DestroyWindow();
    }
    DropHost();
}

TEST_F(QtHostTest, ANotificationsClickReachesItsIconsOwnerAsABalloonClick) {
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    NoticeService service(bus.Address());
    ASSERT_TRUE(service.Ok());
    testsupport::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
    {
        UseHost(1.0);
        ScopedTemplate tmpl(kProbeTemplate, kProbeText);
        TrayOwner owner(kProbeTemplate);
        ASSERT_TRUE(owner.Create());
        ui::TrayIcon first(owner, 1, TrayOwner::kTrayMessage);
        ui::TrayIcon second(owner, 2, TrayOwner::kTrayMessage);
        EXPECT_FALSE(first.Add(128, "first"));
        EXPECT_FALSE(second.Add(128, "second"));
        first.ShowBalloon("1", "one", 30000);
        ASSERT_TRUE(RunQtUntil([&] { return service.AllShown().size() == 1; }));
        second.ShowBalloon("2", "two", 30000);
        ASSERT_TRUE(RunQtUntil([&] { return service.AllShown().size() == 2; }));
        const std::uint32_t one = service.AllShown()[0].id;
        const std::uint32_t two = service.AllShown()[1].id;
        ASSERT_NE(one, two);

        // One connection keeps the signals' order, so the second icon's click comes last.
        service.Click(one + two + 1);  // a notice of someone else's
        service.Click(one);
        service.Click(one);  // a notice clicked once is gone
        service.Click(two);
        ASSERT_TRUE(RunQtUntil(
            [&] { return !owner.trayEvents.empty() && owner.trayEvents.back().first == 2; }));
        const std::vector<std::pair<std::uintptr_t, std::intptr_t>> expected = {
            {1, ui::kTrayBalloonClick}, {2, ui::kTrayBalloonClick}};
        EXPECT_EQ(owner.trayEvents, expected);
        owner.DestroyWindow();
    }
    DropHost();
}

class Ticking : public Probe {
  public:
    using Probe::Probe;
    int ticks = 0;

  protected:
    bool OnInitDialog() override {
        GetWindow().SetTimer(5, 20);
        return true;
    }
    std::intptr_t OnMessage(const platform::window::Message& message) override {
        if (message.message == platform::window::kTimerMessage && message.wParam == 5) {
            GetWindow().KillTimer(5);
            ++ticks;
            EndDialog(42);
        }
        return 0;
    }
};

TEST_F(QtHostTest, AModalDialogsTimerFiresThroughQtsLoop) {
    UseHost(1.0);
    ScopedTemplate tmpl(kProbeTemplate, kProbeText);
    Ticking dialog(kProbeTemplate);
    // Only a hang guard: the dialog ends itself from its timer long before.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&dialog] { dialog.EndDialog(-2); });
    guard.start(60'000);
    EXPECT_EQ(dialog.DoModal(), 42);
    EXPECT_EQ(dialog.ticks, 1);
}

// A modeless box that goes away by itself, from its own timer, inside Qt's dispatch of it.
class SelfClosing : public Probe {
  public:
    using Probe::Probe;
    QEventLoop* loop = nullptr;
    bool gone = false;

  protected:
    bool OnInitDialog() override {
        GetWindow().SetTimer(6, 10);
        return true;
    }
    std::intptr_t OnMessage(const platform::window::Message& message) override {
        if (message.message == platform::window::kTimerMessage) {
            DestroyWindow();
        }
        return 0;
    }
    void OnPostDestroy() override {
        gone = true;
        loop->quit();
    }
};

TEST_F(QtHostTest, AModelessDialogDestroysItselfFromItsTimer) {
    UseHost(1.0);
    ScopedTemplate tmpl(kProbeTemplate, kProbeText);
    SelfClosing dialog(kProbeTemplate);
    QEventLoop loop;
    dialog.loop = &loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(60'000);
    ASSERT_TRUE(dialog.Create());
    loop.exec();
    EXPECT_TRUE(dialog.gone);
    EXPECT_FALSE(dialog.IsAlive());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// What a control needs to show its text whole, against what it has.
void ExpectFits(QWidget& widget, const std::string& where) {
    const QFontMetrics metrics(widget.font());
    if (auto* label = qobject_cast<QLabel*>(&widget);
        label != nullptr && label->pixmap().isNull()) {
        const QStringList lines = label->text().split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            EXPECT_LE(metrics.horizontalAdvance(line), label->contentsRect().width())
                << where << " \"" << line.toStdString() << "\"";
        }
        EXPECT_LE(static_cast<int>(lines.size()) * metrics.height(), label->contentsRect().height())
            << where << " " << lines.size() << " lines";
    } else if (auto* radio = qobject_cast<QRadioButton*>(&widget)) {
        EXPECT_LE(radio->sizeHint().width(), radio->width()) << where;
        EXPECT_LE(metrics.height(), radio->height()) << where;
    } else if (auto* button = qobject_cast<QPushButton*>(&widget)) {
        QString text = button->text();
        text.remove(QLatin1Char('&'));
        const int frame =
            button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        EXPECT_LE(metrics.horizontalAdvance(text) + 2 * frame, button->width()) << where;
        EXPECT_LE(metrics.height(), button->height()) << where;
    } else if (auto* line = qobject_cast<QLineEdit*>(&widget)) {
        const QRect inside = line->contentsRect().marginsRemoved(line->textMargins());
        EXPECT_LE(metrics.horizontalAdvance(line->text()), inside.width()) << where;
        EXPECT_LE(metrics.height(), inside.height()) << where;
    } else if (auto* text = qobject_cast<QTextEdit*>(&widget)) {
        const QStringList lines = text->toPlainText().split(QLatin1Char('\n'));
        const int margin = static_cast<int>(text->document()->documentMargin());
        const QRect inside = text->viewport()->rect().adjusted(margin, margin, -margin, -margin);
        for (const QString& one : lines) {
            EXPECT_LE(metrics.horizontalAdvance(one), inside.width()) << where;
        }
        EXPECT_LE(static_cast<int>(lines.size()) * metrics.lineSpacing(), inside.height())
            << where << " " << lines.size() << " lines";
    } else if (auto* group = qobject_cast<QGroupBox*>(&widget)) {
        EXPECT_LE(metrics.horizontalAdvance(group->title()) + 2 * metrics.averageCharWidth(),
                  group->width())
            << where;
    }
}

TEST_F(QtHostTest, NoTextOfEitherProgramIsCutOff) {
    int checked = 0;
    for (double scale : {1.0, 2.0}) {
        UseHost(scale);
        for (const std::filesystem::path& manifest : testsupport::ProgramManifests()) {
            testsupport::ProgramResources program(manifest);
            for (int id : program.Dialogs()) {
                ui::Dialog dialog(id);
                ASSERT_TRUE(dialog.Create()) << manifest << " dialog " << id;
                testsupport::FillSamples(dialog);
                QWidget* form = DialogWidget(dialog);
                ASSERT_NE(form, nullptr);
                for (QWidget* child : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                    ExpectFits(*child, manifest.parent_path().filename().string() + " dialog " +
                                           std::to_string(id) + " control " +
                                           child->objectName().toStdString() + " at " +
                                           std::to_string(scale));
                    ++checked;
                }
                dialog.DestroyWindow();
            }
        }
    }
    EXPECT_GT(checked, 0);
}

}  // namespace

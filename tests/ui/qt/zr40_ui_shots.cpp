// zr40-ui-shots: pictures of every dialog of both programs and of the message-box kinds.
//
//   zr40-ui-shots [--out DIR]   renders them into DIR (default build/<kind>/screenshots) at
//                               100 % and 200 %; meant for Qt's offscreen platform
//   zr40-ui-shots --tray        shows the update manager's tray icon with its balloon on the
//                               display, prints "ready"; "menu" on standard input opens the
//                               icon's menu and prints "ready" again; ends when input closes
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"
#include "platform/ui/qt/QtHost.h"
#include "tests/ui/qt/ProgramResources.h"
#include "tests/ui/qt/SampleTexts.h"
#include "tests/ui/qt/ShotImage.h"

namespace ui = platform::ui;
namespace qtui = platform::ui::qt;
using testsupport::Framed;
using testsupport::Save;

namespace {

std::string ProgramOf(const std::filesystem::path& manifest) {
    return manifest.string().find("ZR40UpReg") != std::string::npos ? "ZR40_UpManager"
                                                                    : "ZR40_SWUpdate";
}

int RenderAll(const std::filesystem::path& out) {
    std::filesystem::create_directories(out);
    bool ok = true;
    for (int percent : {100, 200}) {
        const double ratio = percent / 100.0;
        std::filesystem::path boxFile;
        qtui::QtHostOptions options;
        options.onMessageBox = [&](QMessageBox& box) {
            ok = Save(Framed(box, ratio), boxFile) && ok;
            box.done(0);
        };
        std::unique_ptr<ui::Host> host = qtui::MakeQtHost(std::move(options));
        ui::SetHost(host.get());
        for (const std::filesystem::path& manifest : testsupport::ProgramManifests()) {
            testsupport::ProgramResources program(manifest);
            for (int id : program.Dialogs()) {
                ui::Dialog dialog(id);
                if (!dialog.Create()) {
                    ok = false;
                    continue;
                }
                testsupport::FillSamples(dialog);
                const std::string name = ProgramOf(manifest) + "-dialog-" + std::to_string(id) +
                                         "@" + std::to_string(percent) + ".png";
                ok = Save(Framed(*qtui::DialogWidget(dialog), ratio), out / name) && ok;
                dialog.DestroyWindow();
            }
        }
        struct Box {
            const char* name;
            ui::MbIcon icon;
            const char* caption;
            const char* text;
        };
        const Box boxes[] = {
            {"information", ui::MbIcon::Information, "ZR-40ソフトウェア更新ツール",
             "ソフトウェアの更新が正常に完了しました。\n\n"
             "更新情報のサーバー登録については、ネットワーク接続状態　\n"
             "もしくは、サーバーアクセス混雑のため登録動作を一時中断　\n"
             "し、時間を置いてから自動的に再開します。\n"},
            {"warning", ui::MbIcon::Warning, "ZR-40更新管理ツール",
             "ご使用されているOSでの動作をサポートしていません。"},
            {"error", ui::MbIcon::Error, "ZR-40ソフトウェア更新ツール",
             "ソフトウェア更新に失敗しました。\nアプリケーションを終了します。"},
        };
        for (const Box& box : boxes) {
            boxFile = out / (std::string("messagebox-") + box.name + "@" + std::to_string(percent) +
                             ".png");
            ui::MessageBox(ui::Utf8ToCp932(box.text), ui::Utf8ToCp932(box.caption), box.icon);
        }
        ui::SetHost(nullptr);
    }
    return ok ? 0 : 1;
}

int ShowTray() {
    std::filesystem::path manifest;
    for (const std::filesystem::path& one : testsupport::ProgramManifests()) {
        if (manifest.empty() || ProgramOf(one) == "ZR40_UpManager") {
            manifest = one;
        }
    }
    testsupport::ProgramResources program(manifest);
    if (program.Dialogs().empty()) {
        std::fprintf(stderr, "zr40-ui-shots: no dialog in %s\n", manifest.c_str());
        return 1;
    }
    ::setenv("ZR40_SHOW", "hidden", 1);
    std::unique_ptr<ui::Host> host = qtui::MakeQtHost();
    ui::SetHost(host.get());
    // The manager's main dialog, hidden, as it is while it sits in the tray.
    ui::Dialog owner(program.Dialogs().size() > 1 ? 102 : program.Dialogs().front());
    if (!owner.Create()) {
        return 1;
    }
    const std::string title = owner.GetWindowText();
    ui::TrayIcon tray(owner, 1, 0x8003);

    const auto ready = [] {
        std::printf("ready\n");
        std::fflush(stdout);
    };
    // The tray program may come up after us; ask until it is there.
    QTimer poll;
    int tries = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            if (++tries > 100) {
                std::fprintf(stderr, "zr40-ui-shots: no system tray\n");
                QCoreApplication::exit(1);
            }
            return;
        }
        poll.stop();
        tray.Add(128, title);
        tray.ShowBalloon(ui::Utf8ToCp932("お知らせ"),
                         ui::Utf8ToCp932("ZR-40ソフトウェアに新しいバージョンが見つかりました。"),
                         30000);
        // Docking and drawing the balloon take the tray and the X server a moment.
        QTimer::singleShot(1500, ready);
    });
    poll.start(100);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            if (QWidget* popup = QApplication::activePopupWidget()) {
                popup->close();
            }
            QCoreApplication::exit(0);
            return;
        }
        if (std::string(buffer, static_cast<std::size_t>(n)).starts_with("menu")) {
            // Where a right click on the icon would have left the pointer.
            for (QSystemTrayIcon* icon : qApp->findChildren<QSystemTrayIcon*>()) {
                QCursor::setPos(icon->geometry().center());
            }
            QTimer::singleShot(500, ready);
            tray.ShowMenu(4, 32772);
        }
    });
    const int code = QCoreApplication::exec();
    tray.Remove();
    owner.DestroyWindow();
    ui::SetHost(nullptr);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path out = ZR_SHOTS_DIR;
    bool tray = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--tray") {
            tray = true;
        } else {
            std::fprintf(stderr, "usage: zr40-ui-shots [--out DIR] | --tray\n");
            return 2;
        }
    }
    // A private runtime directory for the dialogs' windows.
    if (std::getenv("ZR40_ROOT") == nullptr) {
        char pattern[] = "/tmp/zr40-ui-shots-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            ::setenv("ZR40_ROOT", pattern, 1);
        }
    }
    return tray ? ShowTray() : RenderAll(out);
}

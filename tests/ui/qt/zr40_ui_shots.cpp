// zr40-ui-shots: pictures of every dialog of both programs and of the message-box kinds.
//
//   zr40-ui-shots [--out DIR]   renders them into DIR (default build/<kind>/screenshots) at
//                               100 % and 200 %; meant for Qt's offscreen platform
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"
#include "platform/ui/qt/QtHost.h"
#include "tests/support/TempDir.h"
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

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path out = ZR_SHOTS_DIR;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zr40-ui-shots [--out DIR]\n");
            return 2;
        }
    }
    // A private runtime directory for the dialogs' windows, gone with the program.
    testsupport::TempDir root("zr40-ui-shots-");
    if (std::getenv("ZR40_ROOT") == nullptr) {
        ::setenv("ZR40_ROOT", root.Path().c_str(), 1);
    }
    return RenderAll(out);
}

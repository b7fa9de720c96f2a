// Every dialog both programs ship: it parses, every control the code addresses is there with
// its kind and style, nothing overlaps or leaves the dialog, and the Japanese texts fit.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/resources/resources.h"
#include "platform/ui/Template.h"
#include "platform/ui/Text.h"

using namespace platform::ui;

namespace {

// Widths in dialog units for a 9-point Japanese font: a full-width character 6 units, a
// half-width one 4 (an average Latin letter by definition; digits and kana are narrower).
int TextWidth(const std::string& utf8Line) {
    int width = 0;
    for (std::size_t i = 0; i < utf8Line.size();) {
        const auto b = static_cast<unsigned char>(utf8Line[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        const bool halfKana = n == 3 && utf8Line.compare(i, 2, "\xEF\xBD") == 0;
        width += n == 1 || halfKana ? 4 : 6;
        i += n;
    }
    return width;
}

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
        } else {
            line += c;
        }
    }
    lines.push_back(line);
    return lines;
}

// Room a control's own decoration takes from its text.
int Decoration(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton:
            return 8;
        case ControlKind::Radio:
        case ControlKind::CheckBox:
            return 12;
        case ControlKind::GroupBox:
            return 10;
        default:
            return 0;
    }
}

bool Fits(const ControlTemplate& c, const std::string& cp932) {
    const std::vector<std::string> lines = Lines(StripMnemonic(Cp932ToUtf8(cp932)));
    for (const std::string& line : lines) {
        if (TextWidth(line) + Decoration(c.kind) > c.cx) {
            return false;
        }
    }
    return static_cast<int>(lines.size()) * 8 <= c.cy;
}

bool Inside(const ControlTemplate& inner, const ControlTemplate& outer) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
           inner.y + inner.cy <= outer.y + outer.cy;
}

bool Overlap(const ControlTemplate& a, const ControlTemplate& b) {
    return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

void ExpectSoundLayout(const DialogTemplate& d) {
    SCOPED_TRACE("dialog " + std::to_string(d.id));
    EXPECT_EQ(FontFamily(d.fontFace), "Noto Sans CJK JP");
    for (std::size_t i = 0; i < d.controls.size(); ++i) {
        const ControlTemplate& c = d.controls[i];
        const std::string what = "control " + std::to_string(c.id) + " " + Cp932ToUtf8(c.text);
        EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.x + c.cx <= d.cx && c.y + c.cy <= d.cy) << what;
        EXPECT_TRUE(Fits(c, c.text)) << what;
        for (std::size_t j = i + 1; j < d.controls.size(); ++j) {
            const ControlTemplate& o = d.controls[j];
            const bool grouped = (c.kind == ControlKind::GroupBox && Inside(o, c)) ||
                                 (o.kind == ControlKind::GroupBox && Inside(c, o));
            EXPECT_TRUE(grouped || !Overlap(c, o)) << what << " and " << o.id;
        }
    }
}

DialogTemplate Shipped(int id) {
    std::string error;
    std::optional<DialogTemplate> d = LoadDialog(id, &error);
    EXPECT_TRUE(d) << error;
    return d.value_or(DialogTemplate{});
}

// The update manager's resources are another program's: read from its sources, converted as
// its build does.
std::string ManagerText(const std::string& name) {
    std::ifstream in(std::string(ZR_SOURCE_DIR) + "/ZR40UpReg/res/" + name);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_TRUE(in) << name;
    return Utf8ToCp932(s.str());
}

void ExpectControl(const DialogTemplate& d, int id, ControlKind kind, std::uint32_t style = 0) {
    const ControlTemplate* c = d.Find(id);
    ASSERT_NE(c, nullptr) << "dialog " << d.id << " control " << id;
    EXPECT_EQ(c->kind, kind) << id;
    EXPECT_EQ(c->style & style, style) << id;
}

}  // namespace

TEST(Templates, MainDialogHasEveryControlItsCodeAddressesAndTheTextsFit) {
    const DialogTemplate d = Shipped(1000);
    ExpectSoundLayout(d);
    EXPECT_EQ(Cp932ToUtf8(d.title), "ZR-40ソフトウェア更新ツール");
    EXPECT_TRUE(d.style & kSysMenu);
    ExpectControl(d, 1202, ControlKind::DefPushButton);
    ExpectControl(d, 1, ControlKind::PushButton);
    EXPECT_EQ(Cp932ToUtf8(d.Find(1202)->text), "書込開始");
    EXPECT_EQ(Cp932ToUtf8(d.Find(1)->text), "終了");
    ExpectControl(d, 1131, ControlKind::Edit, kReadOnly);
    ExpectControl(d, 1132, ControlKind::Edit, kReadOnly);
    ExpectControl(d, 1125, ControlKind::Edit, kReadOnly | kMultiLine | kCenter | kBorder);
    ExpectControl(d, 1126, ControlKind::Edit, kReadOnly | kMultiLine | kCenter | kBorder);
    ExpectControl(d, 1127, ControlKind::Progress, kHidden | kDisabled);
    ExpectControl(d, 1128, ControlKind::Edit, kReadOnly | kRight | kDisabled);
    EXPECT_TRUE(std::any_of(d.controls.begin(), d.controls.end(), [](const ControlTemplate& c) {
        return c.kind == ControlKind::Icon && c.icon == 135;
    }));

    // The texts the main dialog sets, in the boxes it sets them in.
    for (const char* line :
         {"ご使用中のZR-40のソフトウェア更新を行います。",
          "ソフトウェアバージョンを確認してから実行してください。",
          "ZR-40のソフトウェアを書き換え中です。", "ZR40のソフトウェア更新結果を確認中です。",
          "通信設定ファイルが更新されるのを待っています。",
          "ソフトウェア更新情報をサーバーへ登録中です。"}) {
        EXPECT_TRUE(Fits(*d.Find(1131), Utf8ToCp932(line))) << line;
    }
    EXPECT_TRUE(Fits(*d.Find(1125),
                     "\r\nZR-40\r\n" + Utf8ToCp932("ソフトウェアバージョン") + "\r\n\r\nVer1.01"));
    EXPECT_TRUE(Fits(*d.Find(1126),
                     Utf8ToCp932("\r\n新しい\r\nソフトウェアバージョン\r\n\r\n") + "Ver*.**"));
    EXPECT_TRUE(Fits(*d.Find(1128), Utf8ToCp932("100%  完了")));
}

TEST(Templates, SecondaryDialogsHaveTheirSizesTitlesAndButtons) {
    struct Expected {
        int id, cx, cy;
        const char* title;
        std::vector<int> buttons;
        int texts;
    };
    const Expected expected[] = {
        {178, 342, 207, "ZR-40 ソフトウェア更新ツール", {1, 2}, 13},
        {179, 166, 50, "ZR-40ソフトウェア更新ツール", {}, 2},
        {180, 225, 142, "ZR-40ソフトウェア更新ツール", {1}, 7},
        {181, 201, 60, "ZR-40ソフトウェア更新ツール", {1}, 2},
        {100, 235, 55, "ZR-40ソフトウェア更新 バージョン情報", {1}, 0},
    };
    for (const Expected& e : expected) {
        const DialogTemplate d = Shipped(e.id);
        ExpectSoundLayout(d);
        EXPECT_EQ(d.cx, e.cx);
        EXPECT_EQ(d.cy, e.cy);
        EXPECT_EQ(Cp932ToUtf8(d.title), e.title);
        int buttons = 0;
        int texts = 0;
        for (const ControlTemplate& c : d.controls) {
            buttons += c.kind == ControlKind::PushButton || c.kind == ControlKind::DefPushButton;
            texts += c.kind == ControlKind::Static && c.id == kNoId;
        }
        EXPECT_EQ(buttons, static_cast<int>(e.buttons.size())) << e.id;
        for (int id : e.buttons) {
            EXPECT_NE(d.Find(id), nullptr) << e.id << " button " << id;
        }
        EXPECT_EQ(texts, e.texts) << e.id;
    }
    EXPECT_EQ(Cp932ToUtf8(Shipped(178).Find(1)->text), "次へ");
    EXPECT_EQ(Cp932ToUtf8(Shipped(178).Find(2)->text), "キャンセル");
    EXPECT_FALSE(Shipped(179).style & kSysMenu);  // nothing to close it with
    ExpectControl(Shipped(100), 117, ControlKind::Static);
    ExpectControl(Shipped(100), 1003, ControlKind::Static);
}

TEST(Templates, ManagerDialogsAndTrayMenu) {
    std::string error;
    const std::optional<DialogTemplate> main = ParseDialog(ManagerText("dlg102.txt"), &error);
    ASSERT_TRUE(main) << error;
    ExpectSoundLayout(*main);
    EXPECT_EQ(main->cx, 205);
    EXPECT_EQ(main->cy, 200);
    EXPECT_EQ(Cp932ToUtf8(main->title), "ZR-40更新管理ツール");
    ExpectControl(*main, 1000, ControlKind::PushButton);
    ExpectControl(*main, 1001, ControlKind::Radio, kGroup);
    ExpectControl(*main, 1002, ControlKind::Radio);
    EXPECT_FALSE(main->Find(1002)->style & kGroup);  // one group: 1001 and 1002
    ExpectControl(*main, 1003, ControlKind::DefPushButton);
    ExpectControl(*main, 1004, ControlKind::PushButton);

    const std::optional<DialogTemplate> news = ParseDialog(ManagerText("dlg130.txt"), &error);
    ASSERT_TRUE(news) << error;
    ExpectSoundLayout(*news);
    EXPECT_EQ(news->cx, 216);
    EXPECT_EQ(news->cy, 70);
    ExpectControl(*news, 1007, ControlKind::Static);
    EXPECT_EQ(Cp932ToUtf8(news->Find(1007)->text), "（バージョン x.x.x）");
    EXPECT_TRUE(Fits(*news->Find(1007), Utf8ToCp932("（バージョン Ver1.02）")));
    ExpectControl(*news, 1000, ControlKind::DefPushButton);
    ExpectControl(*news, 1003, ControlKind::PushButton);

    const std::optional<MenuTemplate> menu = ParseMenu(ManagerText("menu4.txt"), &error);
    ASSERT_TRUE(menu) << error;
    ASSERT_EQ(menu->items.size(), 1u);
    EXPECT_EQ(menu->items[0].id, 32772);
    EXPECT_TRUE(menu->items[0].isDefault);
    EXPECT_EQ(Cp932ToUtf8(menu->items[0].text), "終了(&X)");
}

TEST(Templates, ToolStringTableHoldsEveryMessageItsFlowsShow) {
    for (int id : {101, 111, 112, 113, 114, 115, 116, 118, 190, 191, 192, 193, 204,
                   205, 207, 208, 211, 212, 214, 215, 216, 217, 218, 219, 220}) {
        EXPECT_FALSE(platform::resources::LoadString(id).empty()) << id;
    }
    EXPECT_EQ(Cp932ToUtf8(platform::resources::LoadString(191)),
              "更新情報のサーバー登録については、ネットワーク接続状態　\n");
}

TEST(Templates, ParserKeepsDoubleByteCharactersWhoseSecondByteIsABackslash) {
    // "ソ" is 83 5C in code page 932: read as an escape it would eat the next character.
    std::string error;
    const std::optional<DialogTemplate> d = ParseDialog(
        Utf8ToCp932("DIALOG 7 10 10\nCONTROL STATIC 5 \"ソ\\\"フ\" 0 0 10 10 BORDER\n"), &error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(Cp932ToUtf8(d->controls[0].text), "ソ\"フ");

    EXPECT_FALSE(ParseDialog("DIALOG 7 10 10\nCONTROL STATIC 5 \"open 0 0 10 10\n", &error));
    EXPECT_NE(error.find("line 2"), std::string::npos);
    EXPECT_FALSE(ParseDialog("CONTROL STATIC 5 \"x\" 0 0 1 1\n", &error));
    EXPECT_FALSE(ParseDialog("DIALOG 7 10 10\nCONTROL SLIDER 5 \"x\" 0 0 1 1\n", &error));
}

// Dialog and menu templates as data, kept as resources of their program.
//
// Text format (UTF-8 in the repository, embedded as code page 932 by the resource manifest, one
// statement per line; blank lines and lines starting with '#' are ignored):
//
//   DIALOG <id> <cx> <cy>                     dialog size in dialog units
//   TITLE "<text>"
//   FONT <points> "<face>"
//   STYLE <flag>...                           SYSMENU MINIMIZEBOX MODALFRAME
//   CONTROL <kind> <id|-> "<text>" <x> <y> <cx> <cy> [<flag>...] [ICON=<resource>]
//
//   MENU <id>
//   ITEM <id> "<text>" [DEFAULT]
//   SEPARATOR
//
// Kinds: PUSHBUTTON DEFPUSHBUTTON STATIC EDIT ICON PROGRESS RADIO GROUPBOX CHECKBOX.
// Control flags: READONLY MULTILINE CENTER RIGHT BORDER HIDDEN DISABLED GROUP TABSTOP.
// "-" as id is a control the code never addresses (id -1). Inside quotes: \n line break,
// \r carriage return, \" quote, \\ backslash; '&' marks the mnemonic ("&&" is a literal '&').
// Escapes are read outside double-byte characters, so a second byte 0x5C stays part of its
// character. One resource holds one dialog (type DIALOG) or one menu (type MENU).
//
// "#name <identifier>" right above a DIALOG, CONTROL, MENU or ITEM statement gives its id the
// name the code declares it under; a comment here, it feeds the build's checks
// (platform/ui/template_ids.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

inline constexpr int kNoId = -1;

enum class ControlKind {
    PushButton,
    DefPushButton,
    Static,
    Edit,
    Icon,
    Progress,
    Radio,
    GroupBox,
    CheckBox,
};

// Control style flags.
inline constexpr std::uint32_t kReadOnly = 1u << 0;
inline constexpr std::uint32_t kMultiLine = 1u << 1;
inline constexpr std::uint32_t kCenter = 1u << 2;
inline constexpr std::uint32_t kRight = 1u << 3;
inline constexpr std::uint32_t kBorder = 1u << 4;
inline constexpr std::uint32_t kHidden = 1u << 5;
inline constexpr std::uint32_t kDisabled = 1u << 6;
inline constexpr std::uint32_t kGroup = 1u << 7;
inline constexpr std::uint32_t kTabStop = 1u << 8;

// Dialog style flags.
inline constexpr std::uint32_t kSysMenu = 1u << 0;
inline constexpr std::uint32_t kMinimizeBox = 1u << 1;
inline constexpr std::uint32_t kModalFrame = 1u << 2;

struct ControlTemplate {
    ControlKind kind = ControlKind::Static;
    int id = kNoId;
    std::string text;  // code page 932
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    std::uint32_t style = 0;
    int icon = 0;  // icon resource of an Icon control
};

struct DialogTemplate {
    int id = 0;
    std::string title;  // code page 932
    int cx = 0;
    int cy = 0;
    int fontPoints = 9;
    std::string fontFace;  // as written; FontFamily() gives the face to use on Linux
    std::uint32_t style = 0;
    std::vector<ControlTemplate> controls;

    // The first control with this id; nullptr when there is none (or id is kNoId).
    const ControlTemplate* Find(int controlId) const;
};

struct MenuItem {
    int id = 0;
    std::string text;  // code page 932
    bool separator = false;
    bool isDefault = false;
};

struct MenuTemplate {
    int id = 0;
    std::vector<MenuItem> items;
};

// Parse a template text (code page 932). On failure: empty, and *error (when given) names the
// line and what is wrong.
std::optional<DialogTemplate> ParseDialog(std::string_view cp932, std::string* error = nullptr);
std::optional<MenuTemplate> ParseMenu(std::string_view cp932, std::string* error = nullptr);

// From the program's resources (types DIALOG and MENU); empty when absent or malformed.
std::optional<DialogTemplate> LoadDialog(int id, std::string* error = nullptr);
std::optional<MenuTemplate> LoadMenu(int id, std::string* error = nullptr);

// The font family a host uses for a template face: the Windows Japanese faces (and any face
// not known here) map to a sans-serif with Japanese glyphs.
std::string FontFamily(std::string_view face);

// Dialog units to pixels for a font's average character width and height in pixels: a
// horizontal unit is a quarter of the average width, a vertical unit an eighth of the height.
// The templates are laid out for a Japanese font whose full-width character is 6 units wide
// (and a half-width one at most 4): a host takes avgCharWidth as two thirds of the advance of
// a full-width character such as "あ" (at least the Latin average), and charHeight as the
// font's line height. A Japanese 9-point line then needs 8 units of height.
struct FontMetrics {
    int avgCharWidth = 0;
    int charHeight = 0;
};
struct Rect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};
int DialogXToPixels(int x, const FontMetrics& font);
int DialogYToPixels(int y, const FontMetrics& font);
Rect DialogToPixels(const Rect& units, const FontMetrics& font);

}  // namespace platform::ui

// Fonts and pictures of the Qt host.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform::ui::qt {

// The family every dialog font maps to: the faces templates name are Windows faces that Linux
// lacks, and the fallback chain would otherwise pick a Latin face without kana or kanji.
inline constexpr const char* kJapaneseFamily = "Noto Sans CJK JP";

// The font a dialog's texts are drawn with. The faces templates name have proportional kana,
// narrower than the full-width ones of the Japanese family here: a line of 32 characters that
// fills 199 dialog units there needs the size 11/12 and the width 92 % here. The dialog's
// lengths still follow the template's size (DialogBaseUnits). scale 2.0 draws the dialog as a
// 192-dpi screen would.
QFont DialogFont(std::string_view face, int pointSize, double scale);

// The average character width and the height of the template's font at its size times scale:
// the base of dialog units.
struct BaseUnits {
    int cx = 0;
    int cy = 0;
};
BaseUnits DialogBaseUnits(std::string_view face, int pointSize, double scale);

// An SVG or PNG picture drawn at size × size logical pixels; null when it cannot be read.
QPixmap Picture(std::span<const std::uint8_t> bytes, int size, qreal devicePixelRatio);

}  // namespace platform::ui::qt

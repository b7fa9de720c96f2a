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

// A dialog's font: its point size at 96 dots per inch times scale (2.0 draws the dialog as a
// 192-dpi screen would, every length following the font).
QFont DialogFont(std::string_view face, int pointSize, double scale);

// The font's average character width and height, the base of dialog units.
struct BaseUnits {
    int cx = 0;
    int cy = 0;
};
BaseUnits FontBaseUnits(const QFont& font);

// An SVG or PNG picture drawn at size × size logical pixels; null when it cannot be read.
QPixmap Picture(std::span<const std::uint8_t> bytes, int size, qreal devicePixelRatio);

}  // namespace platform::ui::qt

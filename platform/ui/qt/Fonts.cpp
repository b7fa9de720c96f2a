#include "platform/ui/qt/Fonts.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

namespace platform::ui::qt {

QFont DialogFont(std::string_view /*face*/, int pointSize, double scale) {
    QFont font(QString::fromLatin1(kJapaneseFamily));
    font.setStyleHint(QFont::SansSerif);
    // Pixels, not points: the template's size is meant at 96 dpi whatever the screen claims.
    const int points = pointSize > 0 ? pointSize : 9;
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(points * 96.0 / 72.0 * scale))));
    return font;
}

BaseUnits FontBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Rounded half up, as the average width of dialog units is defined.
    return {(width / 26 + 1) / 2, metrics.height()};
}

QPixmap Picture(std::span<const std::uint8_t> bytes, int size, qreal devicePixelRatio) {
    const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<qsizetype>(bytes.size()));
    const int device = static_cast<int>(std::lround(size * devicePixelRatio));
    QSvgRenderer svg(data);
    if (svg.isValid()) {
        QImage image(device, device, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        svg.render(&painter);
        painter.end();
        QPixmap pixmap = QPixmap::fromImage(image);
        pixmap.setDevicePixelRatio(devicePixelRatio);
        return pixmap;
    }
    QPixmap pixmap;
    if (!pixmap.loadFromData(data)) {
        return {};
    }
    pixmap = pixmap.scaled(device, device, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

}  // namespace platform::ui::qt

#include "platform/ui/qt/Fonts.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

namespace platform::ui::qt {

namespace {

QFont Japanese(int pointSize, double factor, int stretch) {
    QFont font(QString::fromLatin1(kJapaneseFamily));
    font.setStyleHint(QFont::SansSerif);
    // Pixels at 96 dpi: Qt rounds a font's pixel size to whole pixels anyway.
    const double pixels = (pointSize > 0 ? pointSize : 9) * 96.0 / 72.0 * factor;
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixels))));
    font.setStretch(stretch);
    return font;
}

}  // namespace

QFont DialogFont(std::string_view /*face*/, int pointSize, double scale) {
    return Japanese(pointSize, scale * 11.0 / 12.0, 92);
}

BaseUnits DialogBaseUnits(std::string_view /*face*/, int pointSize, double scale) {
    const QFontMetrics metrics(Japanese(pointSize, scale, QFont::Unstretched));
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

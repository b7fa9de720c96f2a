// How the screenshot programs draw a window: its client area under a plain caption band with its
// title, as offscreen windows have no frame of their own; several windows as they lie on a
// desktop.
#pragma once

#include <QColor>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/ui/qt/Fonts.h"

namespace testsupport {

inline int CaptionBand() {
    return QFontMetrics(platform::ui::qt::DialogFont({}, 9, 1.0)).height() + 8;
}

// The window under its caption band, drawn at `ratio` device pixels per logical pixel.
inline QImage Framed(QWidget& widget, double ratio) {
    const QFont caption = platform::ui::qt::DialogFont({}, 9, 1.0);
    const int band = CaptionBand();
    const QSize size(widget.width(), widget.height() + band);
    QImage image(size * ratio, QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(QColor(0x2f, 0x4f, 0x7f));
    QPainter painter(&image);
    painter.setFont(caption);
    painter.setPen(Qt::white);
    painter.drawText(QRect(8, 0, size.width() - 16, band), Qt::AlignVCenter | Qt::AlignLeft,
                     widget.windowTitle());
    painter.end();
    // render() starts a painter of its own on the image.
    widget.render(&image, QPoint(0, band), {},
                  QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return image;
}

// The windows where they are, the first one lowest, on a piece of desktop around them.
inline QImage Desktop(const std::vector<QWidget*>& windows) {
    const int band = CaptionBand();
    QRect area;
    for (QWidget* window : windows) {
        area |= window->geometry().adjusted(0, -band, 0, 0);
    }
    area.adjust(-16, -16, 16, 16);
    QImage image(area.size(), QImage::Format_ARGB32);
    image.fill(QColor(0x5a, 0x6e, 0x7f));
    QPainter painter(&image);
    painter.setPen(QColor(0x20, 0x20, 0x20));
    for (QWidget* window : windows) {
        const QImage framed = Framed(*window, 1.0);
        const QPoint at = window->geometry().topLeft() - QPoint(0, band) - area.topLeft();
        painter.drawImage(at, framed);
        // Without a frame of its own a window would merge into the one below it.
        painter.drawRect(QRect(at, framed.size()).adjusted(-1, -1, 0, 0));
    }
    painter.end();
    return image;
}

inline bool Save(const QImage& image, const std::filesystem::path& file) {
    if (!image.save(QString::fromStdString(file.string()))) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
        return false;
    }
    std::printf("%s\n", file.c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace testsupport

#include "MainIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QImage DrawMainIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // Rounded tile.
    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(0x2B, 0x5F, 0x8E));
    tile.setColorAt(1, QColor(0x17, 0x3A, 0x5C));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // Database drum.
    const QColor drum(0xEE, 0xF3, 0xF8);
    const QColor rim(0xA9, 0xBD, 0xD1);
    p.setBrush(drum);
    p.setPen(QPen(rim, 1.5));
    QPainterPath body;
    body.moveTo(14, 34);
    body.lineTo(14, 52);
    body.arcTo(QRectF(14, 47, 36, 10), 180, 180);
    body.lineTo(50, 34);
    body.closeSubpath();
    p.drawPath(body);
    p.drawEllipse(QRectF(14, 29, 36, 10));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(14, 38, 36, 10), 180 * 16, 180 * 16);

    // The vane: a pole on the drum with an arrow and a tail, turned into the wind.
    p.setPen(QPen(QColor(0xF2, 0xC1, 0x4E), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 33), QPointF(32, 10));
    QPainterPath arrow;
    arrow.moveTo(52, 17);
    arrow.lineTo(43, 11.5);
    arrow.lineTo(43, 15.5);
    arrow.lineTo(20, 15.5);
    arrow.lineTo(15, 11);
    arrow.lineTo(12, 11);
    arrow.lineTo(15.5, 17);
    arrow.lineTo(12, 23);
    arrow.lineTo(15, 23);
    arrow.lineTo(20, 18.5);
    arrow.lineTo(43, 18.5);
    arrow.lineTo(43, 22.5);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x8A, 0x2A, 0x12), 0.8));
    p.setBrush(QColor(0xE8, 0x5D, 0x2E));
    p.drawPath(arrow);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF2, 0xC1, 0x4E));
    p.drawEllipse(QPointF(32, 17), 2.2, 2.2);
    return image;
}

QIcon MainIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(DrawMainIcon(size)));
    return icon;
}

#include "App/TrayIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace TrayIcons {

namespace {
void drawWaveform(QPainter& p, const QRectF& area) {
    const double heights[] = {0.3, 0.6, 1.0, 0.6, 0.3};
    const double step = area.width() / 5.0;
    for (int i = 0; i < 5; ++i) {
        const double h = area.height() * heights[i];
        const double x = area.left() + step * (i + 0.5);
        p.drawLine(QPointF(x, area.center().y() - h / 2), QPointF(x, area.center().y() + h / 2));
    }
}

QPixmap draw(const QString& symbol, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QPen pen(Qt::black, s / 12.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    const QRectF inner(s * 0.2, s * 0.2, s * 0.6, s * 0.6);
    const QRectF circle(s * 0.06, s * 0.06, s * 0.88, s * 0.88);

    if (symbol == QLatin1String("waveform.circle.fill")) {
        p.setBrush(Qt::black);
        p.drawEllipse(circle);
        p.setPen(QPen(Qt::white, s / 12.0, Qt::SolidLine, Qt::RoundCap));
        drawWaveform(p, inner);
    } else if (symbol == QLatin1String("mic.fill")) {
        p.setBrush(Qt::black);
        p.drawRoundedRect(QRectF(s * 0.36, s * 0.08, s * 0.28, s * 0.5), s * 0.14, s * 0.14);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(s * 0.24, s * 0.3, s * 0.52, s * 0.44), 180 * 16, 180 * 16);
        p.drawLine(QPointF(s * 0.5, s * 0.74), QPointF(s * 0.5, s * 0.9));
    } else if (symbol == QLatin1String("waveform.badge.minus")) {
        drawWaveform(p, QRectF(s * 0.05, s * 0.15, s * 0.6, s * 0.7));
        p.drawLine(QPointF(s * 0.7, s * 0.8), QPointF(s * 0.95, s * 0.8));
    } else if (symbol == QLatin1String("ellipsis.circle")) {
        p.drawEllipse(circle);
        p.setBrush(Qt::black);
        for (int i = -1; i <= 1; ++i) p.drawEllipse(QPointF(s * 0.5 + i * s * 0.2, s * 0.5), s * 0.04, s * 0.04);
    } else if (symbol == QLatin1String("checkmark.circle.fill")) {
        p.setBrush(Qt::black);
        p.drawEllipse(circle);
        p.setPen(QPen(Qt::white, s / 10.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(
            QPolygonF({QPointF(s * 0.3, s * 0.5), QPointF(s * 0.45, s * 0.65), QPointF(s * 0.72, s * 0.36)}));
    } else if (symbol == QLatin1String("exclamationmark.triangle.fill")) {
        p.setBrush(Qt::black);
        p.drawPolygon(QPolygonF({QPointF(s * 0.5, s * 0.08), QPointF(s * 0.94, s * 0.9), QPointF(s * 0.06, s * 0.9)}));
        p.setPen(QPen(Qt::white, s / 10.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(s * 0.5, s * 0.38), QPointF(s * 0.5, s * 0.62));
        p.drawPoint(QPointF(s * 0.5, s * 0.77));
    } else {
        drawWaveform(p, QRectF(s * 0.1, s * 0.1, s * 0.8, s * 0.8));
    }
    return pixmap;
}
}  // namespace

QIcon icon(const QString& symbol) {
    QIcon result;
    for (int size : {16, 22, 32, 48}) result.addPixmap(draw(symbol, size));
    // Drawn in one colour: desktops that tint tray icons may recolour it, like a template image.
    result.setIsMask(true);
    return result;
}

}  // namespace TrayIcons

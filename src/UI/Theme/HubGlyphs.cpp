#include "UI/Theme/HubGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>

namespace {

// Draws in a 16 × 16 box scaled to the rect.
void drawUnit(QPainter& p, const QString& s, const QColor& color) {
    const QBrush fill(color);
    if (s == QLatin1String("house")) {
        p.drawPolyline(QPolygonF({{2, 8}, {8, 2.5}, {14, 8}}));
        p.drawPolyline(QPolygonF({{4, 6.5}, {4, 14}, {12, 14}, {12, 6.5}}));
        p.drawRect(QRectF(6.8, 10, 2.4, 4));
    } else if (s == QLatin1String("clock")) {
        p.drawEllipse(QRectF(2, 2, 12, 12));
        p.drawPolyline(QPolygonF({{8, 4.5}, {8, 8}, {10.5, 9.5}}));
    } else if (s == QLatin1String("text.bubble")) {
        QPainterPath path;
        path.addRoundedRect(QRectF(2, 2.5, 12, 8.5), 2.5, 2.5);
        p.drawPath(path);
        p.drawPolyline(QPolygonF({{5, 11}, {4.5, 14}, {8, 11}}));
        p.drawLine(QPointF(4.5, 5.5), QPointF(11.5, 5.5));
        p.drawLine(QPointF(4.5, 8), QPointF(9.5, 8));
    } else if (s == QLatin1String("arrow.left.arrow.right")) {
        p.drawLine(QPointF(2.5, 5.5), QPointF(13.5, 5.5));
        p.drawPolyline(QPolygonF({{11, 3}, {13.5, 5.5}, {11, 8}}));
        p.drawLine(QPointF(2.5, 10.5), QPointF(13.5, 10.5));
        p.drawPolyline(QPolygonF({{5, 8}, {2.5, 10.5}, {5, 13}}));
    } else if (s == QLatin1String("gearshape")) {
        for (int i = 0; i < 8; ++i) {
            const double a = i * M_PI / 4;
            p.drawLine(QPointF(8 + 4.5 * std::cos(a), 8 + 4.5 * std::sin(a)),
                       QPointF(8 + 6.5 * std::cos(a), 8 + 6.5 * std::sin(a)));
        }
        p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
        p.drawEllipse(QRectF(6.3, 6.3, 3.4, 3.4));
    } else if (s == QLatin1String("magnifyingglass")) {
        p.drawEllipse(QRectF(2, 2, 9, 9));
        p.drawLine(QPointF(9.8, 9.8), QPointF(14, 14));
    } else if (s == QLatin1String("xmark.circle.fill")) {
        p.setBrush(fill);
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(QPen(Qt::white, 1.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
        p.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
    } else if (s == QLatin1String("waveform") || s == QLatin1String("waveform.slash")) {
        const double heights[] = {3, 7, 11, 6, 9, 4};
        for (int i = 0; i < 6; ++i) {
            const double x = 2.5 + i * 2.2;
            p.drawLine(QPointF(x, 8 - heights[i] / 2), QPointF(x, 8 + heights[i] / 2));
        }
        if (s == QLatin1String("waveform.slash")) p.drawLine(QPointF(2, 2), QPointF(14, 14));
    } else if (s == QLatin1String("checkmark")) {
        p.drawPolyline(QPolygonF({{3, 8.5}, {6.5, 12}, {13, 4}}));
    } else if (s == QLatin1String("doc.on.doc")) {
        p.drawRoundedRect(QRectF(5.5, 5, 8, 9.5), 1.5, 1.5);
        p.drawPolyline(QPolygonF({{3, 11}, {3, 3}, {4, 2}, {10, 2}}));
    } else if (s == QLatin1String("textformat") || s == QLatin1String("text.word.spacing")) {
        p.drawPolyline(QPolygonF({{2, 13}, {5.5, 3}, {9, 13}}));
        p.drawLine(QPointF(3.3, 9.5), QPointF(7.7, 9.5));
        p.drawEllipse(QRectF(10, 8, 4, 5));
    } else if (s == QLatin1String("speedometer")) {
        p.drawArc(QRectF(2, 3, 12, 12), 0, 180 * 16);
        p.drawLine(QPointF(8, 9), QPointF(11, 5.5));
    } else if (s == QLatin1String("exclamationmark.shield")) {
        p.drawPolygon(QPolygonF({{8, 1.5}, {13.5, 3.5}, {13, 9}, {8, 14.5}, {3, 9}, {2.5, 3.5}}));
        p.drawLine(QPointF(8, 4.5), QPointF(8, 9));
        p.drawPoint(QPointF(8, 11.3));
    } else if (s == QLatin1String("hand.raised")) {
        for (int i = 0; i < 4; ++i)
            p.drawLine(QPointF(4.5 + i * 2.3, 3 + (i == 0 || i == 3)), QPointF(4.5 + i * 2.3, 9));
        p.drawArc(QRectF(4, 6, 8, 9), 180 * 16, 180 * 16);
    } else if (s == QLatin1String("mic")) {
        p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8.5), 2.5, 2.5);
        p.drawArc(QRectF(3.5, 4, 9, 8.5), 180 * 16, 180 * 16);
        p.drawLine(QPointF(8, 12.5), QPointF(8, 14.5));
    } else {  // "app" and anything unknown
        p.drawRoundedRect(QRectF(2.5, 2.5, 11, 11), 3, 3);
    }
}

}  // namespace

void drawHubGlyph(QPainter& painter, const QString& symbol, const QRectF& rect, const QColor& color, double lineWidth) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(rect.width(), rect.height());
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / 16, side / 16);
    painter.setPen(QPen(color, lineWidth * 16 / std::max(side, 1.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    drawUnit(painter, symbol, color);
    painter.restore();
}

QIcon hubGlyphIcon(const QString& symbol, int size, const QColor& color) {
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    drawHubGlyph(painter, symbol, QRectF(0, 0, size, size), color);
    painter.end();
    return QIcon(pixmap);
}

QColor labelColor(const QPalette& palette, LabelStyle style, double extraOpacity) {
    QColor color = palette.color(QPalette::WindowText);
    double opacity = 1.0;
    switch (style) {
    case LabelStyle::primary: opacity = 0.85; break;
    case LabelStyle::secondary: opacity = 0.55; break;
    case LabelStyle::tertiary: opacity = 0.3; break;
    case LabelStyle::quaternary: opacity = 0.18; break;
    }
    color.setAlphaF(float(opacity * extraOpacity));
    return color;
}

void paintRoundedPanel(QPainter& painter, const QRectF& rect, const QPalette& palette, double radius,
                       double fillOpacity) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(rect.adjusted(0.25, 0.25, -0.25, -0.25), radius, radius);
    painter.fillPath(path, labelColor(palette, LabelStyle::quaternary, fillOpacity));
    painter.setPen(QPen(labelColor(palette, LabelStyle::quaternary, 0.3), 0.5));
    painter.drawPath(path);
    painter.restore();
}

#include "UI/Overlay/Faces/FaceWidget.h"

#include "UI/Motion/MotionClock.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

FaceWidget::FaceWidget(QWidget* parent, MotionClock* clock)
    : QWidget(parent),
      m_clock(clock ? clock : &MotionClock::shared()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
}

void FaceWidget::startTicking() {
    m_clock->requestTicks(this, [this](double dt) {
        const bool moving = advance(dt);
        update();
        return moving;
    });
}

namespace FaceDrawing {

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(std::clamp(opacity, 0.0, 1.0) * color.alphaF()));
    return color;
}

QFont font(double pixelSize, QFont::Weight weight) {
    QFont f;
    f.setPixelSize(std::max(1, qRound(pixelSize)));
    f.setWeight(weight);
    return f;
}

void bar(QPainter& p, QPointF center, double width, double height, double radius, const QColor& color) {
    const QRectF rect(center.x() - width / 2, center.y() - height / 2, width, height);
    const double r = std::min({radius, width / 2, height / 2});
    QPainterPath path;
    path.addRoundedRect(rect, r, r);
    p.fillPath(path, color);
}

namespace {
void strokeGlyph(QPainter& p, const QPainterPath& path, double size, const QColor& color) {
    QPen pen(color, std::max(1.0, size * 0.14));
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.save();
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.restore();
}
}  // namespace

void keyCapGlyph(QPainter& p, QPointF c, double s, const QColor& color) {
    const double x = c.x() - s / 2, y = c.y() - s / 2;
    QPainterPath path;
    path.addRoundedRect(QRectF(x + 0.05 * s, y + 0.05 * s, 0.9 * s, 0.9 * s), 0.22 * s, 0.22 * s);
    path.moveTo(x + 0.32 * s, y + 0.68 * s);
    path.lineTo(x + 0.68 * s, y + 0.68 * s);
    strokeGlyph(p, path, s, color);
}

void checkmarkGlyph(QPainter& p, QPointF c, double s, const QColor& color) {
    const double x = c.x() - s / 2, y = c.y() - s / 2;
    QPainterPath path;
    path.moveTo(x + 0.1 * s, y + 0.55 * s);
    path.lineTo(x + 0.38 * s, y + 0.82 * s);
    path.lineTo(x + 0.9 * s, y + 0.2 * s);
    strokeGlyph(p, path, s, color);
}

void pauseGlyph(QPainter& p, QPointF c, double s, const QColor& color) {
    bar(p, {c.x() - 0.22 * s, c.y()}, 0.28 * s, 0.9 * s, 0.08 * s, color);
    bar(p, {c.x() + 0.22 * s, c.y()}, 0.28 * s, 0.9 * s, 0.08 * s, color);
}

void playGlyph(QPainter& p, QPointF c, double s, const QColor& color) {
    QPainterPath path;
    path.moveTo(c.x() - 0.35 * s, c.y() - 0.45 * s);
    path.lineTo(c.x() + 0.45 * s, c.y());
    path.lineTo(c.x() - 0.35 * s, c.y() + 0.45 * s);
    path.closeSubpath();
    p.fillPath(path, color);
}

namespace {
QFont stopFont() { return font(10, QFont::DemiBold); }
const QColor stopRed(0xEF, 0x44, 0x44);
}  // namespace

QSizeF stopPillSize() {
    const QFontMetricsF metrics(stopFont());
    const double content = 6 + 4 + metrics.horizontalAdvance(QStringLiteral("Stop"));
    return {content + 18, std::max(6.0, metrics.height()) + 10};
}

void stopPill(QPainter& p, const QRectF& rect, double dotOpacity, bool withShadow) {
    const double radius = rect.height() / 2;
    if (withShadow) glowCapsule(p, rect, withOpacity(stopRed, 0.25), 4);
    QPainterPath capsule;
    capsule.addRoundedRect(rect, radius, radius);
    p.fillPath(capsule, stopRed);
    const QRectF content = rect.adjusted(9, 5, -9, -5);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(withOpacity(Qt::white, dotOpacity));
    p.drawEllipse(QRectF(content.left(), content.center().y() - 3, 6, 6));
    p.setPen(Qt::white);
    p.setFont(stopFont());
    p.drawText(content.adjusted(10, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               QStringLiteral("Stop"));
    p.restore();
}

void glowCapsule(QPainter& p, const QRectF& rect, const QColor& color, double blur) {
    // Concentric capsules, each fainter as it grows, read as a blurred edge at this size.
    const int layers = 6;
    for (int k = layers; k >= 1; --k) {
        const double grow = blur * k / layers;
        const QRectF r = rect.adjusted(-grow, -grow, grow, grow);
        QPainterPath path;
        path.addRoundedRect(r, r.height() / 2, r.height() / 2);
        p.fillPath(path, withOpacity(color, 1.0 / layers));
    }
}

}  // namespace FaceDrawing

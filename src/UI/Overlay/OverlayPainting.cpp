#include "UI/Overlay/OverlayPainting.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace OverlayPainting {

void softShadow(QPainter& p, const QRectF& box, double cornerRadius, double radius, double offsetY, double opacity) {
    const int layers = std::max(2, int(radius));
    const QRectF shifted = box.translated(0, offsetY);
    for (int i = layers; i >= 1; --i) {
        const double grow = radius * i / layers;
        QPainterPath layer;
        layer.addRoundedRect(shifted.adjusted(-grow, -grow, grow, grow), cornerRadius + grow, cornerRadius + grow);
        const double alpha = std::clamp(opacity * 2.0 / layers * (1 - double(i) / (layers + 1)), 0.0, 1.0);
        p.fillPath(layer, QColor(0, 0, 0, static_cast<int>(std::lround(255 * alpha))));
    }
}

void innerStroke(QPainter& p, const QRectF& box, double cornerRadius, double width, const QColor& color) {
    const double inset = width / 2;
    const double r = std::max(0.0, cornerRadius - inset);
    QPainterPath path;
    path.addRoundedRect(box.adjusted(inset, inset, -inset, -inset), r, r);
    p.save();
    p.setPen(QPen(color, width));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.restore();
}

}  // namespace OverlayPainting

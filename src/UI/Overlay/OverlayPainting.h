#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

// Drawing shared by the overlay's pill, toast and suggestion card.
namespace OverlayPainting {

// A soft shadow of a rounded rectangle: layers that grow and fade over `radius`, moved down by
// `offsetY`, together about `opacity` black at the edge of the shape.
void softShadow(QPainter& p, const QRectF& box, double cornerRadius, double radius, double offsetY, double opacity);

// A line `width` wide drawn just inside the edge of the rounded rectangle.
void innerStroke(QPainter& p, const QRectF& box, double cornerRadius, double width, const QColor& color);

}  // namespace OverlayPainting

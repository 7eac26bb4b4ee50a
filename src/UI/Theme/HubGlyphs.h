#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QRectF>
#include <QString>

class QPainter;

// Small line drawings standing in for the named symbols of the hub ("house", "clock",
// "magnifyingglass", "doc.on.doc", ...). An unknown name draws a plain rounded square.
void drawHubGlyph(QPainter& painter, const QString& symbol, const QRectF& rect, const QColor& color,
                  double lineWidth = 1.2);
QIcon hubGlyphIcon(const QString& symbol, int size, const QColor& color);

// The hierarchical label colours, from the palette's text colour.
enum class LabelStyle { primary, secondary, tertiary, quaternary };
QColor labelColor(const QPalette& palette, LabelStyle style, double extraOpacity = 1.0);

// The hub's rounded panel: a quaternary fill at `fillOpacity` and a 0.5-point quaternary outline
// at 30 % opacity on its inner edge.
void paintRoundedPanel(QPainter& painter, const QRectF& rect, const QPalette& palette, double radius,
                       double fillOpacity);

#pragma once

#include <QColor>
#include <QString>

// The overlay's colours are written as "#RRGGBB" literals.
//
// Every "#" at either end is dropped, then the leading run of hexadecimal digits is read. Only a
// remainder of exactly six characters gives a colour (red, green, blue from the high, middle and
// low byte of that number); anything else — an empty text, "#ABC", eight digits — gives opaque
// black rather than a guess. Characters after the leading digits count towards the six but are not
// read, so "#12345G" is the number 0x12345 (red 0x01, green 0x23, blue 0x45); leading spaces or a
// "0x" prefix stop the reading at once and give black. The result is always opaque sRGB.
QColor colorFromHex(const QString& hex);

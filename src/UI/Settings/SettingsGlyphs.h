#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

// The small symbols of the settings views: the desktop theme's icon where it has one, else a
// character glyph painted in the given colour.
namespace SettingsGlyphs {

QIcon icon(const QString& symbol, const QColor& color, int size);

}  // namespace SettingsGlyphs

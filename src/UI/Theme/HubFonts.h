#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

// The serif family of the hub's titles.
inline const QString hubSerifFamily = QStringLiteral("EB Garamond");

// Registers the hub's own serif font files ("fonts/EBGaramond-Regular.ttf" and
// "fonts/EBGaramond-Italic.ttf" in the application's resources) for this process. A missing
// file is skipped: the system-installed family then serves. Calling it again does nothing.
void registerHubFonts();

// The folders searched for the "fonts" resource folder, in order: the Qt resource root, then
// the program's resource roots (AppPaths::resourceRoots).
QStringList hubFontSearchPaths();

// The serif font at a point size (optionally italic), for the hub's titles.
QFont hubSerifFont(double pointSize, bool italic = false);

#pragma once

#include <QIcon>
#include <QString>

// The tray item's images, drawn at run time so nothing depends on the icon theme. Each symbol
// name of ShellRules::iconForStatus has its own drawing; unknown names draw the plain waveform.
namespace TrayIcons {
QIcon icon(const QString& symbol);
}

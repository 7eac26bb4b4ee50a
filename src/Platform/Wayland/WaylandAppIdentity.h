#pragma once

#include "Platform/Wayland/WaylandFrontApp.h"

#include <QString>
#include <QtGlobal>

// How the application in front is named on a Wayland session, where no window carries a process
// id, WM_CLASS or GTK application id: from the process alone (AT-SPI gives the pid), or from the
// app id the compositor's list of windows gives.
namespace WaylandAppIdentity {

// The Flatpak id, else the desktop file a launcher recorded for this very process, else the
// executable's name; the name from the desktop entry, else `accessibleName` (what the
// application calls itself on the accessibility bus), else the executable's name.
WaylandFrontApp forProcess(qint64 pid, const QString& accessibleName);

// A Wayland app id is the desktop-file id or the Flatpak id by convention, else the program's
// own choice: it is the identifier; the name comes from its desktop entry, else it is the id.
WaylandFrontApp forAppId(const QString& appId);

// The executable's file name of process `pid` (its command name when the executable cannot be
// read); empty when the process is gone.
QString executableName(qint64 pid);

}  // namespace WaylandAppIdentity

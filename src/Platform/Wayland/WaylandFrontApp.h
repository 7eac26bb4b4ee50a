#pragma once

#include <QString>
#include <QtGlobal>

// The application in front on a Wayland session, as one of the trackers sees it.
struct WaylandFrontApp {
    qint64 pid = 0;   // 0 when unknown (the compositor's list of windows names no process)
    QString appId;    // the identifier: Flatpak id, desktop-file id, Wayland app id or executable
    QString appName;  // the desktop entry's name when one is found, else what the source calls it
    QString title;    // the window's title; empty when unknown

    bool operator==(const WaylandFrontApp&) const = default;
};

#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>

// Grabs X11 screen contents in physical pixels (X11 coordinates are device pixels).
// Blocking: call it off the main thread.
class ScreenGrabber {
public:
    // "Screen recording" on X11: a one-pixel grab of the root window works.
    static bool canCapture();

    // The monitor under the pointer (the primary monitor, then the first one, when the pointer is
    // outside every monitor; the whole root window when RandR lists none). On failure returns
    // nothing and sets `error` to a short description.
    static std::optional<QImage> grabMonitorUnderPointer(QString* error);

    // Which rectangle to grab: the first monitor containing the pointer, else the primary one,
    // else the first, else the root.
    static QRect chooseMonitor(const QList<QRect>& monitors, int primaryIndex, QPoint pointer, QRect root);
};

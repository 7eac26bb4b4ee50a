#include "Platform/DesktopBackend.h"

#include "Platform/Null/NullBackend.h"
#include "Platform/Wayland/WaylandBackend.h"
#include "Platform/X11/X11Backend.h"

QString DesktopBackend::kindFor(const QByteArray& waylandDisplay, const QByteArray& sessionType,
                                const QByteArray& display) {
    // A Wayland session sets DISPLAY too (XWayland); the compositor's own interfaces come first.
    if (!waylandDisplay.isEmpty() || sessionType == "wayland") return QStringLiteral("wayland");
    if (!display.isEmpty()) return QStringLiteral("x11");
    return QStringLiteral("none");
}

DesktopBackend& DesktopBackend::current() {
    // All three are stateless towards the caller; which one answers depends on the session's
    // variables alone. A variable that names no reachable server still gets its back-end: its
    // services fail to connect and say so, and the entry point reports it through
    // unavailableReason().
    static WaylandBackend wayland;
    static X11Backend x11;
    static NullBackend none;
    const QString kind =
        kindFor(qgetenv("WAYLAND_DISPLAY"), qgetenv("XDG_SESSION_TYPE").trimmed().toLower(), qgetenv("DISPLAY"));
    if (kind == QLatin1String("wayland")) return wayland;
    if (kind == QLatin1String("x11")) return x11;
    return none;
}

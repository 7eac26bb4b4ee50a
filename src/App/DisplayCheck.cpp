#include "App/DisplayCheck.h"

#include <QByteArray>

#include <xcb/xcb.h>

#include <cstring>

bool otherPlatformChosen(int argc, char** argv) {
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) platform = argv[i + 1];
    return !platform.isEmpty() && !platform.startsWith("xcb");
}

std::optional<QString> displayProblem(bool platformChosen) {
    if (platformChosen) return std::nullopt;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("No X11 display: DISPLAY is not set. Vantrose needs an X11 session (or XWayland).");
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = connection ? xcb_connection_has_error(connection) : 1;
    if (connection) xcb_disconnect(connection);
    if (error)
        return QStringLiteral("Cannot open the X11 display \"%1\". Vantrose needs an X11 session (or XWayland).")
            .arg(QString::fromLocal8Bit(display));
    return std::nullopt;
}

#include "App/DisplayCheck.h"

#include "Platform/DesktopBackend.h"

#include <QByteArray>

#include <cstring>

bool otherPlatformChosen(int argc, char** argv) {
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) platform = argv[i + 1];
    return !platform.isEmpty() && !platform.startsWith("xcb");
}

std::optional<QString> displayProblem(bool platformChosen) {
    if (platformChosen) return std::nullopt;
    return DesktopBackend::current().unavailableReason();
}

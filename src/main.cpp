#include "Core/Logger.h"

#include <QApplication>
#include <QSysInfo>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Vantrose");
    QCoreApplication::setApplicationVersion(VANTROSE_VERSION);
    VLOG("=== Vantrose v" VANTROSE_VERSION " starting ===");
    VLOG("OS: " + QSysInfo::prettyProductName());
    VLOG("Arch: " + QSysInfo::currentCpuArchitecture());
    std::fprintf(stderr, "Vantrose %s: the application shell is not built yet.\n", VANTROSE_VERSION);
    Logger::flush();
    return 0;
}

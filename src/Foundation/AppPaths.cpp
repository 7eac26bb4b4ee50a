#include "Foundation/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const char* kAppFolder = "Vantrose";

QString ensured(const QString& path) {
    QDir().mkpath(path);
    return path;
}

QString xdgHome(const char* variable, const QString& fallbackUnderHome) {
    const QByteArray value = qgetenv(variable);
    // A relative XDG value is invalid by the base-directory rules and must be ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(value))) return QString::fromLocal8Bit(value);
    return QDir::homePath() + "/" + fallbackUnderHome;
}
}  // namespace

namespace AppPaths {
QString dataDir() { return ensured(xdgHome("XDG_DATA_HOME", ".local/share") + "/" + kAppFolder); }
QString logDir() { return ensured(xdgHome("XDG_STATE_HOME", ".local/state") + "/" + kAppFolder); }
QString configDir() { return ensured(xdgHome("XDG_CONFIG_HOME", ".config") + "/" + kAppFolder); }
QString userDefaultsFile() { return configDir() + "/Vantrose.conf"; }

QStringList resourceRootsFor(const QString& appDir, const QStringList& dataDirs) {
    QStringList roots;
    if (!appDir.isEmpty()) roots << QDir::cleanPath(appDir + QStringLiteral("/../share/vantrose"));
    for (const QString& data : dataDirs) roots << QDir::cleanPath(data + QStringLiteral("/vantrose"));
    return roots;
}

QStringList resourceRoots() {
    const QString appDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    return resourceRootsFor(appDir, QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation));
}

QString resourceFile(const QString& folder, const QString& fileName) {
    // Names come from the program itself; still, none may leave its folder.
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('/')) || folder.contains(QStringLiteral(".."))) return {};
    for (const QString& root : resourceRoots()) {
        const QFileInfo info(root + QLatin1Char('/') + folder + QLatin1Char('/') + fileName);
        if (info.isFile()) return info.absoluteFilePath();
    }
    return {};
}
}  // namespace AppPaths

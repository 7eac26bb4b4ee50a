#include "Foundation/AppPaths.h"

#include <QDir>
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
}  // namespace AppPaths

#include "Platform/Wayland/WaylandAppIdentity.h"

#include "Platform/Linux/AppIdentity.h"

#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readSmallFile(const QString& path, qint64 cap = qint64{256} * 1024) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.read(cap);
}

}  // namespace

namespace WaylandAppIdentity {

QString executableName(qint64 pid) {
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    const QString target = QFileInfo(proc + QLatin1String("exe")).symLinkTarget();
    if (!target.isEmpty()) return QFileInfo(target).fileName();
    return QString::fromLocal8Bit(readSmallFile(proc + QLatin1String("comm"), 64)).trimmed();
}

WaylandFrontApp forProcess(qint64 pid, const QString& accessibleName) {
    WaylandFrontApp app;
    app.pid = pid;
    if (pid <= 0) return app;
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    AppIdentity::Sources sources;
    sources.flatpakId = AppIdentity::flatpakIdFromInfo(readSmallFile(proc + QLatin1String("root/.flatpak-info")));
    const qint64 parent = AppIdentity::parentPidFromStat(readSmallFile(proc + QLatin1String("stat")));
    const QByteArray parentEnviron =
        parent > 0 ? readSmallFile(QStringLiteral("/proc/%1/environ").arg(parent)) : QByteArray();
    sources.desktopFileId =
        AppIdentity::desktopIdFromEnviron(readSmallFile(proc + QLatin1String("environ")), pid, parentEnviron);
    const QString executable = executableName(pid);
    // The executable stands where X11 has the window's class: the last name to go by.
    sources.wmClassClass = executable;
    app.appId = AppIdentity::chooseIdentifier(sources);
    app.appName = AppIdentity::findDesktopEntryName(AppIdentity::desktopEntryCandidates(sources));
    if (app.appName.isEmpty()) app.appName = accessibleName.isEmpty() ? executable : accessibleName;
    return app;
}

WaylandFrontApp forAppId(const QString& appId) {
    WaylandFrontApp app;
    app.appId = appId;
    if (appId.isEmpty()) return app;
    AppIdentity::Sources sources;
    sources.desktopFileId = appId;
    sources.wmClassClass = appId;  // adds the lower-case spelling to the entries looked for
    app.appName = AppIdentity::findDesktopEntryName(AppIdentity::desktopEntryCandidates(sources));
    if (app.appName.isEmpty()) app.appName = appId;
    return app;
}

}  // namespace WaylandAppIdentity

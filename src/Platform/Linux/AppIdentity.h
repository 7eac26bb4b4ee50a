#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// How a window's application is named on Linux. The identifier plays the role of a bundle
// identifier: the Flatpak application id or the desktop-file id when known, else the GTK
// application id, else the WM_CLASS class.
namespace AppIdentity {

struct Sources {
    QString flatpakId;
    QString desktopFileId;
    QString gtkApplicationId;
    QString wmClassInstance;
    QString wmClassClass;
};

QString chooseIdentifier(const Sources& sources);

// The ids to try when looking for the application's desktop entry, best first.
QStringList desktopEntryCandidates(const Sources& sources);

// "name=" of the [Application] group of /proc/<pid>/root/.flatpak-info.
QString flatpakIdFromInfo(const QByteArray& flatpakInfo);
// The desktop file a launcher recorded in the environment (NUL-separated) of process `pid`.
// Children inherit these variables, so a program started from a launched terminal carries the
// terminal's: GIO's file counts only when GIO_LAUNCHED_DESKTOP_FILE_PID names `pid`, and a hint
// without such a PID only when the parent's environment (`parentEnviron`) does not carry it too.
QString desktopIdFromEnviron(const QByteArray& environ, qint64 pid, const QByteArray& parentEnviron);
// The parent's pid from the text of /proc/<pid>/stat; 0 when unreadable.
qint64 parentPidFromStat(const QByteArray& stat);
// "/usr/share/applications/org.gnome.gedit.desktop" -> "org.gnome.gedit".
QString desktopIdFromPath(const QString& pathOrId);
// WM_CLASS holds "instance\0class\0".
void parseWmClass(const QByteArray& value, QString* instance, QString* cls);
// The Name of a desktop entry, localised for `locale` ("de_DE") when the entry has it; empty when
// the entry has none or is hidden.
QString desktopEntryName(const QByteArray& desktopFile, const QString& locale);

// Looks up the first candidate's desktop entry in the XDG application folders; empty when none.
QString findDesktopEntryName(const QStringList& candidates);

}  // namespace AppIdentity

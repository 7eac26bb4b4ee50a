#include "Platform/Linux/AppIdentity.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

#include <optional>

namespace AppIdentity {

QString chooseIdentifier(const Sources& s) {
    for (const QString* id : {&s.flatpakId, &s.desktopFileId, &s.gtkApplicationId, &s.wmClassClass, &s.wmClassInstance})
        if (!id->isEmpty()) return *id;
    return {};
}

QStringList desktopEntryCandidates(const Sources& s) {
    QStringList out;
    auto add = [&out](const QString& id) {
        if (!id.isEmpty() && !out.contains(id)) out << id;
    };
    add(s.flatpakId);
    add(s.desktopFileId);
    add(s.gtkApplicationId);
    add(s.wmClassClass);
    add(s.wmClassClass.toLower());
    add(s.wmClassInstance);
    add(s.wmClassInstance.toLower());
    return out;
}

QString flatpakIdFromInfo(const QByteArray& info) {
    bool inApplication = false;
    for (const QByteArray& raw : info.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inApplication = line == "[Application]";
            continue;
        }
        if (inApplication && line.startsWith("name=")) return QString::fromUtf8(line.mid(5)).trimmed();
    }
    return {};
}

QString desktopIdFromPath(const QString& pathOrId) {
    QString name = QFileInfo(pathOrId).fileName();
    if (name.endsWith(QLatin1String(".desktop"))) name.chop(8);
    return name;
}

namespace {

std::optional<QByteArray> environValue(const QByteArray& environ, QByteArrayView key) {
    for (const QByteArray& entry : environ.split('\0'))
        if (entry.size() > key.size() && entry.startsWith(key) && entry.at(key.size()) == '=')
            return entry.mid(key.size() + 1);
    return std::nullopt;
}

}  // namespace

QString desktopIdFromEnviron(const QByteArray& environ, qint64 pid, const QByteArray& parentEnviron) {
    for (const char* key : {"GIO_LAUNCHED_DESKTOP_FILE", "BAMF_DESKTOP_FILE_HINT"}) {
        const std::optional<QByteArray> value = environValue(environ, key);
        if (!value || value->isEmpty()) continue;
        bool ours;
        if (qstrcmp(key, "GIO_LAUNCHED_DESKTOP_FILE") == 0 && environValue(environ, "GIO_LAUNCHED_DESKTOP_FILE_PID")) {
            bool ok = false;
            const qint64 launched = environValue(environ, "GIO_LAUNCHED_DESKTOP_FILE_PID")->trimmed().toLongLong(&ok);
            ours = ok && launched == pid;
        } else {
            ours = environValue(parentEnviron, key) != value;
        }
        if (!ours) continue;
        QString id = desktopIdFromPath(QString::fromUtf8(*value));
        if (!id.isEmpty()) return id;
    }
    return {};
}

qint64 parentPidFromStat(const QByteArray& stat) {
    // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so read after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) return 0;
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    if (fields.size() < 2) return 0;
    bool ok = false;
    const qint64 ppid = fields.at(1).toLongLong(&ok);
    return ok && ppid > 0 ? ppid : 0;
}

void parseWmClass(const QByteArray& value, QString* instance, QString* cls) {
    const QList<QByteArray> parts = value.split('\0');
    *instance = parts.size() > 0 ? QString::fromLocal8Bit(parts[0]) : QString();
    *cls = parts.size() > 1 ? QString::fromLocal8Bit(parts[1]) : QString();
}

QString desktopEntryName(const QByteArray& file, const QString& locale) {
    const QString lang = locale.section('_', 0, 0);
    bool inEntry = false;
    QString plain, forLang, forLocale;
    for (const QByteArray& raw : file.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith('[')) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry) continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0) continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Hidden") && value == QLatin1String("true")) return {};
        if (key == QLatin1String("Name"))
            plain = value;
        else if (!locale.isEmpty() && key == QStringLiteral("Name[%1]").arg(locale))
            forLocale = value;
        else if (!lang.isEmpty() && key == QStringLiteral("Name[%1]").arg(lang))
            forLang = value;
    }
    if (!forLocale.isEmpty()) return forLocale;
    if (!forLang.isEmpty()) return forLang;
    return plain;
}

QString findDesktopEntryName(const QStringList& candidates) {
    const QString locale = QLocale::system().name();
    for (const QString& id : candidates) {
        if (id.contains('/')) continue;
        const QString path =
            QStandardPaths::locate(QStandardPaths::ApplicationsLocation, id + QLatin1String(".desktop"));
        if (path.isEmpty()) continue;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.size() > qint64{1024} * 1024) continue;
        QString name = desktopEntryName(f.readAll(), locale);
        if (!name.isEmpty()) return name;
    }
    return {};
}

}  // namespace AppIdentity

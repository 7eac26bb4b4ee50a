#include "ServiceStore.h"

#include "Foundation/Clock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QUuid>

#include <SQLiteCpp/SQLiteCpp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace {

std::string hashed(const QString& secret) {
    return QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex().toStdString();
}

double nowSeconds() { return Clock::current().now().toMSecsSinceEpoch() / 1000.0; }

QString str(const SQLite::Column& column) { return QString::fromStdString(column.getString()); }

// The database file exists with mode 0600 before SQLite opens it: SQLite makes the -wal and -shm
// files with the database's mode, so they are born 0600 too. A database from an earlier run keeps
// its content and gets the same modes.
QString privateDatabase(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error("cannot create the database file");
    const bool privateMode = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!privateMode) throw std::runtime_error("cannot make the database file private");
    for (const char* journal : {"-wal", "-shm", "-journal"}) {
        const QByteArray file = native + journal;
        if (::access(file.constData(), F_OK) == 0) (void)::chmod(file.constData(), 0600);
    }
    return path;
}

}  // namespace

ServiceStore::ServiceStore(const QString& path)
    : m_db(std::make_unique<SQLite::Database>(privateDatabase(path).toStdString(),
                                              SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE)) {
    m_db->exec("PRAGMA journal_mode=WAL");
    m_db->exec("PRAGMA busy_timeout=2000");
    m_db->exec(
        "CREATE TABLE IF NOT EXISTS accounts (id TEXT PRIMARY KEY, login TEXT UNIQUE NOT NULL, created REAL);"
        "CREATE TABLE IF NOT EXISTS codes (code_hash TEXT PRIMARY KEY, challenge TEXT, client_id TEXT,"
        " redirect_uri TEXT, account TEXT, expires REAL);"
        "CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, account TEXT NOT NULL, generation INTEGER,"
        " refresh_hash TEXT UNIQUE, revoked INTEGER DEFAULT 0, created REAL);"
        "CREATE TABLE IF NOT EXISTS settings (account TEXT PRIMARY KEY, json TEXT, updated REAL);"
        "CREATE TABLE IF NOT EXISTS events (id INTEGER PRIMARY KEY AUTOINCREMENT, device_id TEXT, account TEXT,"
        " received REAL, count INTEGER, json TEXT);"
        // Refresh tokens rotated away, kept a while so that one presented again gives away a copy.
        "CREATE TABLE IF NOT EXISTS retired_refresh (refresh_hash TEXT PRIMARY KEY, session TEXT NOT NULL,"
        " retired REAL);");
    migrate();
    purge();
}

void ServiceStore::migrate() {
    // Events of an earlier database have no session (they stay until their retention ends) and
    // get their size from their text.
    bool hasSession = false, hasBytes = false;
    SQLite::Statement columns(*m_db, "PRAGMA table_info(events)");
    while (columns.executeStep()) {
        const std::string name = columns.getColumn(1).getString();
        hasSession = hasSession || name == "session";
        hasBytes = hasBytes || name == "bytes";
    }
    columns.reset();
    if (!hasSession) m_db->exec("ALTER TABLE events ADD COLUMN session TEXT NOT NULL DEFAULT ''");
    if (!hasBytes) {
        m_db->exec("ALTER TABLE events ADD COLUMN bytes INTEGER NOT NULL DEFAULT 0");
        m_db->exec("UPDATE events SET bytes = length(CAST(json AS BLOB))");
    }
    m_db->exec(
        "CREATE INDEX IF NOT EXISTS events_by_device ON events (device_id);"
        "CREATE INDEX IF NOT EXISTS events_by_received ON events (received);"
        "CREATE INDEX IF NOT EXISTS events_by_session ON events (session);"
        "CREATE INDEX IF NOT EXISTS retired_by_session ON retired_refresh (session);");
}

double ServiceStore::retentionCutoff() const { return nowSeconds() - double(m_eventLimits.retention.count()); }

int ServiceStore::deleteOldEvents() {
    SQLite::Statement old(*m_db, "DELETE FROM events WHERE received < ?");
    old.bind(1, retentionCutoff());
    return old.exec();
}

void ServiceStore::purge() {
    // Events of sessions that ended before this start (revoking a session removes its own).
    m_db->exec(
        "DELETE FROM events WHERE session <> '' AND NOT EXISTS"
        " (SELECT 1 FROM sessions WHERE sessions.id = events.session AND sessions.revoked = 0)");
    purgeOldRetiredTokens();
    deleteOldEvents();
    recountEvents();
}

void ServiceStore::purgeOldRetiredTokens() {
    // A rotated token older than the retention can no longer give a copy away; presented again,
    // it is refused as unknown.
    SQLite::Statement retired(*m_db, "DELETE FROM retired_refresh WHERE retired < ?");
    retired.bind(1, retentionCutoff());
    retired.exec();
}

void ServiceStore::recountEvents() {
    SQLite::Statement sum(*m_db, "SELECT COALESCE(SUM(count), 0), COALESCE(SUM(bytes), 0) FROM events");
    sum.executeStep();
    m_totalEvents = sum.getColumn(0).getInt64();
    m_totalBytes = sum.getColumn(1).getInt64();
}

ServiceStore::~ServiceStore() = default;

QString ServiceStore::accountForLogin(const QString& login) {
    SQLite::Statement find(*m_db, "SELECT id FROM accounts WHERE login = ?");
    find.bind(1, login.toStdString());
    if (find.executeStep()) return str(find.getColumn(0));
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    SQLite::Statement insert(*m_db, "INSERT INTO accounts (id, login, created) VALUES (?, ?, ?)");
    insert.bind(1, id.toStdString());
    insert.bind(2, login.toStdString());
    insert.bind(3, nowSeconds());
    insert.exec();
    return id;
}

std::optional<QString> ServiceStore::loginOfAccount(const QString& accountId) {
    SQLite::Statement find(*m_db, "SELECT login FROM accounts WHERE id = ?");
    find.bind(1, accountId.toStdString());
    if (!find.executeStep()) return std::nullopt;
    return str(find.getColumn(0));
}

void ServiceStore::putCode(const QString& code, const Code& value) {
    // Expired codes go whenever a new one is made, so the table stays small.
    SQLite::Statement purge(*m_db, "DELETE FROM codes WHERE expires < ?");
    purge.bind(1, nowSeconds());
    purge.exec();
    SQLite::Statement insert(*m_db, "INSERT INTO codes VALUES (?, ?, ?, ?, ?, ?)");
    insert.bind(1, hashed(code));
    insert.bind(2, value.challenge.toStdString());
    insert.bind(3, value.clientId.toStdString());
    insert.bind(4, value.redirectUri.toStdString());
    insert.bind(5, value.accountId.toStdString());
    insert.bind(6, value.expiresAt);
    insert.exec();
}

std::optional<ServiceStore::Code> ServiceStore::takeCode(const QString& code) {
    SQLite::Statement find(
        *m_db, "SELECT challenge, client_id, redirect_uri, account, expires FROM codes WHERE code_hash = ?");
    find.bind(1, hashed(code));
    if (!find.executeStep()) return std::nullopt;
    Code out{str(find.getColumn(0)), str(find.getColumn(1)), str(find.getColumn(2)), str(find.getColumn(3)),
             find.getColumn(4).getDouble()};
    find.reset();
    SQLite::Statement remove(*m_db, "DELETE FROM codes WHERE code_hash = ?");
    remove.bind(1, hashed(code));
    remove.exec();
    return out;
}

ServiceStore::Session ServiceStore::createSession(const QString& accountId, const QString& refreshToken) {
    Session s{QUuid::createUuid().toString(QUuid::WithoutBraces), accountId, 1, false};
    SQLite::Statement insert(*m_db,
                             "INSERT INTO sessions (id, account, generation, refresh_hash, revoked, created)"
                             " VALUES (?, ?, ?, ?, 0, ?)");
    insert.bind(1, s.id.toStdString());
    insert.bind(2, accountId.toStdString());
    insert.bind(3, static_cast<int64_t>(s.generation));
    insert.bind(4, hashed(refreshToken));
    insert.bind(5, nowSeconds());
    insert.exec();
    return s;
}

std::pair<ServiceStore::Rotation, std::optional<ServiceStore::Session>>
ServiceStore::rotateSession(const QString& refreshToken, const QString& nextRefreshToken) {
    const std::string presented = hashed(refreshToken);
    SQLite::Statement find(*m_db, "SELECT id FROM sessions WHERE refresh_hash = ? AND revoked = 0");
    find.bind(1, presented);
    if (!find.executeStep()) {
        find.reset();
        // A token rotated away comes back only from whoever copied it (or from a client that
        // lost the reply that replaced it): neither the copy nor the session it came from can
        // be trusted any more.
        SQLite::Statement retired(*m_db, "SELECT session FROM retired_refresh WHERE refresh_hash = ?");
        retired.bind(1, presented);
        if (!retired.executeStep()) return {Rotation::unknown, std::nullopt};
        const QString id = str(retired.getColumn(0));
        retired.reset();
        revokeSession(id);
        return {Rotation::reused, std::nullopt};
    }
    const QString id = str(find.getColumn(0));
    find.reset();
    purgeOldRetiredTokens();
    SQLite::Transaction transaction(*m_db);
    SQLite::Statement retire(*m_db,
                             "INSERT OR REPLACE INTO retired_refresh (refresh_hash, session, retired)"
                             " VALUES (?, ?, ?)");
    retire.bind(1, presented);
    retire.bind(2, id.toStdString());
    retire.bind(3, nowSeconds());
    retire.exec();
    SQLite::Statement update(*m_db, "UPDATE sessions SET refresh_hash = ?, generation = generation + 1 WHERE id = ?");
    update.bind(1, hashed(nextRefreshToken));
    update.bind(2, id.toStdString());
    update.exec();
    transaction.commit();
    return {Rotation::rotated, session(id)};
}

std::optional<ServiceStore::Session> ServiceStore::session(const QString& sessionId) {
    SQLite::Statement find(*m_db, "SELECT account, generation, revoked FROM sessions WHERE id = ?");
    find.bind(1, sessionId.toStdString());
    if (!find.executeStep()) return std::nullopt;
    return Session{sessionId, str(find.getColumn(0)), find.getColumn(1).getInt64(), find.getColumn(2).getInt() != 0};
}

void ServiceStore::revokeSession(const QString& sessionId) {
    if (sessionId.isEmpty()) return;
    SQLite::Transaction transaction(*m_db);
    for (const char* sql : {"UPDATE sessions SET revoked = 1, refresh_hash = NULL WHERE id = ?",
                            "DELETE FROM retired_refresh WHERE session = ?", "DELETE FROM events WHERE session = ?"}) {
        SQLite::Statement statement(*m_db, sql);
        statement.bind(1, sessionId.toStdString());
        statement.exec();
    }
    transaction.commit();
    recountEvents();
}

QJsonValue ServiceStore::settings(const QString& accountId) {
    SQLite::Statement find(*m_db, "SELECT json FROM settings WHERE account = ?");
    find.bind(1, accountId.toStdString());
    if (!find.executeStep()) return QJsonValue::Null;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(find.getColumn(0).getString()));
    return doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(QJsonValue::Null);
}

void ServiceStore::putSettings(const QString& accountId, const QJsonObject& settings) {
    SQLite::Statement upsert(*m_db,
                             "INSERT INTO settings (account, json, updated) VALUES (?, ?, ?)"
                             " ON CONFLICT(account) DO UPDATE SET json = excluded.json, updated = excluded.updated");
    upsert.bind(1, accountId.toStdString());
    upsert.bind(2, QJsonDocument(settings).toJson(QJsonDocument::Compact).toStdString());
    upsert.bind(3, nowSeconds());
    upsert.exec();
}

ServiceStore::EventsAdded ServiceStore::addEvents(const QString& deviceId, const QString& accountId,
                                                  const QString& sessionId, const QByteArray& eventsJson, int count) {
    if (deleteOldEvents() > 0) recountEvents();
    const qint64 bytes = eventsJson.size();
    if (m_totalEvents + count > m_eventLimits.totalEvents || m_totalBytes + bytes > m_eventLimits.totalBytes)
        return EventsAdded::storeFull;
    SQLite::Statement device(*m_db,
                             "SELECT COALESCE(SUM(count), 0), COALESCE(SUM(bytes), 0) FROM events WHERE device_id = ?");
    device.bind(1, deviceId.toStdString());
    device.executeStep();
    if (device.getColumn(0).getInt64() + count > m_eventLimits.eventsPerDevice ||
        device.getColumn(1).getInt64() + bytes > m_eventLimits.bytesPerDevice)
        return EventsAdded::deviceFull;
    device.reset();
    SQLite::Statement insert(*m_db,
                             "INSERT INTO events (device_id, account, session, received, count, bytes, json)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, deviceId.toStdString());
    insert.bind(2, accountId.toStdString());
    insert.bind(3, sessionId.toStdString());
    insert.bind(4, nowSeconds());
    insert.bind(5, count);
    insert.bind(6, static_cast<int64_t>(bytes));
    insert.bind(7, eventsJson.toStdString());
    insert.exec();
    m_totalEvents += count;
    m_totalBytes += bytes;
    return EventsAdded::stored;
}

int ServiceStore::eventCount() {
    SQLite::Statement sum(*m_db, "SELECT COALESCE(SUM(count), 0) FROM events");
    sum.executeStep();
    return sum.getColumn(0).getInt();
}

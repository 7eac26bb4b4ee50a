#include "ServiceStore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QUuid>

#include <SQLiteCpp/SQLiteCpp.h>

namespace {

std::string hashed(const QString& secret) {
    return QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex().toStdString();
}

double nowSeconds() { return QDateTime::currentMSecsSinceEpoch() / 1000.0; }

QString str(const SQLite::Column& column) { return QString::fromStdString(column.getString()); }

}  // namespace

ServiceStore::ServiceStore(const QString& path)
    : m_db(std::make_unique<SQLite::Database>(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE)) {
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
        " received REAL, count INTEGER, json TEXT);");
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

std::optional<ServiceStore::Session> ServiceStore::rotateSession(const QString& refreshToken,
                                                                 const QString& nextRefreshToken) {
    SQLite::Statement find(*m_db, "SELECT id FROM sessions WHERE refresh_hash = ? AND revoked = 0");
    find.bind(1, hashed(refreshToken));
    if (!find.executeStep()) return std::nullopt;
    const QString id = str(find.getColumn(0));
    find.reset();
    SQLite::Statement update(*m_db, "UPDATE sessions SET refresh_hash = ?, generation = generation + 1 WHERE id = ?");
    update.bind(1, hashed(nextRefreshToken));
    update.bind(2, id.toStdString());
    update.exec();
    return session(id);
}

std::optional<ServiceStore::Session> ServiceStore::session(const QString& sessionId) {
    SQLite::Statement find(*m_db, "SELECT account, generation, revoked FROM sessions WHERE id = ?");
    find.bind(1, sessionId.toStdString());
    if (!find.executeStep()) return std::nullopt;
    return Session{sessionId, str(find.getColumn(0)), find.getColumn(1).getInt64(), find.getColumn(2).getInt() != 0};
}

void ServiceStore::revokeSession(const QString& sessionId) {
    SQLite::Statement update(*m_db, "UPDATE sessions SET revoked = 1, refresh_hash = NULL WHERE id = ?");
    update.bind(1, sessionId.toStdString());
    update.exec();
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

void ServiceStore::addEvents(const QString& deviceId, const QString& accountId, const QByteArray& eventsJson,
                             int count) {
    SQLite::Statement insert(*m_db,
                             "INSERT INTO events (device_id, account, received, count, json) VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, deviceId.toStdString());
    insert.bind(2, accountId.toStdString());
    insert.bind(3, nowSeconds());
    insert.bind(4, count);
    insert.bind(5, eventsJson.toStdString());
    insert.exec();
}

int ServiceStore::eventCount() {
    SQLite::Statement sum(*m_db, "SELECT COALESCE(SUM(count), 0) FROM events");
    sum.executeStep();
    return sum.getColumn(0).getInt();
}

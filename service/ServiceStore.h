#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <memory>
#include <optional>

namespace SQLite {
class Database;
}

// The service's database: accounts, single-use sign-in codes, sign-in sessions with their hashed
// refresh token, each account's settings copy, and the analytics events received. Used from the
// service's main thread only. Secrets (codes, refresh tokens) are stored as SHA-256 hashes.
class ServiceStore {
public:
    struct Code {
        QString challenge;
        QString clientId;
        QString redirectUri;
        QString accountId;
        double expiresAt = 0;  // seconds since the epoch
    };
    struct Session {
        QString id;
        QString accountId;
        qint64 generation = 0;
        bool revoked = false;
    };

    // Opens (and creates) the database at `path`; throws std::runtime_error when it cannot.
    explicit ServiceStore(const QString& path);
    ~ServiceStore();

    // The account of a login name, created on first use; returns its id.
    QString accountForLogin(const QString& login);
    std::optional<QString> loginOfAccount(const QString& accountId);

    void putCode(const QString& code, const Code& value);
    // Removes the code whatever its state, so it can be tried once only.
    std::optional<Code> takeCode(const QString& code);

    // A new session whose refresh token is `refreshToken`.
    Session createSession(const QString& accountId, const QString& refreshToken);
    // The live session that holds `refreshToken`; its refresh token becomes `nextRefreshToken` and
    // its generation moves on, so the old pair stops working.
    std::optional<Session> rotateSession(const QString& refreshToken, const QString& nextRefreshToken);
    std::optional<Session> session(const QString& sessionId);
    void revokeSession(const QString& sessionId);

    QJsonValue settings(const QString& accountId);
    void putSettings(const QString& accountId, const QJsonObject& settings);

    void addEvents(const QString& deviceId, const QString& accountId, const QByteArray& eventsJson, int count);
    int eventCount();

private:
    std::unique_ptr<SQLite::Database> m_db;
};

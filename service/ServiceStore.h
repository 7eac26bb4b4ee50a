#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace SQLite {
class Database;
}

// The service's database: accounts, single-use sign-in codes, sign-in sessions with their hashed
// refresh token, each account's settings copy, and the analytics events received. Used from the
// service's main thread only. Secrets (codes, refresh tokens) are stored as SHA-256 hashes. The
// database and its journal files are readable by their owner only.
class ServiceStore {
public:
    // What is kept of the analytics events: a batch goes once it is older than `retention`, and
    // one device, and every device together, may hold at most so many events and bytes of them.
    struct EventLimits {
        std::chrono::seconds retention = std::chrono::days(30);
        qint64 eventsPerDevice = 50'000;
        qint64 bytesPerDevice = qint64{16} << 20;
        qint64 totalEvents = 200'000;
        qint64 totalBytes = qint64{64} << 20;
    };
    enum class EventsAdded { stored, deviceFull, storeFull };

    enum class Rotation {
        rotated,  // the session's refresh token and generation moved on
        unknown,  // no live session holds the token
        reused,   // the token was rotated away before: the session is revoked
    };

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
    // The live session that holds `refreshToken` gets `nextRefreshToken` and its generation moves
    // on, so the old pair stops working (rotated, with the session). A token that was rotated
    // away already has been copied: its whole session is revoked (reused).
    std::pair<Rotation, std::optional<Session>> rotateSession(const QString& refreshToken,
                                                              const QString& nextRefreshToken);
    std::optional<Session> session(const QString& sessionId);
    // Ends the session; the analytics events sent under it go with it.
    void revokeSession(const QString& sessionId);

    QJsonValue settings(const QString& accountId);
    void putSettings(const QString& accountId, const QJsonObject& settings);

    // Stores one batch unless it would take its device or the whole store over the limits;
    // batches past their retention go first. `sessionId` is empty for anonymous events.
    EventsAdded addEvents(const QString& deviceId, const QString& accountId, const QString& sessionId,
                          const QByteArray& eventsJson, int count);
    int eventCount();
    void setEventLimits(const EventLimits& limits) { m_eventLimits = limits; }

private:
    void migrate();
    // At start-up: what ended sessions and the retention period leave behind.
    void purge();
    // Batches past their retention; how many went.
    int deleteOldEvents();
    void purgeOldRetiredTokens();
    double retentionCutoff() const;
    void recountEvents();

    std::unique_ptr<SQLite::Database> m_db;
    EventLimits m_eventLimits;
    // Every device's events and bytes together, kept so a batch costs no scan of the table.
    qint64 m_totalEvents = 0;
    qint64 m_totalBytes = 0;
};

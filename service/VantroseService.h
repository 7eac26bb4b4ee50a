#pragma once

#include "ConnectionGuard.h"
#include "ServiceStore.h"
#include "SpeechService.h"
#include "TokenSigner.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "Foundation/Clock.h"

#include <functional>
#include <memory>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponse;

struct ServiceOptions {
    QString dataDir;  // database and token secret
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8787;  // 0: any free port
    QString clientId;     // the program's sign-in client id
    QString urlScheme;    // the program's callback scheme ("vantrose")
    QString login;        // the local account's login name
    QString displayName;
    std::chrono::seconds accessTokenLifetime = std::chrono::hours(1);
    SpeechServiceOptions speech;
    ConnectionLimits connections;
    // Where the service's log lines go (standard error when empty). A line never holds a
    // request's content: routes, statuses and the service's own events only.
    std::function<void(const QString& line)> log;
};

// The local Vantrose service: every endpoint the program talks to, on the loopback address.
// Account (a consent page for the local login, PKCE code exchange, refresh with rotation,
// sign-out), each account's settings copy, analytics events, health, and the speech routes.
// It serves only the user who runs it; every connection passes the GuardedTcpServer first.
class VantroseService : public QObject {
    Q_OBJECT
public:
    // Throws std::runtime_error when the data folder, database or secret cannot be set up.
    explicit VantroseService(ServiceOptions options, QObject* parent = nullptr);
    ~VantroseService() override;

    // Starts listening; the port, or 0 when it cannot.
    quint16 listen();
    quint16 port() const { return m_port; }
    QString baseUrl() const;

    // The account of a valid, live access token in an "Authorization" header value.
    std::optional<QString> accountForBearer(const QByteArray& authorization);

    ServiceStore& store() { return *m_store; }
    SpeechService& speech() { return *m_speech; }
    // The listening socket and its connections; null before listen().
    const GuardedTcpServer* connections() const { return m_listener; }

private:
    struct PendingConsent {
        QString challenge;
        QString clientId;
        QString redirectUri;
        QString state;
        Clock::TimePoint createdAt;
        quint64 order = 0;  // when full, the oldest page gives way
    };

    void registerRoutes();
    QHttpServerResponse authorizePage(const QHttpServerRequest& request);
    QHttpServerResponse consent(const QHttpServerRequest& request);
    QHttpServerResponse callback(const QHttpServerRequest& request);
    QHttpServerResponse exchange(const QHttpServerRequest& request);
    QHttpServerResponse refresh(const QHttpServerRequest& request);
    QHttpServerResponse logout(const QHttpServerRequest& request);
    QHttpServerResponse getSettings(const QHttpServerRequest& request);
    QHttpServerResponse putSettings(const QHttpServerRequest& request);
    QHttpServerResponse events(const QHttpServerRequest& request);
    QHttpServerResponse health(const QHttpServerRequest& request);

    QJsonObject userObject(const QString& accountId);
    QJsonObject issueTokens(const ServiceStore::Session& session, const QString& refreshToken);
    void logRequest(const QString& route, int status) const;
    void log(const QString& line) const;

    ServiceOptions m_options;
    std::unique_ptr<ServiceStore> m_store;
    std::unique_ptr<TokenSigner> m_signer;
    std::unique_ptr<QHttpServer> m_server;
    std::unique_ptr<SpeechService> m_speech;
    QHash<QString, PendingConsent> m_pending;  // consent page nonce -> the request it answers
    quint64 m_consentsShown = 0;
    GuardedTcpServer* m_listener = nullptr;  // owned by m_server
    QStringList m_knownRoutes;               // the only routes a log line names
    quint16 m_port = 0;
};

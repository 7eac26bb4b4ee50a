#pragma once

#include "ServiceStore.h"
#include "SpeechService.h"
#include "TokenSigner.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

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
    double accessTokenLifetimeSec = 3600;
    SpeechServiceOptions speech;
};

// The local Vantrose service: every endpoint the program talks to, on the loopback address.
// Account (a consent page for the local login, PKCE code exchange, refresh with rotation,
// sign-out), each account's settings copy, analytics events, health, and the speech routes.
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

private:
    struct PendingConsent {
        QString challenge;
        QString clientId;
        QString redirectUri;
        QString state;
        double createdAt = 0;
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

    ServiceOptions m_options;
    std::unique_ptr<ServiceStore> m_store;
    std::unique_ptr<TokenSigner> m_signer;
    std::unique_ptr<QHttpServer> m_server;
    std::unique_ptr<SpeechService> m_speech;
    QHash<QString, PendingConsent> m_pending;  // consent page nonce -> the request it answers
    quint16 m_port = 0;
};

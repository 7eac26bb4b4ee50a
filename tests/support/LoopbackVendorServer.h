#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <deque>
#include <functional>
#include <map>
#include <optional>

class QTcpServer;
class QTcpSocket;

// One HTTP request as the loopback server received it.
struct RecordedRequest {
    QByteArray method;  // "GET", "POST", ...
    QByteArray target;  // the request target exactly as sent ("/path?query")
    QString path;       // decoded path, without the query
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;  // in arrival order, names as sent
    QByteArray body;
    int connectionId = 0;  // which TCP connection carried it (keep-alive checks)

    // Case-insensitive header lookup; empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // The body parsed as a JSON object; empty when it is not one.
    QJsonObject json() const;
    // The token after "Bearer " in the Authorization header, or empty.
    QString bearerToken() const;
};

// What the server does with one request. Build with the static helpers and chain `after()`.
struct LoopbackReply {
    enum class Action {
        Respond,     // send the status, headers and body
        Drop,        // close the connection without answering
        Hang,        // never answer (the client's time-out has to act)
        Truncate,    // announce the full body, send half of it, then close
        UseHandler,  // run the route's normal handler (with this reply's delay)
    };

    Action action = Action::Respond;
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
    int delayMs = 0;
    bool closeAfter = false;  // answer, then close the connection

    static LoopbackReply json(const QJsonObject& object, int status = 200);
    static LoopbackReply json(const QJsonArray& array, int status = 200);
    // A JSON error object {"detail": detail}.
    static LoopbackReply error(int status, const QString& detail);
    static LoopbackReply html(int status, const QString& html = {});
    static LoopbackReply text(int status, const QByteArray& text, const QByteArray& contentType = "text/plain");
    // A body that claims to be JSON but does not parse.
    static LoopbackReply malformedJson(int status = 200);
    static LoopbackReply empty(int status);
    static LoopbackReply drop();
    static LoopbackReply hang();
    static LoopbackReply truncated(const QJsonObject& object);
    static LoopbackReply normal();

    LoopbackReply& after(int ms) {
        delayMs = ms;
        return *this;
    }
    LoopbackReply& closing() {
        closeAfter = true;
        return *this;
    }
    LoopbackReply& withHeader(const QByteArray& name, const QByteArray& value) {
        headers.append({name, value});
        return *this;
    }
};

// A stand-in for the vendor's cloud server on 127.0.0.1 (a free port), speaking HTTP/1.1 with
// keep-alive. Every route is a handler; tests replace handlers, or script the next replies of a
// route (status codes, HTML error pages, malformed JSON, delays, dropped connections). Every
// request is recorded.
//
// Built-in routes: the token exchange (checks the PKCE challenge against the verifier), token
// refresh with rotation, sign-out, analytics events, health (with the language-model providers),
// cloud formatting and the user's settings copy (GET and PUT, bearer token required).
// `authorize()` plays the part of
// the browser and the identity provider: it takes the authorisation URL the app opened and gives
// the callback URL the app would receive.
//
// Lives on the thread that creates it (normally the test's main thread) and is served by that
// thread's event loop, so tests must spin the loop (waitUntil, co_await) while talking to it.
class LoopbackVendorServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<LoopbackReply(const RecordedRequest&)>;
    // Handed a connection whose first request asks for a protocol upgrade (WebSocket). The socket
    // still holds the unread handshake; the handler takes it over (e.g. QWebSocketServer::handleConnection).
    using UpgradeHandler = std::function<void(QTcpSocket*)>;

    explicit LoopbackVendorServer(QObject* parent = nullptr);
    ~LoopbackVendorServer() override;

    // Listens on 127.0.0.1 and a free port. False when it cannot.
    bool start();
    void stop();
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    // ---- routes ----
    // Installs or replaces the handler of method + path (the path without its query).
    void route(const QByteArray& method, const QString& path, Handler handler);
    void removeRoute(const QByteArray& method, const QString& path);
    // The next request to method + path gets `reply` instead (queued, first in first out).
    void scriptNext(const QByteArray& method, const QString& path, const LoopbackReply& reply);
    // Every request to method + path gets `reply` until cleared.
    void scriptAlways(const QByteArray& method, const QString& path, const LoopbackReply& reply);
    void clearScripts();
    // `owner` names who installed the handler: clearing for an owner leaves a later owner's
    // handler in place, so a replaced streaming server's destructor cannot cut off its successor.
    void setUpgradeHandler(UpgradeHandler handler, const void* owner = nullptr);
    void clearUpgradeHandler(const void* owner);

    // ---- recording ----
    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QString& path) const;
    int requestCount(const QString& path) const;
    void clearRequests() { m_requests.clear(); }
    // TCP connections accepted so far.
    int connectionCount() const { return m_nextConnectionId - 1; }

    // ---- vendor state ----
    struct Paths {
        QString health;
        QString authToken;
        QString authRefresh = QStringLiteral("/auth/refresh");
        QString authLogout = QStringLiteral("/auth/logout");
        QString authCallback;
        QString events;
        QString format;
        QString settings = QStringLiteral("/settings");
    };
    // The paths the built-in routes were installed under.
    const Paths& paths() const { return m_paths; }

    // The profile returned by the token exchange (the "user" object).
    void setUser(const QJsonObject& user) { m_user = user; }
    QJsonObject user() const { return m_user; }
    static QJsonObject defaultUser();
    // Lifetime of the access tokens issued from now on, in seconds (expiry read from Clock::current()).
    void setAccessTokenLifetime(double seconds) { m_accessLifetime = seconds; }
    // The "version" the health route reports.
    void setVersion(const QString& version) { m_version = version; }
    // The language-model providers the health route reports, name -> up (default {"loopback": true}).
    void setLLMProviders(const QJsonObject& providers) { m_llmProviders = providers; }
    // How the formatting route turns the posted "text" into its reply's "text" (default: unchanged),
    // and the "race_winner" it names (default "loopback-model").
    void setFormatter(std::function<QString(const QString&)> formatter) { m_formatter = std::move(formatter); }
    void setRaceWinner(const QString& model) { m_raceWinner = model; }

    // Plays the browser and the identity provider for an authorisation URL the app opened:
    // checks its query items, remembers the PKCE challenge under a new one-time code and gives
    // `callbackBase` + "?code=...&state=...". On a bad URL gives an empty QUrl and sets *error.
    QUrl authorize(const QUrl& authorizationUrl, QString* error = nullptr,
                   const QString& callbackBase = QStringLiteral("vantrose://auth/callback"));

    struct TokenPair {
        QString accessToken;
        QString refreshToken;
    };
    // Issues a valid pair directly (for tests that start signed in).
    TokenPair issueTokens();
    // An unsigned JWT-shaped token whose payload is `payload`.
    static QString makeJwt(const QJsonObject& payload);
    // Whether `token` is an access token this server issued, has not revoked, and has not expired.
    bool isValidAccessToken(const QString& token) const;
    bool isLiveRefreshToken(const QString& token) const { return m_refreshTokens.contains(token); }
    // Forgets every session, as a server whose data was reset: no token it gave out works any more.
    void revokeAllTokens();
    int liveRefreshTokenCount() const { return static_cast<int>(m_refreshTokens.size()); }

    // The settings copy the settings routes keep: GET answers {"settings": value} (null when
    // none was stored), PUT stores the body's "settings" value.
    QJsonValue remoteSettings() const { return m_remoteSettings; }
    void setRemoteSettings(const QJsonValue& settings) { m_remoteSettings = settings; }

    // Every analytics event received with status 2xx, in arrival order, and the batches.
    QList<QJsonObject> receivedEvents() const;
    QList<QJsonArray> receivedEventBatches() const { return m_eventBatches; }

private:
    struct Connection;
    struct RouteKey {
        QByteArray method;
        QString path;
        bool operator<(const RouteKey& o) const { return method != o.method ? method < o.method : path < o.path; }
    };
    struct Script {
        std::deque<LoopbackReply> next;
        std::optional<LoopbackReply> always;
    };

    Connection* connection(int id) const;
    void onNewConnection();
    void onReadyRead(Connection* conn);
    void processBuffer(Connection* conn);
    bool parseHead(Connection* conn, RecordedRequest& req, qsizetype& headEnd, qsizetype& bodyLength, bool& chunked,
                   bool& close, QByteArray& badRequest);
    void dispatch(Connection* conn, RecordedRequest req, bool closeAfter);
    LoopbackReply resolve(const RecordedRequest& req);
    void sendReply(Connection* conn, const LoopbackReply& reply, bool closeAfter);
    void finishRequest(Connection* conn);
    void installBuiltInRoutes();

    LoopbackReply handleTokenExchange(const RecordedRequest& req);
    LoopbackReply handleRefresh(const RecordedRequest& req);
    LoopbackReply handleLogout(const RecordedRequest& req);
    LoopbackReply handleEvents(const RecordedRequest& req);
    LoopbackReply handleHealth(const RecordedRequest& req);
    LoopbackReply handleFormat(const RecordedRequest& req);
    LoopbackReply handleGetSettings(const RecordedRequest& req);
    LoopbackReply handlePutSettings(const RecordedRequest& req);
    QJsonObject issueTokenObject();

    QTcpServer* m_server = nullptr;
    std::map<RouteKey, Handler> m_routes;
    std::map<RouteKey, Script> m_scripts;
    UpgradeHandler m_upgradeHandler;
    const void* m_upgradeOwner = nullptr;
    QList<RecordedRequest> m_requests;
    QList<Connection*> m_connections;
    int m_nextConnectionId = 1;

    Paths m_paths;
    QJsonObject m_user;
    double m_accessLifetime = 3600;
    QString m_version = QStringLiteral("1.0.0-loopback");
    QJsonObject m_llmProviders{{QStringLiteral("loopback"), true}};
    std::function<QString(const QString&)> m_formatter;
    QString m_raceWinner = QStringLiteral("loopback-model");
    QHash<QString, QString> m_pendingCodes;   // code -> PKCE challenge
    QHash<QString, QString> m_refreshTokens;  // refresh token -> its access token
    QSet<QString> m_revokedAccessTokens;
    QList<QJsonArray> m_eventBatches;
    QJsonValue m_remoteSettings = QJsonValue::Null;
};

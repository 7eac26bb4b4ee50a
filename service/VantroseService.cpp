#include "VantroseService.h"

#include "RouteLimits.h"
#include "ServiceReplies.h"

#include "Foundation/Clock.h"
#include "Foundation/StringShield.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QUrlQuery>
#include <QUuid>
#include <QWebSocket>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

using StatusCode = QHttpServerResponse::StatusCode;
using Method = QHttpServerRequest::Method;
using ServiceReplies::errorReply;
using ServiceReplies::jsonObjectBody;

constexpr int kMaxEventsPerBatch = 1000;
constexpr auto kCodeLifetime = std::chrono::seconds(60);
constexpr auto kConsentLifetime = std::chrono::minutes(10);
constexpr int kMaxPendingConsents = 64;

// Seconds since the epoch: the unit of the tokens' claims and of the stored expiry times.
double nowSeconds() { return Clock::current().now().toMSecsSinceEpoch() / 1000.0; }

const QString kUnknownRoute = QStringLiteral("unknown route");

// The data folder, made private when the service creates it. A folder that already exists is
// someone's choice (even a shared one): its modes stay as they are.
void createDataFolder(const QString& path) {
    const QFileInfo folder(path);
    if (folder.isDir()) return;
    if (!QDir().mkpath(folder.absolutePath())) throw std::runtime_error("cannot create the data folder");
    if (::mkdir(QFile::encodeName(folder.absoluteFilePath()).constData(), S_IRWXU) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create the data folder");
    if (!QFileInfo(path).isDir()) throw std::runtime_error("the data folder is not a folder");
}

QString randomToken(int bytes = 32) {
    QByteArray raw(bytes, '\0');
    for (auto& b : raw) b = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString s256(const QString& verifier) {
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QHttpServerResponse htmlPage(const QString& title, const QString& body, StatusCode status = StatusCode::Ok) {
    const QString html =
        QStringLiteral(
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>%1</title>"
            "<meta name=\"viewport\" content=\"width=device-width\">"
            "<style>body{font-family:sans-serif;background:#f6f3ee;color:#222;display:flex;justify-content:center;"
            "padding-top:12vh}main{background:#fff;border-radius:14px;padding:32px 40px;max-width:420px;"
            "box-shadow:0 4px 24px #0002}button{font-size:16px;padding:10px 22px;border-radius:8px;border:0;"
            "background:#222;color:#fff;cursor:pointer}</style></head><body><main>%2</main></body></html>")
            .arg(title.toHtmlEscaped(), body);
    QHttpServerResponse response("text/html; charset=utf-8", html.toUtf8(), status);
    // The page grants sign-in: it must not be framed by another page or load anything.
    response.setHeader("X-Frame-Options", "DENY");
    response.setHeader("Content-Security-Policy",
                       "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
    response.setHeader("Cache-Control", "no-store");
    return response;
}

QHttpServerResponse redirect(const QUrl& to) {
    QHttpServerResponse response("text/html; charset=utf-8",
                                 QStringLiteral("<!doctype html><a href=\"%1\">Continue</a>")
                                     .arg(to.toString(QUrl::FullyEncoded).toHtmlEscaped())
                                     .toUtf8(),
                                 StatusCode::Found);
    response.setHeader("Location", to.toString(QUrl::FullyEncoded).toUtf8());
    response.setHeader("Cache-Control", "no-store");
    return response;
}

}  // namespace

VantroseService::VantroseService(ServiceOptions options, QObject* parent)
    : QObject(parent),
      m_options(std::move(options)) {
    if (m_options.dataDir.isEmpty()) throw std::runtime_error("no data folder");
    createDataFolder(m_options.dataDir);
    m_store = std::make_unique<ServiceStore>(QDir(m_options.dataDir).filePath(QStringLiteral("service.sqlite3")));
    QFile::setPermissions(QDir(m_options.dataDir).filePath(QStringLiteral("service.sqlite3")),
                          QFile::ReadOwner | QFile::WriteOwner);
    m_signer = std::make_unique<TokenSigner>(
        TokenSigner::fromSecretFile(QDir(m_options.dataDir).filePath(QStringLiteral("token-secret"))));
    if (m_options.login.isEmpty()) m_options.login = QStringLiteral("user");
    if (m_options.displayName.isEmpty()) m_options.displayName = m_options.login;

    SpeechServiceOptions speech = m_options.speech;
    speech.logRequest = [this](const QString& route, int status) { logRequest(route, status); };
    speech.accountSettings = [this](const QString& account) { return m_store->settings(account); };
    m_speech = std::make_unique<SpeechService>(
        [this](const QByteArray& authorization) { return accountForBearer(authorization); }, speech);
    m_server = std::make_unique<QHttpServer>();
    registerRoutes();
}

VantroseService::~VantroseService() = default;

quint16 VantroseService::listen() {
    GuardedTcpServer::Hooks hooks;
    hooks.bearerValid = [this](const QByteArray& authorization) { return accountForBearer(authorization).has_value(); };
    hooks.logRequest = [this](const QString& route, int status) { logRequest(route, status); };
    hooks.log = [this](const QString& line) { log(line); };
    auto listener = std::make_unique<GuardedTcpServer>(RouteLimits::table(), m_options.connections, std::move(hooks));
    if (!listener->listenOn(m_options.address, m_options.port)) return 0;
    m_listener = listener.get();
    m_server->bind(listener.release());  // the HTTP server owns it from here
    m_port = m_listener->serverPort();
    return m_port;
}

QString VantroseService::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

void VantroseService::log(const QString& line) const {
    const QString text = QStringLiteral("vantrose-service: ") + line;
    if (m_options.log)
        m_options.log(text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

void VantroseService::logRequest(const QString& route, int status) const {
    // A route is named only when it is one of the service's own: a path a client made up could
    // carry line breaks or terminal escapes, or be a megabyte long.
    log(QStringLiteral("%1 %2").arg(m_knownRoutes.contains(route) ? route : kUnknownRoute).arg(status));
}

void VantroseService::registerRoutes() {
    for (const RouteLimit& limit : RouteLimits::table())
        if (!m_knownRoutes.contains(limit.path)) m_knownRoutes << limit.path;
    using Handler = QHttpServerResponse (VantroseService::*)(const QHttpServerRequest&);
    auto add = [this](const QString& path, Method method, Handler handler) {
        m_server->route(path, method, [this, path, handler](const QHttpServerRequest& request) {
            QHttpServerResponse response = (this->*handler)(request);
            logRequest(path, static_cast<int>(response.statusCode()));
            return response;
        });
    };
    const QString authorizePath = RouteLimits::authorizePath();
    add(authorizePath, Method::Get, &VantroseService::authorizePage);
    add(authorizePath, Method::Post, &VantroseService::consent);
    add(StringShield::pathAuthCallback(), Method::Get, &VantroseService::callback);
    add(StringShield::pathAuthToken(), Method::Post, &VantroseService::exchange);
    add(StringShield::pathAuthRefresh(), Method::Post, &VantroseService::refresh);
    add(StringShield::pathAuthLogout(), Method::Post, &VantroseService::logout);
    add(StringShield::pathSettings(), Method::Get, &VantroseService::getSettings);
    add(StringShield::pathSettings(), Method::Put, &VantroseService::putSettings);
    add(StringShield::pathEvents(), Method::Post, &VantroseService::events);
    add(StringShield::pathHealth(), Method::Get, &VantroseService::health);
    m_speech->registerRoutes(*m_server);
    // The HTTP server hands an upgrade to its WebSocket side only when a route claims the path;
    // the claimed request gets no HTTP reply, the socket becomes the WebSocket.
    m_server->route(StringShield::pathWSTranscribe(), Method::Get,
                    [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                        if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) return;
                        logRequest(request.url().path(), 426);
                        responder.write(QJsonDocument(QJsonObject{{"detail", "WebSocket upgrade required"}}),
                                        QHttpServerResponder::StatusCode::UpgradeRequired);
                    });

    m_server->setMissingHandler([this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        logRequest(kUnknownRoute, 404);
        responder.write(QJsonDocument(QJsonObject{{"detail", "Not Found"}}),
                        QHttpServerResponder::StatusCode::NotFound);
    });
    connect(m_server.get(), &QAbstractHttpServer::newWebSocketConnection, this, [this] {
        while (m_server->hasPendingWebSocketConnections())
            m_speech->acceptWebSocket(m_server->nextPendingWebSocketConnection());
    });
}

// ---------------------------------------------------------------- tokens

std::optional<QString> VantroseService::accountForBearer(const QByteArray& authorization) {
    const QByteArray prefix = StringShield::hdrBearer().toLatin1();
    if (!authorization.startsWith(prefix)) return std::nullopt;
    const auto claims = m_signer->verify(QString::fromLatin1(authorization.mid(prefix.size()).trimmed()));
    if (!claims || claims->value("exp").toDouble() <= nowSeconds()) return std::nullopt;
    const auto session = m_store->session(claims->value("sid").toString());
    if (!session || session->revoked || session->generation != claims->value("gen").toInteger(-1)) return std::nullopt;
    return session->accountId;
}

QJsonObject VantroseService::issueTokens(const ServiceStore::Session& session, const QString& refreshToken) {
    const qint64 now = static_cast<qint64>(nowSeconds());
    const QString access = m_signer->sign(QJsonObject{{"sub", session.accountId},
                                                      {"sid", session.id},
                                                      {"gen", session.generation},
                                                      {"iat", now},
                                                      {"exp", now + m_options.accessTokenLifetime.count()},
                                                      {"jti", randomToken(9)}});
    return QJsonObject{{"access_token", access}, {"refresh_token", refreshToken}};
}

QJsonObject VantroseService::userObject(const QString& accountId) {
    const QString login = m_store->loginOfAccount(accountId).value_or(m_options.login);
    return QJsonObject{{"id", accountId},
                       {"email", login + QLatin1Char('@') + QSysInfo::machineHostName()},
                       {"name", login == m_options.login ? m_options.displayName : login},
                       {"picture", ""},
                       {"plan", "local"},
                       {"api_key", ""}};
}

// ---------------------------------------------------------------- sign-in

QHttpServerResponse VantroseService::authorizePage(const QHttpServerRequest& request) {
    const QUrlQuery q(request.url());
    auto refuse = [](const QString& why) {
        return htmlPage(QStringLiteral("Sign-in request refused"),
                        QStringLiteral("<h1>Sign-in request refused</h1><p>%1</p>").arg(why.toHtmlEscaped()),
                        StatusCode::BadRequest);
    };
    if (q.queryItemValue("client_id", QUrl::FullyDecoded) != m_options.clientId)
        return refuse(QStringLiteral("The request does not come from the Vantrose program."));
    const QUrl redirect(q.queryItemValue("redirect_uri", QUrl::FullyDecoded));
    const bool loopbackHost =
        redirect.host() == QLatin1String("127.0.0.1") || redirect.host() == QLatin1String("localhost");
    if (redirect.scheme() != QLatin1String("http") || !loopbackHost || redirect.port() != m_port ||
        redirect.path() != StringShield::pathAuthCallback())
        return refuse(QStringLiteral("The return address is not this service's."));
    if (q.queryItemValue("response_type") != QLatin1String("code") ||
        q.queryItemValue("code_challenge_method") != QLatin1String("S256"))
        return refuse(QStringLiteral("Only the authorisation-code sign-in with an S256 challenge is supported."));
    const QString challenge = q.queryItemValue("code_challenge");
    static const QRegularExpression base64Url(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
    if (!base64Url.match(challenge).hasMatch()) return refuse(QStringLiteral("The code challenge is malformed."));
    const QString state = q.queryItemValue("state", QUrl::FullyDecoded);
    if (state.size() > 512) return refuse(QStringLiteral("The state is too long."));

    const Clock::TimePoint now = Clock::current().monotonicNow();
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = now - it->createdAt > kConsentLifetime ? m_pending.erase(it) : std::next(it);
    if (m_pending.size() >= kMaxPendingConsents) {
        // Anyone may load the page: a burst of loads pushes out the oldest, not the user's own.
        m_pending.erase(
            std::min_element(m_pending.begin(), m_pending.end(),
                             [](const PendingConsent& a, const PendingConsent& b) { return a.order < b.order; }));
    }
    const QString nonce = randomToken(24);
    m_pending.insert(nonce,
                     PendingConsent{challenge, m_options.clientId, redirect.toString(), state, now, ++m_consentsShown});

    return htmlPage(QStringLiteral("Sign in to Vantrose"),
                    QStringLiteral("<h1>Sign in to Vantrose on this computer</h1>"
                                   "<p>Vantrose will use the local account <b>%1</b>.</p>"
                                   "<form method=\"post\"><input type=\"hidden\" name=\"nonce\" value=\"%2\">"
                                   "<button type=\"submit\">Sign in as %1</button></form>")
                        .arg(m_options.login.toHtmlEscaped(), nonce));
}

QHttpServerResponse VantroseService::consent(const QHttpServerRequest& request) {
    if (request.body().size() > RouteLimits::kConsentForm)
        return errorReply(StatusCode::PayloadTooLarge, QStringLiteral("request body too large"));
    const QUrlQuery form(QString::fromUtf8(request.body()).replace(QLatin1Char('+'), QLatin1Char(' ')));
    const QString nonce = form.queryItemValue("nonce", QUrl::FullyDecoded);
    const auto it = m_pending.constFind(nonce);
    if (nonce.isEmpty() || it == m_pending.constEnd() ||
        Clock::current().monotonicNow() - it->createdAt > kConsentLifetime) {
        m_pending.remove(nonce);
        return htmlPage(
            QStringLiteral("Sign-in expired"),
            QStringLiteral("<h1>This sign-in page has expired</h1><p>Start the sign-in again from Vantrose.</p>"),
            StatusCode::BadRequest);
    }
    const PendingConsent pending = *it;  // NOLINT(performance-unnecessary-copy-initialization): erased next
    m_pending.erase(it);
    const QString code = randomToken();
    m_store->putCode(code, ServiceStore::Code{pending.challenge, pending.clientId, pending.redirectUri,
                                              m_store->accountForLogin(m_options.login),
                                              nowSeconds() + toSeconds(kCodeLifetime)});
    QUrl to(pending.redirectUri);
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("code"), code);
    if (!pending.state.isEmpty())
        q.addQueryItem(QStringLiteral("state"), QString::fromLatin1(QUrl::toPercentEncoding(pending.state)));
    to.setQuery(q);
    return redirect(to);
}

QHttpServerResponse VantroseService::callback(const QHttpServerRequest& request) {
    // Hands the code to the program through its URL scheme, as the identity provider's return
    // page of a hosted server would.
    const QUrlQuery in(request.url());
    const QString code = in.queryItemValue("code", QUrl::FullyDecoded);
    const QString error = in.queryItemValue("error", QUrl::FullyDecoded);
    if (code.isEmpty() && error.isEmpty())
        return errorReply(StatusCode::BadRequest, QStringLiteral("code is required"));
    QUrl to;
    to.setScheme(m_options.urlScheme);
    to.setHost(QStringLiteral("auth"));
    to.setPath(QStringLiteral("/callback"));
    QUrlQuery out;
    auto keep = [&](const char* key) {
        const QString value = in.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
        if (!value.isEmpty()) out.addQueryItem(QLatin1String(key), QString::fromLatin1(QUrl::toPercentEncoding(value)));
    };
    keep("code");
    keep("state");
    keep("error");
    to.setQuery(out);
    return redirect(to);
}

QHttpServerResponse VantroseService::exchange(const QHttpServerRequest& request) {
    QHttpServerResponse error(StatusCode::BadRequest);
    const auto body = jsonObjectBody(request, &error);
    if (!body) return error;
    const QJsonValue code = body->value("code");
    const QJsonValue verifier = body->value("code_verifier");
    if (!code.isString() || !verifier.isString() || code.toString().isEmpty() || verifier.toString().isEmpty())
        return errorReply(StatusCode::BadRequest, QStringLiteral("code and code_verifier are required"));
    const auto stored = m_store->takeCode(code.toString());  // one use, even when a check below fails
    if (!stored || stored->expiresAt < nowSeconds())
        return errorReply(StatusCode::BadRequest, QStringLiteral("Invalid or expired authorization code"));
    if (stored->clientId != m_options.clientId)
        return errorReply(StatusCode::BadRequest, QStringLiteral("The code was issued to another client"));
    if (s256(verifier.toString()) != stored->challenge)
        return errorReply(StatusCode::BadRequest, QStringLiteral("PKCE verification failed"));
    const QString refreshToken = randomToken();
    const ServiceStore::Session session = m_store->createSession(stored->accountId, refreshToken);
    return QHttpServerResponse(
        QJsonObject{{"user", userObject(stored->accountId)}, {"tokens", issueTokens(session, refreshToken)}});
}

QHttpServerResponse VantroseService::refresh(const QHttpServerRequest& request) {
    QHttpServerResponse error(StatusCode::BadRequest);
    const auto body = jsonObjectBody(request, &error);
    if (!body) return error;
    const QJsonValue token = body->value("refresh_token");
    if (!token.isString() || token.toString().isEmpty())
        return errorReply(StatusCode::BadRequest, QStringLiteral("refresh_token is required"));
    const QString next = randomToken();
    const auto [rotation, session] = m_store->rotateSession(token.toString(), next);
    if (rotation == ServiceStore::Rotation::reused)
        return errorReply(StatusCode::Unauthorized,
                          QStringLiteral("Refresh token used twice; the session is signed out"));
    if (!session) return errorReply(StatusCode::Unauthorized, QStringLiteral("Invalid refresh token"));
    return QHttpServerResponse(QJsonObject{{"tokens", issueTokens(*session, next)}});
}

QHttpServerResponse VantroseService::logout(const QHttpServerRequest& request) {
    // A signed token ends its session even after it expired: sign-out must always work.
    const QByteArray prefix = StringShield::hdrBearer().toLatin1();
    const QByteArray authorization = request.value("Authorization");
    const auto claims = authorization.startsWith(prefix)
                            ? m_signer->verify(QString::fromLatin1(authorization.mid(prefix.size()).trimmed()))
                            : std::nullopt;
    if (!claims) return errorReply(StatusCode::Unauthorized, QStringLiteral("Not authenticated"));
    m_store->revokeSession(claims->value("sid").toString());
    return QHttpServerResponse(QJsonObject{{"ok", true}});
}

// ---------------------------------------------------------------- settings, events, health

QHttpServerResponse VantroseService::getSettings(const QHttpServerRequest& request) {
    const auto account = accountForBearer(request.value("Authorization"));
    if (!account) return errorReply(StatusCode::Unauthorized, QStringLiteral("Not authenticated"));
    return QHttpServerResponse(QJsonObject{{"settings", m_store->settings(*account)}});
}

QHttpServerResponse VantroseService::putSettings(const QHttpServerRequest& request) {
    const auto account = accountForBearer(request.value("Authorization"));
    if (!account) return errorReply(StatusCode::Unauthorized, QStringLiteral("Not authenticated"));
    QHttpServerResponse error(StatusCode::BadRequest);
    const auto body = jsonObjectBody(request, &error);
    if (!body) return error;
    if (!body->value("settings").isObject())
        return errorReply(StatusCode::UnprocessableEntity, QStringLiteral("settings must be an object"));
    m_store->putSettings(*account, body->value("settings").toObject());
    return QHttpServerResponse(QJsonObject{{"ok", true}});
}

QHttpServerResponse VantroseService::events(const QHttpServerRequest& request) {
    QString account;
    QString session;
    const QByteArray authorization = request.value("Authorization");
    if (!authorization.isEmpty()) {
        const auto found = accountForBearer(authorization);
        if (!found) return errorReply(StatusCode::Unauthorized, QStringLiteral("Not authenticated"));
        account = *found;
        // Kept with the events, so that ending the session removes them.
        const QByteArray prefix = StringShield::hdrBearer().toLatin1();
        if (const auto claims = m_signer->verify(QString::fromLatin1(authorization.mid(prefix.size()).trimmed())))
            session = claims->value("sid").toString();
    }
    const QByteArray device = request.value(StringShield::hdrDeviceID().toLatin1());
    if (device.isEmpty() || device.size() > 200)
        return errorReply(StatusCode::BadRequest, QStringLiteral("X-Device-ID header is required"));
    QHttpServerResponse error(StatusCode::BadRequest);
    const auto body = jsonObjectBody(request, &error);
    if (!body) return error;
    if (!body->value("events").isArray())
        return errorReply(StatusCode::UnprocessableEntity, QStringLiteral("events must be an array"));
    const QJsonArray events = body->value("events").toArray();
    if (events.size() > kMaxEventsPerBatch)
        return errorReply(StatusCode::PayloadTooLarge, QStringLiteral("too many events in one batch"));
    for (const auto& e : events) {
        const QJsonObject o = e.toObject();
        if (!o.value("event").isString() || !o.value("device_id").isString() || !o.value("timestamp").isString())
            return errorReply(StatusCode::UnprocessableEntity,
                              QStringLiteral("every event needs event, device_id and timestamp"));
    }
    switch (m_store->addEvents(QString::fromUtf8(device), account, session,
                               QJsonDocument(events).toJson(QJsonDocument::Compact), static_cast<int>(events.size()))) {
    case ServiceStore::EventsAdded::stored: break;
    case ServiceStore::EventsAdded::deviceFull:
        return errorReply(StatusCode::TooManyRequests, QStringLiteral("analytics quota of this device is full"));
    case ServiceStore::EventsAdded::storeFull:
        return errorReply(StatusCode::TooManyRequests, QStringLiteral("analytics storage is full"));
    }
    return QHttpServerResponse(QJsonObject{{"accepted", events.size()}});
}

QHttpServerResponse VantroseService::health(const QHttpServerRequest&) {
    return QHttpServerResponse(QJsonObject{{"status", "ok"},
                                           {"version", QStringLiteral(VANTROSE_VERSION)},
                                           {"llm_providers", m_speech->healthProviders()}});
}

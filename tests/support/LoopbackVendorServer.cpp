#include "support/LoopbackVendorServer.h"

#include "Foundation/Clock.h"
#include "Foundation/StringShield.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

namespace {

constexpr qsizetype kMaxHeadBytes = qsizetype{64} * 1024;
constexpr qsizetype kMaxBodyBytes = qsizetype{256} * 1024 * 1024;

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

QString randomToken(int bytes = 24) {
    QByteArray raw(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i) raw[i] = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString base64UrlOf(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

}  // namespace

// ---------------------------------------------------------------- RecordedRequest

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return true;
    return false;
}

QJsonObject RecordedRequest::json() const {
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    return doc.isObject() ? doc.object() : QJsonObject{};
}

QString RecordedRequest::bearerToken() const {
    const QByteArray value = header("Authorization");
    if (!value.startsWith("Bearer ")) return {};
    return QString::fromUtf8(value.mid(7));
}

// ---------------------------------------------------------------- LoopbackReply

LoopbackReply LoopbackReply::json(const QJsonObject& object, int status) {
    LoopbackReply r;
    r.status = status;
    r.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return r;
}

LoopbackReply LoopbackReply::json(const QJsonArray& array, int status) {
    LoopbackReply r;
    r.status = status;
    r.body = QJsonDocument(array).toJson(QJsonDocument::Compact);
    return r;
}

LoopbackReply LoopbackReply::error(int status, const QString& detail) {
    return json(QJsonObject{{"detail", detail}}, status);
}

LoopbackReply LoopbackReply::html(int status, const QString& html) {
    LoopbackReply r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.body = html.isEmpty()
                 ? QByteArray("<html><head><title>") + QByteArray::number(status) + " " + reasonPhrase(status) +
                       "</title></head><body><h1>" + reasonPhrase(status) + "</h1></body></html>"
                 : html.toUtf8();
    return r;
}

LoopbackReply LoopbackReply::text(int status, const QByteArray& text, const QByteArray& contentType) {
    LoopbackReply r;
    r.status = status;
    r.contentType = contentType;
    r.body = text;
    return r;
}

LoopbackReply LoopbackReply::malformedJson(int status) {
    LoopbackReply r;
    r.status = status;
    r.body = R"({"tokens": {"access_token": "abc", )";
    return r;
}

LoopbackReply LoopbackReply::empty(int status) {
    LoopbackReply r;
    r.status = status;
    r.contentType.clear();
    return r;
}

LoopbackReply LoopbackReply::drop() {
    LoopbackReply r;
    r.action = Action::Drop;
    return r;
}

LoopbackReply LoopbackReply::hang() {
    LoopbackReply r;
    r.action = Action::Hang;
    return r;
}

LoopbackReply LoopbackReply::truncated(const QJsonObject& object) {
    LoopbackReply r = json(object);
    r.action = Action::Truncate;
    return r;
}

LoopbackReply LoopbackReply::normal() {
    LoopbackReply r;
    r.action = Action::UseHandler;
    return r;
}

// ---------------------------------------------------------------- connections

struct LoopbackVendorServer::Connection {
    QPointer<QTcpSocket> socket;
    int id = 0;
    QByteArray buffer;
    bool busy = false;  // a request is being answered (possibly after a delay)
    bool closing = false;
    bool firstRequest = true;
};

LoopbackVendorServer::LoopbackVendorServer(QObject* parent) : QObject(parent) {
    m_paths.health = StringShield::pathHealth();
    m_paths.authToken = StringShield::pathAuthToken();
    m_paths.authCallback = StringShield::pathAuthCallback();
    m_paths.events = StringShield::pathEvents();
    m_paths.format = StringShield::pathFormat();
    m_user = defaultUser();
    installBuiltInRoutes();
}

LoopbackVendorServer::~LoopbackVendorServer() { stop(); }

bool LoopbackVendorServer::start() {
    if (m_server && m_server->isListening()) return true;
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &LoopbackVendorServer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost, 0);
}

void LoopbackVendorServer::stop() {
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    const auto connections = m_connections;
    m_connections.clear();
    for (Connection* conn : connections) {
        if (conn->socket) {
            conn->socket->disconnect(this);
            conn->socket->abort();
            conn->socket->deleteLater();
        }
        delete conn;
    }
}

quint16 LoopbackVendorServer::port() const { return m_server ? m_server->serverPort() : 0; }

QString LoopbackVendorServer::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

void LoopbackVendorServer::route(const QByteArray& method, const QString& path, Handler handler) {
    m_routes[{method.toUpper(), path}] = std::move(handler);
}

void LoopbackVendorServer::removeRoute(const QByteArray& method, const QString& path) {
    m_routes.erase({method.toUpper(), path});
}

void LoopbackVendorServer::scriptNext(const QByteArray& method, const QString& path, const LoopbackReply& reply) {
    m_scripts[{method.toUpper(), path}].next.push_back(reply);
}

void LoopbackVendorServer::scriptAlways(const QByteArray& method, const QString& path, const LoopbackReply& reply) {
    m_scripts[{method.toUpper(), path}].always = reply;
}

void LoopbackVendorServer::clearScripts() { m_scripts.clear(); }

void LoopbackVendorServer::setUpgradeHandler(UpgradeHandler handler, const void* owner) {
    m_upgradeHandler = std::move(handler);
    m_upgradeOwner = owner;
}

void LoopbackVendorServer::clearUpgradeHandler(const void* owner) {
    if (m_upgradeOwner != owner) return;
    m_upgradeHandler = {};
    m_upgradeOwner = nullptr;
}

QList<RecordedRequest> LoopbackVendorServer::requests(const QString& path) const {
    QList<RecordedRequest> out;
    for (const auto& r : m_requests)
        if (r.path == path) out.append(r);
    return out;
}

int LoopbackVendorServer::requestCount(const QString& path) const { return static_cast<int>(requests(path).size()); }

void LoopbackVendorServer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* conn = new Connection;
        conn->socket = socket;
        conn->id = m_nextConnectionId++;
        m_connections.append(conn);
        socket->setParent(this);
        const int id = conn->id;
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Connection* c = connection(id)) onReadyRead(c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            Connection* c = connection(id);
            if (!c) return;
            m_connections.removeOne(c);
            if (c->socket) c->socket->deleteLater();
            delete c;
        });
        if (socket->bytesAvailable() > 0) onReadyRead(conn);
    }
}

LoopbackVendorServer::Connection* LoopbackVendorServer::connection(int id) const {
    for (Connection* c : m_connections)
        if (c->id == id) return c;
    return nullptr;
}

void LoopbackVendorServer::onReadyRead(Connection* conn) {
    if (!conn->socket) return;
    // Once part of the first request is in the buffer it is not an upgrade: the rest of its body
    // must be read, not peeked at again for a head it does not contain.
    if (conn->firstRequest && conn->buffer.isEmpty() && m_upgradeHandler) {
        // Decide on the first request's head without consuming it, so an upgrade handler can
        // read the handshake itself.
        const QByteArray peeked = conn->socket->peek(kMaxHeadBytes);
        const qsizetype end = peeked.indexOf("\r\n\r\n");
        if (end < 0) return;  // wait for the whole head
        const QByteArray head = peeked.left(end).toLower();
        if (head.contains("\nupgrade: websocket") || head.contains("\nupgrade:websocket")) {
            RecordedRequest req;
            const QList<QByteArray> lines = peeked.left(end).split('\n');
            const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
            req.method = parts.value(0);
            req.target = parts.value(1);
            const QUrl url(QString::fromUtf8(req.target));
            req.path = url.path();
            req.query = QUrlQuery(url);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon > 0) req.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            req.connectionId = conn->id;
            m_requests.append(req);
            QTcpSocket* socket = conn->socket;
            socket->disconnect(this);
            m_connections.removeOne(conn);
            delete conn;
            m_upgradeHandler(socket);
            return;
        }
    }
    conn->buffer.append(conn->socket->readAll());
    processBuffer(conn);
}

bool LoopbackVendorServer::parseHead(Connection* conn, RecordedRequest& req, qsizetype& headEnd, qsizetype& bodyLength,
                                     bool& chunked, bool& close, QByteArray& badRequest) {
    const qsizetype end = conn->buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (conn->buffer.size() > kMaxHeadBytes) badRequest = "request head too large";
        return false;
    }
    headEnd = end + 4;
    const QList<QByteArray> lines = conn->buffer.left(end).split('\n');
    const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.")) {
        badRequest = "malformed request line";
        return false;
    }
    req.method = parts[0];
    req.target = parts[1];
    const QUrl url = QUrl::fromEncoded("http://loopback" + req.target);
    req.path = url.path();
    req.query = QUrlQuery(url);
    const bool http10 = parts[2] == "HTTP/1.0";
    close = http10;
    bodyLength = 0;
    chunked = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty()) continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            badRequest = "malformed header line";
            return false;
        }
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        req.headers.append({name, value});
        const QByteArray lower = name.toLower();
        if (lower == "content-length") {
            bool ok = false;
            bodyLength = value.toLongLong(&ok);
            if (!ok || bodyLength < 0 || bodyLength > kMaxBodyBytes) {
                badRequest = "bad content length";
                return false;
            }
        } else if (lower == "transfer-encoding" && value.toLower().contains("chunked")) {
            chunked = true;
        } else if (lower == "connection") {
            const QByteArray v = value.toLower();
            if (v.contains("close")) close = true;
            if (v.contains("keep-alive")) close = false;
        }
    }
    return true;
}

void LoopbackVendorServer::processBuffer(Connection* conn) {
    const int id = conn->id;
    // Answering may close the connection and free `conn`, so look it up again every round.
    while ((conn = connection(id)) && conn->socket && !conn->busy && !conn->closing) {
        RecordedRequest req;
        qsizetype headEnd = 0, bodyLength = 0;
        bool chunked = false, close = false;
        QByteArray bad;
        if (!parseHead(conn, req, headEnd, bodyLength, chunked, close, bad)) {
            if (!bad.isEmpty()) {
                conn->buffer.clear();
                sendReply(conn, LoopbackReply::text(400, bad), true);
            }
            return;
        }
        qsizetype consumed = headEnd;
        if (chunked) {
            QByteArray body;
            qsizetype pos = headEnd;
            bool complete = false;
            while (true) {
                const qsizetype lineEnd = conn->buffer.indexOf("\r\n", pos);
                if (lineEnd < 0) break;
                bool ok = false;
                const qsizetype size =
                    conn->buffer.mid(pos, lineEnd - pos).split(';').value(0).trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0 || body.size() + size > kMaxBodyBytes) {
                    conn->buffer.clear();
                    sendReply(conn, LoopbackReply::text(400, "bad chunk"), true);
                    return;
                }
                if (size == 0) {
                    const qsizetype trailerEnd = conn->buffer.indexOf("\r\n\r\n", lineEnd);
                    // No trailers: the terminating CRLF follows the zero-size line directly.
                    if (conn->buffer.mid(lineEnd, 4) == "\r\n\r\n") {
                        consumed = lineEnd + 4;
                        complete = true;
                    } else if (trailerEnd >= 0) {
                        consumed = trailerEnd + 4;
                        complete = true;
                    }
                    break;
                }
                if (conn->buffer.size() < lineEnd + 2 + size + 2) break;
                body.append(conn->buffer.mid(lineEnd + 2, size));
                pos = lineEnd + 2 + size + 2;
            }
            if (!complete) return;
            req.body = body;
        } else {
            if (conn->buffer.size() < headEnd + bodyLength) return;
            req.body = conn->buffer.mid(headEnd, bodyLength);
            consumed = headEnd + bodyLength;
        }
        conn->buffer.remove(0, consumed);
        conn->firstRequest = false;
        req.connectionId = conn->id;
        m_requests.append(req);
        dispatch(conn, std::move(req), close);
    }
}

LoopbackReply LoopbackVendorServer::resolve(const RecordedRequest& req) {
    const RouteKey key{req.method.toUpper(), req.path};
    std::optional<LoopbackReply> scripted;
    if (auto it = m_scripts.find(key); it != m_scripts.end()) {
        if (!it->second.next.empty()) {
            scripted = it->second.next.front();
            it->second.next.pop_front();
        } else if (it->second.always) {
            scripted = it->second.always;
        }
    }
    if (scripted && scripted->action != LoopbackReply::Action::UseHandler) return *scripted;

    LoopbackReply reply;
    if (auto it = m_routes.find(key); it != m_routes.end()) {
        reply = it->second(req);
    } else {
        bool pathKnown = false;
        for (const auto& [k, handler] : m_routes)
            if (k.path == req.path) pathKnown = true;
        reply = pathKnown ? LoopbackReply::error(405, "Method Not Allowed") : LoopbackReply::error(404, "Not Found");
    }
    if (scripted) reply.delayMs = scripted->delayMs;
    return reply;
}

void LoopbackVendorServer::dispatch(Connection* conn, RecordedRequest req, bool closeAfter) {
    const LoopbackReply reply = resolve(req);
    conn->busy = true;
    if (reply.delayMs > 0) {
        QTimer::singleShot(reply.delayMs, this, [this, id = conn->id, reply, closeAfter] {
            if (Connection* c = connection(id)) sendReply(c, reply, closeAfter);
        });
    } else {
        sendReply(conn, reply, closeAfter);
    }
}

void LoopbackVendorServer::sendReply(Connection* conn, const LoopbackReply& reply, bool closeAfter) {
    QTcpSocket* socket = conn->socket;
    if (!socket) return;
    switch (reply.action) {
    case LoopbackReply::Action::Hang: return;  // stays busy; the client gives up or the server stops
    case LoopbackReply::Action::Drop:
        conn->closing = true;
        socket->abort();
        return;
    default: break;
    }
    const bool close = closeAfter || reply.closeAfter || reply.action == LoopbackReply::Action::Truncate;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    if (!reply.contentType.isEmpty()) out += "Content-Type: " + reply.contentType + "\r\n";
    for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
    const bool bodyless = reply.status == 204 || reply.status == 304;
    if (!bodyless) out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    out += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    out += "\r\n";
    if (!bodyless) {
        out += reply.action == LoopbackReply::Action::Truncate ? reply.body.left(reply.body.size() / 2) : reply.body;
    }
    socket->write(out);
    if (close) {
        conn->closing = true;
        socket->disconnectFromHost();
        return;
    }
    finishRequest(conn);
}

void LoopbackVendorServer::finishRequest(Connection* conn) {
    conn->busy = false;
    // Requests that arrived while this one was answered (pipelining) are served next.
    if (!conn->buffer.isEmpty()) {
        QTimer::singleShot(0, this, [this, id = conn->id] {
            if (Connection* c = connection(id)) processBuffer(c);
        });
    }
}

// ---------------------------------------------------------------- vendor behaviour

QJsonObject LoopbackVendorServer::defaultUser() {
    return QJsonObject{{"id", "user-1"},         {"email", "ada@example.com"},
                       {"name", "Ada Lovelace"}, {"picture", "https://example.com/ada.png"},
                       {"plan", "pro"},          {"api_key", "key-ada"}};
}

void LoopbackVendorServer::installBuiltInRoutes() {
    route("POST", m_paths.authToken, [this](const RecordedRequest& r) { return handleTokenExchange(r); });
    route("POST", m_paths.authRefresh, [this](const RecordedRequest& r) { return handleRefresh(r); });
    route("POST", m_paths.authLogout, [this](const RecordedRequest& r) { return handleLogout(r); });
    route("POST", m_paths.events, [this](const RecordedRequest& r) { return handleEvents(r); });
    route("GET", m_paths.health, [this](const RecordedRequest& r) { return handleHealth(r); });
    route("POST", m_paths.format, [this](const RecordedRequest& r) { return handleFormat(r); });
    route("GET", m_paths.settings, [this](const RecordedRequest& r) { return handleGetSettings(r); });
    route("PUT", m_paths.settings, [this](const RecordedRequest& r) { return handlePutSettings(r); });
}

QString LoopbackVendorServer::makeJwt(const QJsonObject& payload) {
    const QByteArray header =
        QJsonDocument(QJsonObject{{"alg", "none"}, {"typ", "JWT"}}).toJson(QJsonDocument::Compact);
    const QByteArray body = QJsonDocument(payload).toJson(QJsonDocument::Compact);
    return base64UrlOf(header) + "." + base64UrlOf(body) + "." + randomToken(12);
}

QJsonObject LoopbackVendorServer::issueTokenObject() {
    const TokenPair pair = issueTokens();
    return QJsonObject{{"access_token", pair.accessToken}, {"refresh_token", pair.refreshToken}};
}

LoopbackVendorServer::TokenPair LoopbackVendorServer::issueTokens() {
    const double exp = Clock::current().now().toMSecsSinceEpoch() / 1000.0 + m_accessLifetime;
    TokenPair pair;
    pair.accessToken = makeJwt(QJsonObject{
        {"sub", m_user.value("id").toString()}, {"exp", static_cast<qint64>(exp)}, {"jti", randomToken(8)}});
    pair.refreshToken = randomToken();
    m_refreshTokens.insert(pair.refreshToken, pair.accessToken);
    return pair;
}

void LoopbackVendorServer::revokeAllTokens() {
    for (auto it = m_refreshTokens.cbegin(); it != m_refreshTokens.cend(); ++it)
        m_revokedAccessTokens.insert(it.value());
    m_refreshTokens.clear();
}

bool LoopbackVendorServer::isValidAccessToken(const QString& token) const {
    if (token.isEmpty() || m_revokedAccessTokens.contains(token)) return false;
    bool issued = false;
    for (auto it = m_refreshTokens.cbegin(); it != m_refreshTokens.cend(); ++it)
        if (it.value() == token) issued = true;
    if (!issued) return false;
    const QList<QString> parts = token.split('.');
    const QByteArray payload = QByteArray::fromBase64(parts.value(1).toLatin1(), QByteArray::Base64UrlEncoding);
    const double exp = QJsonDocument::fromJson(payload).object().value("exp").toDouble();
    return exp > Clock::current().now().toMSecsSinceEpoch() / 1000.0;
}

QUrl LoopbackVendorServer::authorize(const QUrl& authorizationUrl, QString* error, const QString& callbackBase) {
    const QUrlQuery q(authorizationUrl);
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return QUrl();
    };
    if (q.queryItemValue("response_type") != "code") return fail("response_type is not code");
    if (q.queryItemValue("code_challenge_method") != "S256") return fail("code_challenge_method is not S256");
    const QString challenge = q.queryItemValue("code_challenge");
    if (challenge.size() != 43) return fail("code_challenge is not a SHA-256 base64url digest");
    if (q.queryItemValue("redirect_uri", QUrl::FullyDecoded) != baseUrl() + m_paths.authCallback)
        return fail("redirect_uri does not point at this server's callback");
    if (q.queryItemValue("client_id").isEmpty()) return fail("client_id is missing");

    const QString code = randomToken(16);
    m_pendingCodes.insert(code, challenge);
    QUrl callback(callbackBase);
    QUrlQuery cq;
    cq.addQueryItem("code", code);
    const QString state = q.queryItemValue("state", QUrl::FullyDecoded);
    if (!state.isEmpty()) cq.addQueryItem("state", state);
    callback.setQuery(cq);
    return callback;
}

LoopbackReply LoopbackVendorServer::handleTokenExchange(const RecordedRequest& req) {
    const QJsonObject body = req.json();
    const QString code = body.value("code").toString();
    const QString verifier = body.value("code_verifier").toString();
    if (code.isEmpty() || verifier.isEmpty()) return LoopbackReply::error(400, "code and code_verifier are required");
    if (!m_pendingCodes.contains(code)) return LoopbackReply::error(400, "Invalid or expired authorization code");
    const QString challenge = m_pendingCodes.take(code);  // one use only, even when the check fails
    const QString expected = base64UrlOf(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
    if (expected != challenge) return LoopbackReply::error(400, "PKCE verification failed");
    return LoopbackReply::json(QJsonObject{{"user", m_user}, {"tokens", issueTokenObject()}});
}

LoopbackReply LoopbackVendorServer::handleRefresh(const RecordedRequest& req) {
    const QString refresh = req.json().value("refresh_token").toString();
    if (refresh.isEmpty()) return LoopbackReply::error(400, "refresh_token is required");
    if (!m_refreshTokens.contains(refresh)) return LoopbackReply::error(401, "Invalid refresh token");
    // Rotation: the presented refresh token and its access token stop working.
    m_revokedAccessTokens.insert(m_refreshTokens.take(refresh));
    return LoopbackReply::json(QJsonObject{{"tokens", issueTokenObject()}});
}

LoopbackReply LoopbackVendorServer::handleLogout(const RecordedRequest& req) {
    const QString access = req.bearerToken();
    if (access.isEmpty()) return LoopbackReply::error(401, "Not authenticated");
    m_revokedAccessTokens.insert(access);
    for (auto it = m_refreshTokens.begin(); it != m_refreshTokens.end();) {
        if (it.value() == access)
            it = m_refreshTokens.erase(it);
        else
            ++it;
    }
    return LoopbackReply::json(QJsonObject{{"ok", true}});
}

LoopbackReply LoopbackVendorServer::handleEvents(const RecordedRequest& req) {
    const QJsonDocument doc = QJsonDocument::fromJson(req.body);
    if (!doc.isObject() || !doc.object().value("events").isArray())
        return LoopbackReply::error(422, "events must be an array");
    const QJsonArray events = doc.object().value("events").toArray();
    for (const auto& e : events) {
        const QJsonObject o = e.toObject();
        if (!o.value("event").isString() || !o.value("device_id").isString() || !o.value("timestamp").isString())
            return LoopbackReply::error(422, "every event needs event, device_id and timestamp");
    }
    m_eventBatches.append(events);
    return LoopbackReply::json(QJsonObject{{"accepted", events.size()}});
}

LoopbackReply LoopbackVendorServer::handleHealth(const RecordedRequest&) {
    return LoopbackReply::json(
        QJsonObject{{"status", "ok"}, {"version", m_version}, {"llm_providers", m_llmProviders}});
}

LoopbackReply LoopbackVendorServer::handleFormat(const RecordedRequest& req) {
    const QJsonObject body = req.json();
    if (!body.value("text").isString()) return LoopbackReply::error(422, QStringLiteral("text is required"));
    const QString text = body.value("text").toString();
    return LoopbackReply::json(QJsonObject{{"text", m_formatter ? m_formatter(text) : text},
                                           {"race_winner", m_raceWinner},
                                           {"provider", "loopback"},
                                           {"time_ms", 1}});
}

LoopbackReply LoopbackVendorServer::handleGetSettings(const RecordedRequest& req) {
    if (!isValidAccessToken(req.bearerToken())) return LoopbackReply::error(401, "Not authenticated");
    return LoopbackReply::json(QJsonObject{{"settings", m_remoteSettings}});
}

LoopbackReply LoopbackVendorServer::handlePutSettings(const RecordedRequest& req) {
    if (!isValidAccessToken(req.bearerToken())) return LoopbackReply::error(401, "Not authenticated");
    const QJsonDocument doc = QJsonDocument::fromJson(req.body);
    if (!doc.isObject() || !doc.object().value("settings").isObject())
        return LoopbackReply::error(422, "settings must be an object");
    m_remoteSettings = doc.object().value("settings");
    return LoopbackReply::json(QJsonObject{{"ok", true}});
}

QList<QJsonObject> LoopbackVendorServer::receivedEvents() const {
    QList<QJsonObject> out;
    for (const QJsonArray& batch : m_eventBatches)
        for (const auto& e : batch) out.append(e.toObject());
    return out;
}

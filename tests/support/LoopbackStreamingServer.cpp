#include "support/LoopbackStreamingServer.h"

#include "support/LoopbackVendorServer.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <chrono>

LoopbackStreamingServer::CommitReply
LoopbackStreamingServer::CommitReply::result(const QString& asrText, const QString& llmText, const QJsonObject& extra) {
    CommitReply r;
    r.kind = Kind::Result;
    r.message = extra;
    r.message.insert("type", "result");
    r.message.insert("asr_text", asrText);
    r.message.insert("llm_text", llmText);
    return r;
}

LoopbackStreamingServer::CommitReply LoopbackStreamingServer::CommitReply::error(const QString& message, bool fatal) {
    CommitReply r;
    r.kind = Kind::Error;
    r.message = QJsonObject{{"type", "error"}, {"message", message}, {"is_fatal", fatal}};
    return r;
}

LoopbackStreamingServer::CommitReply LoopbackStreamingServer::CommitReply::close(int code) {
    CommitReply r;
    r.kind = Kind::Close;
    r.closeCode = code;
    return r;
}

LoopbackStreamingServer::CommitReply LoopbackStreamingServer::CommitReply::abort() {
    CommitReply r;
    r.kind = Kind::Abort;
    return r;
}

LoopbackStreamingServer::CommitReply LoopbackStreamingServer::CommitReply::silence() {
    CommitReply r;
    r.kind = Kind::Silence;
    return r;
}

LoopbackStreamingServer::CommitReply& LoopbackStreamingServer::CommitReply::withPartials(const QStringList& texts) {
    for (const QString& t : texts) before.append(QJsonObject{{"type", "partial"}, {"text", t}});
    return *this;
}

QJsonObject LoopbackStreamingServer::Frame::json() const {
    return binary ? QJsonObject() : QJsonDocument::fromJson(data).object();
}

LoopbackStreamingServer::LoopbackStreamingServer(LoopbackVendorServer& http, QObject* parent)
    : QObject(parent),
      m_http(http) {
    m_server = new QWebSocketServer(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode, this);
    connect(m_server, &QWebSocketServer::newConnection, this, &LoopbackStreamingServer::onNewConnection);
    m_http.setUpgradeHandler(
        [guard = QPointer<LoopbackStreamingServer>(this)](QTcpSocket* socket) {
            if (guard)
                guard->accept(socket);
            else
                socket->abort();
        },
        this);
}

LoopbackStreamingServer::~LoopbackStreamingServer() {
    m_http.clearUpgradeHandler(this);
    for (const auto& c : m_clients)
        if (c) c->abort();
}

void LoopbackStreamingServer::accept(QTcpSocket* socket) {
    m_upgradeTimes.append(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
    if (m_refuse || m_refuseNext > 0) {
        if (m_refuseNext > 0) --m_refuseNext;
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (m_handshakeDelayMs < 0) {
        m_withheld.append(socket);
        return;
    }
    if (m_handshakeDelayMs == 0) {
        m_server->handleConnection(socket);
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(m_handshakeDelayMs, this, [this, guarded] {
        if (guarded && guarded->state() == QAbstractSocket::ConnectedState) m_server->handleConnection(guarded);
    });
}

void LoopbackStreamingServer::releaseHandshakes() {
    const auto withheld = std::exchange(m_withheld, {});
    for (const auto& s : withheld)
        if (s && s->state() == QAbstractSocket::ConnectedState) m_server->handleConnection(s);
}

void LoopbackStreamingServer::onNewConnection() {
    while (QWebSocket* client = m_server->nextPendingConnection()) {
        const int id = ++m_handshakes;
        client->setParent(this);
        m_clients.append(client);
        connect(client, &QWebSocket::textMessageReceived, this,
                [this, id, client](const QString& text) { onText(id, client, text); });
        connect(client, &QWebSocket::binaryMessageReceived, this, [this, id](const QByteArray& bytes) {
            m_frames.append(Frame{id, true, bytes});
        });
        connect(client, &QWebSocket::disconnected, this, [this, client] {
            m_closeCodes.append(static_cast<int>(client->closeCode()));
            client->deleteLater();
        });
        const QByteArray authorization = client->request().rawHeader("Authorization");
        if (m_requireValidToken && !(authorization.startsWith("Bearer ") &&
                                     m_http.isValidAccessToken(QString::fromLatin1(authorization.mid(7)))))
            client->close(static_cast<QWebSocketProtocol::CloseCode>(4001), QStringLiteral("Not authenticated"));
    }
}

void LoopbackStreamingServer::onText(int connection, QWebSocket* client, const QString& text) {
    Frame frame{connection, false, text.toUtf8()};
    m_frames.append(frame);
    const QString type = frame.type();
    if (type == QLatin1String("ping")) {
        if (m_answerPings) client->sendTextMessage(QStringLiteral("{\"type\":\"pong\"}"));
    } else if (type == QLatin1String("commit")) {
        CommitReply r = m_defaultReply;
        if (!m_scripted.empty()) {
            r = m_scripted.front();
            m_scripted.pop_front();
        }
        QPointer<QWebSocket> guarded(client);
        if (r.delayMs > 0)
            QTimer::singleShot(r.delayMs, this, [this, guarded, r] { reply(guarded, r); });
        else
            reply(guarded, r);
    }
}

void LoopbackStreamingServer::reply(QPointer<QWebSocket> client, CommitReply r) {
    if (!client) return;
    for (const QJsonObject& m : r.before)
        client->sendTextMessage(QString::fromUtf8(QJsonDocument(m).toJson(QJsonDocument::Compact)));
    switch (r.kind) {
    case CommitReply::Kind::Result:
    case CommitReply::Kind::Error:
        client->sendTextMessage(QString::fromUtf8(QJsonDocument(r.message).toJson(QJsonDocument::Compact)));
        break;
    case CommitReply::Kind::Close: client->close(static_cast<QWebSocketProtocol::CloseCode>(r.closeCode)); break;
    case CommitReply::Kind::Abort: client->abort(); break;
    case CommitReply::Kind::Silence: break;
    }
}

QWebSocket* LoopbackStreamingServer::newestClient() const {
    // Reversed by hand: clang 14 cannot compile std::views::reverse over libstdc++ 12.
    for (auto it = m_clients.crbegin(); it != m_clients.crend(); ++it)  // NOLINT(modernize-loop-convert)
        if (*it && (*it)->state() == QAbstractSocket::ConnectedState) return *it;
    return nullptr;
}

void LoopbackStreamingServer::sendJson(const QJsonObject& message) {
    sendText(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void LoopbackStreamingServer::sendText(const QString& text) {
    if (QWebSocket* c = newestClient()) c->sendTextMessage(text);
}

void LoopbackStreamingServer::sendBinary(const QByteArray& bytes) {
    if (QWebSocket* c = newestClient()) c->sendBinaryMessage(bytes);
}

void LoopbackStreamingServer::closeClients(int code) {
    for (const auto& c : m_clients)
        if (c && c->state() == QAbstractSocket::ConnectedState)
            c->close(static_cast<QWebSocketProtocol::CloseCode>(code));
}

void LoopbackStreamingServer::abortClients() {
    for (const auto& c : m_clients)
        if (c) c->abort();
}

QList<LoopbackStreamingServer::Frame> LoopbackStreamingServer::framesOfType(const QString& type) const {
    QList<Frame> out;
    for (const Frame& f : m_frames)
        if (!f.binary && f.type() == type) out.append(f);
    return out;
}

QList<QByteArray> LoopbackStreamingServer::audioFrames() const {
    QList<QByteArray> out;
    for (const Frame& f : m_frames)
        if (f.binary) out.append(f.data);
    return out;
}

int LoopbackStreamingServer::openClientCount() const {
    int n = 0;
    for (const auto& c : m_clients)
        if (c && c->state() == QAbstractSocket::ConnectedState) ++n;
    return n;
}

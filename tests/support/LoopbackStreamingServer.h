#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <optional>

class LoopbackVendorServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// The streaming transcription endpoint of the loopback vendor server: WebSocket upgrades that
// reach the HTTP server are handed to a QWebSocketServer here, so the client uses the same base
// URL for both. Scriptable per test: pong or silence, what a commit gets (partials, a result, an
// error, a close, an aborted TCP connection, or nothing), a delayed or withheld handshake, and
// frames pushed at any moment. Every frame a client sends is recorded.
//
// Lives on the test's thread, like the HTTP server it attaches to.
class LoopbackStreamingServer : public QObject {
    Q_OBJECT
public:
    // What the server does when a commit arrives.
    struct CommitReply {
        enum class Kind { Result, Error, Close, Abort, Silence };
        Kind kind = Kind::Result;
        QList<QJsonObject> before;  // sent first, in order (e.g. partials)
        QJsonObject message;        // the result or error object
        int closeCode = 1000;
        int delayMs = 0;

        static CommitReply result(const QString& asrText, const QString& llmText, const QJsonObject& extra = {});
        static CommitReply error(const QString& message, bool fatal);
        static CommitReply close(int code);
        static CommitReply abort();
        static CommitReply silence();
        CommitReply& withPartials(const QStringList& texts);
        CommitReply& after(int ms) {
            delayMs = ms;
            return *this;
        }
    };

    struct Frame {
        int connection = 0;  // 1-based, in order of the handshakes completed
        bool binary = false;
        QByteArray data;
        QJsonObject json() const;  // the text frame as an object (empty otherwise)
        QString type() const { return json().value("type").toString(); }
    };

    // Attaches to `http` as its upgrade handler.
    explicit LoopbackStreamingServer(LoopbackVendorServer& http, QObject* parent = nullptr);
    ~LoopbackStreamingServer() override;

    // ---- behaviour ----
    void setAnswerPings(bool answer) { m_answerPings = answer; }
    // Completes each handshake this long after it arrived; a negative delay withholds it.
    void setHandshakeDelayMs(int ms) { m_handshakeDelayMs = ms; }
    // Refuses upgrades: the TCP connection is closed at once.
    void setRefuseConnections(bool refuse) { m_refuse = refuse; }
    // Refuses the next `count` upgrades, then accepts again.
    void refuseNextConnections(int count) { m_refuseNext = count; }
    // Closes a connection whose bearer the HTTP server does not hold as a valid access token
    // with 4001, right after its handshake, as the vendor's server does.
    void setRequireValidToken(bool require) { m_requireValidToken = require; }
    // The reply of every commit without a scripted one (default: a result "hello world").
    void setDefaultCommitReply(const CommitReply& reply) { m_defaultReply = reply; }
    void scriptNextCommit(const CommitReply& reply) { m_scripted.push_back(reply); }

    // ---- pushed by the test, to the newest open client ----
    void sendJson(const QJsonObject& message);
    void sendText(const QString& text);
    void sendBinary(const QByteArray& bytes);
    void closeClients(int code);
    void abortClients();
    // Completes the handshakes being withheld.
    void releaseHandshakes();

    // ---- recording ----
    QList<Frame> frames() const { return m_frames; }
    QList<Frame> framesOfType(const QString& type) const;
    QList<QByteArray> audioFrames() const;
    int handshakeCount() const { return m_handshakes; }  // completed
    // When each upgrade request arrived (steady clock, seconds), refused ones included.
    QList<double> upgradeTimes() const { return m_upgradeTimes; }
    int openClientCount() const;
    int commitCount() const { return static_cast<int>(framesOfType("commit").size()); }
    void clearFrames() { m_frames.clear(); }
    // The close code each client connection ended with, in the order they ended.
    QList<int> closeCodes() const { return m_closeCodes; }

private:
    void accept(QTcpSocket* socket);
    void onNewConnection();
    void onText(int connection, QWebSocket* client, const QString& text);
    void reply(QPointer<QWebSocket> client, CommitReply reply);
    QWebSocket* newestClient() const;

    LoopbackVendorServer& m_http;
    QWebSocketServer* m_server = nullptr;
    QList<QPointer<QWebSocket>> m_clients;
    QList<QPointer<QTcpSocket>> m_withheld;
    QList<Frame> m_frames;
    QList<int> m_closeCodes;
    QList<double> m_upgradeTimes;
    bool m_answerPings = true;
    bool m_refuse = false;
    bool m_requireValidToken = false;
    int m_refuseNext = 0;
    int m_handshakeDelayMs = 0;
    int m_handshakes = 0;
    CommitReply m_defaultReply = CommitReply::result("hello world", "Hello world.");
    std::deque<CommitReply> m_scripted;
};

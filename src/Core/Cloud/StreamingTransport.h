#pragma once

#include "Foundation/Clock.h"
#include "Models/StreamingState.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoro/QCoroTask>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class QTimer;
class QWebSocket;

// The client of the vendor's streaming transcription endpoint: one WebSocket kept open across
// dictations. Audio goes out as binary frames of 16-bit PCM while the key is held; at release the
// session is committed and the server answers with one "result" carrying the raw and the
// formatted text. A ping every few seconds keeps the idle connection alive; a lost connection is
// re-established a few times at growing intervals. A refused access token (close 4001) is not a
// lost connection: the account is asked once for a fresh token, and nothing more is tried.
//
// Threads: the object and its socket live on the main thread, which built it; every
// frame is sent there, in the order it was accepted. sendAudioChunk() may be called from any
// thread (the capture thread) and never waits for the network: it converts the chunk and posts it.
// state(), chunksSent() and isSessionInterrupted() may be read from any thread. Everything else,
// and every callback, runs on the owning thread.
class StreamingTransport : public QObject {
    Q_OBJECT
public:
    using State = StreamingState;

    // Timings. The defaults are the production values; tests shorten them.
    struct Tuning {
        std::chrono::milliseconds heartbeatInterval = std::chrono::seconds(5);
        // A ping without pong for longer than this is a miss.
        std::chrono::milliseconds heartbeatTimeout = std::chrono::seconds(4);
        int maxMissedHeartbeats = 2;
        int maxReconnectAttempts = 3;
        std::chrono::milliseconds initialReconnectDelay{400};
        std::chrono::milliseconds maxReconnectDelay = std::chrono::seconds(2);
        double backoffMultiplier = 1.5;
        // How long a commit made while connecting waits for the handshake.
        std::chrono::milliseconds commitHandshakeWait = std::chrono::seconds(2);
        // How long a commit waits for its result before the connection counts as lost.
        std::chrono::milliseconds commitResultTimeout = std::chrono::seconds(5);
        // A handshake that has not completed after this long fails.
        std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(30);
    };

    // Where the handshake's device and authorisation headers come from, read at every connect.
    // Left empty: the analytics device identifier and the account's cached access token. Without
    // a token the handshake goes without an authorisation header. `replaceRefusedToken` is asked
    // when the server refuses the token it was given (AccountAccess::replaceRefusedToken when
    // left empty); it answers the token to try instead, or nothing.
    struct Credentials {
        std::function<QString()> deviceID;
        std::function<std::optional<QString>()> accessToken;
        std::function<QCoro::Task<std::optional<QString>>(QString refused)> replaceRefusedToken;
    };

    explicit StreamingTransport(const QString& serverURL, QObject* parent = nullptr);
    StreamingTransport(const QString& serverURL, Tuning tuning, Credentials credentials, QObject* parent = nullptr);
    ~StreamingTransport() override;

    // The server base URL with its HTTP scheme texts replaced by the WebSocket ones (every
    // occurrence, the secure one first), followed by the streaming path.
    static QString webSocketURL(const QString& serverURL);

    // Opens the connection; acts only when disconnected.
    void connect();
    // Closes the socket (going away) and resets every counter. No callback is called.
    void disconnect();
    // Starts the session of a new dictation, reusing the open connection or opening one.
    void beginNewSession();
    // Ends the current session without a commit: streaming or committed goes back to connected,
    // the chunk count and the buffered chunks are dropped and a waiting commit is abandoned.
    void resetSession();
    // One chunk of 16 kHz mono float samples. Any thread; never blocks on the network.
    void sendAudioChunk(const std::vector<float>& samples);
    // Asks the server for the session's result; `language` is e.g. "en".
    void commit(const std::optional<QJsonObject>& context, const QString& language);

    State state() const { return m_state.load(); }
    int chunksSent() const { return m_chunksSent.load(); }
    // Some audio of the current session did not reach the server: the connection was lost after
    // audio had gone out, or a chunk came while no connection could take it. What the server
    // holds has a hole, so this session cannot be committed and its remaining chunks are
    // dropped. Cleared by beginNewSession() and resetSession().
    bool isSessionInterrupted() const { return m_sessionInterrupted.load(); }

    QString serverURL() const { return m_serverURL; }
    double connectLatencyMs() const { return m_connectLatencyMs; }
    double commitToResultMs() const { return m_commitToResultMs; }
    int missedHeartbeats() const { return m_missedHeartbeats; }
    int reconnectAttempts() const { return m_reconnectAttempts; }
    bool isReconnecting() const { return m_isReconnecting; }
    int pendingChunkCount() const;
    const Tuning& tuning() const { return m_tuning; }

    // Installed once by the owner; all are called on the owning thread, after the transport has
    // finished the step that caused them.
    std::function<void(const QString& text)> onPartialResult;
    std::function<void(const QString& rawText, const QString& formattedText, const QJsonObject& message)> onFinalResult;
    std::function<void(const QString& message)> onError;
    // The connection was lost (or gave no result in time) during a streaming or committed session.
    std::function<void()> onDisconnect;

    // The exact ping text.
    static constexpr const char* kPingText = "{\"type\":\"ping\"}";
    // The close code of a server that refuses the handshake's access token.
    static constexpr int kAuthenticationRefusedCode = 4001;
    // The largest message taken from the server; a larger one closes the connection, which then
    // counts as lost, so a misbehaving server cannot fill the memory.
    static constexpr qint64 kMaxMessageBytes = qint64{1024} * 1024;

private:
    void openConnection();
    void openSocket(const QUrl& url);
    void retireSocket(bool sendGoingAway);
    void onOpened(QWebSocket* socket);
    void onClosed(QWebSocket* socket);
    void onSocketError(QWebSocket* socket);
    void onHandshakeTimeout();
    void handleMessage(const QString& text);
    void handleResult(const QJsonObject& message);
    void handleServerError(const QJsonObject& message);
    void doCommit(const std::optional<QJsonObject>& context, const QString& language);
    void checkCommitWait();
    void cancelCommitWaits();
    void onCommitTimeout();
    void startHeartbeat();
    void stopHeartbeat();
    void sendHeartbeat();
    void handleConnectionLost(std::optional<State> stateBefore = std::nullopt);
    void handleAuthenticationRefused(State stateBefore);
    QCoro::Task<> replaceRefusedToken(QString refused, bool reconnect);
    void attemptReconnect();
    void noteSessionLost(State stateBefore);
    void emitError(const QString& message);
    void endSession();

    // Hands one frame (or a log line of the capture thread) to the main thread; called with
    // m_lock held so frames leave in the order they were accepted, whichever thread accepted them.
    void postFrameLocked(bool binary, QByteArray payload);
    void postLogLocked(const QString& line);
    void sendFrame(int socketGeneration, bool binary, const QByteArray& payload);
    void setState(State state);

    const QString m_serverURL;
    const Tuning m_tuning;
    Credentials m_credentials;

    // Shared with the capture thread.
    std::atomic<State> m_state{State::disconnected};
    std::atomic<int> m_chunksSent{0};
    std::atomic<bool> m_sessionInterrupted{false};
    std::atomic<int> m_socketGeneration{0};
    mutable std::mutex m_lock;               // guards the state transitions, m_pendingChunks and frame posting
    std::deque<QByteArray> m_pendingChunks;  // PCM chunks accepted while connecting
    bool m_loggedInterruptedDrop = false;    // guarded by m_lock

    // Owning thread only.
    QWebSocket* m_webSocket = nullptr;
    Clock::TimePoint m_connectTime;
    double m_connectLatencyMs = 0;
    double m_commitToResultMs = 0;
    Clock::TimePoint m_commitTime;
    QTimer* m_heartbeatTimer = nullptr;
    QTimer* m_handshakeTimer = nullptr;
    Clock::TimePoint m_lastPongTime;
    std::optional<Clock::TimePoint> m_lastPingTime;  // none: no ping since the heartbeat started
    int m_missedHeartbeats = 0;
    int m_reconnectAttempts = 0;
    bool m_isReconnecting = false;
    int m_reconnectToken = 0;                    // a scheduled attempt acts only while this is unchanged
    std::optional<QString> m_offeredToken;       // the access token of the latest handshake
    std::optional<QString> m_tokenAfterRefusal;  // the token given in place of a refused one

    int m_sessionGeneration = 0;
    // Commits on the current socket whose session ended before its result came; the server
    // answers every commit once, so the next results belong to them.
    int m_abandonedCommits = 0;
    // A commit made while connecting, waiting for the handshake.
    struct WaitingCommit {
        std::optional<QJsonObject> context;
        QString language;
        Clock::TimePoint deadline;
        int session = 0;
    };
    std::optional<WaitingCommit> m_waitingCommit;
    QTimer* m_commitWaitTimer = nullptr;
    QTimer* m_commitResultTimer = nullptr;
};

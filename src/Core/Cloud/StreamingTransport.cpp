#include "Core/Cloud/StreamingTransport.h"

#include "Core/Cloud/AccountAccess.h"
#include "Core/Cloud/WavEncoding.h"
#include "Core/LogCategories.h"
#include "Core/Services/Analytics.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/StringShield.h"

#include <QJsonDocument>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <cmath>

namespace {

constexpr auto kCommitWaitPoll = std::chrono::milliseconds(50);
constexpr int kGoingAway = 1001;

Clock::TimePoint now() { return Clock::current().monotonicNow(); }

QString noDecimals(double value) { return QString::number(value, 'f', 0); }

bool isActiveSession(StreamingTransport::State s) {
    return s == StreamingTransport::State::streaming || s == StreamingTransport::State::committed;
}

}  // namespace

StreamingTransport::StreamingTransport(const QString& serverURL, QObject* parent)
    : StreamingTransport(serverURL, Tuning{}, Credentials{}, parent) {}

StreamingTransport::StreamingTransport(const QString& serverURL, Tuning tuning, Credentials credentials,
                                       QObject* parent)
    : QObject(parent),
      m_serverURL(serverURL),
      m_tuning(tuning),
      m_credentials(std::move(credentials)) {
    if (!m_credentials.deviceID) m_credentials.deviceID = [] { return Analytics::shared().deviceID(); };
    if (!m_credentials.accessToken) m_credentials.accessToken = [] { return AccountAccess::cachedAccessToken(); };
    if (!m_credentials.replaceRefusedToken)
        m_credentials.replaceRefusedToken = [](QString refused) {
            return AccountAccess::replaceRefusedToken(std::move(refused));
        };
    m_heartbeatTimer = new QTimer(this);
    m_heartbeatTimer->setInterval(m_tuning.heartbeatInterval);
    QObject::connect(m_heartbeatTimer, &QTimer::timeout, this, &StreamingTransport::sendHeartbeat);

    m_handshakeTimer = new QTimer(this);
    m_handshakeTimer->setSingleShot(true);
    QObject::connect(m_handshakeTimer, &QTimer::timeout, this, &StreamingTransport::onHandshakeTimeout);

    m_commitWaitTimer = new QTimer(this);
    m_commitWaitTimer->setInterval(kCommitWaitPoll);
    QObject::connect(m_commitWaitTimer, &QTimer::timeout, this, &StreamingTransport::checkCommitWait);

    m_commitResultTimer = new QTimer(this);
    m_commitResultTimer->setSingleShot(true);
    QObject::connect(m_commitResultTimer, &QTimer::timeout, this, &StreamingTransport::onCommitTimeout);
}

StreamingTransport::~StreamingTransport() {
    m_heartbeatTimer->stop();
    if (m_webSocket) {
        m_webSocket->disconnect(this);
        m_webSocket->abort();
    }
}

QString StreamingTransport::webSocketURL(const QString& serverURL) {
    QString url = serverURL;
    url.replace(StringShield::schemeHTTPS(), StringShield::schemeWSS());
    url.replace(StringShield::schemeHTTP(), StringShield::schemeWS());
    return url + StringShield::pathWSTranscribe();
}

int StreamingTransport::pendingChunkCount() const {
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_pendingChunks.size());
}

void StreamingTransport::setState(State state) {
    std::lock_guard lock(m_lock);
    m_state.store(state);
}

// ---------------------------------------------------------------- connection

void StreamingTransport::connect() {
    {
        std::lock_guard lock(m_lock);
        if (m_state.load() != State::disconnected) return;
        m_state.store(State::connecting);
    }
    openConnection();
}

// The state is already `connecting`.
void StreamingTransport::openConnection() {
    if (m_isReconnecting) {
        // A new session connects before the scheduled attempt: that attempt is dropped, and
        // this connection's failure is handled as the next loss.
        m_isReconnecting = false;
        ++m_reconnectToken;
    }
    m_connectTime = now();

    const QUrl url(webSocketURL(m_serverURL), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))) {
        setState(State::disconnected);
        VLOG_WARNING(lcStreamingTransport) << "Invalid URL";
        return;
    }
    openSocket(url);
}

void StreamingTransport::openSocket(const QUrl& url) {
    retireSocket(false);
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(quint64(kMaxMessageBytes));
    socket->setMaxAllowedIncomingFrameSize(quint64(kMaxMessageBytes));
    m_abandonedCommits = 0;
    {
        std::lock_guard lock(m_lock);
        m_webSocket = socket;
        m_socketGeneration.fetch_add(1);
    }

    // Each handler first checks that its socket is still the current one: a replaced socket may
    // still deliver queued signals, and they must not touch the new connection's state.
    QObject::connect(socket, &QWebSocket::connected, this, [this, socket] { onOpened(socket); });
    QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] { onClosed(socket); });
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this, socket] { onSocketError(socket); });
    QObject::connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
        if (socket == m_webSocket) handleMessage(text);
    });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray& bytes) {
        if (socket != m_webSocket) return;
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder(bytes);
        if (decoder.hasError()) return;  // not UTF-8: not a message of ours
        handleMessage(text);
    });

    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_tuning.handshakeTimeout.count()));
    request.setRawHeader(StringShield::hdrDeviceID().toUtf8(), m_credentials.deviceID().toUtf8());
    std::optional<QString> token = m_credentials.accessToken();
    if (token && token->isEmpty()) token.reset();
    if (token) request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());
    m_offeredToken = token;
    m_handshakeTimer->start(m_tuning.handshakeTimeout);
    socket->open(request);
}

// Drops the current socket. Its signals are cut first, so nothing it still reports reaches us.
void StreamingTransport::retireSocket(bool sendGoingAway) {
    QWebSocket* socket = nullptr;
    {
        std::lock_guard lock(m_lock);
        socket = m_webSocket;
        m_webSocket = nullptr;
        m_socketGeneration.fetch_add(1);
    }
    m_handshakeTimer->stop();
    if (!socket) return;
    socket->disconnect(this);
    if (sendGoingAway && socket->state() == QAbstractSocket::ConnectedState) {
        // Let the close frame go out before the object goes away.
        QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(std::chrono::seconds(2), socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    } else {
        socket->abort();
        socket->deleteLater();
    }
}

void StreamingTransport::onOpened(QWebSocket* socket) {
    if (socket != m_webSocket) return;
    m_handshakeTimer->stop();
    m_connectLatencyMs = toMilliseconds(now() - m_connectTime);

    std::size_t flushed = 0;
    {
        std::lock_guard lock(m_lock);
        flushed = m_pendingChunks.size();
        // The buffered audio goes out before anything accepted after this point.
        for (QByteArray& chunk : m_pendingChunks) postFrameLocked(true, std::move(chunk));
        m_pendingChunks.clear();
        m_chunksSent.fetch_add(static_cast<int>(flushed));
        m_state.store(flushed > 0 ? State::streaming : State::connected);
    }
    m_isReconnecting = false;
    m_reconnectAttempts = 0;
    if (flushed > 0)
        VLOG_INFO(lcStreamingTransport) << QStringLiteral("Connected — flushing %1 buffered chunks").arg(flushed);
    VLOG_INFO(lcStreamingTransport) << QStringLiteral("Connected in %1ms").arg(noDecimals(m_connectLatencyMs));
    startHeartbeat();
    if (m_waitingCommit) checkCommitWait();
}

void StreamingTransport::onClosed(QWebSocket* socket) {
    if (socket != m_webSocket) return;
    const int code = static_cast<int>(socket->closeCode());
    State before;
    {
        std::lock_guard lock(m_lock);
        before = m_state.exchange(State::disconnected);
    }
    stopHeartbeat();
    VLOG_INFO(lcStreamingTransport) << QStringLiteral("Disconnected (code: %1)").arg(code);
    if (before == State::disconnected) return;
    if (code == kAuthenticationRefusedCode) {
        handleAuthenticationRefused(before);
        return;
    }
    if (code != kGoingAway) {
        handleConnectionLost(before);
        return;
    }
    // The server is going away: no reconnection now; the next session connects afresh. A session
    // in progress has still lost its connection, and its owner must hear of it.
    retireSocket(false);
    m_commitResultTimer->stop();
    noteSessionLost(before);
}

void StreamingTransport::onSocketError(QWebSocket* socket) {
    if (socket != m_webSocket) return;
    // A peer that closes the TCP connection also reports it as an error; the disconnected signal
    // that follows carries the close code and decides.
    if (socket->error() == QAbstractSocket::RemoteHostClosedError) return;
    VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Receive error: %1").arg(socket->errorString());
    handleConnectionLost();
}

void StreamingTransport::onHandshakeTimeout() {
    if (state() != State::connecting || !m_webSocket) return;
    VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Receive error: handshake timed out after %1s")
                                              .arg(noDecimals(toSeconds(m_tuning.handshakeTimeout)));
    handleConnectionLost();
}

void StreamingTransport::disconnect() {
    stopHeartbeat();
    retireSocket(true);
    cancelCommitWaits();
    {
        std::lock_guard lock(m_lock);
        m_state.store(State::disconnected);
        m_chunksSent.store(0);
        // Audio of the session that was waiting for the connection never reaches the server.
        if (!m_pendingChunks.empty()) m_sessionInterrupted.store(true);
        m_pendingChunks.clear();
    }
    m_missedHeartbeats = 0;
    m_reconnectAttempts = 0;
    m_isReconnecting = false;
    ++m_reconnectToken;
}

void StreamingTransport::handleConnectionLost(std::optional<State> stateBefore) {
    if (m_isReconnecting) return;
    m_isReconnecting = true;
    stopHeartbeat();
    State before;
    {
        std::lock_guard lock(m_lock);
        const State current = m_state.exchange(State::disconnected);
        before = stateBefore.value_or(current);
    }
    retireSocket(false);
    m_commitResultTimer->stop();
    noteSessionLost(before);
    attemptReconnect();
}

// The server refused the handshake's access token. That is no network failure: every attempt
// with the same token is refused the same way, so there are no reconnection attempts. The account
// is asked once for a token in its place (it refreshes the refused one) and the connection tried
// again with it; a refusal of that one, or no token to try, ends it: the transport stays
// disconnected until a new session connects afresh. The account signs out when the server will
// not refresh its tokens, or refuses the refreshed one.
void StreamingTransport::handleAuthenticationRefused(State stateBefore) {
    retireSocket(false);
    m_commitResultTimer->stop();
    m_isReconnecting = false;
    m_reconnectAttempts = 0;
    ++m_reconnectToken;  // an attempt already scheduled would only be refused again
    noteSessionLost(stateBefore);
    const std::optional<QString> refused = m_offeredToken;
    if (!refused) {
        VLOG_WARNING(lcStreamingTransport) << "Authentication refused without an access token — not reconnecting";
        return;
    }
    if (refused == m_tokenAfterRefusal) {
        VLOG_WARNING(lcStreamingTransport) << "The refreshed access token was refused too — not reconnecting";
        (void)replaceRefusedToken(*refused, false);  // the account's ending: it signs out
        return;
    }
    VLOG_WARNING(lcStreamingTransport) << "Authentication refused — asking the account for a fresh access token";
    (void)replaceRefusedToken(*refused, true);
}

QCoro::Task<> StreamingTransport::replaceRefusedToken(QString refused, bool reconnect) {
    QPointer<StreamingTransport> self(this);
    QCoro::Task<std::optional<QString>> replacing = m_credentials.replaceRefusedToken(refused);
    const std::optional<QString> replacement = co_await std::move(replacing);
    if (!self || !reconnect) co_return;
    if (!replacement || replacement->isEmpty() || *replacement == refused) {
        VLOG_WARNING(lcStreamingTransport) << "No access token to try — not reconnecting until the next session";
        co_return;
    }
    m_tokenAfterRefusal = replacement;
    if (state() != State::disconnected) co_return;  // a new session has connected meanwhile
    VLOG_INFO(lcStreamingTransport) << "Reconnecting with the refreshed access token";
    connect();
}

// A loss during a streaming or committed session: the server has lost the start of the speech
// (or will never answer the commit), so the session is over. The owner is told once.
void StreamingTransport::noteSessionLost(State before) {
    if (!isActiveSession(before)) return;
    {
        std::lock_guard lock(m_lock);
        m_sessionInterrupted.store(true);
        m_loggedInterruptedDrop = false;
    }
    VLOG_WARNING(lcStreamingTransport) << "Connection lost during active session — notifying pipeline";
    runOnMain(this, [this] {
        if (onDisconnect) onDisconnect();
    });
}

void StreamingTransport::attemptReconnect() {
    if (m_reconnectAttempts >= m_tuning.maxReconnectAttempts) {
        VLOG_WARNING(lcStreamingTransport)
            << QStringLiteral("Max reconnect attempts (%1) reached — resetting to disconnected")
                   .arg(m_tuning.maxReconnectAttempts);
        disconnect();
        return;
    }
    const int n = ++m_reconnectAttempts;
    const std::chrono::milliseconds delay =
        std::min(std::chrono::round<std::chrono::milliseconds>(m_tuning.initialReconnectDelay *
                                                               std::pow(m_tuning.backoffMultiplier, n - 1)),
                 m_tuning.maxReconnectDelay);
    VLOG_INFO(lcStreamingTransport) << QStringLiteral("Reconnect attempt %1/%2 in %3s")
                                           .arg(n)
                                           .arg(m_tuning.maxReconnectAttempts)
                                           .arg(QString::number(toSeconds(delay), 'f', 1));
    const int token = ++m_reconnectToken;
    QTimer::singleShot(delay, this, [this, token] {
        if (token != m_reconnectToken || !m_isReconnecting) return;  // cancelled meanwhile
        m_isReconnecting = false;
        connect();
    });
}

// ---------------------------------------------------------------- sessions and audio

// The bookkeeping shared by a new session and a reset: the old session's audio, waits and
// interruption are forgotten, and a commit still unanswered is remembered as abandoned.
void StreamingTransport::endSession() {
    ++m_sessionGeneration;
    cancelCommitWaits();
    if (state() == State::committed) ++m_abandonedCommits;
    std::lock_guard lock(m_lock);
    m_chunksSent.store(0);
    m_pendingChunks.clear();
    m_sessionInterrupted.store(false);
    m_loggedInterruptedDrop = false;
}

void StreamingTransport::beginNewSession() {
    endSession();
    State current;
    {
        std::lock_guard lock(m_lock);
        current = m_state.load();
        if (current == State::connected || isActiveSession(current)) {
            m_state.store(State::connected);
            postFrameLocked(false, QJsonDocument(QJsonObject{{"type", "new_session"}}).toJson(QJsonDocument::Compact));
        } else if (current == State::disconnected) {
            // Connecting from here on, in the same step that starts the session clean: a chunk
            // from the capture thread then waits for the connection instead of finding the
            // transport disconnected and marking the new session interrupted.
            m_state.store(State::connecting);
            m_chunksSent.store(0);
            m_pendingChunks.clear();
            m_sessionInterrupted.store(false);
            m_loggedInterruptedDrop = false;
        }
    }
    if (current == State::connected || isActiveSession(current)) {
        VLOG_INFO(lcStreamingTransport) << "New session started (connection reused)";
        return;
    }
    VLOG_INFO(lcStreamingTransport)
        << QStringLiteral("beginNewSession — state=%1, reconnecting...").arg(rawValue(current));
    if (current == State::disconnected) openConnection();
}

void StreamingTransport::resetSession() {
    endSession();
    std::lock_guard lock(m_lock);
    if (isActiveSession(m_state.load())) m_state.store(State::connected);
}

void StreamingTransport::sendAudioChunk(const std::vector<float>& samples) {
    QByteArray pcm = WavEncoding::int16Data(samples);  // the conversion stays outside the lock
    std::unique_lock lock(m_lock);
    const State current = m_state.load();
    if (current == State::disconnected) {
        // This chunk never reaches the server (a reconnection is waiting for its delay, or the
        // attempts are over): whatever the server gets of this session would have a hole, so
        // the session can no longer be committed and the audio buffered so far goes too.
        m_sessionInterrupted.store(true);
        m_pendingChunks.clear();
        if (m_chunksSent.load() == 0)
            postLogLocked(
                QStringLiteral("⚠️ Dropping audio chunk — state=%1 (not connected)").arg(rawValue(current)));
        return;
    }
    if (m_sessionInterrupted.load()) {
        if (!m_loggedInterruptedDrop) {
            m_loggedInterruptedDrop = true;
            postLogLocked(QStringLiteral("Dropping audio of an interrupted session"));
        }
        return;
    }
    switch (current) {
    case State::connected:
    case State::streaming:
        m_state.store(State::streaming);
        m_chunksSent.fetch_add(1);
        postFrameLocked(true, std::move(pcm));
        return;
    case State::connecting: m_pendingChunks.push_back(std::move(pcm)); return;
    case State::committed:
        // After the commit the session's audio is complete; only a session that never sent
        // any audio reports the drop.
        if (m_chunksSent.load() == 0)
            postLogLocked(
                QStringLiteral("⚠️ Dropping audio chunk — state=%1 (not connected)").arg(rawValue(current)));
        return;
    case State::disconnected: return;  // handled above
    }
}

// Frames (and the capture thread's log lines) are handed over under m_lock, so they leave in the
// order they were accepted whichever thread accepted them.
void StreamingTransport::postFrameLocked(bool binary, QByteArray payload) {
    const int socketGeneration = m_socketGeneration.load();
    runOnMain(this, [this, socketGeneration, binary, payload = std::move(payload)] {
        sendFrame(socketGeneration, binary, payload);
    });
}

void StreamingTransport::postLogLocked(const QString& line) {
    runOnMain(this, [line] { VLOG_WARNING(lcStreamingTransport) << line; });
}

void StreamingTransport::sendFrame(int socketGeneration, bool binary, const QByteArray& payload) {
    // A frame accepted for a socket that has since been replaced belongs to a lost connection.
    if (socketGeneration != m_socketGeneration.load() || !m_webSocket) return;
    const qint64 sent =
        binary ? m_webSocket->sendBinaryMessage(payload) : m_webSocket->sendTextMessage(QString::fromUtf8(payload));
    if (sent == payload.size()) return;
    const QString description =
        m_webSocket->errorString().isEmpty() ? QStringLiteral("socket not writable") : m_webSocket->errorString();
    if (binary) {
        VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Send error: %1").arg(description);
        handleConnectionLost();
        return;
    }
    const QJsonObject message = QJsonDocument::fromJson(payload).object();
    const QString type = message.value("type").toString();
    if (type == QLatin1String("commit")) {
        VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Commit send error: %1").arg(description);
        emitError(QStringLiteral("Commit failed: %1").arg(description));
    } else {
        VLOG_WARNING(lcStreamingTransport) << QStringLiteral("new_session send error: %1").arg(description);
    }
}

// ---------------------------------------------------------------- commit

void StreamingTransport::commit(const std::optional<QJsonObject>& context, const QString& language) {
    if (m_sessionInterrupted.load()) {
        if (onError) onError(QStringLiteral("Cannot commit — the connection was lost during the session"));
        return;
    }
    const State current = state();
    switch (current) {
    case State::connected:
    case State::streaming: doCommit(context, language); return;
    case State::connecting:
        VLOG_INFO(lcStreamingTransport) << "Commit called while connecting — waiting for WS handshake...";
        m_waitingCommit = WaitingCommit{context, language, now() + m_tuning.commitHandshakeWait, m_sessionGeneration};
        m_commitWaitTimer->start();
        return;
    case State::disconnected:
    case State::committed:
        if (onError) onError(QStringLiteral("Cannot commit — not streaming (state: %1)").arg(rawValue(current)));
        return;
    }
}

void StreamingTransport::checkCommitWait() {
    if (!m_waitingCommit) {
        m_commitWaitTimer->stop();
        return;
    }
    const State current = state();
    if (current == State::connecting && now() < m_waitingCommit->deadline) return;
    const WaitingCommit waiting = *m_waitingCommit;
    m_waitingCommit.reset();
    m_commitWaitTimer->stop();
    if (waiting.session != m_sessionGeneration) return;
    if (current == State::connected || current == State::streaming) {
        VLOG_INFO(lcStreamingTransport) << "WS ready — committing now";
        doCommit(waiting.context, waiting.language);
        return;
    }
    VLOG_WARNING(lcStreamingTransport)
        << QStringLiteral("WS not ready after wait (state=%1) — commit failed").arg(rawValue(current));
    emitError(QStringLiteral("WebSocket not ready for commit (state: %1)").arg(rawValue(current)));
}

void StreamingTransport::cancelCommitWaits() {
    m_waitingCommit.reset();
    m_commitWaitTimer->stop();
    m_commitResultTimer->stop();
}

void StreamingTransport::doCommit(const std::optional<QJsonObject>& context, const QString& language) {
    m_commitTime = now();
    QJsonObject message{{"type", "commit"}, {"language", language}};
    if (context) message.insert("context", *context);
    const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
    {
        std::lock_guard lock(m_lock);
        m_state.store(State::committed);
        if (!text.isEmpty()) postFrameLocked(false, text);
    }
    if (text.isEmpty()) {
        if (onError) onError(QStringLiteral("Failed to serialize commit message"));
        return;
    }
    m_commitResultTimer->start(m_tuning.commitResultTimeout);
    VLOG_INFO(lcStreamingTransport) << QStringLiteral("Committed after %1 chunks").arg(chunksSent());
}

void StreamingTransport::onCommitTimeout() {
    if (state() != State::committed) return;
    VLOG_WARNING(lcStreamingTransport) << QStringLiteral("No result %1s after commit — treating the connection as lost")
                                              .arg(QString::number(toSeconds(m_tuning.commitResultTimeout), 'f', 1));
    handleConnectionLost();
}

// ---------------------------------------------------------------- messages

void StreamingTransport::handleMessage(const QString& text) {
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject()) return;
    const QJsonObject message = doc.object();
    const QJsonValue type = message.value("type");
    if (!type.isString()) return;
    const QString kind = type.toString();

    if (kind == QLatin1String("partial")) {
        const QString partial = message.value("text").toString();
        VLOG_DEBUG(lcStreamingTransport) << QStringLiteral("Partial — \"%1\"").arg(partial);
        runOnMain(this, [this, partial] {
            if (onPartialResult) onPartialResult(partial);
        });
    } else if (kind == QLatin1String("result")) {
        handleResult(message);
    } else if (kind == QLatin1String("pong")) {
        m_lastPongTime = now();
        m_missedHeartbeats = 0;
    } else if (kind == QLatin1String("error")) {
        handleServerError(message);
    }
}

void StreamingTransport::handleResult(const QJsonObject& message) {
    // Only the session that committed may take a result: a late answer to an earlier, abandoned
    // session must never be pasted into the current dictation.
    if (m_abandonedCommits > 0) {
        --m_abandonedCommits;
        VLOG_INFO(lcStreamingTransport) << "Ignoring the result of an abandoned session";
        return;
    }
    State current;
    {
        std::lock_guard lock(m_lock);
        current = m_state.load();
        if (current == State::committed) m_state.store(State::connected);
    }
    if (current != State::committed) {
        VLOG_WARNING(lcStreamingTransport)
            << QStringLiteral("Ignoring result outside a committed session (state=%1)").arg(rawValue(current));
        return;
    }
    m_commitResultTimer->stop();
    m_commitToResultMs = toMilliseconds(now() - m_commitTime);

    // A result whose texts are not text is a broken answer, not silence: read as empty, the
    // dictation would be dropped. The commit failed instead, and the recording takes the batch road.
    const QJsonValue asrValue = message.value("asr_text");
    const QJsonValue llmValue = message.value("llm_text");
    if (!asrValue.isString() || !(llmValue.isString() || llmValue.isUndefined() || llmValue.isNull())) {
        VLOG_WARNING(lcStreamingTransport) << "Result without its texts — the commit failed";
        emitError(QStringLiteral("Malformed result from the server"));
        return;
    }
    const QString asrText = asrValue.toString();
    const QString llmText = message.value("llm_text").toString();
    auto number = [&message](const char* key) {
        const QJsonValue v = message.value(QLatin1String(key));
        return v.isDouble() ? noDecimals(v.toDouble()) : QStringLiteral("n/a");
    };
    VLOG_INFO(lcStreamingTransport) << QStringLiteral(
                                           "Result — client_commit_to_result=%1ms | server_commit_to_response=%2ms"
                                           " | asr=%3ms | fmt=%4ms — \"%5\"")
                                           .arg(noDecimals(m_commitToResultMs), number("commit_to_response_ms"),
                                                number("asr_time"), number("llm_time"), llmText.left(60));
    runOnMain(this, [this, asrText, llmText, message] {
        if (onFinalResult) onFinalResult(asrText, llmText, message);
    });
}

void StreamingTransport::handleServerError(const QJsonObject& message) {
    const QJsonValue text = message.value("message");
    const QString errorText = text.isString() ? text.toString() : QStringLiteral("Unknown error");
    const QJsonValue fatalValue = message.value("is_fatal");
    const bool fatal = fatalValue.isBool() && fatalValue.toBool();
    VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Server error — %1 (fatal: %2)")
                                              .arg(errorText, fatal ? QStringLiteral("true") : QStringLiteral("false"));
    // A commit is answered once, by a result or by an error: an error that answers an abandoned
    // commit uses up that commit's answer, and the session now under way is not its concern.
    if (!fatal && m_abandonedCommits > 0) {
        --m_abandonedCommits;
        VLOG_INFO(lcStreamingTransport) << "Ignoring the error of an abandoned session";
        return;
    }
    if (fatal) {
        handleConnectionLost();
        return;
    }
    {
        std::lock_guard lock(m_lock);
        const State current = m_state.load();
        if (current == State::connected || isActiveSession(current)) m_state.store(State::connected);
    }
    m_commitResultTimer->stop();
    emitError(errorText);
}

void StreamingTransport::emitError(const QString& message) {
    runOnMain(this, [this, message] {
        if (onError) onError(message);
    });
}

// ---------------------------------------------------------------- heartbeat

void StreamingTransport::startHeartbeat() {
    m_lastPongTime = now();
    m_lastPingTime.reset();
    m_missedHeartbeats = 0;
    m_heartbeatTimer->start();
}

void StreamingTransport::stopHeartbeat() { m_heartbeatTimer->stop(); }

void StreamingTransport::sendHeartbeat() {
    if (state() != State::connected) return;
    const Clock::TimePoint t = now();
    // A miss is a ping that got no pong in time; a pong that answered the last ping is healthy,
    // however long ago it came.
    const bool pingUnanswered = m_lastPingTime && m_lastPongTime < *m_lastPingTime;
    if (pingUnanswered && t - *m_lastPingTime > m_tuning.heartbeatTimeout) {
        ++m_missedHeartbeats;
        VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Missed heartbeat #%1 (last pong %2s ago)")
                                                  .arg(m_missedHeartbeats)
                                                  .arg(QString::number(toSeconds(t - m_lastPongTime), 'f', 1));
        if (m_missedHeartbeats >= m_tuning.maxMissedHeartbeats) {
            VLOG_WARNING(lcStreamingTransport)
                << QStringLiteral("Connection dead (%1 missed heartbeats) — reconnecting").arg(m_missedHeartbeats);
            handleConnectionLost();
            return;
        }
    }
    if (!m_webSocket) return;
    const QByteArray ping(kPingText);
    if (m_webSocket->sendTextMessage(QString::fromLatin1(ping)) != ping.size()) {
        VLOG_WARNING(lcStreamingTransport) << QStringLiteral("Ping send error: %1").arg(m_webSocket->errorString());
        handleConnectionLost();
        return;
    }
    m_lastPingTime = t;
}

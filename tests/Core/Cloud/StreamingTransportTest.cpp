#include "Core/Cloud/StreamingTransport.h"
#include "Foundation/StringShield.h"

#include "support/LogText.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>

using State = StreamingTransport::State;
using Reply = LoopbackStreamingServer::CommitReply;
using namespace std::chrono_literals;

namespace {

struct FinalResult {
    QString raw;
    QString formatted;
    QJsonObject message;
};

std::int16_t sampleAt(const QByteArray& pcm, int index) {
    return static_cast<std::int16_t>(static_cast<std::uint8_t>(pcm[2 * index]) |
                                     static_cast<std::uint8_t>(pcm[2 * index + 1]) << 8);
}

// A chunk whose first sample carries its sequence number, so the order on the wire can be read back.
std::vector<float> numberedChunk(int n) {
    std::vector<float> chunk(640, 0.0f);
    chunk[0] = static_cast<float>(n) / 1000.0f;
    return chunk;
}

int numberOf(const QByteArray& frame) { return static_cast<int>(std::lround(sampleAt(frame, 0) * 1000.0 / 32767.0)); }

}  // namespace

class StreamingTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(http.start());
        server = std::make_unique<LoopbackStreamingServer>(http);
    }

    // Short intervals so reconnections and deadlines play out in well under a second.
    static StreamingTransport::Tuning fastTuning() {
        StreamingTransport::Tuning t;
        t.heartbeatInterval = std::chrono::seconds(60);  // out of the way unless a test is about it
        t.initialReconnectDelay = std::chrono::milliseconds(50);
        t.maxReconnectDelay = std::chrono::milliseconds(200);
        t.commitHandshakeWait = std::chrono::milliseconds(500);
        t.commitResultTimeout = std::chrono::seconds(1);
        t.handshakeTimeout = std::chrono::seconds(2);
        return t;
    }

    StreamingTransport& make(StreamingTransport::Tuning tuning = fastTuning(), QString base = {}) {
        StreamingTransport::Credentials credentials;
        credentials.deviceID = [] { return QStringLiteral("device-123"); };
        credentials.accessToken = [this] { return token; };
        // Answers at once: the account's token after a refusal, as the test sets it.
        credentials.replaceRefusedToken = [this](QString refused) -> QCoro::Task<std::optional<QString>> {
            refusedTokens << refused;
            token = tokenAfterRefusal;
            co_return tokenAfterRefusal;
        };
        transport = std::make_unique<StreamingTransport>(base.isEmpty() ? http.baseUrl() : base, tuning, credentials);
        transport->onPartialResult = [this](const QString& t) { partials << t; };
        transport->onFinalResult = [this](const QString& raw, const QString& formatted, const QJsonObject& m) {
            finals.append({raw, formatted, m});
        };
        transport->onError = [this](const QString& e) { errors << e; };
        transport->onDisconnect = [this] { ++disconnects; };
        return *transport;
    }

    void connectNow() {
        transport->connect();
        ASSERT_TRUE(waitUntil([&] { return transport->state() == State::connected; }));
    }

    // Connected, a new session begun and `chunks` chunks received by the server.
    void streamChunks(int chunks) {
        connectNow();
        transport->beginNewSession();
        for (int i = 0; i < chunks; ++i) transport->sendAudioChunk(numberedChunk(i));
        ASSERT_TRUE(waitUntil([&] { return server->audioFrames().size() >= chunks; }));
        ASSERT_EQ(transport->state(), State::streaming);
    }

    bool waitForState(State s, std::chrono::milliseconds timeout = 5s) {
        return waitUntil([&] { return transport->state() == s; }, timeout);
    }

    LoopbackVendorServer http;
    std::unique_ptr<LoopbackStreamingServer> server;
    std::unique_ptr<StreamingTransport> transport;
    std::optional<QString> token = QStringLiteral("access-token-1");
    std::optional<QString> tokenAfterRefusal;
    QStringList refusedTokens;
    QStringList partials;
    QStringList errors;
    QList<FinalResult> finals;
    int disconnects = 0;
};

TEST_F(StreamingTransportTest, WebSocketUrlReplacesEverySchemeText) {
    const QString path = StringShield::pathWSTranscribe();
    struct Case {
        QString base;
        QString url;
    };
    const Case cases[] = {
        {"https://api.example.com", "wss://api.example.com" + path},
        {"http://127.0.0.1:8080", "ws://127.0.0.1:8080" + path},
        {"https://a.example/x?next=http://b.example", "wss://a.example/x?next=ws://b.example" + path},
        {"https://a.example/https://b", "wss://a.example/wss://b" + path},
    };
    for (const Case& c : cases) EXPECT_EQ(StreamingTransport::webSocketURL(c.base), c.url) << c.base.toStdString();
}

TEST_F(StreamingTransportTest, InvalidServerUrlStaysDisconnected) {
    make(fastTuning(), QStringLiteral("not a url"));
    transport->connect();
    EXPECT_EQ(transport->state(), State::disconnected);
    EXPECT_TRUE(loggedText().contains("StreamingTransport: Invalid URL"));
}

TEST_F(StreamingTransportTest, HandshakeCarriesDeviceAndBearerHeaders) {
    make();
    connectNow();
    token.reset();  // the next connection goes without an authorisation header
    transport->disconnect();
    connectNow();

    const QList<RecordedRequest> handshakes = http.requests(StringShield::pathWSTranscribe());
    ASSERT_EQ(handshakes.size(), 2);
    EXPECT_EQ(handshakes[0].header("X-Device-ID"), "device-123");
    EXPECT_EQ(handshakes[0].header(StringShield::hdrAuth().toUtf8()), "Bearer access-token-1");
    EXPECT_EQ(handshakes[1].header("X-Device-ID"), "device-123");
    EXPECT_FALSE(handshakes[1].hasHeader(StringShield::hdrAuth().toUtf8()));
    EXPECT_GE(transport->connectLatencyMs(), 0.0);
}

TEST_F(StreamingTransportTest, SessionStreamsAudioCommitsAndDeliversTheResult) {
    server->setDefaultCommitReply(Reply::result("hello world", "Hello, world.", {{"asr_time", 120}, {"llm_time", 80}})
                                      .withPartials({"hel", "hello"}));
    make();
    connectNow();
    transport->beginNewSession();
    EXPECT_EQ(transport->state(), State::connected);

    std::vector<float> chunk(640, 0.0f);
    chunk[0] = 1.0f, chunk[1] = 2.0f, chunk[2] = -1.0f, chunk[3] = -2.0f, chunk[4] = 0.5f;
    transport->sendAudioChunk(chunk);
    transport->sendAudioChunk(numberedChunk(7));
    EXPECT_EQ(transport->state(), State::streaming);
    EXPECT_EQ(transport->chunksSent(), 2);

    transport->commit(QJsonObject{{"app", "Editor"}}, "en");
    EXPECT_EQ(transport->state(), State::committed);
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));

    EXPECT_EQ(partials, QStringList({"hel", "hello"}));
    EXPECT_EQ(finals[0].raw, "hello world");
    EXPECT_EQ(finals[0].formatted, "Hello, world.");
    EXPECT_EQ(finals[0].message.value("asr_time").toInt(), 120);
    EXPECT_EQ(transport->state(), State::connected);
    EXPECT_GE(transport->commitToResultMs(), 0.0);
    EXPECT_TRUE(errors.isEmpty());

    const auto frames = server->frames();
    ASSERT_EQ(frames.size(), 4);
    EXPECT_EQ(frames[0].data, R"({"type":"new_session"})");
    ASSERT_TRUE(frames[1].binary);
    ASSERT_EQ(frames[1].data.size(), 1280);
    const std::int16_t expected[] = {32767, 32767, -32767, -32767, 16383, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(sampleAt(frames[1].data, i), expected[i]) << i;
    EXPECT_EQ(numberOf(frames[2].data), 7);
    const QJsonObject commit = frames[3].json();
    EXPECT_EQ(commit,
              (QJsonObject{{"type", "commit"}, {"language", "en"}, {"context", QJsonObject{{"app", "Editor"}}}}));

    const QString log = loggedText();
    EXPECT_TRUE(log.contains("StreamingTransport: New session started (connection reused)"));
    EXPECT_TRUE(log.contains("StreamingTransport: Committed after 2 chunks"));
    EXPECT_TRUE(log.contains("StreamingTransport: Partial — \"hel\""));
    EXPECT_TRUE(log.contains("ms | server_commit_to_response=n/ams | asr=120ms | fmt=80ms — \"Hello, world.\""))
        << log.toStdString();
}

TEST_F(StreamingTransportTest, ResultWithoutFormattedTextAndCommitWithoutContext) {
    server->setDefaultCommitReply(Reply::result("raw only", ""));
    make();
    streamChunks(1);
    transport->commit(std::nullopt, "de");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
    EXPECT_EQ(finals[0].formatted, "");
    EXPECT_EQ(finals[0].raw, "raw only");
    EXPECT_EQ(finals[0].message.value("type").toString(), "result");
    EXPECT_EQ(server->framesOfType("commit")[0].json(), (QJsonObject{{"type", "commit"}, {"language", "de"}}));
}

TEST_F(StreamingTransportTest, ChunksWhileConnectingAreFlushedInOrderBeforeLaterAudio) {
    server->setHandshakeDelayMs(300);
    make();
    transport->beginNewSession();  // disconnected: connects
    EXPECT_EQ(transport->state(), State::connecting);
    for (int i = 0; i < 5; ++i) transport->sendAudioChunk(numberedChunk(i));
    EXPECT_EQ(transport->pendingChunkCount(), 5);
    EXPECT_EQ(transport->chunksSent(), 0);

    ASSERT_TRUE(waitForState(State::streaming));
    EXPECT_EQ(transport->chunksSent(), 5);
    transport->sendAudioChunk(numberedChunk(5));
    ASSERT_TRUE(waitUntil([&] { return server->audioFrames().size() == 6; }));
    QList<int> order;
    for (const QByteArray& f : server->audioFrames()) order << numberOf(f);
    EXPECT_EQ(order, QList<int>({0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(loggedText().contains("StreamingTransport: Connected — flushing 5 buffered chunks"));
}

TEST_F(StreamingTransportTest, CommitWhileConnectingIsSentOnceAfterTheFlush) {
    server->setHandshakeDelayMs(250);
    make();
    transport->beginNewSession();
    transport->sendAudioChunk(numberedChunk(0));
    transport->sendAudioChunk(numberedChunk(1));
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
    EXPECT_TRUE(errors.isEmpty());

    const auto frames = server->frames();
    ASSERT_EQ(frames.size(), 3);  // no new_session: the connection is fresh
    EXPECT_TRUE(frames[0].binary);
    EXPECT_TRUE(frames[1].binary);
    EXPECT_EQ(frames[2].type(), "commit");
    const QString log = loggedText();
    EXPECT_TRUE(log.contains("StreamingTransport: Commit called while connecting — waiting for WS handshake..."));
    EXPECT_TRUE(log.contains("StreamingTransport: WS ready — committing now"));
}

TEST_F(StreamingTransportTest, CommitReportsWhenItCannotBeSent) {
    server->setHandshakeDelayMs(-1);  // the handshake never completes
    make();

    transport->commit(std::nullopt, "en");  // disconnected: refused at once, on the caller's thread
    ASSERT_EQ(errors, QStringList({"Cannot commit — not streaming (state: disconnected)"}));

    transport->beginNewSession();
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return errors.size() == 2; }));
    EXPECT_EQ(errors[1], "WebSocket not ready for commit (state: connecting)");
    EXPECT_TRUE(
        loggedText().contains("StreamingTransport: WS not ready after wait (state=connecting) — commit failed"));

    server->releaseHandshakes();
    ASSERT_TRUE(waitForState(State::connected));
    EXPECT_EQ(server->commitCount(), 0);
}

TEST_F(StreamingTransportTest, SecondCommitOfASessionIsRefused) {
    server->setDefaultCommitReply(Reply::silence());
    make();
    streamChunks(1);
    transport->commit(std::nullopt, "en");
    transport->commit(std::nullopt, "en");
    EXPECT_EQ(errors, QStringList({"Cannot commit — not streaming (state: committed)"}));
    ASSERT_TRUE(waitUntil([&] { return server->commitCount() >= 1; }));
    waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(server->commitCount(), 1);
}

TEST_F(StreamingTransportTest, ServerErrorsAreDeliveredOrEndTheConnection) {
    make();
    streamChunks(1);
    server->sendJson({{"type", "error"}});
    ASSERT_TRUE(waitUntil([&] { return errors.size() == 1; }));
    EXPECT_EQ(errors[0], "Unknown error");
    EXPECT_EQ(transport->state(), State::connected);
    EXPECT_EQ(server->handshakeCount(), 1);

    server->sendJson({{"type", "error"}, {"message", "quota exceeded"}, {"is_fatal", false}});
    ASSERT_TRUE(waitUntil([&] { return errors.size() == 2; }));
    EXPECT_EQ(errors[1], "quota exceeded");

    transport->sendAudioChunk(numberedChunk(1));
    server->sendJson({{"type", "error"}, {"message", "backend gone"}, {"is_fatal", true}});
    ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == 2 && transport->state() == State::connected; }));
    EXPECT_EQ(errors.size(), 2);  // a fatal error is a lost connection, not an error report
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(loggedText().contains("StreamingTransport: Server error — backend gone (fatal: true)"));
}

TEST_F(StreamingTransportTest, MalformedMessagesAreIgnoredAndReceivingContinues) {
    make();
    streamChunks(1);
    server->sendText("not json");
    server->sendText("[1,2,3]");
    server->sendText(R"({"text":"no type"})");
    server->sendText(R"({"type":7,"text":"type not a string"})");
    server->sendText(R"({"type":"mystery"})");
    server->sendBinary(QByteArray("\xff\xfe\x00", 3));
    server->sendBinary(R"({"type":"partial","text":"via binary"})");
    server->sendText(R"({"type":"partial"})");
    ASSERT_TRUE(waitUntil([&] { return partials.size() == 2; }));
    EXPECT_EQ(partials, QStringList({"via binary", ""}));
    EXPECT_EQ(transport->state(), State::streaming);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(disconnects, 0);
}

// A message at the size cap is read; one byte more ends the connection like any other loss.
TEST_F(StreamingTransportTest, MessageSizeIsCappedAtTheLimit) {
    auto partialOfSize = [](qint64 size) {
        const QByteArray head = R"({"type":"partial","text":")", tail = R"("})";
        return QString::fromUtf8(head + QByteArray(size - head.size() - tail.size(), 'a') + tail);
    };
    make();
    streamChunks(1);
    server->sendText(partialOfSize(StreamingTransport::kMaxMessageBytes));
    ASSERT_TRUE(waitUntil([&] { return partials.size() == 1; }, 10s));
    EXPECT_EQ(partials[0].size(), StreamingTransport::kMaxMessageBytes - 28);
    EXPECT_EQ(disconnects, 0);

    server->sendText(partialOfSize(StreamingTransport::kMaxMessageBytes + 1));
    ASSERT_TRUE(waitUntil([&] { return disconnects == 1; }, 10s));
    EXPECT_TRUE(transport->isSessionInterrupted());
    EXPECT_EQ(partials.size(), 1);
    ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == 2 && transport->state() == State::connected; }));
}

TEST_F(StreamingTransportTest, ChunksThatCannotBeSentAreDropped) {
    server->setDefaultCommitReply(Reply::silence());
    make();
    transport->sendAudioChunk(numberedChunk(0));  // disconnected, nothing sent yet: logged each time
    transport->sendAudioChunk(numberedChunk(1));
    streamChunks(1);
    transport->commit(std::nullopt, "en");
    transport->sendAudioChunk(numberedChunk(2));  // after the commit: dropped silently
    transport->sendAudioChunk(numberedChunk(3));
    waitUntil([&] { return server->commitCount() == 1; });
    waitUntil([] { return false; }, 100ms);

    EXPECT_EQ(server->audioFrames().size(), 1);
    EXPECT_EQ(transport->chunksSent(), 1);
    EXPECT_EQ(
        loggedText().count("StreamingTransport: ⚠️ Dropping audio chunk — state=disconnected (not connected)"),
        2);
    EXPECT_FALSE(loggedText().contains("state=committed (not connected)"));
}

TEST_F(StreamingTransportTest, ResetSessionReturnsToConnected) {
    make();
    streamChunks(2);
    transport->resetSession();
    EXPECT_EQ(transport->state(), State::connected);
    EXPECT_EQ(transport->chunksSent(), 0);
    EXPECT_FALSE(transport->isSessionInterrupted());
}

// ---- losses and reconnection

TEST_F(StreamingTransportTest, LossWhileIdleReconnectsQuietly) {
    make();
    connectNow();
    server->abortClients();
    ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == 2 && transport->state() == State::connected; }));
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(transport->reconnectAttempts(), 0);
    EXPECT_FALSE(transport->isReconnecting());
    EXPECT_TRUE(loggedText().contains("StreamingTransport: Reconnect attempt 1/3 in "));
}

// The server no longer has the start of the speech: the rest of the session must not be sent to
// the new connection and committed as if it were the whole dictation.
TEST_F(StreamingTransportTest, LossWhileStreamingInterruptsTheSession) {
    make();
    streamChunks(3);
    server->abortClients();
    ASSERT_TRUE(waitUntil([&] { return disconnects == 1; }));
    EXPECT_TRUE(transport->isSessionInterrupted());
    ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == 2 && transport->state() == State::connected; }));

    transport->sendAudioChunk(numberedChunk(3));
    transport->sendAudioChunk(numberedChunk(4));
    transport->commit(std::nullopt, "en");
    waitUntil([] { return false; }, 100ms);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Cannot commit")) << errors[0].toStdString();
    EXPECT_EQ(server->audioFrames().size(), 3);  // only the first connection's audio
    EXPECT_EQ(server->commitCount(), 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(
        loggedText().contains("StreamingTransport: Connection lost during active session — notifying pipeline"));

    transport->beginNewSession();
    EXPECT_FALSE(transport->isSessionInterrupted());
    transport->sendAudioChunk(numberedChunk(5));
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
}

// Close codes and aborts while a commit waits: each ends the session with one disconnect notice
// so the dictation can take the batch road; only "going away" (1001) skips the reconnection.
TEST_F(StreamingTransportTest, CloseOrAbortWhileCommittedIsALoss) {
    struct Case {
        const char* name;
        Reply reply;
        bool reconnects;
    };
    const Case cases[] = {
        {"close 1000", Reply::close(1000), true},
        {"close 1001", Reply::close(1001), false},
        {"abort", Reply::abort(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disconnects = 0;
        finals.clear();
        const int handshakesBefore = server->handshakeCount();
        server->scriptNextCommit(c.reply);
        make();
        streamChunks(1);
        transport->commit(std::nullopt, "en");
        ASSERT_TRUE(waitUntil([&] { return disconnects == 1; }));
        if (c.reconnects) {
            EXPECT_TRUE(waitUntil([&] { return server->handshakeCount() == handshakesBefore + 2; }));
        } else {
            waitUntil([] { return false; }, 300ms);
            EXPECT_EQ(server->handshakeCount(), handshakesBefore + 1);
            EXPECT_EQ(transport->state(), State::disconnected);
            transport->beginNewSession();  // the next dictation connects afresh
            EXPECT_TRUE(waitForState(State::connected));
        }
        EXPECT_EQ(disconnects, 1);
        EXPECT_TRUE(finals.isEmpty());
        transport.reset();
    }
}

// The server refuses the handshake's token (4001): no reconnection attempts, which it would refuse
// the same way forever. The account is asked once for a token in its place; the connection is
// tried again with that one only, and a refusal of it, or no token, ends the trying. A dictation
// under way is told its connection is gone.
TEST_F(StreamingTransportTest, RefusedTokenIsReplacedOnceAndNeverRetriedInALoop) {
    struct Case {
        const char* name;
        std::optional<QString> replacement;
        bool refusedAgain;
        QStringList refused;  // the tokens the account was told of
        int handshakes;
        State finalState;
    };
    const Case cases[] = {
        {"replacement accepted", QStringLiteral("access-token-2"), false, {"access-token-1"}, 2, State::connected},
        {"replacement refused too",
         QStringLiteral("access-token-2"),
         true,
         {"access-token-1", "access-token-2"},
         2,
         State::disconnected},
        {"no token to try", std::nullopt, false, {"access-token-1"}, 1, State::disconnected},
    };
    const qsizetype mark = logMark();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        http.clearRequests();
        const int handshakesBefore = server->handshakeCount();
        token = QStringLiteral("access-token-1");
        tokenAfterRefusal = c.replacement;
        refusedTokens.clear();
        disconnects = 0;
        make();
        streamChunks(2);
        server->closeClients(StreamingTransport::kAuthenticationRefusedCode);
        ASSERT_TRUE(waitUntil([&] { return disconnects == 1 && !refusedTokens.isEmpty(); }));
        if (c.replacement) {
            ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == handshakesBefore + 2; }));
            ASSERT_TRUE(waitForState(State::connected));
        }
        if (c.refusedAgain) {
            server->closeClients(StreamingTransport::kAuthenticationRefusedCode);
            ASSERT_TRUE(waitUntil([&] { return refusedTokens.size() == 2; }));
        }
        ASSERT_TRUE(waitForState(c.finalState));
        EXPECT_EQ(refusedTokens, c.refused);
        EXPECT_FALSE(transport->isReconnecting());
        EXPECT_EQ(transport->reconnectAttempts(), 0);
        EXPECT_EQ(server->handshakeCount(), handshakesBefore + c.handshakes);
        EXPECT_EQ(disconnects, 1);  // the dictation under way, once
        const QList<RecordedRequest> handshakes = http.requests(StringShield::pathWSTranscribe());
        ASSERT_EQ(handshakes.size(), c.handshakes);
        if (c.handshakes == 2) {
            EXPECT_EQ(handshakes[1].header(StringShield::hdrAuth().toUtf8()), "Bearer access-token-2");
        }
        transport.reset();
    }
    EXPECT_FALSE(loggedTextSince(mark).contains("Reconnect attempt"));
}

TEST_F(StreamingTransportTest, GoingAwayWhileIdleDoesNotReconnect) {
    make();
    connectNow();
    server->closeClients(1001);
    ASSERT_TRUE(waitForState(State::disconnected));
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(server->handshakeCount(), 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_TRUE(loggedText().contains("StreamingTransport: Disconnected (code: 1001)"));
}

TEST_F(StreamingTransportTest, CommitWithoutResultInTimeIsALoss) {
    server->scriptNextCommit(Reply::silence());
    make();
    streamChunks(1);
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return disconnects == 1; }, 3s));
    EXPECT_TRUE(
        loggedText().contains("StreamingTransport: No result 1.0s after commit — treating the connection as lost"));
    EXPECT_TRUE(waitUntil([&] { return server->handshakeCount() == 2 && transport->state() == State::connected; }));
    EXPECT_TRUE(finals.isEmpty());
}

TEST_F(StreamingTransportTest, ResultOutsideACommittedSessionIsIgnored) {
    make();
    connectNow();
    server->sendJson({{"type", "result"}, {"asr_text", "stale"}, {"llm_text", "Stale."}});
    transport->beginNewSession();
    transport->sendAudioChunk(numberedChunk(0));
    server->sendJson({{"type", "result"}, {"asr_text", "stale"}, {"llm_text", "Stale."}});
    ASSERT_TRUE(waitUntil([&] { return loggedText().count("Ignoring result outside a committed session") == 2; }));
    EXPECT_TRUE(finals.isEmpty());
    EXPECT_EQ(transport->state(), State::streaming);
}

// A session reset while its commit was unanswered: the server's late answer to it arrives while
// the next dictation is committed, and must not be taken for that dictation's result.
TEST_F(StreamingTransportTest, LateResultOfAnAbandonedSessionIsNotDelivered) {
    server->scriptNextCommit(Reply::silence());
    Reply second = Reply::result("new words", "New words.");
    second.before.append(QJsonObject{{"type", "result"}, {"asr_text", "old words"}, {"llm_text", "Old words."}});
    server->scriptNextCommit(second);
    make();
    streamChunks(1);
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return server->commitCount() == 1; }));
    transport->resetSession();

    transport->beginNewSession();
    transport->sendAudioChunk(numberedChunk(1));
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
    waitUntil([] { return false; }, 100ms);
    ASSERT_EQ(finals.size(), 1);
    EXPECT_EQ(finals[0].formatted, "New words.");
}

// The abandoned commit is answered by a non-fatal error instead of a result: that error is its
// answer, so the next session's own result is still delivered, at once, and no error reaches the
// owner.
TEST_F(StreamingTransportTest, ErrorAnsweringAnAbandonedCommitIsNotDelivered) {
    server->scriptNextCommit(Reply::silence());
    Reply second = Reply::result("new words", "New words.");
    second.before.append(QJsonObject{{"type", "error"}, {"message", "stale"}, {"is_fatal", false}});
    server->scriptNextCommit(second);
    make();
    streamChunks(1);
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return server->commitCount() == 1; }));

    transport->beginNewSession();
    transport->sendAudioChunk(numberedChunk(1));
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
    EXPECT_EQ(finals[0].formatted, "New words.");
    EXPECT_TRUE(errors.isEmpty()) << errors.join(", ").toStdString();
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(transport->state(), State::connected);
}

// The first connection attempt of a session fails while audio keeps coming; the next attempt
// succeeds. The chunks that came during the wait reached no server, so the session must not be
// committed as if the server had all of it.
TEST_F(StreamingTransportTest, ChunksLostWhileReconnectingInterruptTheSession) {
    auto tuning = fastTuning();
    tuning.initialReconnectDelay = std::chrono::milliseconds(500);  // a wide window to drop chunks into
    make(tuning);
    server->refuseNextConnections(1);
    transport->beginNewSession();
    ASSERT_EQ(transport->state(), State::connecting);
    for (int i = 0; i < 3; ++i) transport->sendAudioChunk(numberedChunk(i));  // buffered
    ASSERT_TRUE(waitUntil([&] { return transport->isReconnecting() && transport->state() == State::disconnected; }));
    for (int i = 3; i < 8; ++i) transport->sendAudioChunk(numberedChunk(i));  // no connection takes these
    EXPECT_TRUE(transport->isSessionInterrupted());
    ASSERT_TRUE(waitForState(State::connected));
    for (int i = 8; i < 11; ++i) transport->sendAudioChunk(numberedChunk(i));
    transport->commit(std::nullopt, "en");
    waitUntil([] { return false; }, 200ms);

    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Cannot commit")) << errors[0].toStdString();
    EXPECT_TRUE(server->audioFrames().isEmpty());  // no part of the session's audio went out
    EXPECT_EQ(server->commitCount(), 0);
    EXPECT_TRUE(finals.isEmpty());

    // The next session is whole again.
    transport->beginNewSession();
    EXPECT_FALSE(transport->isSessionInterrupted());
    transport->sendAudioChunk(numberedChunk(11));
    transport->commit(std::nullopt, "en");
    ASSERT_TRUE(waitUntil([&] { return finals.size() == 1; }));
    ASSERT_EQ(server->audioFrames().size(), 1);
    EXPECT_EQ(numberOf(server->audioFrames()[0]), 11);
}

TEST_F(StreamingTransportTest, EveryReconnectionFailingEndsDisconnectedWithCountersZero) {
    auto tuning = fastTuning();
    tuning.initialReconnectDelay = std::chrono::milliseconds(200);
    tuning.backoffMultiplier = 2.0;
    tuning.maxReconnectDelay = std::chrono::milliseconds(600);  // 0.2, 0.4, then capped at 0.6 instead of 0.8
    make(tuning);
    connectNow();
    server->setRefuseConnections(true);
    server->abortClients();
    ASSERT_TRUE(waitUntil(
        [&] {
            return loggedText().contains(
                "StreamingTransport: Max reconnect attempts (3) reached — resetting to disconnected");
        },
        5s));
    const QList<double> times = server->upgradeTimes();
    ASSERT_EQ(times.size(), 4);  // the first connection and three attempts
    const double expected[] = {0.2, 0.4, 0.6};
    for (int i = 0; i < 3; ++i) {
        const double gap = times[i + 1] - times[i];
        EXPECT_GE(gap, expected[i] - 0.02) << "attempt " << i + 1;
        EXPECT_LT(gap, expected[i] + 0.5) << "attempt " << i + 1;
    }
    const QString log = loggedText();
    EXPECT_TRUE(log.contains("Reconnect attempt 1/3 in 0.2s"));
    EXPECT_TRUE(log.contains("Reconnect attempt 2/3 in 0.4s"));
    EXPECT_TRUE(log.contains("Reconnect attempt 3/3 in 0.6s"));
    EXPECT_EQ(transport->state(), State::disconnected);
    EXPECT_EQ(transport->reconnectAttempts(), 0);
    EXPECT_EQ(transport->chunksSent(), 0);
    EXPECT_EQ(transport->missedHeartbeats(), 0);
    EXPECT_FALSE(transport->isReconnecting());
    EXPECT_EQ(disconnects, 0);

    server->setRefuseConnections(false);  // the next dictation connects afresh
    transport->beginNewSession();
    EXPECT_TRUE(waitForState(State::connected));
}

// A dictation that starts while a reconnection attempt waits connects at once; when that
// connection fails too, the reconnection carries on instead of leaving the transport stuck.
TEST_F(StreamingTransportTest, NewSessionDuringAWaitingAttemptStillRecovers) {
    auto tuning = fastTuning();
    tuning.initialReconnectDelay = std::chrono::milliseconds(300);
    tuning.maxReconnectDelay = std::chrono::milliseconds(300);
    tuning.handshakeTimeout = std::chrono::milliseconds(200);
    make(tuning);
    connectNow();
    server->setHandshakeDelayMs(-1);
    server->abortClients();
    ASSERT_TRUE(waitUntil([&] { return transport->isReconnecting(); }));
    transport->beginNewSession();
    transport->sendAudioChunk(numberedChunk(0));
    ASSERT_TRUE(waitUntil([&] { return loggedText().contains("handshake timed out"); }));
    server->setHandshakeDelayMs(0);
    ASSERT_TRUE(waitForState(State::streaming));  // the buffered chunk went out on the next attempt
    EXPECT_TRUE(waitUntil([&] { return server->audioFrames().size() == 1; }));
    EXPECT_EQ(disconnects, 0);
}

TEST_F(StreamingTransportTest, DisconnectClosesWithGoingAway) {
    make();
    connectNow();
    transport->disconnect();
    EXPECT_EQ(transport->state(), State::disconnected);
    ASSERT_TRUE(waitUntil([&] { return server->closeCodes().size() == 1; }));
    EXPECT_EQ(server->closeCodes()[0], 1001);
}

// ---- heartbeat

TEST_F(StreamingTransportTest, HealthyHeartbeatLogsNoMisses) {
    auto tuning = fastTuning();
    tuning.heartbeatInterval = std::chrono::milliseconds(100);
    tuning.heartbeatTimeout = std::chrono::milliseconds(80);
    make(tuning);
    connectNow();
    ASSERT_TRUE(waitUntil([&] { return server->framesOfType("ping").size() >= 5; }));
    EXPECT_EQ(server->framesOfType("ping")[0].data, QByteArray(StreamingTransport::kPingText));
    EXPECT_EQ(QByteArray(StreamingTransport::kPingText).size(), 15);
    EXPECT_EQ(transport->missedHeartbeats(), 0);
    EXPECT_FALSE(loggedText().contains("Missed heartbeat"));
    EXPECT_EQ(server->handshakeCount(), 1);
}

TEST_F(StreamingTransportTest, SilentServerIsDeclaredDeadAfterTwoMissedPongs) {
    auto tuning = fastTuning();
    tuning.heartbeatInterval = std::chrono::milliseconds(100);
    tuning.heartbeatTimeout = std::chrono::milliseconds(80);
    make(tuning);
    server->setAnswerPings(false);
    connectNow();
    ASSERT_TRUE(waitUntil([&] { return server->handshakeCount() == 2; }));
    const QString log = loggedText();
    EXPECT_TRUE(log.contains("StreamingTransport: Missed heartbeat #1 (last pong"));
    EXPECT_TRUE(log.contains("StreamingTransport: Connection dead (2 missed heartbeats) — reconnecting"));
    EXPECT_EQ(disconnects, 0);
}

TEST_F(StreamingTransportTest, NoPingsWhileStreaming) {
    auto tuning = fastTuning();
    tuning.heartbeatInterval = std::chrono::milliseconds(50);
    make(tuning);
    streamChunks(1);
    server->clearFrames();
    waitUntil([] { return false; }, 300ms);
    EXPECT_TRUE(server->framesOfType("ping").isEmpty());
}

#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include "Core/Cloud/StreamingTransport.h"
#include "Core/Pipeline/PipelineAdapters.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The pipeline's streaming road against the scripted WebSocket server, through the real
// transport: what the server answers is pasted, recorded and reported once, and every way the
// server can fail sends the dictation down the batch road exactly once.

namespace {

using S = DictationStatus;
using Reply = LoopbackStreamingServer::CommitReply;
using State = StreamingTransport::State;

constexpr int kChunks = 25;

StreamingTransport::Tuning fastTuning() {
    StreamingTransport::Tuning t;
    t.heartbeatInterval = std::chrono::seconds(60);  // no pings in the way
    t.initialReconnectDelay = std::chrono::milliseconds(50);
    t.maxReconnectDelay = std::chrono::milliseconds(200);
    t.commitResultTimeout = std::chrono::seconds(5);
    t.handshakeTimeout = std::chrono::seconds(5);
    return t;
}

TranscriptionContext editorContext() {
    TranscriptionContext context;
    context.app.name = QStringLiteral("Editor");
    context.app.bundleId = QStringLiteral("org.example.editor");
    context.app.type = AppType::document;
    context.textboxContents.beforeText = QStringLiteral("Dear team, ");
    context.axContext = {QStringLiteral("team")};
    return context;
}

class PipelineStreamingServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(http.start()); }

    // A fresh server and a pipeline whose streaming link is the real transport to it, connected.
    void start(StreamingTransport::Tuning tuning = fastTuning()) {
        h.reset();
        partials.clear();
        server.reset();  // first: the old server detaches from `http` when it goes
        server = std::make_unique<LoopbackStreamingServer>(http);
        PipelineHarness::Options options;
        options.makeStreamingLink = [this, tuning] {
            StreamingTransport::Credentials credentials;
            credentials.deviceID = [] { return QStringLiteral("device-1"); };
            credentials.accessToken = [] { return std::optional<QString>(QStringLiteral("token-1")); };
            auto t = std::make_unique<StreamingTransport>(http.baseUrl(), tuning, credentials);
            transport = t.get();
            return std::make_unique<TransportPipelineStreamingLink>(std::move(t));
        };
        h = std::make_unique<PipelineHarness>(VantroseSettings(), options);
        QObject::connect(h->pipeline.get(), &DictationPipeline::streamingPartialTextChanged, [this] {
            if (const auto& text = h->pipeline->streamingPartialText()) partials << *text;
        });
        h->setUp();
        ASSERT_TRUE(waitUntil([&] { return transport->state() == State::connected; }));
    }

    // Records a dictation and lets the key go; the commit reaches the server.
    void recordAndRelease() {
        const int commits = server->commitCount();
        h->record(kChunks);
        h->pipeline->stopDictation();
        ASSERT_EQ(h->pipeline->status(), S::processing);
        ASSERT_TRUE(waitUntil([&] { return server->commitCount() == commits + 1; }));
    }

    bool waitForPastes(int count) {
        return waitUntil([&] { return h->inserter->calls.size() == count; }) && h->waitForStatus(S::idle);
    }

    // The next dictation goes over the socket and gets the server's answer: everything the
    // previous one left in the event queue has run by then.
    void dictateOverTheSocket(const QString& formatted) {
        // Once a lost connection is back (or given up until the next session opens it).
        ASSERT_TRUE(waitUntil([&] { return !transport->isReconnecting() && transport->state() != State::connecting; }));
        server->scriptNextCommit(Reply::result(formatted.toLower(), formatted));
        const int pastes = h->inserter->calls.size();
        recordAndRelease();
        ASSERT_TRUE(waitForPastes(pastes + 1));
        EXPECT_EQ(h->inserter->pastedTexts().last(), formatted);
    }

    LoopbackVendorServer http;
    std::unique_ptr<LoopbackStreamingServer> server;
    StreamingTransport* transport = nullptr;
    std::unique_ptr<PipelineHarness> h;
    QStringList partials;
};

TEST_F(PipelineStreamingServer, ResultIsPastedRecordedAndReportedOnce) {
    start();
    h->contextEngine->context = editorContext();
    h->pipeline->updateSettings([](VantroseSettings& s) {
        s.textReplacements = {TextReplacement{QStringLiteral("world"), QStringLiteral("World!")}};
    });
    server->scriptNextCommit(Reply::result(QStringLiteral("hello world"), QStringLiteral("Hello world."),
                                           QJsonObject{{"asr_time", 0.25},
                                                       {"llm_time", 0.5},
                                                       {"asr_provider", "fast-asr"},
                                                       {"llm_provider", "fast-llm"}})
                                 .withPartials({QStringLiteral("hello")}));
    recordAndRelease();
    ASSERT_TRUE(waitForPastes(1));

    // Post-processed for the field (no capital mid-sentence), then the user's replacement.
    EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("hello World!.")});
    EXPECT_EQ(partials, QStringList{QStringLiteral("hello")});
    EXPECT_FALSE(h->pipeline->streamingPartialText().has_value());
    EXPECT_EQ(server->audioFrames().size(), kChunks);
    EXPECT_EQ(server->framesOfType("commit").last().json().value("language").toString(), QStringLiteral("en"));

    ASSERT_TRUE(h->pipeline->lastResult().has_value());
    const TranscriptionResult& record = *h->pipeline->lastResult();
    EXPECT_EQ(record.rawText, QStringLiteral("hello world"));
    EXPECT_EQ(record.formattedText, QStringLiteral("Hello world."));
    EXPECT_EQ(record.pastedText, QStringLiteral("hello World!."));  // what the field received
    EXPECT_EQ(record.status, ResponseStatus::formatted);
    EXPECT_EQ(record.wordCount, 2);
    EXPECT_EQ(record.asrTierUsed, QStringLiteral("streaming:fast-asr"));
    EXPECT_EQ(record.formatterUsed, QStringLiteral("streaming:fast-llm"));
    EXPECT_DOUBLE_EQ(record.asrTimeMs, 250);
    EXPECT_DOUBLE_EQ(record.formatTimeMs, 500);
    EXPECT_DOUBLE_EQ(record.duration, toSeconds(kChunks * DictationPipeline::chunkDuration));
    EXPECT_EQ(record.appName, QStringLiteral("Editor"));
    EXPECT_EQ(record.appType, QStringLiteral("document"));
    EXPECT_FALSE(record.usedFallbackASR);
    EXPECT_EQ(record.latencyMetrics.backendCommitAckTimeMs, transport->commitToResultMs());
    EXPECT_EQ(record.persistenceMetrics.traceID, h->pipeline->currentTraceID());
    EXPECT_EQ(record.persistenceMetrics.fieldType, QStringLiteral("document"));
    EXPECT_TRUE(record.persistenceMetrics.hasAXText);
    EXPECT_EQ(record.persistenceMetrics.fallbackLevel, 0);

    ASSERT_EQ(h->history->stored.size(), 1);
    EXPECT_EQ(h->history->stored.first().asrTierUsed, record.asrTierUsed);
    ASSERT_EQ(h->services->completed.size(), 1);
    EXPECT_EQ(h->services->completed.first().formatterUsed, record.formatterUsed);
    EXPECT_EQ(h->services->trackedEvents().count(QStringLiteral("dictation_latency")), 1);
    EXPECT_EQ(h->contextEngine->updates.size(), 1);
    EXPECT_EQ(h->pipeline->totalDictations(), 1);
    EXPECT_EQ(h->batch->transcribeCalls, 0);
    EXPECT_TRUE(h->reader->observations.isEmpty());  // the socket road starts no edit watch

    // The connection stays open for the next dictation, which gets its own answer.
    EXPECT_EQ(transport->state(), State::connected);
    EXPECT_EQ(transport->chunksSent(), 0);
    h->contextEngine->context = TranscriptionContext();
    dictateOverTheSocket(QStringLiteral("Second one."));
    EXPECT_EQ(server->handshakeCount(), 1);
    EXPECT_EQ(h->history->stored.size(), 2);
}

TEST_F(PipelineStreamingServer, ServerTextDecidesWhatIsPasted) {
    const struct {
        const char* name;
        QString asr;
        QString llm;
        QString pasted;  // empty: nothing is pasted or recorded
        ResponseStatus status = ResponseStatus::formatted;
    } table[] = {
        {"formatted text", "hello world", "Hello world.", "Hello world."},
        {"no formatted text", "hello world", "", "hello world", ResponseStatus::rawTranscript},
        {"formatted text of blanks", "hello world", " \n ", ""},
        {"raw text a hallucination", "thank you for watching", "Hi there.", ""},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        start();
        server->scriptNextCommit(Reply::result(row.asr, row.llm));
        recordAndRelease();
        ASSERT_TRUE(h->waitForStatus(S::idle));
        if (row.pasted.isEmpty()) {
            // Returns quietly; the socket is ready for the next dictation, whose answer is the
            // first thing pasted.
            dictateOverTheSocket(QStringLiteral("Next one."));
            EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Next one.")});
            EXPECT_EQ(h->history->stored.size(), 1);
            EXPECT_EQ(h->services->completed.size(), 1);
        } else {
            ASSERT_TRUE(waitForPastes(1));
            EXPECT_EQ(h->inserter->pastedTexts(), QStringList{row.pasted});
            ASSERT_EQ(h->history->stored.size(), 1);
            EXPECT_EQ(h->history->stored.first().status, row.status);
            EXPECT_EQ(h->history->stored.first().wordCount, 2);
        }
        EXPECT_EQ(h->batch->transcribeCalls, 0);
    }
}

// Each way the server fails after the commit: the batch road takes the recorded audio, once.
TEST_F(PipelineStreamingServer, ServerFailureAfterCommitFallsBackToTheBatchRoadOnce) {
    StreamingTransport::Tuning shortWait = fastTuning();
    shortWait.commitResultTimeout = std::chrono::seconds(1);
    const struct {
        const char* name;
        Reply reply;
        StreamingTransport::Tuning tuning;
    } table[] = {
        {"server error", Reply::error(QStringLiteral("model overloaded"), false), fastTuning()},
        {"fatal server error", Reply::error(QStringLiteral("session expired"), true), fastTuning()},
        {"connection closed", Reply::close(4000), fastTuning()},
        {"server going away", Reply::close(1001), fastTuning()},
        {"connection dropped", Reply::abort(), fastTuning()},
        {"no answer in time", Reply::silence(), shortWait},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        start(row.tuning);
        server->scriptNextCommit(row.reply);
        recordAndRelease();
        ASSERT_TRUE(waitForPastes(1));
        EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
        ASSERT_EQ(h->batch->sampleCounts.size(), 1);
        EXPECT_EQ(h->batch->sampleCounts.front(), static_cast<std::size_t>(kChunks * 640));
        ASSERT_EQ(h->history->stored.size(), 1);
        EXPECT_FALSE(h->history->stored.first().asrTierUsed.startsWith(QStringLiteral("streaming:")));

        // The link recovers and the next dictation is the socket's again; still one batch road.
        dictateOverTheSocket(QStringLiteral("Next one."));
        EXPECT_EQ(h->batch->transcribeCalls, 1);
        EXPECT_EQ(h->inserter->calls.size(), 2);
        EXPECT_EQ(h->history->stored.size(), 2);
    }
}

// The server gives up on the commit and then sends a result anyway while the batch road runs:
// the dictation is pasted once, from the batch road.
TEST_F(PipelineStreamingServer, LateResultAfterTheFallBackIsNotPasted) {
    start();
    h->batch->gate = std::make_shared<FakeGate>();
    server->scriptNextCommit(Reply::error(QStringLiteral("model overloaded"), false));
    recordAndRelease();
    ASSERT_TRUE(waitUntil([&] { return h->batch->gate->waiting() == 1; }));

    server->sendJson(QJsonObject{{"type", "result"}, {"asr_text", "late words"}, {"llm_text", "Late words."}});
    // A partial sent after it arrives after it: once it shows, the late result has been handled.
    server->sendJson(QJsonObject{{"type", "partial"}, {"text", "marker"}});
    ASSERT_TRUE(waitUntil([&] { return partials.contains(QStringLiteral("marker")); }));
    EXPECT_TRUE(h->inserter->calls.isEmpty());

    h->batch->gate->open();
    ASSERT_TRUE(waitForPastes(1));
    EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
    EXPECT_EQ(h->history->stored.size(), 1);
    EXPECT_EQ(h->batch->transcribeCalls, 1);
}

// The connection drops while the key is still held: the server has lost the start of the speech,
// so at release the dictation goes down the batch road, once, with all its audio.
TEST_F(PipelineStreamingServer, ConnectionLostWhileListeningEndsOnTheBatchRoadOnce) {
    start();
    h->record(kChunks);
    ASSERT_TRUE(waitUntil([&] { return server->audioFrames().size() == kChunks; }));
    server->abortClients();
    ASSERT_TRUE(waitUntil([&] { return transport->isSessionInterrupted(); }));
    QCoreApplication::sendPostedEvents();            // the transport's report of the loss
    EXPECT_EQ(h->pipeline->status(), S::listening);  // the recording goes on
    h->audio->feed(5);
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(1));
    EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
    ASSERT_EQ(h->batch->sampleCounts.size(), 1);
    EXPECT_EQ(h->batch->sampleCounts.front(), static_cast<std::size_t>((kChunks + 5) * 640));
    EXPECT_EQ(server->commitCount(), 0);

    dictateOverTheSocket(QStringLiteral("Next one."));
    EXPECT_EQ(h->batch->transcribeCalls, 1);
    EXPECT_EQ(h->history->stored.size(), 2);
}

// The connection is down at the start of a dictation and its first attempt is refused while the
// key is held; a later attempt succeeds. Audio that came during the wait reached no server, so at
// release the dictation goes down the batch road with all its audio instead of the server
// transcribing what it happened to receive.
TEST_F(PipelineStreamingServer, AudioLostWhileReconnectingSendsTheDictationToTheBatchRoad) {
    StreamingTransport::Tuning tuning = fastTuning();
    tuning.initialReconnectDelay = std::chrono::milliseconds(500);  // a wide window to record into
    start(tuning);
    server->closeClients(1001);  // going away: the next session connects afresh
    ASSERT_TRUE(waitUntil([&] { return transport->state() == State::disconnected; }));
    server->refuseNextConnections(1);

    h->record(3);  // buffered while connecting
    ASSERT_EQ(h->pipeline->status(), S::listening);
    ASSERT_TRUE(waitUntil([&] { return transport->isReconnecting() && transport->state() == State::disconnected; }));
    h->audio->feed(5);  // no connection takes these
    ASSERT_TRUE(waitUntil([&] { return transport->state() == State::connected; }));
    h->audio->feed(3);
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(1));

    EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
    ASSERT_EQ(h->batch->sampleCounts.size(), 1);
    EXPECT_EQ(h->batch->sampleCounts.front(), static_cast<std::size_t>(11 * 640));
    EXPECT_EQ(server->commitCount(), 0);
    ASSERT_EQ(h->history->stored.size(), 1);
    EXPECT_FALSE(h->history->stored.first().asrTierUsed.startsWith(QStringLiteral("streaming:")));

    dictateOverTheSocket(QStringLiteral("Next one."));
    EXPECT_EQ(h->batch->transcribeCalls, 1);
}

}  // namespace

namespace {

// Sign-out closes the streaming connection, which carries the account: a dictation waiting for
// the server's answer finishes on this computer, and the next ones do not open it again until
// the next sign-in.
TEST_F(PipelineStreamingServer, SignOutClosesTheConnectionUntilTheNextSignIn) {
    start();
    ASSERT_TRUE(waitUntil([&] { return server->openClientCount() == 1; }));
    server->scriptNextCommit(Reply::silence());
    recordAndRelease();
    ASSERT_EQ(h->pipeline->status(), S::processing);

    h->pipeline->setAccountSignedIn(false);
    ASSERT_TRUE(waitForPastes(1));
    EXPECT_EQ(h->batch->transcribeCalls, 1);
    EXPECT_TRUE(waitUntil([&] { return server->openClientCount() == 0; }));
    EXPECT_EQ(transport->state(), State::disconnected);

    // Push-to-talk still dictates, on this computer only.
    h->record(kChunks);
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(2));
    EXPECT_EQ(h->batch->transcribeCalls, 2);
    EXPECT_EQ(server->commitCount(), 1);
    EXPECT_EQ(server->handshakeCount(), 1);
    EXPECT_EQ(transport->state(), State::disconnected);

    h->pipeline->setAccountSignedIn(true);
    ASSERT_TRUE(waitUntil([&] { return transport->state() == State::connected; }));
    dictateOverTheSocket(QStringLiteral("Signed in again."));
    EXPECT_EQ(server->handshakeCount(), 2);
}

}  // namespace

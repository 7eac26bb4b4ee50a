#include "support/LogText.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackTranscribeEndpoint.h"
#include "support/LoopbackVendorServer.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include "Core/ASR/ASREngineProtocol.h"
#include "Core/ASR/CloudASREngine.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Core/Pipeline/PipelineAdapters.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Services/SettingsStore.h"
#include "Storage/HistoryStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>

#include <SQLiteCpp/SQLiteCpp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>

// The dictation roads as the program assembles them (the tiered batch recogniser with the real
// cloud recogniser, the real WebSocket transport, the real history database), each against one
// scripted fault of the server, the socket, the settings file or the database. For every fault the
// recorded audio reaches a road, the dictation is pasted once and stored in the database, the
// database still opens afterwards, and the next dictation works.

namespace {

using S = DictationStatus;
using Reply = LoopbackStreamingServer::CommitReply;
using State = StreamingTransport::State;

constexpr int kChunks = 25;
constexpr std::size_t kSamples = kChunks * 640;

// The on-device tier: answers every recording and counts what it was given. The batch road falls
// to it when the cloud tier fails.
class DeviceRecognizer final : public ASREngineProtocol {
public:
    QCoro::Task<ASRResult> transcribe(std::vector<float> samples) override {
        {
            std::lock_guard lock(m_mutex);
            m_sampleCounts.push_back(samples.size());
        }
        ASRResult result;
        result.text = QStringLiteral("words from the device");
        result.confidence = 0.9f;
        result.partial = partial.load();
        co_return result;
    }
    void startStreaming(PartialResultCallback) override {}
    void feedAudioChunk(const std::vector<float>&) override {}
    QCoro::Task<ASRResult> stopStreaming() override { co_return ASRResult(); }
    QString engineName() const override { return QStringLiteral("Device"); }
    bool supportsStreaming() const override { return false; }

    std::vector<std::size_t> sampleCounts() const {
        std::lock_guard lock(m_mutex);
        return m_sampleCounts;
    }

    std::atomic<bool> partial{false};  // ran out of time: the start of the recording only

private:
    mutable std::mutex m_mutex;
    std::vector<std::size_t> m_sampleCounts;
};

StreamingTransport::Tuning fastTuning() {
    StreamingTransport::Tuning t;
    t.heartbeatInterval = std::chrono::seconds(60);
    t.initialReconnectDelay = std::chrono::milliseconds(50);
    t.maxReconnectDelay = std::chrono::milliseconds(200);
    t.commitResultTimeout = std::chrono::seconds(1);  // "no answer" rows wait this long
    t.handshakeTimeout = std::chrono::seconds(5);
    return t;
}

// A port nothing listens on.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QList<TranscriptionResult> storedHistory(const QString& dbPath) {
    HistoryStore store(dbPath);
    store.initialize();
    return store.recentHistory();
}

class FaultMatrix : public ::testing::Test {
public:  // the rows' faults reach the servers and the transport
    enum class Road { batch, socket };

    void SetUp() override {
        ASSERT_TRUE(dataDir.isValid());
        ASSERT_TRUE(http.start());
        endpoint = std::make_unique<LoopbackTranscribeEndpoint>(http);
    }

    void TearDown() override {
        h.reset();
        ws.reset();
    }

    // The pipeline over the given road. The batch road's cloud tier talks to `cloudURL`
    // (default: the loopback server) and gives up after `cloudTimeoutMs`.
    void start(Road road, const QString& dbPath, QString cloudURL = {}, int cloudTimeoutMs = 1500) {
        h.reset();
        ws.reset();
        transport = nullptr;
        device = std::make_shared<DeviceRecognizer>();
        uploadsBefore = endpoint->uploads().size();
        if (road == Road::socket) ws = std::make_unique<LoopbackStreamingServer>(http);

        PipelineHarness::Options options;
        options.makeBatchRecognizer = [this, cloudTimeoutMs] {
            RetryPipelineBatchRecognizer::Factories factories;
            factories.makeCloud = [cloudTimeoutMs](const QString& serverURL) -> std::shared_ptr<ASREngineProtocol> {
                CloudASREngine::Services services;
                services.accessToken = []() -> QCoro::Task<std::optional<QString>> {
                    co_return std::optional<QString>(QStringLiteral("token-1"));
                };
                services.deviceID = [] { return QStringLiteral("device-1"); };
                services.requestTimeout = std::chrono::milliseconds(cloudTimeoutMs);
                return std::make_shared<CloudASREngine>(QStringLiteral("Cloud"), serverURL, services);
            };
            return std::make_unique<RetryPipelineBatchRecognizer>(device, factories);
        };
        options.makeHistory = [dbPath] {
            return std::make_unique<HistoryStorePipelineHistory>(std::make_unique<HistoryStore>(dbPath));
        };
        if (road == Road::socket) {
            options.makeStreamingLink = [this] {
                StreamingTransport::Credentials credentials;
                credentials.deviceID = [] { return QStringLiteral("device-1"); };
                credentials.accessToken = [this] { return token; };
                // The account's answer to a refused token: a refreshed one, once.
                credentials.replaceRefusedToken = [this](QString refused) -> QCoro::Task<std::optional<QString>> {
                    refusedTokens << refused;
                    token = QStringLiteral("token-%1").arg(refusedTokens.size() + 1);
                    co_return token;
                };
                auto t = std::make_unique<StreamingTransport>(http.baseUrl(), fastTuning(), credentials);
                transport = t.get();
                return std::make_unique<TransportPipelineStreamingLink>(std::move(t));
            };
        }
        VantroseSettings settings;
        settings.cloudServerURL = cloudURL.isEmpty() ? http.baseUrl() : cloudURL;
        h = std::make_unique<PipelineHarness>(settings, options);
        h->setUp();
        if (transport) {
            ASSERT_TRUE(waitUntil([&] { return transport->state() == State::connected; }));
        }
    }

    bool waitForPastes(int count) {
        return waitUntil([&] { return h->inserter->calls.size() == count; }, std::chrono::seconds(20)) &&
               h->waitForStatus(S::idle);
    }

    // Uploads the batch endpoint accepted since the latest start(), with their sample counts.
    std::vector<std::size_t> cloudSampleCounts() const {
        std::vector<std::size_t> counts;
        for (const auto& upload : endpoint->uploads().mid(uploadsBefore))
            if (upload.problem.isEmpty()) counts.push_back(upload.samples().size());
        return counts;
    }

    QTemporaryDir dataDir;
    LoopbackVendorServer http;
    std::unique_ptr<LoopbackTranscribeEndpoint> endpoint;
    std::unique_ptr<LoopbackStreamingServer> ws;
    std::shared_ptr<DeviceRecognizer> device;
    qsizetype uploadsBefore = 0;
    StreamingTransport* transport = nullptr;
    std::optional<QString> token = QStringLiteral("token-1");
    QStringList refusedTokens;
    std::unique_ptr<PipelineHarness> h;
};

// The server the batch road uploads to fails in every way it can: the recording goes to the
// device's recogniser, is pasted and stored; once the server is well, the next dictation is the
// server's again.
TEST_F(FaultMatrix, BatchServerFaults) {
    const QString transcribe = LoopbackTranscribeEndpoint::path();
    const struct {
        const char* name;
        std::optional<LoopbackReply> reply;  // none: nothing listens at the server's address
    } table[] = {
        {"server down", std::nullopt},
        {"slow past the deadline", LoopbackReply::hang()},
        {"5xx", LoopbackReply::error(503, QStringLiteral("overloaded"))},
        {"HTML instead of JSON",
         LoopbackReply::html(200, QStringLiteral("<html><body>Sign in to the Wi-Fi</body></html>"))},
        {"HTML error page", LoopbackReply::html(502)},
        {"truncated JSON", LoopbackReply::truncated(LoopbackTranscribeEndpoint::defaultReply())},
        {"malformed JSON", LoopbackReply::malformedJson(200)},
        {"JSON of the wrong shape", LoopbackReply::json(QJsonArray{1, 2, 3})},
        {"connection dropped", LoopbackReply::drop()},
    };
    int rowIndex = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const QString dbPath = dataDir.filePath(QStringLiteral("batch-%1.sqlite").arg(rowIndex++));
        http.clearScripts();
        const QString downURL = QStringLiteral("http://127.0.0.1:%1").arg(closedPort());
        ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath, row.reply ? QString() : downURL));
        if (row.reply) http.scriptAlways("POST", transcribe, *row.reply);

        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(waitForPastes(1));
        EXPECT_EQ(device->sampleCounts(), std::vector<std::size_t>{kSamples});
        EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Words from the device.")});
        ASSERT_EQ(h->pipeline->lastResult().has_value(), true);
        EXPECT_EQ(h->pipeline->lastResult()->asrTierUsed, QStringLiteral("secondary-batch"));

        // The next dictation: the server's when it is back, the device's while it is down.
        http.clearScripts();
        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(waitForPastes(2));
        if (row.reply) {
            EXPECT_EQ(h->inserter->pastedTexts().last(), QStringLiteral("Hello world."));
            EXPECT_EQ(h->pipeline->lastResult()->asrTierUsed, QStringLiteral("primary-batch"));
            EXPECT_EQ(cloudSampleCounts().back(), kSamples);
        } else {
            EXPECT_EQ(device->sampleCounts().size(), 2u);
        }

        h.reset();  // closes the database
        EXPECT_EQ(storedHistory(dbPath).size(), 2);
    }
}

// The WebSocket fails in each state of a dictation. Unless the server's result was already in,
// the recording goes down the batch road with all its audio, once; then the socket is back and
// carries the next dictation.
TEST_F(FaultMatrix, SocketFaultsInEachState) {
    const struct {
        const char* name;
        std::function<void(FaultMatrix&)> beforeRecording;
        std::function<void(FaultMatrix&)> whileRecording;  // after the first chunks reached the server
        std::optional<Reply> commitReply;
        std::function<void(FaultMatrix&)> onCommit;  // once the commit reached the server
        bool resultArrives = false;
        std::function<void(FaultMatrix&)> afterPaste;
    } table[] = {
        {"refused while connecting",
         [](FaultMatrix& f) {
             f.ws->closeClients(1001);
             ASSERT_TRUE(waitUntil([&] { return f.transport->state() == State::disconnected; }));
             f.ws->setRefuseConnections(true);
         },
         {},
         std::nullopt,
         {},
         false,
         [](FaultMatrix& f) { f.ws->setRefuseConnections(false); }},
        {"aborted while streaming", {}, [](FaultMatrix& f) { f.ws->abortClients(); }, std::nullopt},
        {"closed while streaming", {}, [](FaultMatrix& f) { f.ws->closeClients(4000); }, std::nullopt},
        {"aborted while committing", {}, {}, Reply::abort()},
        {"closed while committing", {}, {}, Reply::close(4000)},
        {"server error while committing", {}, {}, Reply::error(QStringLiteral("overloaded"), false)},
        {"no answer to the commit", {}, {}, Reply::silence()},
        {"truncated result message",
         {},
         {},
         Reply::silence(),
         [](FaultMatrix& f) { f.ws->sendText(QStringLiteral("{\"type\": \"result\", \"asr_text\": \"hello wo")); }},
        {"malformed message",
         {},
         {},
         Reply::silence(),
         [](FaultMatrix& f) { f.ws->sendText(QStringLiteral("<html>")); }},
        {"result of the wrong shape",
         {},
         {},
         Reply::silence(),
         [](FaultMatrix& f) {
             f.ws->sendText(QStringLiteral("{\"type\": \"result\", \"asr_text\": 5, \"llm_text\": [1]}"));
         }},
        {"aborted after the result",
         {},
         {},
         Reply::result(QStringLiteral("hello world"), QStringLiteral("Hello world.")),
         {},
         true,
         [](FaultMatrix& f) {
             f.ws->abortClients();
             ASSERT_TRUE(waitUntil([&] { return f.transport->state() != State::connected; }));
         }},
        {"closed after the result",
         {},
         {},
         Reply::result(QStringLiteral("hello world"), QStringLiteral("Hello world.")),
         {},
         true,
         [](FaultMatrix& f) {
             f.ws->closeClients(1001);
             ASSERT_TRUE(waitUntil([&] { return f.transport->state() != State::connected; }));
         }},
    };
    int rowIndex = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const QString dbPath = dataDir.filePath(QStringLiteral("socket-%1.sqlite").arg(rowIndex++));
        ASSERT_NO_FATAL_FAILURE(start(Road::socket, dbPath));
        if (row.beforeRecording) {
            ASSERT_NO_FATAL_FAILURE(row.beforeRecording(*this));
        }
        if (row.commitReply) ws->scriptNextCommit(*row.commitReply);

        h->record(kChunks);
        int chunks = kChunks;
        if (row.whileRecording) {
            ASSERT_TRUE(waitUntil([&] { return ws->audioFrames().size() == kChunks; }));
            row.whileRecording(*this);
            ASSERT_TRUE(waitUntil([&] { return transport->isSessionInterrupted(); }));
            h->audio->feed(5);
            chunks += 5;
        }
        h->pipeline->stopDictation();
        if (row.onCommit) {
            ASSERT_TRUE(waitUntil([&] { return ws->commitCount() == 1; }));
            row.onCommit(*this);
        }
        ASSERT_TRUE(waitForPastes(1));
        EXPECT_EQ(h->inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
        if (row.resultArrives) {
            EXPECT_TRUE(cloudSampleCounts().empty());
            EXPECT_TRUE(h->pipeline->lastResult()->asrTierUsed.startsWith(QStringLiteral("streaming:")));
        } else {
            EXPECT_EQ(cloudSampleCounts(), std::vector<std::size_t>{std::size_t(chunks) * 640});
            EXPECT_EQ(h->pipeline->lastResult()->asrTierUsed, QStringLiteral("primary-batch"));
        }
        if (row.afterPaste) {
            ASSERT_NO_FATAL_FAILURE(row.afterPaste(*this));
        }

        // The next dictation goes over the socket again once it is back (or given up until the
        // next dictation opens it).
        ASSERT_TRUE(waitUntil([&] { return !transport->isReconnecting() && transport->state() != State::connecting; },
                              std::chrono::seconds(20)));
        ws->scriptNextCommit(Reply::result(QStringLiteral("next one"), QStringLiteral("Next one.")));
        const int commits = ws->commitCount();
        h->record(kChunks);
        h->pipeline->stopDictation();
        ASSERT_TRUE(waitForPastes(2));
        EXPECT_EQ(ws->commitCount(), commits + 1);
        EXPECT_EQ(h->inserter->pastedTexts().last(), QStringLiteral("Next one."));
        EXPECT_TRUE(device->sampleCounts().empty());

        h.reset();
        EXPECT_EQ(storedHistory(dbPath).size(), 2);
    }
}

// The server stops taking the account's tokens in the middle of a dictation (the session was
// revoked): that dictation and the next go down the batch road, once each; the socket is tried
// once with a refreshed token and then left alone, never reconnected in a loop.
TEST_F(FaultMatrix, TokenRefusedByTheServerNeverLoops) {
    const QString dbPath = dataDir.filePath(QStringLiteral("refused.sqlite"));
    ASSERT_NO_FATAL_FAILURE(start(Road::socket, dbPath));
    const qsizetype mark = logMark();
    ws->setRequireValidToken(true);  // no token of this program is one the server issued
    h->record(kChunks);
    ASSERT_TRUE(waitUntil([&] { return ws->audioFrames().size() == kChunks; }));
    ws->closeClients(StreamingTransport::kAuthenticationRefusedCode);
    ASSERT_TRUE(waitUntil([&] { return transport->isSessionInterrupted(); }));
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(1));
    EXPECT_EQ(cloudSampleCounts(), std::vector<std::size_t>{kSamples});

    h->record(kChunks);
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(2));
    EXPECT_EQ(cloudSampleCounts(), (std::vector<std::size_t>{kSamples, kSamples}));
    EXPECT_EQ(h->inserter->pastedTexts(),
              (QStringList{QStringLiteral("Hello world."), QStringLiteral("Hello world.")}));

    // A while later nothing has tried again.
    ASSERT_TRUE(waitUntil([&] { return transport->state() == State::disconnected && !transport->isReconnecting(); }));
    const int handshakes = ws->handshakeCount();
    waitUntil([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_EQ(ws->handshakeCount(), handshakes);
    EXPECT_LE(handshakes, 3);  // the first, the refreshed token's, the next dictation's
    EXPECT_EQ(refusedTokens.first(), QStringLiteral("token-1"));
    EXPECT_FALSE(loggedTextSince(mark).contains("Reconnect attempt"));
    h.reset();
    EXPECT_EQ(storedHistory(dbPath).size(), 2);
}

// The recogniser ran out of time on a long recording, on the server or on the device: the text it
// has is pasted and stored, the whole recording is kept, and the user is told where it is.
TEST_F(FaultMatrix, PartlyRecognisedRecordingIsKept) {
    const struct {
        const char* name;
        bool serverDown;
    } table[] = {
        {"the server recognised the start only", false},
        {"the device recognised the start only", true},
    };
    int rowIndex = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const QString dbPath = dataDir.filePath(QStringLiteral("partial-%1.sqlite").arg(rowIndex++));
        http.clearScripts();
        const QString downURL = QStringLiteral("http://127.0.0.1:%1").arg(closedPort());
        ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath, row.serverDown ? downURL : QString()));
        device->partial = true;
        http.scriptAlways("POST", LoopbackTranscribeEndpoint::path(),
                          LoopbackReply::json(QJsonObject{{"status", "PARTIAL"},
                                                          {"asr_text", "words from the server"},
                                                          {"llm_text", "Words from the server."}}));
        h->record(kChunks);
        h->pipeline->stopDictation();
        ASSERT_TRUE(waitUntil([&] { return h->inserter->calls.size() == 1; }, std::chrono::seconds(20)));
        EXPECT_EQ(h->inserter->pastedTexts(), QStringList{row.serverDown ? QStringLiteral("Words from the device.")
                                                                         : QStringLiteral("Words from the server.")});
        ASSERT_TRUE(h->waitForStatus(S::error));
        const QString message = h->pipeline->errorMessage().value_or(QString());
        const QString path = message.section(QStringLiteral(" is saved in "), 1);
        EXPECT_TRUE(message.startsWith(QStringLiteral("Only the start of the recording was transcribed.")))
            << message.toStdString();
        EXPECT_EQ(QFileInfo(path).size(), 44 + 2 * qint64(kSamples)) << path.toStdString();
        h.reset();
        EXPECT_EQ(storedHistory(dbPath).size(), 1);
    }
}

// The database cannot be used (not a database, locked by another program): dictations still
// work and are kept for this run, and the file is left exactly as it was for the user to keep.
TEST_F(FaultMatrix, UnusableDatabaseIsLeftAsItWas) {
    const struct {
        const char* name;
        QByteArray contents;
    } table[] = {
        {"not a database", QByteArray("this is not SQLite at all\n").repeated(100)},
        {"a database cut short", QByteArray("SQLite format 3\0", 16) + QByteArray(50, '\xff')},
    };
    int rowIndex = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const QString dbPath = dataDir.filePath(QStringLiteral("bad-%1.sqlite").arg(rowIndex++));
        {
            QFile file(dbPath);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(row.contents);
        }
        ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath));
        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(waitForPastes(2));
        EXPECT_EQ(h->pipeline->totalDictations(), 2);
        h.reset();
        QFile file(dbPath);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), row.contents);
    }
}

// The microphone goes away in the middle of a dictation (its chunks stop), is still gone at the
// next press, then comes back: what was recorded before it went reaches the road and the history,
// the press without it only reports the failure, and the next one works. On both roads.
TEST_F(FaultMatrix, MicrophoneGoneMidDictationAndBack) {
    for (const Road road : {Road::batch, Road::socket}) {
        SCOPED_TRACE(road == Road::batch ? "batch road" : "socket road");
        const QString dbPath = dataDir.filePath(road == Road::batch ? QStringLiteral("mic-batch.sqlite")
                                                                    : QStringLiteral("mic-socket.sqlite"));
        ASSERT_NO_FATAL_FAILURE(start(road, dbPath));
        h->record(15);
        h->audio->startFailure = QStringLiteral("No input device");  // gone: nothing more comes
        h->pipeline->stopDictation();
        ASSERT_TRUE(waitForPastes(1));
        if (road == Road::batch)
            EXPECT_EQ(cloudSampleCounts(), std::vector<std::size_t>{15 * 640});
        else
            EXPECT_EQ(ws->audioFrames().size(), 15);

        h->pipeline->startDictation();
        EXPECT_EQ(h->pipeline->status(), S::error);
        EXPECT_EQ(h->pipeline->recordedChunkCount(), 0);

        h->audio->startFailure.reset();  // back
        if (road == Road::socket)
            ws->scriptNextCommit(Reply::result(QStringLiteral("next one"), QStringLiteral("Next one.")));
        h->record(kChunks);
        h->pipeline->stopDictation();
        ASSERT_TRUE(waitForPastes(2));
        h.reset();
        EXPECT_EQ(storedHistory(dbPath).size(), 2);
    }
}

// Another program holds the database locked: this run keeps its dictations in memory, and what
// the file held is still there once the lock is gone.
TEST_F(FaultMatrix, LockedDatabaseKeepsWhatItHeld) {
    const QString dbPath = dataDir.filePath(QStringLiteral("locked.sqlite"));
    ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath));
    ASSERT_TRUE(h->dictate(kChunks));
    h.reset();
    ASSERT_EQ(storedHistory(dbPath).size(), 1);

    {
        SQLite::Database other(dbPath.toStdString(), SQLite::OPEN_READWRITE);
        other.exec("BEGIN EXCLUSIVE");
        ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath));
        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(waitForPastes(1));
        EXPECT_EQ(h->pipeline->lastResult()->asrTierUsed, QStringLiteral("primary-batch"));
        h.reset();
        other.exec("ROLLBACK");
    }
    EXPECT_EQ(storedHistory(dbPath).size(), 1);

    // With the lock gone the next launch writes to it again.
    ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath));
    ASSERT_TRUE(h->dictate(kChunks));
    h.reset();
    EXPECT_EQ(storedHistory(dbPath).size(), 2);
}

// Two presses close together: a press while the first dictation is on its road starts nothing
// and takes nothing from it; a press right after it finished is a dictation of its own.
TEST_F(FaultMatrix, PressesInQuickSuccession) {
    const QString dbPath = dataDir.filePath(QStringLiteral("quick.sqlite"));
    ASSERT_NO_FATAL_FAILURE(start(Road::batch, dbPath));
    http.scriptNext("POST", LoopbackTranscribeEndpoint::path(), LoopbackReply::normal().after(300));
    h->record(kChunks);
    h->pipeline->stopDictation();
    h->pipeline->startDictation();  // while the first is on the road
    h->audio->feed(3);
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(1));
    EXPECT_EQ(cloudSampleCounts(), std::vector<std::size_t>{kSamples});

    h->record(10);  // at once after it
    h->pipeline->stopDictation();
    ASSERT_TRUE(waitForPastes(2));
    EXPECT_EQ(cloudSampleCounts(), (std::vector<std::size_t>{kSamples, 10 * 640}));
    h.reset();
    EXPECT_EQ(storedHistory(dbPath).size(), 2);
}

// A settings file that cannot be decoded: the program starts from the defaults, the file is kept
// beside it, and dictation works.
TEST_F(FaultMatrix, CorruptSettingsFileStartsFromDefaultsAndIsKept) {
    const QByteArray table[] = {
        "{\"language\": \"en-US\", \"cloudServerURL\": ",  // cut short
        "<html>not settings</html>",
        QByteArray("\0\1\2\3", 4),
    };
    for (const QByteArray& contents : table) {
        SCOPED_TRACE(contents.toStdString());
        QFile::remove(SettingsStore::settingsPath() + ".bad");
        {
            QFile file(SettingsStore::settingsPath());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(contents);
        }
        const VantroseSettings loaded = SettingsStore::loadSettings();
        EXPECT_EQ(loaded, VantroseSettings());
        QFile kept(SettingsStore::settingsPath() + ".bad");
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), contents);

        ASSERT_NO_FATAL_FAILURE(start(Road::batch, dataDir.filePath(QStringLiteral("settings.sqlite"))));
        const int before = h->inserter->calls.size();
        ASSERT_TRUE(h->dictate(kChunks));
        ASSERT_TRUE(waitForPastes(before + 1));
    }
}

}  // namespace

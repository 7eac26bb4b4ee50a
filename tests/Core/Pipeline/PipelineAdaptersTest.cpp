#include "Core/Pipeline/PipelineAdapters.h"
#include "Core/ASR/CloudASREngine.h"
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"

#include "support/AwaitTask.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <deque>
#include <mutex>
#include <variant>

namespace {

// A recogniser whose batch answer is scripted and whose streaming session is recorded.
class ScriptedEngine final : public ASREngineProtocol {
public:
    using Outcome = std::variant<ASRResult, ASRError>;

    explicit ScriptedEngine(QString name, Outcome outcome = ASRResult{})
        : m_name(std::move(name)),
          m_outcome(outcome) {}

    static std::shared_ptr<ScriptedEngine> answering(const QString& name, const QString& text,
                                                     bool serverFormatted = false) {
        return std::make_shared<ScriptedEngine>(name, ASRResult{text, 0.7f, "en-US", 3, serverFormatted});
    }
    static std::shared_ptr<ScriptedEngine> failing(const QString& name) {
        return std::make_shared<ScriptedEngine>(name, ASRError::transcriptionFailed(name + " is down"));
    }

    QCoro::Task<ASRResult> transcribe(std::vector<float>) override {
        ++batchCalls;
        if (const auto* error = std::get_if<ASRError>(&m_outcome)) throw *error;
        co_return std::get<ASRResult>(m_outcome);
    }
    void startStreaming(PartialResultCallback onPartialResult) override {
        m_onPartial = std::move(onPartialResult);
        fed.clear();
    }
    void feedAudioChunk(const std::vector<float>& chunk) override {
        fed.push_back(chunk);
        if (m_onPartial) m_onPartial(QStringLiteral("chunk %1").arg(fed.size()));
    }
    QCoro::Task<ASRResult> stopStreaming() override {
        m_onPartial = nullptr;
        co_return ASRResult{QStringLiteral("final of %1 chunks").arg(fed.size()), 0.9f, "en-US", 1, false};
    }
    QString engineName() const override { return m_name; }
    bool supportsStreaming() const override { return true; }

    int batchCalls = 0;
    std::vector<std::vector<float>> fed;

private:
    QString m_name;
    Outcome m_outcome;
    PartialResultCallback m_onPartial;
};

// Awaits a task without a value.
QCoro::Task<bool> finished(QCoro::Task<> task) {
    co_await std::move(task);
    co_return true;
}

VantroseSettings settingsFor(const QString& server, const QString& language) {
    VantroseSettings settings;
    settings.cloudServerURL = server;
    settings.language = language;
    return settings;
}

}  // namespace

TEST(PipelineAdaptersTest, LiveRecognizerForwardsChunksHintsAndKeepsTheFinalText) {
    auto engine = ScriptedEngine::answering("on-device", "unused");
    QStringList hintsSeen;
    ASRPipelineLiveRecognizer live(engine, [&](const QStringList& hints) { hintsSeen = hints; });

    EXPECT_TRUE(live.supportsStreaming());
    QStringList partials;
    live.startStreaming([&](const QString& text) { partials << text; });
    live.feedAudioChunk(AudioChunk(640, 0.25f));
    live.feedAudioChunk(AudioChunk(640, -0.5f));
    AwaitTask::run(finished(live.stopStreaming()));

    ASSERT_EQ(engine->fed.size(), 2u);
    EXPECT_EQ(engine->fed[1], AudioChunk(640, -0.5f));
    EXPECT_EQ(partials, (QStringList{"chunk 1", "chunk 2"}));
    EXPECT_EQ(live.lastFinalText(), "final of 2 chunks");

    live.setVocabularyHints({"Vantrose", "Kubernetes"});
    EXPECT_EQ(hintsSeen, (QStringList{"Vantrose", "Kubernetes"}));
    // A recogniser that takes no hints is simply not told.
    ASRPipelineLiveRecognizer noHints(engine);
    noHints.setVocabularyHints({"ignored"});
}

TEST(PipelineAdaptersTest, BatchRecognizerRegistersTheTiersForTheSettings) {
    auto onDevice = ScriptedEngine::answering("on-device", "from device");
    QString cloudServer, fallbackLanguage;
    std::shared_ptr<ScriptedEngine> cloud, fallback;
    RetryPipelineBatchRecognizer batch(onDevice, {[&](const QString& server) {
                                                      cloudServer = server;
                                                      cloud = ScriptedEngine::failing("cloud");
                                                      return std::shared_ptr<ASREngineProtocol>(cloud);
                                                  },
                                                  [&](const QString& language) {
                                                      fallbackLanguage = language;
                                                      fallback = ScriptedEngine::answering("fallback", "from fallback");
                                                      return std::shared_ptr<ASREngineProtocol>(fallback);
                                                  }});
    EXPECT_FALSE(batch.hasCloudRecognizer());
    EXPECT_EQ(batch.lastTierUsed(), "primary");

    batch.registerTiers(settingsFor("http://127.0.0.1:9", "de-DE"));
    EXPECT_EQ(cloudServer, "http://127.0.0.1:9");
    EXPECT_EQ(fallbackLanguage, "de-DE");
    EXPECT_TRUE(batch.hasCloudRecognizer());

    // The cloud tier fails, so the shared on-device recogniser answers as the secondary tier.
    const PipelineTranscription result = AwaitTask::run(batch.transcribe(std::vector<float>(16000, 0.1f)));
    EXPECT_EQ(result.text, "from device");
    EXPECT_EQ(result.tier, "secondary");
    EXPECT_FLOAT_EQ(result.confidence, 0.7f);
    EXPECT_FALSE(result.serverFormatted);
    EXPECT_EQ(batch.lastTierUsed(), "secondary");
    EXPECT_EQ(cloud->batchCalls, 1);
    EXPECT_EQ(fallback->batchCalls, 0);
    // Contexts and timings belong to the real cloud recogniser only.
    batch.setCloudContext(QJsonObject{{"app", "x"}});
    EXPECT_FALSE(batch.lastCloudMetrics().has_value());
}

TEST(PipelineAdaptersTest, BatchRecognizerMapsEachTierAndFailsWhenNoneAnswers) {
    struct Case {
        const char* name;
        bool cloudAnswers, deviceAnswers, fallbackAnswers;
        const char* expectedTier;  // nullptr: the transcription fails
        bool serverFormatted;
    };
    const Case cases[] = {
        {"cloud answers", true, true, true, "primary", true},
        {"device answers", false, true, true, "secondary", false},
        {"fallback answers", false, false, true, "cloud", false},
        {"nobody answers", false, false, false, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto make = [](bool answers, const QString& name, bool formatted) {
            return answers ? ScriptedEngine::answering(name, name, formatted) : ScriptedEngine::failing(name);
        };
        RetryPipelineBatchRecognizer batch(
            make(c.deviceAnswers, "device", false),
            {[&](const QString&) -> std::shared_ptr<ASREngineProtocol> { return make(c.cloudAnswers, "cloud", true); },
             [&](const QString&) -> std::shared_ptr<ASREngineProtocol> {
                 return make(c.fallbackAnswers, "fallback", false);
             }});
        batch.registerTiers(settingsFor("http://127.0.0.1:9", "en-US"));
        if (!c.expectedTier) {
            EXPECT_THROW(AwaitTask::run(batch.transcribe(std::vector<float>(1600, 0.1f))), ASRError);
            continue;
        }
        const PipelineTranscription result = AwaitTask::run(batch.transcribe(std::vector<float>(1600, 0.1f)));
        EXPECT_EQ(result.tier, c.expectedTier);
        EXPECT_EQ(batch.lastTierUsed(), c.expectedTier);
        EXPECT_EQ(result.serverFormatted, c.serverFormatted);
    }
}

TEST(PipelineAdaptersTest, BatchRecognizerHandsTheContextToTheRealCloudRecognizer) {
    RetryPipelineBatchRecognizer batch(ScriptedEngine::answering("device", "x"));
    batch.registerTiers(settingsFor("http://127.0.0.1:9", "en-US"));
    const auto cloud = std::dynamic_pointer_cast<CloudASREngine>(batch.cloudRecognizer());
    ASSERT_TRUE(cloud);
    EXPECT_EQ(cloud->serverURL(), "http://127.0.0.1:9");
    EXPECT_EQ(cloud->engineName(), "Cloud (Vantrose Server)");

    const QJsonObject context{{"app", QJsonObject{{"name", "Editor"}}}};
    batch.setCloudContext(context);
    ASSERT_TRUE(cloud->context().has_value());
    EXPECT_EQ(*cloud->context(), context);
    EXPECT_FALSE(batch.lastCloudMetrics().has_value());  // no request yet
}

TEST(PipelineAdaptersTest, FallbackTierReusesTheLoadedRecognizerOfTheSameLanguage) {
    // Each loaded model costs about 90 MB; a second copy for the same language would only double it.
    const auto onDevice = std::make_shared<PocketSphinxASR>(QLocale(QLocale::English, QLocale::UnitedStates));
    const struct {
        const char* language;
        bool shared;
    } cases[] = {{"en-US", true}, {"en_US", true}, {"de-DE", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        RetryPipelineBatchRecognizer batch(onDevice);
        batch.registerTiers(settingsFor("http://127.0.0.1:9", c.language));
        const auto fallback = batch.retryEngine().engineFor(ASRTier::cloudFallback);
        ASSERT_TRUE(fallback);
        EXPECT_EQ(fallback == onDevice, c.shared);
        EXPECT_EQ(batch.retryEngine().engineFor(ASRTier::secondary), onDevice);
    }
}

TEST(PipelineAdaptersTest, StreamingLinkMapsTheTransportThroughOneSession) {
    LoopbackVendorServer http;
    ASSERT_TRUE(http.start());
    LoopbackStreamingServer server(http);
    server.setDefaultCommitReply(
        LoopbackStreamingServer::CommitReply::result("hello world", "Hello world.").withPartials({"hello"}));

    StreamingTransport::Credentials credentials;
    credentials.deviceID = [] { return QStringLiteral("device"); };
    credentials.accessToken = [] { return std::optional<QString>(); };
    TransportPipelineStreamingLink link(
        std::make_unique<StreamingTransport>(http.baseUrl(), StreamingTransport::Tuning{}, credentials));

    // Installed after construction, as the pipeline does.
    QStringList partials;
    QString raw, formatted;
    int disconnects = 0;
    link.onPartialResult = [&](const QString& text) { partials << text; };
    link.onFinalResult = [&](const QString& r, const QString& f, const QJsonObject&) {
        raw = r;
        formatted = f;
    };
    link.onDisconnect = [&] { ++disconnects; };

    EXPECT_EQ(link.state(), AbstractStreamingLink::State::disconnected);
    link.connect();
    ASSERT_TRUE(waitUntil([&] { return link.state() == AbstractStreamingLink::State::connected; }));

    link.beginNewSession();
    link.sendAudioChunk(AudioChunk(640, 0.1f));
    link.sendAudioChunk(AudioChunk(640, 0.2f));
    ASSERT_TRUE(waitUntil([&] { return server.audioFrames().size() == 2; }));
    EXPECT_EQ(link.chunksSent(), 2);
    EXPECT_EQ(link.state(), AbstractStreamingLink::State::streaming);

    link.commit(QJsonObject{}, "en");
    ASSERT_TRUE(waitUntil([&] { return !formatted.isEmpty(); }));
    EXPECT_EQ(partials, QStringList{"hello"});
    EXPECT_EQ(raw, "hello world");
    EXPECT_EQ(formatted, "Hello world.");
    const auto commits = server.framesOfType("commit");
    ASSERT_EQ(commits.size(), 1);
    EXPECT_EQ(commits[0].json().value("language").toString(), "en");
    EXPECT_FALSE(commits[0].json().contains("context"));  // an empty context sends none
    EXPECT_GE(link.commitToResultMs(), 0.0);

    // A second session with a context, lost before its result: the pipeline hears of it.
    server.setDefaultCommitReply(LoopbackStreamingServer::CommitReply::silence());
    link.beginNewSession();
    link.sendAudioChunk(AudioChunk(640, 0.1f));
    link.commit(QJsonObject{{"dictionary", QJsonArray{"Vantrose"}}}, "en");
    ASSERT_TRUE(waitUntil([&] { return server.commitCount() == 2; }));
    EXPECT_TRUE(server.framesOfType("commit")[1].json().contains("context"));
    server.abortClients();
    EXPECT_TRUE(waitUntil([&] { return disconnects == 1; }));
}

TEST(PipelineAdaptersTest, StreamingServerComesFromTheUserDefaultElseTheBuiltInOne) {
    EXPECT_EQ(streamingServerURL(), Config::defaultServerURL());
    UserDefaults::shared().setValue("cloudServerURL", QStringLiteral("http://127.0.0.1:8123"));
    EXPECT_EQ(streamingServerURL(), "http://127.0.0.1:8123");
}

#include "Core/ASR/CloudASREngine.h"
#include "Core/Cloud/NetworkSession.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"

#include "support/AwaitTask.h"
#include "support/LogText.h"
#include "support/LoopbackTranscribeEndpoint.h"
#include "support/LoopbackVendorServer.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;

class CloudASREngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(http.start());
        // The loopback server is the account's server, so the token may go to it.
        UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), http.baseUrl());
        endpoint = std::make_unique<LoopbackTranscribeEndpoint>(http);
        engine = makeEngine(http.baseUrl());
    }

    std::unique_ptr<CloudASREngine> makeEngine(const QString& base,
                                               std::chrono::milliseconds timeout = CloudASREngine::kRequestTimeout) {
        CloudASREngine::Services services;
        services.accessToken = [this]() -> QCoro::Task<std::optional<QString>> { co_return token; };
        services.deviceID = [] { return QStringLiteral("device-abc"); };
        services.session = &session;
        services.requestTimeout = timeout;
        return std::make_unique<CloudASREngine>("Cloud (Vantrose Server)", base, services);
    }

    ASRResult transcribe(std::vector<float> samples = {0.1f, 0.2f}) {
        return AwaitTask::run(engine->transcribe(std::move(samples)), 20s);
    }

    // The message of the error the call fails with; empty when it succeeds.
    QString failure(std::vector<float> samples = {0.1f}) {
        try {
            transcribe(std::move(samples));
        } catch (const ASRError& e) {
            return e.localizedDescription();
        }
        return {};
    }

    LoopbackVendorServer http;
    std::unique_ptr<LoopbackTranscribeEndpoint> endpoint;
    NetworkSession session{QStringLiteral("device-abc")};
    std::optional<QString> token = QStringLiteral("tok-1");
    std::unique_ptr<CloudASREngine> engine;
};

TEST_F(CloudASREngineTest, RequestCarriesTheWavAudioHeadersAndContext) {
    engine->setContext(QJsonObject{{"app", "Editor"}, {"words", QJsonArray{"Vantrose"}}});
    const std::vector<float> samples{1.5f, 1.0f, -1.0f, -2.0f, 0.5f};
    transcribe(samples);

    ASSERT_EQ(endpoint->uploads().size(), 1);
    const auto upload = endpoint->uploads()[0];
    EXPECT_TRUE(upload.problem.isEmpty()) << upload.problem.toStdString();
    EXPECT_EQ(upload.wav, CloudASREngine::samplesToWAV(samples, 16000));
    EXPECT_EQ(upload.samples(), (std::vector<std::int16_t>{32767, 32767, -32767, -32767, 16383}));
    EXPECT_FALSE(upload.body.value("audio").toString().contains('\n'));
    EXPECT_EQ(upload.body.value("pipeline").toArray(), (QJsonArray{"TRANSCRIBE", "FORMAT"}));
    EXPECT_EQ(upload.body.value("language").toArray(), QJsonArray{"en"});
    EXPECT_EQ(upload.body.value("context").toObject(),
              (QJsonObject{{"app", "Editor"}, {"words", QJsonArray{"Vantrose"}}}));

    const RecordedRequest req = http.requests(LoopbackTranscribeEndpoint::path())[0];
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.header("Content-Type"), "application/json");
    EXPECT_EQ(req.header("X-Device-ID"), "device-abc");
    EXPECT_EQ(req.header(StringShield::hdrAuth().toUtf8()), "Bearer tok-1");
}

TEST_F(CloudASREngineTest, WithoutContextOrTokenThoseAreLeftOut) {
    token.reset();
    transcribe({});
    ASSERT_EQ(endpoint->uploads().size(), 1);
    const auto upload = endpoint->uploads()[0];
    EXPECT_FALSE(upload.body.contains("context"));
    EXPECT_EQ(upload.wav.size(), 44);  // no samples: a bare header
    EXPECT_FALSE(http.requests(LoopbackTranscribeEndpoint::path())[0].hasHeader(StringShield::hdrAuth().toUtf8()));
}

// Transcription pointed at a server other than the account's (another port is another origin)
// goes without the account's token, and the token is not even fetched for it.
TEST_F(CloudASREngineTest, BearerTokenGoesOnlyToTheAccountServer) {
    LoopbackVendorServer other;
    ASSERT_TRUE(other.start());
    LoopbackTranscribeEndpoint otherEndpoint(other);
    int tokenRequests = 0;
    CloudASREngine::Services services;
    services.accessToken = [&]() -> QCoro::Task<std::optional<QString>> {
        ++tokenRequests;
        co_return token;
    };
    services.deviceID = [] { return QStringLiteral("device-abc"); };
    services.session = &session;
    CloudASREngine elsewhere(QStringLiteral("Cloud (elsewhere)"), other.baseUrl(), services);
    AwaitTask::run(elsewhere.transcribe({0.1f}), 20s);
    ASSERT_EQ(otherEndpoint.uploads().size(), 1);
    EXPECT_FALSE(other.requests(LoopbackTranscribeEndpoint::path())[0].hasHeader(StringShield::hdrAuth().toUtf8()));
    EXPECT_EQ(tokenRequests, 0);

    CloudASREngine account(QStringLiteral("Cloud (account)"), http.baseUrl(), services);
    AwaitTask::run(account.transcribe({0.1f}), 20s);
    EXPECT_EQ(http.requests(LoopbackTranscribeEndpoint::path())[0].header(StringShield::hdrAuth().toUtf8()),
              "Bearer tok-1");
    EXPECT_EQ(tokenRequests, 1);
}

TEST_F(CloudASREngineTest, ReplyDecidesTextAndOutcome) {
    struct Case {
        const char* name;
        QJsonObject reply;
        QString text;  // when it succeeds
        bool serverFormatted;
        QString error;  // when it fails
        bool partial = false;
    };
    const Case cases[] = {
        {"formatted text wins",
         {{"status", "OK"}, {"asr_text", "hi there"}, {"llm_text", "Hi there."}},
         "Hi there.",
         true,
         {}},
        {"raw text when not formatted",
         {{"status", "OK"}, {"asr_text", "hi there"}, {"llm_text", ""}},
         "hi there",
         false,
         {}},
        {"unknown status succeeds", {{"status", "DEGRADED"}, {"asr_text", "hi"}}, "hi", false, {}},
        {"status is case-sensitive", {{"status", "error"}, {"asr_text", "hi"}}, "hi", false, {}},
        {"empty text is passed on", {{"status", "OK"}}, "", false, {}},
        {"wrongly typed text is absent", {{"status", "OK"}, {"asr_text", "hi"}, {"llm_text", 7}}, "hi", false, {}},
        {"missing status fails",
         {{"asr_text", "hi"}},
         {},
         false,
         "Transcription failed: Cloud ASR returned: ERROR — hi"},
        {"wrongly typed status fails",
         {{"status", 1}, {"asr_text", "hi"}},
         {},
         false,
         "Transcription failed: Cloud ASR returned: ERROR — hi"},
        {"EMPTY without text", {{"status", "EMPTY"}}, {}, false, "Transcription failed: Cloud ASR returned: EMPTY — "},
        {"PARTIAL: the start of the recording only",
         {{"status", "PARTIAL"}, {"asr_text", "hi there"}, {"llm_text", "Hi there."}},
         "Hi there.",
         true,
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        endpoint->setReply(c.reply);
        if (!c.error.isEmpty()) {
            EXPECT_EQ(failure(), c.error);
            continue;
        }
        const ASRResult r = transcribe();
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.serverFormatted, c.serverFormatted);
        EXPECT_EQ(r.partial, c.partial);
        // The server's own recognition stays at hand for a user who turned AI formatting off.
        EXPECT_EQ(r.unformattedText, c.serverFormatted ? QStringLiteral("hi there") : QString());
        EXPECT_FLOAT_EQ(r.confidence, 0.9f);
        EXPECT_EQ(r.language, "en");
        EXPECT_GE(r.latencyMs, 0.0);
    }
}

TEST_F(CloudASREngineTest, MetricsComeFromTheReplyEvenWhenItFails) {
    EXPECT_FALSE(engine->lastRequestMetrics().has_value());
    endpoint->setReply({{"status", "OK"},
                        {"asr_text", "x"},
                        {"asr_time", 12.5},
                        {"llm_time", 7},
                        {"total_time", 1e6},  // longer than any loopback round trip
                        {"component_times", QJsonObject{{"commit_ack_ms", 3}}}});
    transcribe();
    ASSERT_TRUE(engine->lastRequestMetrics());
    CloudRequestMetrics m = *engine->lastRequestMetrics();
    EXPECT_EQ(m.uploadRequestMs, 0.0);
    EXPECT_EQ(m.serverProcessingTimeMs, 1e6);
    EXPECT_EQ(m.asrTimeMs, 12.5);
    EXPECT_EQ(m.llmTimeMs, 7.0);
    EXPECT_EQ(m.backendCommitAckTimeMs, std::optional<double>(3.0));
    EXPECT_GT(m.remoteLatencyMs, 0.0);
    EXPECT_GE(m.prepareRequestMs, 0.0);

    endpoint->setReply({{"status", "EMPTY"}, {"component_times", QJsonObject{{"commit_ack_ms", "3"}}}});
    EXPECT_FALSE(failure().isEmpty());
    m = *engine->lastRequestMetrics();
    EXPECT_EQ(m.serverProcessingTimeMs, 0.0);
    EXPECT_EQ(m.asrTimeMs, 0.0);
    EXPECT_FALSE(m.backendCommitAckTimeMs.has_value());
    EXPECT_NEAR(m.uploadRequestMs, m.remoteLatencyMs, 1e-9);
}

TEST_F(CloudASREngineTest, TransportAndServerFailuresAreErrors) {
    struct Case {
        const char* name;
        LoopbackReply reply;
        QString error;  // exact message, or empty when only a failure is required
    };
    const Case cases[] = {
        {"server error", LoopbackReply::text(500, "upstream down"),
         "Transcription failed: Cloud server returned 500: upstream down"},
        {"unauthorised", LoopbackReply::error(401, "bad token"),
         "Transcription failed: Cloud server returned 401: {\"detail\":\"bad token\"}"},
        {"not UTF-8", LoopbackReply::text(502, QByteArray("\xff\xfe", 2)),
         "Transcription failed: Cloud server returned 502: "},
        {"not an object", LoopbackReply::json(QJsonArray{1, 2}),
         "Transcription failed: Invalid JSON response from cloud server"},
        {"not JSON", LoopbackReply::malformedJson(), {}},
        {"dropped", LoopbackReply::drop(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Always, not once: Qt resends a request whose reused connection closed without an answer.
        http.scriptAlways("POST", LoopbackTranscribeEndpoint::path(), c.reply);
        const QString message = failure();
        http.clearScripts();
        EXPECT_FALSE(message.isEmpty());
        if (!c.error.isEmpty()) {
            EXPECT_EQ(message, c.error);
        }
    }
    EXPECT_FALSE(engine->lastRequestMetrics().has_value());  // no reply was an object
}

TEST_F(CloudASREngineTest, ServerThatNeverAnswersTimesOut) {
    engine = makeEngine(http.baseUrl(), 300ms);
    http.scriptAlways("POST", LoopbackTranscribeEndpoint::path(), LoopbackReply::hang());
    EXPECT_FALSE(failure().isEmpty());
}

// The server recognises the whole recording before it answers: a long one is waited for longer,
// both without traffic and as a whole.
TEST_F(CloudASREngineTest, TheWaitForTheReplyGrowsWithTheRecording) {
    CloudASREngine::Services services;
    services.accessToken = []() -> QCoro::Task<std::optional<QString>> { co_return std::nullopt; };
    services.deviceID = [] { return QStringLiteral("device-abc"); };
    services.session = &session;
    services.requestTimeout = std::chrono::milliseconds(300);
    services.resourceTimeout = std::chrono::milliseconds(400);
    engine = std::make_unique<CloudASREngine>("Cloud (Vantrose Server)", http.baseUrl(), services);
    http.scriptAlways("POST", LoopbackTranscribeEndpoint::path(), LoopbackReply::normal().after(1500));
    EXPECT_FALSE(failure(std::vector<float>(1600, 0.1f)).isEmpty());      // 0.1 s: 450 ms
    const ASRResult r = transcribe(std::vector<float>(3 * 16000, 0.1f));  // 3 s: 4800 ms
    EXPECT_FALSE(r.text.isEmpty());
}

TEST_F(CloudASREngineTest, InvalidServerUrlFailsBeforeSending) {
    for (const QString& base : {QStringLiteral("not a url"), QStringLiteral(""), QStringLiteral("ftp://127.0.0.1")}) {
        SCOPED_TRACE(base.toStdString());
        engine = makeEngine(base);
        EXPECT_EQ(failure(), "Transcription failed: Invalid cloud server URL");
    }
    EXPECT_EQ(http.requests().size(), 0);
}

TEST_F(CloudASREngineTest, SuccessIsLoggedWithItsTimings) {
    const ASRResult r = transcribe();
    EXPECT_EQ(r.text, "Hello world.");
    const QString log = loggedText();
    EXPECT_TRUE(log.contains("CloudASR: \"Hello world.\" — prepare:")) << log.toStdString();
    EXPECT_TRUE(log.contains("ms asr:40ms llm:30ms server:75ms e2e:"));
    EXPECT_TRUE(log.contains("ms provider:loop format:loop-fmt race:n/a"));
}

TEST_F(CloudASREngineTest, StreamingIsNotOffered) {
    EXPECT_FALSE(engine->supportsStreaming());
    EXPECT_EQ(engine->engineName(), "Cloud (Vantrose Server)");
    engine->startStreaming([](const QString&) {});
    engine->feedAudioChunk(std::vector<float>(640, 0.1f));
    const ASRResult r = AwaitTask::run(engine->stopStreaming());
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.confidence, 0.0f);
    EXPECT_EQ(r.language, "en");
    EXPECT_EQ(r.latencyMs, 0.0);
    EXPECT_FALSE(r.serverFormatted);
}

// Dictations through the program's own clients against the real local service: long recordings
// on both speech routes, dictations that follow each other closely on one stream, and a stream
// whose access token the service no longer accepts.
#include "VantroseService.h"

#include "Auth/AuthManager.h"
#include "Core/ASR/CloudASREngine.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"
#include "support/AwaitTask.h"
#include "support/ConsentBrowser.h"
#include "support/LogText.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using namespace std::chrono_literals;
using State = StreamingTransport::State;

class LocalServiceDictationTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
            UserDefaults::shared().remove(key);
        ASSERT_TRUE(startService(0));
        AuthManager::setURLOpener([this](const QUrl& url) {
            opened.append(url);
            return true;
        });
    }
    void TearDown() override {
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
        AuthManager::setURLOpener({});
    }

    // A service on `port` (0: any) over a data folder of its own, empty at first.
    bool startService(quint16 port, double accessTokenLifetimeSec = 3600) {
        service.reset();
        dataDirs.push_back(std::make_unique<QTemporaryDir>());
        ServiceOptions options;
        options.dataDir = dataDirs.back()->path();
        options.port = port;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("ada");
        options.accessTokenLifetimeSec = accessTokenLifetimeSec;
        options.speech.ollamaBase.clear();  // the rules format: the texts are the recogniser's
        service = std::make_unique<VantroseService>(options);
        if (service->listen() == 0) return false;
        UserDefaults::shared().setValue("cloudServerURL", service->baseUrl());
        return true;
    }

    // The program's sign-in through the consent page; the access token it stored.
    QString signIn() {
        AuthManager& auth = AuthManager::shared();
        auth.signInWithGoogle();
        EXPECT_FALSE(opened.isEmpty());
        if (opened.isEmpty()) return {};
        QString error;
        const QUrl callback = acceptConsent(opened.last(), &error, service->port());
        EXPECT_TRUE(callback.isValid()) << error.toStdString();
        auth.handleURL(callback);
        EXPECT_TRUE(waitUntil([&] { return auth.isAuthenticated() && !auth.isLoading(); }));
        return UserDefaults::shared().string(AuthManager::accessTokenKey);
    }

    static StreamingTransport::Credentials credentials(const QString& token) {
        return {[] { return QStringLiteral("dev-1"); }, [token]() -> std::optional<QString> { return token; }, {}};
    }

    std::unique_ptr<VantroseService> service;
    std::vector<std::unique_ptr<QTemporaryDir>> dataDirs;
    QList<QUrl> opened;
};

// Sends `samples` as the microphone's chunks; every `pace` of audio the event loop runs for
// `pause`, so the frames go out as they would while the user speaks (only faster).
void sendSpeech(StreamingTransport& transport, const std::vector<float>& samples, std::size_t chunksPerPause = 25,
                std::chrono::milliseconds pause = 250ms) {
    for (std::size_t at = 0, n = 0; at < samples.size(); at += 640, ++n) {
        transport.sendAudioChunk(
            std::vector<float>(samples.begin() + long(at), samples.begin() + long(std::min(samples.size(), at + 640))));
        if (n % chunksPerPause == chunksPerPause - 1) waitUntil([] { return false; }, pause);
    }
}

// Several minutes of speech come back whole on the batch route and on the streaming route.
TEST_F(LocalServiceDictationTest, MinutesOfSpeechComeBackWholeOnBothRoutes) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    const QString access = signIn();
    QString transcript;
    const std::vector<float> speech = SpeechFixture::longSpeech(180, &transcript);
    ASSERT_FALSE(speech.empty());
    const auto lastWords = [](const QString& text) { return text.section(' ', -12); };

    CloudASREngine::Services services;
    services.accessToken = [access]() -> QCoro::Task<std::optional<QString>> { co_return access; };
    services.deviceID = [] { return QStringLiteral("dev-1"); };
    CloudASREngine cloud(QStringLiteral("Cloud"), service->baseUrl(), services);
    cloud.setContext(QJsonObject{});
    const ASRResult batch = AwaitTask::run(cloud.transcribe(speech), 240s);
    EXPECT_FALSE(batch.partial);
    EXPECT_LT(SpeechFixture::wordErrorRate(transcript, batch.text), 0.3) << batch.text.toStdString();
    EXPECT_LT(SpeechFixture::wordErrorRate(lastWords(transcript), lastWords(batch.text)), 0.5)
        << batch.text.right(200).toStdString();

    // The audio reaches the service much faster than it was spoken, so the commit waits for the
    // recogniser to catch up.
    StreamingTransport::Tuning tuning;
    tuning.commitResultTimeoutSec = 240;
    StreamingTransport transport(service->baseUrl(), tuning, credentials(access));
    QString raw;
    bool done = false;
    transport.onFinalResult = [&](const QString& r, const QString&, const QJsonObject&) {
        raw = r;
        done = true;
    };
    transport.connect();
    ASSERT_TRUE(waitUntil([&] { return transport.state() == State::connected; }));
    transport.beginNewSession();
    sendSpeech(transport, speech, 250, 20ms);
    transport.commit(QJsonObject{}, QStringLiteral("en"));
    ASSERT_TRUE(waitUntil([&] { return done; }, 240s));
    EXPECT_LT(SpeechFixture::wordErrorRate(transcript, raw), 0.3) << raw.toStdString();
    EXPECT_LT(SpeechFixture::wordErrorRate(lastWords(transcript), lastWords(raw)), 0.5) << raw.right(200).toStdString();
    transport.disconnect();
}

// The next dictation begins 0 to 400 ms after the last one's commit, often before its answer:
// each commit gets one answer, so the new dictation always gets its own result (a dictation
// given up gets none), at once and on the same connection.
TEST_F(LocalServiceDictationTest, BackToBackDictationsEachGetTheirOwnResult) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    const QString access = signIn();
    const QStringList lines = SpeechFixture::sentences();
    StreamingTransport transport(service->baseUrl(), StreamingTransport::Tuning{}, credentials(access));
    QStringList results;
    QStringList errors;
    int disconnects = 0;
    transport.onFinalResult = [&](const QString& raw, const QString&, const QJsonObject&) { results << raw; };
    transport.onError = [&](const QString& message) { errors << message; };
    transport.onDisconnect = [&] { ++disconnects; };
    transport.connect();
    ASSERT_TRUE(waitUntil([&] { return transport.state() == State::connected; }));

    const auto dictate = [&](const QString& line) {
        transport.beginNewSession();
        sendSpeech(transport, SpeechFixture::speak(line));
        transport.commit(QJsonObject{}, QStringLiteral("en"));
    };
    // The service's recogniser loads its model at its first dictation (seconds under the
    // sanitizers on a busy machine, longer than the transport waits for a result): warm it first.
    for (int attempt = 0; attempt < 3 && results.isEmpty(); ++attempt) {
        ASSERT_TRUE(waitUntil([&] { return transport.state() == State::connected; }, 30s));
        dictate(lines.first());
        waitUntil([&] { return !results.isEmpty() || transport.state() != State::connected; }, 60s);
    }
    ASSERT_FALSE(results.isEmpty()) << errors.join(" | ").toStdString();
    ASSERT_TRUE(waitUntil([&] { return transport.state() == State::connected; }, 30s));
    errors.clear();
    disconnects = 0;
    int round = 0;
    for (const int gapMs : {0, 50, 150, 400}) {
        SCOPED_TRACE(gapMs);
        const QString first = lines[round % lines.size()];
        const QString second = lines[(round + 1) % lines.size()];
        ++round;
        results.clear();
        dictate(first);
        if (gapMs > 0) waitUntil([] { return false; }, std::chrono::milliseconds(gapMs));
        const qsizetype answeredBefore = results.size();  // the first one's result, if it came in time
        dictate(second);
        ASSERT_TRUE(waitUntil([&] { return results.size() == answeredBefore + 1; }, 15s))
            << "no result for the second dictation; errors: " << errors.join(" | ").toStdString();
        EXPECT_LT(SpeechFixture::wordErrorRate(second, results.last()), 0.3) << results.last().toStdString();
        if (answeredBefore == 1) {
            EXPECT_LT(SpeechFixture::wordErrorRate(first, results.first()), 0.3) << results.first().toStdString();
        }
        EXPECT_EQ(disconnects, 0);
        EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
        EXPECT_EQ(transport.state(), State::connected);
    }
    EXPECT_TRUE(waitUntil([&] { return service->speech().openStreams() == 1; }));
    transport.disconnect();
}

// The service no longer takes the program's access token. The stream does not reconnect in a
// loop: the token is refreshed once; when the service refuses that too (the session was revoked,
// or the service's data was reset), the account signs out, which brings the sign-in back.
TEST_F(LocalServiceDictationTest, RefusedTokenIsRefreshedOnceOrTheAccountSignsOut) {
    enum class Fault { expired, revoked, dataReset };
    const struct {
        const char* name;
        Fault fault;
        bool staysSignedIn;
    } table[] = {
        {"access token expired", Fault::expired, true},
        {"session revoked", Fault::revoked, false},
        {"service data reset", Fault::dataReset, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(startService(0, row.fault == Fault::expired ? 2 : 3600));
        const QString access = signIn();
        ASSERT_FALSE(access.isEmpty());
        const QByteArray bearer = "Bearer " + access.toLatin1();
        switch (row.fault) {
        case Fault::expired: ASSERT_TRUE(waitUntil([&] { return !service->accountForBearer(bearer); })); break;
        case Fault::revoked:
            ASSERT_EQ(
                httpRequest("POST", QUrl(service->baseUrl() + "/auth/logout"), {}, {{"Authorization", bearer}}).status,
                200);
            break;
        case Fault::dataReset: ASSERT_TRUE(startService(service->port())); break;
        }

        const qsizetype mark = logMark();
        StreamingTransport transport(service->baseUrl());  // the account's own token, as the program has it
        int disconnects = 0;
        transport.onDisconnect = [&] { ++disconnects; };
        transport.connect();
        if (row.staysSignedIn) {
            ASSERT_TRUE(waitUntil([&] {
                return transport.state() == State::connected &&
                       UserDefaults::shared().string(AuthManager::accessTokenKey) != access;
            }));
            EXPECT_TRUE(AuthManager::shared().isAuthenticated());
        } else {
            ASSERT_TRUE(waitUntil([] { return !AuthManager::shared().isAuthenticated(); }));
            EXPECT_TRUE(UserDefaults::shared().string(AuthManager::accessTokenKey).isEmpty());
        }
        // Nothing is left scheduled: a while later there has been no second attempt.
        waitUntil([] { return false; }, 1500ms);
        const QString log = loggedTextSince(mark);
        EXPECT_EQ(log.count("StreamingTransport: Disconnected (code: 4001)"), 1) << log.toStdString();
        EXPECT_FALSE(log.contains("Reconnect attempt")) << log.toStdString();
        EXPECT_FALSE(transport.isReconnecting());
        EXPECT_EQ(transport.state(), row.staysSignedIn ? State::connected : State::disconnected);
        EXPECT_EQ(disconnects, 0);  // no dictation was under way
        transport.disconnect();
        AuthManager::shared().logout();
    }
}

}  // namespace

// The program's own client classes against the real local service (not the scripted stand-in).
#include "VantroseService.h"

#include "Auth/AuthManager.h"
#include "Core/ASR/CloudASREngine.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Core/Formatting/CloudLLMFormatter.h"
#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "Models/AppClassification.h"
#include "Models/VantroseSettings.h"
#include "Models/VoiceStyle.h"
#include "support/AwaitTask.h"
#include "support/ConsentBrowser.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

HttpResult http(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
    return httpRequest(method, url, body, headers);
}

QByteArray bearer(const QString& token) { return "Bearer " + token.toLatin1(); }

class LocalServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dataDir.isValid());
        ServiceOptions options;
        options.dataDir = dataDir.path();
        options.port = 0;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("ada");
        options.displayName = QStringLiteral("Ada Lovelace");
        options.speech.streamIdleTimeoutMs = streamIdleTimeoutMs;
        service = std::make_unique<VantroseService>(options);
        ASSERT_NE(service->listen(), 0);
        UserDefaults::shared().setValue("cloudServerURL", service->baseUrl());
        AuthManager::setURLOpener([this](const QUrl& url) {
            opened.append(url);
            return true;
        });
    }
    void TearDown() override {
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
        AuthManager::setURLOpener({});
    }

    QUrl url(const QString& path) const { return QUrl(service->baseUrl() + path); }

    // What the browser does with the authorisation URL the program opened: loads the consent page
    // (the build's address points at the default port; the test's service has its own), accepts it,
    // follows the service's redirect, and gives the program's callback URL.
    QUrl consentInBrowser(const QUrl& authorization) {
        QString error;
        QByteArray page;
        const QUrl callback = acceptConsent(authorization, &error, service->port(), &page);
        EXPECT_TRUE(callback.isValid()) << error.toStdString();
        EXPECT_TRUE(page.contains("Sign in to Vantrose on this computer"));
        EXPECT_TRUE(page.contains("ada"));
        return callback;
    }

    // A whole sign-in of the shared account manager; the access and refresh tokens it stored.
    std::pair<QString, QString> signIn() {
        AuthManager& auth = AuthManager::shared();
        auth.signInWithGoogle();
        EXPECT_FALSE(opened.isEmpty());
        const QUrl callback = consentInBrowser(opened.last());
        EXPECT_EQ(callback.scheme(), Config::urlScheme());
        auth.handleURL(callback);
        EXPECT_TRUE(waitUntil([&] { return auth.isAuthenticated() && !auth.isLoading(); }));
        return {UserDefaults::shared().string(AuthManager::accessTokenKey),
                UserDefaults::shared().string(AuthManager::refreshTokenKey)};
    }

    int streamIdleTimeoutMs = 120000;
    QTemporaryDir dataDir;
    std::unique_ptr<VantroseService> service;
    QList<QUrl> opened;
};

TEST_F(LocalServiceTest, SignsInThroughTheConsentPageAndSpendsTheCodeOnce) {
    const auto [access, refresh] = signIn();
    ASSERT_FALSE(access.isEmpty());
    ASSERT_TRUE(AuthManager::shared().currentUser().has_value());
    EXPECT_EQ(AuthManager::shared().currentUser()->name, "Ada Lovelace");
    EXPECT_TRUE(AuthManager::shared().currentUser()->email.startsWith("ada@"));
    EXPECT_TRUE(service->accountForBearer(bearer(access)).has_value());
    // The client reads the expiry from the token.
    const QByteArray payload =
        QByteArray::fromBase64(access.section('.', 1, 1).toLatin1(), QByteArray::Base64UrlEncoding);
    EXPECT_GT(QJsonDocument::fromJson(payload).object().value("exp").toDouble(), QDateTime::currentSecsSinceEpoch());

    // A code replayed from the callback is refused.
    AuthManager::shared().signInWithGoogle();
    const QUrl callback = consentInBrowser(opened.last());
    const QByteArray verifierless = QJsonDocument(QJsonObject{{"code", QUrlQuery(callback).queryItemValue("code")},
                                                              {"code_verifier", QString(43, 'a')}})
                                        .toJson();
    EXPECT_EQ(http("POST", url(StringShield::pathAuthToken()), verifierless).status, 400);  // wrong verifier
    AuthManager::shared().handleURL(callback);  // the right verifier, but the code is spent
    EXPECT_TRUE(waitUntil([] { return !AuthManager::shared().isLoading(); }));
    EXPECT_EQ(AuthManager::shared().errorMessage(), "Invalid or expired authorization code");
}

TEST_F(LocalServiceTest, RefreshRotatesAndSignOutRevokes) {
    const auto [access, refresh] = signIn();
    const HttpResult rotated =
        http("POST", url("/auth/refresh"), QJsonDocument(QJsonObject{{"refresh_token", refresh}}).toJson());
    ASSERT_EQ(rotated.status, 200);
    const QString newAccess = rotated.json()["tokens"].toObject()["access_token"].toString();
    const QString newRefresh = rotated.json()["tokens"].toObject()["refresh_token"].toString();
    EXPECT_NE(newRefresh, refresh);
    // The old access token stops working, the new one works. (The old refresh token, presented
    // again, would end the whole session.)
    EXPECT_EQ(http("GET", url("/settings"), {}, {{"Authorization", bearer(access)}}).status, 401);
    EXPECT_EQ(http("GET", url("/settings"), {}, {{"Authorization", bearer(newAccess)}}).status, 200);

    // The program's own sign-out revokes what it holds.
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, newAccess);
    UserDefaults::shared().setValue(AuthManager::refreshTokenKey, newRefresh);
    AuthManager::shared().logout();
    EXPECT_TRUE(waitUntil([&] { return !service->accountForBearer(bearer(newAccess)); }));
    for (const QString& token : {refresh, newRefresh}) {
        EXPECT_EQ(
            http("POST", url("/auth/refresh"), QJsonDocument(QJsonObject{{"refresh_token", token}}).toJson()).status,
            401);
    }
}

TEST_F(LocalServiceTest, KeepsSettingsPerAccountAndStoresAnalytics) {
    const auto [access, refresh] = signIn();
    const auto auth = QList<QPair<QByteArray, QByteArray>>{{"Authorization", bearer(access)}};
    EXPECT_EQ(http("GET", url("/settings"), {}, auth).json().value("settings"), QJsonValue(QJsonValue::Null));
    const QJsonObject settings{{"writingStyle", "formal"}, {"customWords", QJsonArray{"Vantrose"}}};
    EXPECT_EQ(http("PUT", url("/settings"), QJsonDocument(QJsonObject{{"settings", settings}}).toJson(), auth).status,
              200);
    EXPECT_EQ(http("GET", url("/settings"), {}, auth).json().value("settings").toObject(), settings);

    const QJsonObject event{
        {"event", "dictation_completed"}, {"device_id", "dev-1"}, {"timestamp", "2026-12-10T10:00:00Z"}};
    const HttpResult stored =
        http("POST", url(StringShield::pathEvents()),
             QJsonDocument(QJsonObject{{"events", QJsonArray{event, event}}}).toJson(), {{"X-Device-ID", "dev-1"}});
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(service->store().eventCount(), 2);
}

TEST_F(LocalServiceTest, TranscribesAndFormatsThroughTheProgramsClients) {
    const auto [access, refresh] = signIn();
    const QString sentence = SpeechFixture::sentences().at(0);
    const std::vector<float> speech = SpeechFixture::speak(sentence);

    // Batch: the cloud recogniser's request, recognised and formatted on the service.
    CloudASREngine::Services services;
    services.accessToken = [token = access]() -> QCoro::Task<std::optional<QString>> { co_return token; };
    services.deviceID = [] { return QStringLiteral("dev-1"); };
    CloudASREngine cloud(QStringLiteral("Cloud"), service->baseUrl(), services);
    const ASRResult batch = AwaitTask::run(cloud.transcribe(speech));
    EXPECT_TRUE(batch.serverFormatted);
    EXPECT_LT(SpeechFixture::wordErrorRate(sentence, batch.text), 0.3) << batch.text.toStdString();
    EXPECT_TRUE(batch.text.at(0).isUpper()) << batch.text.toStdString();

    // Streaming: partials while the audio arrives, the result after the commit.
    StreamingTransport::Credentials credentials{[] { return QStringLiteral("dev-1"); },
                                                [token = access]() -> std::optional<QString> { return token; }};
    StreamingTransport transport(service->baseUrl(), StreamingTransport::Tuning{}, credentials);
    QStringList partials;
    QString raw, formatted;
    bool done = false;
    transport.onPartialResult = [&](const QString& text) { partials << text; };
    transport.onFinalResult = [&](const QString& r, const QString& f, const QJsonObject&) {
        raw = r;
        formatted = f;
        done = true;
    };
    transport.connect();
    ASSERT_TRUE(waitUntil([&] { return transport.state() == StreamingTransport::State::connected; }));
    transport.beginNewSession();
    for (size_t at = 0; at < speech.size(); at += 640) {
        transport.sendAudioChunk(
            std::vector<float>(speech.begin() + at, speech.begin() + std::min(speech.size(), at + 640)));
        if (at % (640 * 25) == 0) waitUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(waitUntil([&] { return !partials.isEmpty(); }));
    transport.commit(
        QJsonObject{{"app", QJsonObject{{"name", "Notes"}, {"bundleId", "org.example.notes"}, {"type", "general"}}}},
        QStringLiteral("en"));
    ASSERT_TRUE(waitUntil([&] { return done; }, std::chrono::seconds(20)));
    EXPECT_LT(SpeechFixture::wordErrorRate(sentence, raw), 0.3) << raw.toStdString();
    EXPECT_TRUE(formatted.endsWith('.')) << formatted.toStdString();
    transport.disconnect();

    // The cloud formatter: available, and a formatted text.
    CloudLLMFormatter formatter(service->baseUrl());
    EXPECT_TRUE(AwaitTask::run(formatter.isAvailable()));
    const AppContext app(QStringLiteral("Notes"), QStringLiteral("org.example.notes"), std::nullopt, {}, {}, {}, true,
                         {});
    const FormattingResult result =
        AwaitTask::run(formatter.format(QStringLiteral("hello there how are you"), app, VantroseSettings{}));
    EXPECT_TRUE(result.text.startsWith("Hello")) << result.text.toStdString();
}

// The voice style the account chose for an application, synced to the service, shapes the
// service's formatting of a dictation into that application: the same words, two styles, two texts.
TEST_F(LocalServiceTest, FormatsInTheVoiceStyleTheAccountChoseForTheApplication) {
    const auto [access, refresh] = signIn();
    const auto auth = QList<QPair<QByteArray, QByteArray>>{{"Authorization", bearer(access)}};
    const QString chat = QStringLiteral("org.example.chat");
    const auto chooseStyle = [&](VoiceStyle style) {
        VantroseSettings settings;
        settings.appInstructions = {AppInstruction{QStringLiteral("org.example.mail"), QStringLiteral("Mail"),
                                                   VoiceStyles::instruction(VoiceStyle::notes)},
                                    AppInstruction{chat, QStringLiteral("Chat"), VoiceStyles::instruction(style)}};
        const QByteArray body = QJsonDocument(QJsonObject{{"settings", settings.toJson()}}).toJson();
        ASSERT_EQ(http("PUT", url("/settings"), body, auth).status, 200);
    };

    CloudLLMFormatter formatter(service->baseUrl());
    const AppContext app(QStringLiteral("Chat"), chat, std::nullopt, QStringLiteral("ok see you there"), {}, {}, true,
                         {});
    const struct {
        VoiceStyle style;
        const char* raw;
        const char* expected;
    } cases[] = {
        {VoiceStyle::casual, "sounds good see you on friday", "sounds good see you on Friday"},
        {VoiceStyle::professional, "sounds good see you on friday", "Sounds good see you on Friday."},
        {VoiceStyle::notes, "sounds good period see you on friday", "Sounds good.\nsee you on Friday."},
        {VoiceStyle::natural, "can you send the report", "Can you send the report?"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(rawValue(row.style).toStdString());
        ASSERT_NO_FATAL_FAILURE(chooseStyle(row.style));
        const FormattingResult result =
            AwaitTask::run(formatter.format(QString::fromUtf8(row.raw), app, VantroseSettings{}));
        EXPECT_EQ(result.text, QString::fromUtf8(row.expected));
    }
}

TEST_F(LocalServiceTest, RefusesBadInputWithAClearErrorAndKeepsServing) {
    const auto [access, refresh] = signIn();
    const QByteArray good = bearer(access);
    const QByteArray forged = bearer(access.section('.', 0, 1) + "." + QString(43, 'A'));
    const QByteArray expired = "Bearer eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.eyJleHAiOjF9.x";
    const QByteArray tooLong = QByteArray(28 * 1024 * 1024, 'A');  // more than ten minutes of audio can take
    struct Case {
        const char* name;
        QByteArray method;
        QString path;
        QByteArray body;
        QByteArray authorization;
        int status;
    };
    const Case cases[] = {
        {"unknown route", "GET", "/nowhere", {}, {}, 404},
        {"malformed JSON", "POST", StringShield::pathAuthToken(), "{not json", {}, 400},
        {"mistyped code", "POST", StringShield::pathAuthToken(), R"({"code":1,"code_verifier":"x"})", {}, 400},
        {"unknown code", "POST", StringShield::pathAuthToken(), R"({"code":"nope","code_verifier":"x"})", {}, 400},
        {"refresh without token", "POST", "/auth/refresh", "{}", {}, 400},
        {"unknown refresh token", "POST", "/auth/refresh", R"({"refresh_token":"nope"})", {}, 401},
        {"sign-out without bearer", "POST", "/auth/logout", {}, {}, 401},
        {"settings without bearer", "GET", "/settings", {}, {}, 401},
        {"settings with forged bearer", "GET", "/settings", {}, forged, 401},
        {"settings with expired bearer", "GET", "/settings", {}, expired, 401},
        {"settings not an object", "PUT", "/settings", R"({"settings":[1]})", good, 422},
        {"events not an array", "POST", StringShield::pathEvents(), R"({"events":{}})", {}, 422},
        {"transcribe without bearer", "POST", StringShield::pathTranscribe(), R"({"audio":""})", {}, 401},
        {"transcribe not Base64", "POST", StringShield::pathTranscribe(), R"({"audio":"***"})", good, 422},
        {"transcribe not WAV", "POST", StringShield::pathTranscribe(), R"({"audio":"aGVsbG8="})", good, 422},
        {"transcribe over ten minutes", "POST", StringShield::pathTranscribe(), tooLong, good, 413},
        {"format without text", "POST", StringShield::pathFormat(), R"({"context":{}})", good, 422},
        {"format without bearer", "POST", StringShield::pathFormat(), R"({"text":"hi"})", {}, 401},
    };
    for (const Case& c : cases) {
        QList<QPair<QByteArray, QByteArray>> headers{{"X-Device-ID", "dev-1"}};
        if (!c.authorization.isEmpty()) headers.append({"Authorization", c.authorization});
        const HttpResult r = http(c.method, url(c.path), c.body, headers);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(r.json().value("detail").isString()) << c.name << ": " << r.body.left(200).toStdString();
    }
    // The consent page refuses a foreign client and a foreign return address.
    QUrl page = url("/oauth/authorize");
    page.setQuery("client_id=other&response_type=code");
    EXPECT_EQ(http("GET", page).status, 400);
    // Still serving.
    EXPECT_EQ(http("GET", url(StringShield::pathHealth())).status, 200);
}

// A raw WebSocket client: whatever it is told to send, and what comes back.
struct RawStream {
    QWebSocket socket;
    QList<QJsonObject> messages;
    int closeCode = -1;

    explicit RawStream(const QString& base, const QByteArray& authorization) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& text) { messages << QJsonDocument::fromJson(text.toUtf8()).object(); });
        QObject::connect(&socket, &QWebSocket::disconnected, [this] { closeCode = socket.closeCode(); });
        QUrl url(base + StringShield::pathWSTranscribe());
        url.setScheme("ws");
        QNetworkRequest request(url);
        if (!authorization.isEmpty()) request.setRawHeader("Authorization", authorization);
        socket.open(request);
    }
    bool open() {
        return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    bool closed() {
        return waitUntil([this] { return closeCode >= 0; });
    }
    // A result may wait for a recogniser to load its model first: slow under the sanitizers on a
    // busy machine.
    bool received(const QString& type, std::chrono::milliseconds within = std::chrono::seconds(30)) {
        return waitUntil(
            [&] {
                return std::any_of(messages.begin(), messages.end(),
                                   [&](const QJsonObject& m) { return m.value("type") == type; });
            },
            within);
    }
    void sendAudio(const std::vector<float>& samples) {
        QByteArray pcm;
        for (float v : samples) {
            const auto s16 = static_cast<qint16>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
            pcm.append(char(s16 & 0xff)).append(char((s16 >> 8) & 0xff));
        }
        for (qsizetype at = 0; at < pcm.size(); at += 1280) socket.sendBinaryMessage(pcm.mid(at, 1280));
        socket.flush();
    }
};

class LocalServiceStreamTest : public LocalServiceTest {
protected:
    void SetUp() override {
        streamIdleTimeoutMs = 1500;
        LocalServiceTest::SetUp();
    }
};

TEST_F(LocalServiceStreamTest, AMisbehavingStreamGetsAClearAnswerAndLeavesNoRecogniserBehind) {
    const auto [access, refresh] = signIn();
    const QByteArray good = bearer(access);
    const std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().at(0));

    // Refused at the door: no bearer.
    RawStream anonymous(service->baseUrl(), {});
    ASSERT_TRUE(anonymous.closed());
    EXPECT_EQ(anonymous.closeCode, 4001);

    // Garbage is answered with a non-fatal error, and the stream keeps working.
    RawStream garbage(service->baseUrl(), good);
    ASSERT_TRUE(garbage.open());
    garbage.socket.sendTextMessage("not json");
    garbage.socket.sendBinaryMessage(QByteArray(3, '\x01'));  // half a sample
    garbage.socket.sendTextMessage(R"({"type":"dance"})");
    garbage.socket.sendTextMessage(R"({"type":"ping"})");
    ASSERT_TRUE(garbage.received("pong"));
    int errors = 0;
    for (const QJsonObject& m : garbage.messages)
        if (m.value("type") == "error") {
            ++errors;
            EXPECT_FALSE(m.value("is_fatal").toBool());
        }
    EXPECT_EQ(errors, 3);

    // One that never commits is closed once it has been idle a while.
    EXPECT_TRUE(garbage.closed());

    // Closing in the middle of a dictation, and right after the commit while the recogniser is
    // still finishing, more times than there are recognisers: each one comes back once its
    // stream is stopped.
    for (int round = 0; round < 12; ++round) {
        RawStream stream(service->baseUrl(), good);
        ASSERT_TRUE(stream.open()) << round;
        stream.sendAudio(std::vector<float>(speech.begin(), speech.begin() + long(speech.size() / 2)));
        if (round % 2) stream.socket.sendTextMessage(R"({"type":"commit","context":{}})");
        stream.socket.flush();
        stream.socket.abort();
        // The recogniser comes back once its stop has run: the first one loads its model first.
        ASSERT_TRUE(
            waitUntil([&] { return service->speech().openStreams() == 0 && service->speech().enginesInUse() == 0; },
                      std::chrono::seconds(30)))
            << round;
    }

    // A whole dictation still gets its result.
    RawStream stream(service->baseUrl(), good);
    ASSERT_TRUE(stream.open());
    stream.sendAudio(speech);
    stream.socket.sendTextMessage(R"({"type":"commit","context":{}})");
    ASSERT_TRUE(stream.received("result"));
    for (const QJsonObject& m : stream.messages) {
        if (m.value("type") == "result") {
            EXPECT_LT(SpeechFixture::wordErrorRate(SpeechFixture::sentences().at(0), m.value("asr_text").toString()),
                      0.3);
        }
    }
    EXPECT_EQ(http("GET", url(StringShield::pathHealth())).status, 200);
}

}  // namespace

// What the local service holds on to for its clients, and for how long: analytics within their
// quota, sign-in sessions that end when a refresh token turns up twice, recognisers held only by
// streams that send audio, and decoders given back when idle.
#include "VantroseService.h"

#include "Core/Cloud/WavEncoding.h"
#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "support/ConsentBrowser.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Headers = QList<QPair<QByteArray, QByteArray>>;

QByteArray bearer(const QString& token) { return "Bearer " + token.toLatin1(); }

QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonObject eventsBody(int count) {
    QJsonArray events;
    for (int i = 0; i < count; ++i)
        events.append(
            QJsonObject{{"event", "dictation_completed"}, {"device_id", "dev"}, {"timestamp", "2026-12-10T10:00:00Z"}});
    return QJsonObject{{"events", events}};
}

// Quiet noise: audio the recogniser takes without finding words in it.
QByteArray noisePcm(double seconds) {
    std::vector<float> samples(static_cast<size_t>(seconds * 16000));
    unsigned state = 12345;
    for (float& s : samples) {
        state = state * 1103515245u + 12345u;
        s = (float((state >> 16) & 0x7fff) / 32768.0f - 0.5f) * 0.02f;
    }
    return WavEncoding::int16Data(samples);
}

struct Tokens {
    QString access;
    QString refresh;
};

// A raw streaming client: what it is told to send, what comes back, how it was closed.
struct StreamClient {
    QWebSocket socket;
    QList<QJsonObject> messages;
    int closeCode = -1;
    QTimer pinger;

    StreamClient(const QString& base, const QByteArray& authorization) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& text) { messages << QJsonDocument::fromJson(text.toUtf8()).object(); });
        QObject::connect(&socket, &QWebSocket::disconnected, [this] { closeCode = socket.closeCode(); });
        QObject::connect(&pinger, &QTimer::timeout, [this] { socket.sendTextMessage(R"({"type":"ping"})"); });
        QUrl url(base + StringShield::pathWSTranscribe());
        url.setScheme("ws");
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", authorization);
        socket.open(request);
    }
    bool open() {
        return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState || closeCode >= 0; }) &&
               closeCode < 0;
    }
    bool closed(std::chrono::milliseconds within = 5s) {
        return waitUntil([this] { return closeCode >= 0; }, within);
    }
    bool received(const char* type, std::chrono::milliseconds within = 20s) {
        return waitUntil(
            [&] {
                return std::any_of(messages.begin(), messages.end(),
                                   [&](const QJsonObject& m) { return m.value("type") == QLatin1String(type); });
            },
            within);
    }
    void send(const QByteArray& pcm) {
        for (qsizetype at = 0; at < pcm.size(); at += 1280) socket.sendBinaryMessage(pcm.mid(at, 1280));
    }
    void sendText(const char* text) { socket.sendTextMessage(QString::fromLatin1(text)); }
};

class ServiceLimitsTest : public ::testing::Test {
protected:
    void start(SpeechServiceOptions speech = {}) {
        ASSERT_TRUE(dataDir.isValid());
        ServiceOptions options;
        options.dataDir = dataDir.path();
        options.port = 0;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("ada");
        speech.ollamaBase.clear();
        options.speech = speech;
        service = std::make_unique<VantroseService>(options);
        ASSERT_NE(service->listen(), 0);
    }

    QUrl url(const QString& path) const { return QUrl(service->baseUrl() + path); }

    // The program's sign-in, done by hand: a PKCE challenge, the consent page, the code exchange.
    Tokens signIn() {
        const QString verifier = QStringLiteral("verifier-%1").arg(++signIns).leftJustified(43, 'v');
        QUrl authorize = url(QUrl(StringShield::googleAuthBase()).path());
        if (authorize.path().isEmpty()) authorize.setPath("/oauth/authorize");
        QUrlQuery query;
        query.addQueryItem("client_id", Config::googleClientID());
        query.addQueryItem("redirect_uri", service->baseUrl() + StringShield::pathAuthCallback());
        query.addQueryItem("response_type", "code");
        query.addQueryItem(
            "code_challenge",
            QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
        query.addQueryItem("code_challenge_method", "S256");
        authorize.setQuery(query);
        QString error;
        const QUrl callback = acceptConsent(authorize, &error, service->port());
        EXPECT_TRUE(callback.isValid()) << error.toStdString();
        const HttpResult exchanged =
            httpRequest("POST", url(StringShield::pathAuthToken()),
                        json({{"code", QUrlQuery(callback).queryItemValue("code")}, {"code_verifier", verifier}}));
        EXPECT_EQ(exchanged.status, 200) << exchanged.body.toStdString();
        const QJsonObject tokens = exchanged.json().value("tokens").toObject();
        return {tokens.value("access_token").toString(), tokens.value("refresh_token").toString()};
    }

    HttpResult postEvents(const QByteArray& device, int count, const QString& access = {}) {
        Headers headers{{"X-Device-ID", device}};
        if (!access.isEmpty()) headers.append({"Authorization", bearer(access)});
        return httpRequest("POST", url(StringShield::pathEvents()), json(eventsBody(count)), headers);
    }

    HttpResult refresh(const QString& token) {
        return httpRequest("POST", url("/auth/refresh"), json({{"refresh_token", token}}));
    }

    // A stream refused at the door: every recogniser is taken. (The service closes it with 1013,
    // "try again later"; Qt's client reports that code as a protocol error.)
    void expectRefused(const QByteArray& authorization) {
        const int open = service->speech().openStreams();
        StreamClient refused(service->baseUrl(), authorization);
        ASSERT_TRUE(refused.closed());
        EXPECT_NE(refused.closeCode, 1000);
        EXPECT_NE(refused.closeCode, 1001);
        EXPECT_EQ(service->speech().openStreams(), open);
    }

    // Every stream closed and every recogniser back, with no count below zero on the way.
    bool allRecognisersBack() {
        int lowest = 0;
        const bool back = waitUntil(
            [&] {
                lowest = std::min(lowest, service->speech().enginesInUse());
                return service->speech().openStreams() == 0 && service->speech().enginesInUse() == 0;
            },
            20s);
        EXPECT_GE(lowest, 0);
        return back && lowest == 0 && service->speech().engines().consistent();
    }

    QTemporaryDir dataDir;
    std::unique_ptr<VantroseService> service;
    int signIns = 0;
};

TEST_F(ServiceLimitsTest, AnalyticsOverTheirQuotaAreRefusedClearly) {
    start();
    service->store().setEventLimits({std::chrono::days(30), 5, qint64{1} << 30, 8, qint64{1} << 30});
    struct Post {
        QByteArray device;
        int events;
        int status;
        QString detail;
    };
    const Post posts[] = {
        {"dev-1", 3, 200, {}},
        {"dev-1", 3, 429, "analytics quota of this device is full"},
        {"dev-2", 5, 200, {}},
        {"dev-3", 1, 429, "analytics storage is full"},
    };
    for (const Post& post : posts) {
        const HttpResult reply = postEvents(post.device, post.events);
        EXPECT_EQ(reply.status, post.status) << post.device.toStdString() << " " << post.events;
        if (!post.detail.isEmpty()) {
            EXPECT_EQ(reply.json().value("detail").toString(), post.detail);
        }
    }
    EXPECT_EQ(service->store().eventCount(), 8);
}

TEST_F(ServiceLimitsTest, SigningOutTakesTheSessionsEventsAlong) {
    start();
    const Tokens tokens = signIn();
    ASSERT_EQ(postEvents("dev-1", 2, tokens.access).status, 200);
    ASSERT_EQ(postEvents("dev-1", 3).status, 200);  // anonymous: not the session's
    ASSERT_EQ(service->store().eventCount(), 5);
    ASSERT_EQ(httpRequest("POST", url("/auth/logout"), {}, {{"Authorization", bearer(tokens.access)}}).status, 200);
    EXPECT_EQ(service->store().eventCount(), 3);
}

TEST_F(ServiceLimitsTest, ARotatedRefreshTokenPresentedAgainEndsTheSession) {
    start();
    const Tokens first = signIn();
    const Tokens other = signIn();  // another sign-in of the same account lives on
    const HttpResult rotated = refresh(first.refresh);
    ASSERT_EQ(rotated.status, 200);
    const QString access = rotated.json()["tokens"].toObject()["access_token"].toString();
    const QString next = rotated.json()["tokens"].toObject()["refresh_token"].toString();
    ASSERT_EQ(postEvents("dev-1", 2, access).status, 200);
    const Headers withAccess{{"Authorization", bearer(access)}};
    ASSERT_EQ(httpRequest("GET", url("/settings"), {}, withAccess).status, 200);

    // Someone copied the first refresh token: it comes back after its rotation.
    const HttpResult reused = refresh(first.refresh);
    EXPECT_EQ(reused.status, 401);
    EXPECT_TRUE(reused.json().value("detail").isString());
    EXPECT_EQ(httpRequest("GET", url("/settings"), {}, withAccess).status, 401);
    EXPECT_EQ(refresh(next).status, 401);
    EXPECT_EQ(service->store().eventCount(), 0);

    EXPECT_EQ(httpRequest("GET", url("/settings"), {}, {{"Authorization", bearer(other.access)}}).status, 200);
    EXPECT_EQ(refresh(other.refresh).status, 200);
}

TEST_F(ServiceLimitsTest, SilenceOrAToneInABatchIsAnEmptyResult) {
    start();
    const Tokens tokens = signIn();
    std::vector<float> tone(32000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * float(std::sin(2 * M_PI * 440.0 * double(i) / 16000.0));
    struct Case {
        const char* name;
        std::vector<float> samples;
    };
    const Case cases[] = {{"silence", std::vector<float>(32000, 0.0f)}, {"a 440 Hz tone", tone}};
    for (const Case& c : cases) {
        const QByteArray body = json({{"audio", QString::fromLatin1(WavEncoding::wav(c.samples).toBase64())},
                                      {"pipeline", QJsonArray{"TRANSCRIBE", "FORMAT"}},
                                      {"language", QJsonArray{"en"}}});
        const HttpResult reply = httpRequest("POST", url(StringShield::pathTranscribe()), body,
                                             {{"Authorization", bearer(tokens.access)}, {"X-Device-ID", "dev-1"}});
        EXPECT_EQ(reply.status, 200) << c.name;
        EXPECT_EQ(reply.json().value("status").toString(), "EMPTY") << c.name << ": " << reply.body.toStdString();
        EXPECT_EQ(reply.json().value("asr_text").toString(), "") << c.name;
    }
    EXPECT_TRUE(allRecognisersBack());
}

TEST_F(ServiceLimitsTest, OnlyAudioKeepsAStreamAndItsRecogniser) {
    SpeechServiceOptions speech;
    speech.maxEngines = 2;
    speech.streamIdleTimeout = std::chrono::milliseconds(1500);
    start(speech);
    const QByteArray authorization = bearer(signIn().access);

    // Two clients that only ping take every recogniser for a while...
    std::vector<std::unique_ptr<StreamClient>> pinging;
    for (int i = 0; i < 2; ++i) {
        pinging.push_back(std::make_unique<StreamClient>(service->baseUrl(), authorization));
        ASSERT_TRUE(pinging.back()->open());
        pinging.back()->pinger.start(200);
    }
    expectRefused(authorization);

    // ...but are closed as idle all the same, as going away: the program connects afresh.
    for (auto& client : pinging) {
        ASSERT_TRUE(client->closed(10s));
        EXPECT_EQ(client->closeCode, 1001);
        EXPECT_TRUE(client->received("pong", 0ms));
    }
    EXPECT_TRUE(allRecognisersBack());

    // A client that sends audio stays past the idle time.
    StreamClient talking(service->baseUrl(), authorization);
    ASSERT_TRUE(talking.open());
    QTimer speaking;
    QObject::connect(&speaking, &QTimer::timeout, [&] { talking.send(noisePcm(0.2)); });
    speaking.start(200);
    EXPECT_FALSE(talking.closed(3s));
    speaking.stop();
    EXPECT_TRUE(talking.closed(10s));
    EXPECT_TRUE(allRecognisersBack());
}

// Closing while stops of earlier utterances are still running on the recogniser gave it back
// once per stop: the pool's count went below zero and one recogniser served two streams.
TEST_F(ServiceLimitsTest, ARecogniserGoesBackOnceHoweverTheStreamEnds) {
    SpeechServiceOptions speech;
    speech.maxEngines = 2;
    start(speech);
    const QByteArray authorization = bearer(signIn().access);
    // a: audio, n: new_session, m: commit, c: close, x: the connection dropped
    for (const char* steps : {"ananc", "ananx", "amanc", "nnc", "aamx", "c"}) {
        SCOPED_TRACE(steps);
        {
            StreamClient client(service->baseUrl(), authorization);
            ASSERT_TRUE(client.open());
            for (const char* step = steps; *step; ++step) {
                switch (*step) {
                case 'a': client.send(noisePcm(3.0)); break;  // long enough that its stop is still queued at the close
                case 'n': client.sendText(R"({"type":"new_session"})"); break;
                case 'm': client.sendText(R"({"type":"commit","context":{}})"); break;
                case 'c': client.socket.close(); break;
                case 'x':
                    client.socket.flush();
                    client.socket.abort();
                    break;
                }
            }
            ASSERT_TRUE(allRecognisersBack());
        }
        // The cap still holds: as many streams as recognisers, and no more.
        std::vector<std::unique_ptr<StreamClient>> full;
        for (int i = 0; i < 2; ++i) {
            full.push_back(std::make_unique<StreamClient>(service->baseUrl(), authorization));
            ASSERT_TRUE(full.back()->open()) << i;
        }
        expectRefused(authorization);
        EXPECT_EQ(service->speech().enginesInUse(), 2);
        EXPECT_TRUE(service->speech().engines().consistent());
        full.clear();
        ASSERT_TRUE(allRecognisersBack());
    }
}

TEST_F(ServiceLimitsTest, RecognisersLetTheirDecodersGoWhenIdle) {
    const std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().at(0));
    if (speech.empty()) GTEST_SKIP() << "flite and sox are needed";
    SpeechServiceOptions options;
    options.releaseDecoderAfter = 300ms;
    start(options);
    const Tokens tokens = signIn();

    // A whole dictation on a stream that then stays open, as the program's does.
    StreamClient client(service->baseUrl(), bearer(tokens.access));
    ASSERT_TRUE(client.open());
    client.send(WavEncoding::int16Data(speech));
    client.sendText(R"({"type":"commit","context":{}})");
    ASSERT_TRUE(client.received("result"));
    const auto result = std::find_if(client.messages.begin(), client.messages.end(),
                                     [](const QJsonObject& m) { return m.value("type") == "result"; });
    EXPECT_FALSE(result->value("asr_text").toString().isEmpty());  // the decoder was loaded and heard it

    EXPECT_TRUE(waitUntil([&] { return service->speech().engines().loadedDecoders() == 0; }, 10s));
    EXPECT_EQ(service->speech().openStreams(), 1);

    // The next dictation loads it again.
    client.messages.clear();
    client.sendText(R"({"type":"new_session"})");
    client.send(WavEncoding::int16Data(speech));
    client.sendText(R"({"type":"commit","context":{}})");
    ASSERT_TRUE(client.received("result"));
    const auto again = std::find_if(client.messages.begin(), client.messages.end(),
                                    [](const QJsonObject& m) { return m.value("type") == "result"; });
    EXPECT_FALSE(again->value("asr_text").toString().isEmpty());
}

}  // namespace

// The service's streaming route: a real stream session of the service's speech side, on its real
// recogniser, fed text control messages and binary audio in any order by one or two clients.
// The input is cut at 0x1F into steps; a step's first byte says what it is:
//   0x01 <bytes>  the bytes as one binary frame (odd lengths included)
//   0x02 <n>      n % 32 chunks of 640 samples of quiet noise (at most ten seconds an input)
//   0x03          the other client from here on (connecting it when it is not connected)
//   0x04          the current client closes normally      0x05  its connection drops
//   0x06          wait until the service has answered a ping of the current client
//   anything else the step as one text message
// Properties: no crash; the recogniser pool's counts stay consistent after every step (in use
// never below zero nor above the cap, one holder per recogniser, no holder's recogniser idle);
// once the clients are gone every recogniser comes back; memory stays bounded (the pool keeps
// no more than its idle cap, libFuzzer's RSS limit does the rest).
#include "FuzzSupport.h"

#include "SpeechService.h"

#include "Foundation/StringShield.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <array>
#include <functional>
#include <memory>

namespace {

constexpr int kMaxEngines = 2;
constexpr int kChunkSamples = 640;
constexpr int kMaxNoiseSamples = 16000 * 10;

bool waitUntil(const std::function<bool()>& done, int timeoutMs, const std::function<void()>& eachTurn = {}) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (eachTurn) eachTurn();
    }
    return true;
}

struct Harness {
    Harness() {
        SpeechServiceOptions options;
        options.ollamaBase.clear();
        options.maxEngines = kMaxEngines;
        options.maxIdleEngines = kMaxEngines;   // both stay loaded between inputs
        options.maxAudioSamples = 16000LL * 2;  // two seconds: the too-long close is reachable
        options.releaseDecoderAfter = std::chrono::minutes(10);
        speech = std::make_unique<SpeechService>(
            [](const QByteArray&) { return std::optional<QString>(QStringLiteral("fuzz-account")); }, options);
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            while (server.hasPendingConnections())
                speech->acceptWebSocket(std::unique_ptr<QWebSocket>(server.nextPendingConnection()));
        });
    }

    void checkPool(const char* when) const {
        const EnginePool& pool = speech->engines();
        Fuzz::check(pool.consistent() && pool.inUse() >= 0 && pool.inUse() <= kMaxEngines && pool.idle() <= kMaxEngines,
                    "the recogniser pool's counts stay consistent",
                    QStringLiteral("%1: in use %2, idle %3").arg(when).arg(pool.inUse()).arg(pool.idle()));
    }

    std::unique_ptr<SpeechService> speech;
    QWebSocketServer server{QStringLiteral("fuzz"), QWebSocketServer::NonSecureMode};
};

struct Client {
    QWebSocket socket;
    QByteArray pongs;
    bool closed = false;

    explicit Client(quint16 port) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            if (text.contains(QLatin1String("pong"))) pongs += 'p';
        });
        QObject::connect(&socket, &QWebSocket::disconnected, [this] { closed = true; });
        QNetworkRequest request(
            QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(port).arg(StringShield::pathWSTranscribe())));
        request.setRawHeader("Authorization", "Bearer fuzz");
        socket.open(request);
    }
    bool usable() const { return !closed && socket.state() == QAbstractSocket::ConnectedState; }
};

QByteArray noise(qsizetype samples, quint32& seed) {
    QByteArray pcm(samples * 2, '\0');
    for (qsizetype i = 0; i < samples; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const auto value = static_cast<qint16>(static_cast<int>(seed >> 16) % 600 - 300);
        pcm[2 * i] = static_cast<char>(value & 0xff);
        pcm[2 * i + 1] = static_cast<char>((value >> 8) & 0xff);
    }
    return pcm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    static Harness harness;
    const quint16 port = harness.server.serverPort();
    std::array<std::unique_ptr<Client>, 2> clients;
    int current = 0;
    int noiseSent = 0;
    quint32 seed = 1;

    // The current client, connected first when it is not (a refused one stays closed).
    auto client = [&]() -> Client& {
        if (!clients[current] || clients[current]->closed) {
            clients[current] = std::make_unique<Client>(port);
            Client& fresh = *clients[current];
            waitUntil([&] { return fresh.usable() || fresh.closed; }, 5000);
        }
        return *clients[current];
    };

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& step : input.split('\x1F')) {
        const char kind = step.isEmpty() ? '\0' : step.at(0);
        switch (kind) {
        case '\x01':
            if (client().usable()) client().socket.sendBinaryMessage(step.mid(1));
            break;
        case '\x02': {
            const int samples = std::min((step.size() > 1 ? static_cast<quint8>(step.at(1)) % 32 : 1) * kChunkSamples,
                                         kMaxNoiseSamples - noiseSent);
            noiseSent += samples;
            if (samples > 0 && client().usable()) client().socket.sendBinaryMessage(noise(samples, seed));
            break;
        }
        case '\x03': current = 1 - current; break;
        case '\x04':
            if (clients[current] && clients[current]->usable()) clients[current]->socket.close();
            break;
        case '\x05':
            if (clients[current]) clients[current]->socket.abort();
            break;
        case '\x06':
            if (Client& c = client(); c.usable()) {
                const auto before = c.pongs.size();
                c.socket.sendTextMessage(QStringLiteral(R"({"type":"ping"})"));
                waitUntil([&] { return c.pongs.size() > before || c.closed; }, 5000,
                          [] { harness.checkPool("waiting for a pong"); });
            }
            break;
        default:
            if (client().usable()) client().socket.sendTextMessage(QString::fromUtf8(step));
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        harness.checkPool("after a step");
    }

    for (auto& c : clients)
        if (c && c->usable()) c->socket.close();
    const bool back =
        waitUntil([] { return harness.speech->openStreams() == 0 && harness.speech->enginesInUse() == 0; }, 20'000,
                  [] { harness.checkPool("while the clients go"); });
    Fuzz::check(back, "every recogniser comes back once its streams are gone",
                QStringLiteral("open streams %1, recognisers in use %2")
                    .arg(harness.speech->openStreams())
                    .arg(harness.speech->enginesInUse()));
    clients = {};
    QCoreApplication::processEvents();
    return 0;
}

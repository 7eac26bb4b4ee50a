// Server messages of the streaming road, in every state of a committed session: the loopback
// streaming server sends the input's messages (split at 0x1F; a piece starting with 0x01 goes
// as a binary frame) after a commit it does not answer. A session ends with at most one final
// result, and the transport stays usable for the next dictation.
#include "FuzzSupport.h"

#include "Core/Cloud/StreamingTransport.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace {

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Road {
    Road() {
        http.start();
        server = std::make_unique<LoopbackStreamingServer>(http);
        server->setDefaultCommitReply(LoopbackStreamingServer::CommitReply::silence());
        StreamingTransport::Tuning tuning;
        tuning.initialReconnectDelay = std::chrono::milliseconds(10);
        tuning.maxReconnectDelay = std::chrono::milliseconds(50);
        tuning.maxReconnectAttempts = 50;
        tuning.commitResultTimeout = std::chrono::seconds(30);
        StreamingTransport::Credentials credentials;
        credentials.deviceID = [] { return QStringLiteral("fuzz-device"); };
        credentials.accessToken = [] { return std::optional<QString>(); };
        transport = std::make_unique<StreamingTransport>(http.baseUrl(), tuning, credentials);
        transport->onPartialResult = [this](const QString& text) { lastPartial = text; };
        transport->onFinalResult = [this](const QString&, const QString&, const QJsonObject&) { ++finals; };
        transport->onError = [](const QString&) {};
        transport->onDisconnect = [] {};
    }

    LoopbackVendorServer http;
    std::unique_ptr<LoopbackStreamingServer> server;
    std::unique_ptr<StreamingTransport> transport;
    QString lastPartial;
    int finals = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    static Road road;
    static int round = 0;
    StreamingTransport& transport = *road.transport;
    using State = StreamingTransport::State;

    transport.connect();
    Fuzz::check(waitUntil([&] { return transport.state() == State::connected; }, 20'000),
                "the transport connects for the next dictation", rawValue(transport.state()));
    road.server->clearFrames();
    road.finals = 0;
    transport.beginNewSession();
    transport.sendAudioChunk(std::vector<float>(640, 0.1f));
    transport.commit(std::nullopt, QStringLiteral("en"));
    if (!waitUntil([&] { return road.server->commitCount() == 1; })) return 0;

    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& piece : text.split(QChar(0x1F))) {
        if (piece.startsWith(QChar(0x01)))
            road.server->sendBinary(piece.mid(1).toUtf8());
        else
            road.server->sendText(piece);
    }
    // A partial marks the end of the input's messages (when the connection is still up).
    const QString sentinel = QStringLiteral("sentinel-%1").arg(++round);
    road.server->sendJson({{"type", "partial"}, {"text", sentinel}});
    waitUntil(
        [&] {
            return road.lastPartial == sentinel || transport.state() == State::disconnected ||
                   transport.isReconnecting();
        },
        2000);
    Fuzz::check(road.finals <= 1, "one commit gives at most one final result", text);
    transport.resetSession();
    return 0;
}

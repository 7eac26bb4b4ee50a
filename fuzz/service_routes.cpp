// Raw bytes into the real local service, its connection guard and every route, on one loopback
// connection. In the input, "@HOST@" becomes the service's own address and port and "@TOKEN@" a
// live access token, so requests get past the Host check and the bearer. The service must never
// answer 5xx, must end every connection within its deadlines (nothing left open, however the
// request is cut), and must hold nothing for it afterwards.
#include "FuzzSupport.h"

#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "RouteLimits.h"
#include "VantroseService.h"
#include "support/ConsentBrowser.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <chrono>
#include <memory>

namespace {

using namespace std::chrono_literals;

struct Service {
    QTemporaryDir dataDir;
    std::unique_ptr<VantroseService> service;
    QByteArray host;
    QByteArray token;
};

// An access token, the way a browser and the program sign in.
QByteArray signIn(const VantroseService& service) {
    const QString verifier = QString(48, QLatin1Char('f'));
    QUrlQuery query;
    query.addQueryItem("client_id", Config::googleClientID());
    query.addQueryItem("redirect_uri", service.baseUrl() + StringShield::pathAuthCallback());
    query.addQueryItem("response_type", "code");
    query.addQueryItem("code_challenge_method", "S256");
    query.addQueryItem(
        "code_challenge",
        QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
    QUrl page(service.baseUrl() + RouteLimits::authorizePath());
    page.setQuery(query);
    const QUrl callback = acceptConsent(page, nullptr);
    const HttpResult tokens = httpRequest(
        "POST", QUrl(service.baseUrl() + StringShield::pathAuthToken()),
        QJsonDocument(QJsonObject{{"code", QUrlQuery(callback).queryItemValue("code")}, {"code_verifier", verifier}})
            .toJson());
    return tokens.json().value("tokens").toObject().value("access_token").toString().toLatin1();
}

Service& service() {
    static Service* instance = [] {
        auto* s = new Service;
        ServiceOptions options;
        options.dataDir = s->dataDir.path();
        options.port = 0;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("fuzz");
        options.speech.ollamaBase.clear();
        options.speech.streamIdleTimeout = std::chrono::milliseconds(200);
        options.connections.headerDeadline = 150ms;
        options.connections.bodyIdleDeadline = 150ms;
        options.connections.idleDeadline = 150ms;
        options.connections.lingerDeadline = 150ms;
        options.log = [](const QString&) {};
        s->service = std::make_unique<VantroseService>(options);
        Fuzz::check(s->service->listen() != 0, "the service listens");
        s->host = "127.0.0.1:" + QByteArray::number(s->service->port());
        s->token = signIn(*s->service);
        Fuzz::check(!s->token.isEmpty(), "the fuzz account signs in");
        return s;
    }();
    return *instance;
}

// The status of each reply in what the connection received, up to a switch to WebSocket.
QList<int> statuses(const QByteArray& received) {
    QList<int> out;
    qsizetype at = 0;
    while (received.mid(at, 5) == "HTTP/") {
        const qsizetype end = received.indexOf("\r\n\r\n", at);
        if (end < 0) break;
        const QByteArray head = received.mid(at, end - at);
        const int status = head.mid(9, 3).toInt();
        out << status;
        if (status == 101) break;
        qint64 length = 0;
        for (const QByteArray& line : head.split('\n'))
            if (line.toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
        at = end + 4 + length;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    Service& s = service();
    QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    input.replace("@HOST@", s.host).replace("@TOKEN@", s.token);

    QTcpSocket client;
    client.connectToHost(QHostAddress(QHostAddress::LocalHost), s.service->port());
    Fuzz::check(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5s),
                "the service takes a connection");
    client.write(input);
    QByteArray received;
    const bool ended = waitUntil(
        [&] {
            received += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        },
        6s);
    received += client.readAll();
    Fuzz::check(ended, "the service ends every connection", QString::fromLatin1(received.left(2000)));

    for (const int status : statuses(received))
        Fuzz::check(status >= 100 && status < 500, "no reply is a server error",
                    QStringLiteral("status %1\n").arg(status) + QString::fromLatin1(received.left(2000)));
    Fuzz::check(waitUntil([&] { return s.service->connections()->openConnections() == 0; }, 2s),
                "nothing is held for a connection once it ended");
    return 0;
}

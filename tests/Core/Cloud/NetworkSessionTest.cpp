#include "Core/Cloud/NetworkSession.h"

#include "Core/Services/Analytics.h"
#include "Foundation/StringShield.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

namespace {

// A base URL on which nothing listens.
QString unreachableBase() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

class NetworkSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        logStart = logMark();
        ASSERT_TRUE(server.start());
    }
    // The log lines of this case, not of the cases before it in the same process.
    QString loggedText() const { return loggedTextSince(logStart); }
    qsizetype logStart = 0;
    void TearDown() override {
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
    }

    LoopbackVendorServer server;
    NetworkSession session{"device-123"};
};

TEST_F(NetworkSessionTest, WarmupOpensAConnectionThatPingReuses) {
    session.warmup(server.baseUrl());
    EXPECT_EQ(session.serverURL(), server.baseUrl());
    ASSERT_TRUE(waitUntil([&] { return session.isWarmed(); }));
    const std::optional<double> rtt = QCoro::waitFor(session.ping(server.baseUrl()));
    ASSERT_TRUE(rtt.has_value());
    EXPECT_GE(*rtt, 0.0);

    const auto requests = server.requests(StringShield::pathHealth());
    ASSERT_EQ(requests.size(), 2);
    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.header(StringShield::hdrDeviceID().toUtf8()), "device-123");
        EXPECT_EQ(r.header(StringShield::hdrConnection().toUtf8()).toLower(), "keep-alive");
        EXPECT_FALSE(r.hasHeader("Cookie"));
    }
    EXPECT_EQ(requests[0].connectionId, requests[1].connectionId);

    const QString log = loggedText();
    const QRegularExpression line("NetworkSession: Connection pre-warmed to " +
                                  QRegularExpression::escape(server.baseUrl()) + R"( \[\d+ms\])");
    EXPECT_TRUE(line.match(log).hasMatch()) << log.toStdString();
}

TEST_F(NetworkSessionTest, WarmupFailuresAreOnlyLogged) {
    server.scriptNext("GET", StringShield::pathHealth(), LoopbackReply::html(503));
    session.warmup(server.baseUrl());
    ASSERT_TRUE(waitUntil([&] { return loggedText().contains("NetworkSession: Warmup failed — unknown"); }));
    EXPECT_FALSE(session.isWarmed());

    NetworkSession other("device-123");
    other.warmup(unreachableBase());
    ASSERT_TRUE(waitUntil([&] { return loggedText().contains("NetworkSession: Warmup failed — Connection refused"); }));
    EXPECT_FALSE(other.isWarmed());
}

TEST_F(NetworkSessionTest, WarmupWithAnUnusableBaseSendsNothing) {
    for (const QString base : {"not a url", "", "ftp://127.0.0.1", "127.0.0.1:8787"}) {
        session.warmup(base);
        EXPECT_EQ(session.serverURL(), base);
        EXPECT_EQ(QCoro::waitFor(session.ping(base)), std::nullopt);
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_FALSE(loggedText().contains("NetworkSession:"));
}

TEST_F(NetworkSessionTest, PingIsSilentForHttpErrorsAndLogsTransportFailures) {
    server.scriptNext("GET", StringShield::pathHealth(), LoopbackReply::error(404, "Not Found"));
    EXPECT_EQ(QCoro::waitFor(session.ping(server.baseUrl())), std::nullopt);
    EXPECT_FALSE(loggedText().contains("NetworkSession: Ping failed"));
    EXPECT_FALSE(session.isWarmed()) << "ping leaves the warm-up state alone";
    EXPECT_TRUE(session.serverURL().isEmpty());

    EXPECT_EQ(QCoro::waitFor(session.ping(unreachableBase())), std::nullopt);
    EXPECT_TRUE(loggedText().contains("NetworkSession: Ping failed — Connection refused"));
}

TEST_F(NetworkSessionTest, SharedSessionSendsTheAnalyticsDeviceID) {
    const QString id = Analytics::shared().deviceID();
    ASSERT_FALSE(id.isEmpty());
    NetworkSession::shared().warmup(server.baseUrl());
    ASSERT_TRUE(waitUntil([&] { return server.requestCount(StringShield::pathHealth()) == 1; }));
    EXPECT_EQ(server.requests().first().header(StringShield::hdrDeviceID().toUtf8()), id.toUtf8());
}

// Answers every request with `body`, announced by a Content-Length header or delimited by the
// connection's close, so the client cannot know the size in advance.
class RawReplyServer {
public:
    RawReplyServer(QByteArray body, bool announceLength) : m_body(std::move(body)), m_announce(announceLength) {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n") || m_answered) return;
                    m_answered = true;
                    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n";
                    if (m_announce) head += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
                    socket->write(head + "\r\n");
                    socket->write(m_body);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/reply").arg(m_server.serverPort()); }

private:
    QTcpServer m_server;
    QByteArray m_body;
    bool m_announce;
    QByteArray m_request;
    bool m_answered = false;
};

TEST(NetworkSessionReplyCapTest, TakesABodyUpToTheCapAndDropsALargerOne) {
    struct Case {
        const char* name;
        qint64 size;
        bool announceLength;
        bool accepted;
    };
    const Case cases[] = {
        {"at the cap, announced", NetworkSession::kMaxReplyBytes, true, true},
        {"at the cap, unannounced", NetworkSession::kMaxReplyBytes, false, true},
        {"one byte over, announced", NetworkSession::kMaxReplyBytes + 1, true, false},
        {"one byte over, unannounced", NetworkSession::kMaxReplyBytes + 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawReplyServer server(QByteArray(c.size, 'a'), c.announceLength);
        const HttpResponse response = QCoro::waitFor(NetworkSession::perform(NetworkSession::platformSession(),
                                                                             QNetworkRequest(QUrl(server.url())), "GET",
                                                                             {}, std::chrono::seconds(30)));
        EXPECT_EQ(response.received, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(response.status, 200);
            EXPECT_EQ(response.body.size(), c.size);
        } else {
            EXPECT_TRUE(response.body.isEmpty());
            EXPECT_EQ(response.errorString.toStdString(), "The reply is larger than 8388608 bytes.");
        }
    }
    EXPECT_TRUE(loggedText().contains("NetworkSession: Dropped a reply larger than 8388608 bytes"));
    EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
}

TEST(NetworkSessionURLTest, JoinsBaseAndPathByConcatenation) {
    struct Case {
        QString base;
        QString path;
        std::optional<QString> url;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8787", "/health", QString("http://127.0.0.1:8787/health")},
        {"https://api.example.com/prefix", "/v1/events", QString("https://api.example.com/prefix/v1/events")},
        {"https://api.example.com/", "/health", QString("https://api.example.com//health")},
        {"not a url", "/health", std::nullopt},
        {"", "/health", std::nullopt},
        {"file:///tmp", "/health", std::nullopt},
        {"http://", "/health", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto url = NetworkSession::joinURL(c.base, c.path);
        EXPECT_EQ(url ? std::optional<QString>(url->toString()) : std::nullopt, c.url) << c.base.toStdString();
    }
}

}  // namespace

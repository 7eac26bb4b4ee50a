#include "Core/NetworkSession.h"

#include "Core/Analytics.h"
#include "Core/StringShield.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QRegularExpression>
#include <QTcpServer>

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

#include "Core/Services/Analytics.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Foundation/Clock.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSize>
#include <QSysInfo>
#include <QTcpServer>
#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

class AnalyticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        UserDefaults::shared().setValue("vantrose_cloud_server_url", server.baseUrl());
        UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
        Clock::setCurrent(&clock);
        analytics = std::make_unique<Analytics>();
    }
    void TearDown() override {
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
        analytics.reset();
        Clock::setCurrent(nullptr);
    }

    void trackNumbered(int from, int to) {
        for (int i = from; i < to; ++i) analytics->track("e" + QString::number(i));
    }

    QStringList uploadedNames() const {
        QStringList names;
        for (const QJsonObject& e : server.receivedEvents()) names << e.value("event").toString();
        return names;
    }

    static QStringList numbered(int from, int to) {
        QStringList names;
        for (int i = from; i < to; ++i) names << "e" + QString::number(i);
        return names;
    }

    QStringList queuedNames() const {
        QStringList names;
        for (const AnalyticsEvent& e : analytics->queuedEvents()) names << e.event;
        return names;
    }

    ManualClock clock;
    LoopbackVendorServer server;
    std::unique_ptr<Analytics> analytics;
};

TEST_F(AnalyticsTest, DeviceIdentifierLastsUntilTheDefaultsAreCleared) {
    const QString id = analytics->deviceID();
    EXPECT_FALSE(QUuid::fromString(id).isNull());
    EXPECT_EQ(UserDefaults::shared().string("vantrose_device_id"), id);
    EXPECT_EQ(Analytics().deviceID(), id);
    EXPECT_TRUE(loggedText().contains("Analytics: device_id=" + id));

    UserDefaults::shared().remove("vantrose_device_id");
    const QString fresh = Analytics().deviceID();
    EXPECT_NE(fresh, id);
    EXPECT_EQ(UserDefaults::shared().string("vantrose_device_id"), fresh);
}

TEST_F(AnalyticsTest, ServerBaseFallsBackToTheBuiltInOne) {
    EXPECT_EQ(analytics->serverURL(), server.baseUrl());
    UserDefaults::shared().remove("vantrose_cloud_server_url");
    EXPECT_EQ(Analytics().serverURL(), StringShield::apiBase());
}

TEST_F(AnalyticsTest, TwentiethEventUploadsTheBatchInOrder) {
    trackNumbered(0, 19);
    QCoreApplication::processEvents();
    EXPECT_EQ(server.requestCount(StringShield::pathEvents()), 0);
    EXPECT_EQ(analytics->queuedEvents().size(), 19);

    analytics->track("e19", {{"answer", 42}});
    ASSERT_TRUE(waitUntil([&] { return server.receivedEvents().size() == 20; }));
    EXPECT_EQ(uploadedNames(), numbered(0, 20));
    EXPECT_TRUE(analytics->queuedEvents().isEmpty());

    const auto uploads = server.requests(StringShield::pathEvents());
    ASSERT_EQ(uploads.size(), 1);
    const RecordedRequest& upload = uploads.first();
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.header(StringShield::hdrContentType().toUtf8()), StringShield::mimeJSON().toUtf8());
    EXPECT_EQ(upload.header(StringShield::hdrDeviceID().toUtf8()), analytics->deviceID().toUtf8());
    EXPECT_FALSE(upload.hasHeader(StringShield::hdrAuth().toUtf8())) << "nobody is signed in";
    EXPECT_EQ(upload.json().keys(), QStringList{"events"});

    const QJsonObject first = server.receivedEvents().first();
    EXPECT_EQ(first.keys(), QStringList({"device_id", "event", "timestamp"})) << "no empty properties member";
    EXPECT_EQ(first.value("device_id").toString(), analytics->deviceID());
    EXPECT_EQ(first.value("timestamp").toString(), "2027-01-15T08:00:00Z");
    EXPECT_EQ(server.receivedEvents().last().value("properties").toObject(), (QJsonObject{{"answer", 42}}));
    ASSERT_TRUE(waitUntil([&] { return loggedText().contains("Analytics: flushed 20 events"); }));
}

TEST_F(AnalyticsTest, FailedBatchGoesBackToTheFrontOfTheQueue) {
    server.scriptAlways("POST", StringShield::pathEvents(), LoopbackReply::html(503));
    trackNumbered(0, 20);
    ASSERT_TRUE(waitUntil([&] { return analytics->uploadsInFlight() == 0 && analytics->queuedEvents().size() == 20; }));
    EXPECT_EQ(queuedNames(), numbered(0, 20));

    // The next event makes 21 and sends them all, the returned ones first.
    server.clearScripts();
    analytics->track("e20");
    ASSERT_TRUE(waitUntil([&] { return server.receivedEvents().size() == 21; }));
    EXPECT_EQ(uploadedNames(), numbered(0, 21));
    EXPECT_EQ(server.receivedEventBatches().size(), 1);
}

TEST_F(AnalyticsTest, EventsQueuedDuringAFailedUploadStayBehindIt) {
    server.scriptNext("POST", StringShield::pathEvents(), LoopbackReply::error(500, "down").after(150));
    trackNumbered(0, 20);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount(StringShield::pathEvents()) == 1; }));
    trackNumbered(20, 25);
    ASSERT_TRUE(waitUntil([&] { return analytics->uploadsInFlight() == 0; }));
    EXPECT_EQ(queuedNames(), numbered(0, 25));
}

TEST_F(AnalyticsTest, AnySuccessStatusAcceptsTheBatch) {
    for (int status : {200, 201, 202, 204}) {
        server.clearRequests();
        server.scriptNext("POST", StringShield::pathEvents(), LoopbackReply::empty(status));
        analytics->track("one");
        analytics->flush();
        ASSERT_TRUE(waitUntil([&] { return analytics->uploadsInFlight() == 0; })) << status;
        EXPECT_EQ(server.requestCount(StringShield::pathEvents()), 1) << status;
        EXPECT_TRUE(analytics->queuedEvents().isEmpty()) << status;
    }
}

TEST_F(AnalyticsTest, TransportFailuresKeepTheEvents) {
    struct Case {
        const char* name;
        LoopbackReply reply;
    };
    const Case cases[] = {
        {"dropped connection", LoopbackReply::drop()},
        {"rejected", LoopbackReply::error(401, "no")},
        {"redirect", LoopbackReply::empty(304)},
    };
    for (const Case& c : cases) {
        server.scriptAlways("POST", StringShield::pathEvents(), c.reply);
        analytics->track(c.name);
        analytics->flush();
        ASSERT_TRUE(waitUntil([&] { return analytics->uploadsInFlight() == 0; })) << c.name;
        EXPECT_EQ(queuedNames().last(), c.name) << c.name;
    }
    EXPECT_EQ(analytics->queuedEvents().size(), 3);
}

TEST_F(AnalyticsTest, EventsThatCannotBeEncodedAreDroppedWithALogLine) {
    struct Case {
        const char* name;
        QVariant value;
    };
    const Case cases[] = {
        {"nan", std::nan("")},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"nested infinity", QVariantList{1, QVariantMap{{"x", -std::numeric_limits<double>::infinity()}}}},
        {"not JSON", QVariant::fromValue(QSize(1, 2))},
        {"invalid", QVariant()},
    };
    for (const Case& c : cases) analytics->track(c.name, {{"ok", "fine"}, {"bad", c.value}});
    analytics->track("good", {{"list", QStringList{"a", "b"}}, {"map", QVariantMap{{"n", 1.5}}}, {"flag", true}});
    EXPECT_EQ(queuedNames(), QStringList{"good"});
    const QString log = loggedText();
    for (const Case& c : cases)
        EXPECT_TRUE(
            log.contains(QStringLiteral("Analytics: dropped event %1 — property bad is not a JSON value").arg(c.name)))
            << c.name;
    EXPECT_EQ(analytics->queuedEvents().first().properties,
              (QJsonObject{{"list", QJsonArray{"a", "b"}}, {"map", QJsonObject{{"n", 1.5}}}, {"flag", true}}));
}

TEST_F(AnalyticsTest, QueueIsCappedDroppingTheOldest) {
    // No usable server: every upload fails at once and returns its events.
    UserDefaults::shared().setValue("vantrose_cloud_server_url", "not a url");
    Analytics offline;
    for (int i = 0; i < Analytics::kMaxQueuedEvents + 5; ++i) offline.track("e" + QString::number(i));
    ASSERT_TRUE(waitUntil([&] { return offline.uploadsInFlight() == 0; }));
    const auto queued = offline.queuedEvents();
    ASSERT_EQ(queued.size(), Analytics::kMaxQueuedEvents);
    EXPECT_EQ(queued.first().event, "e5");
    EXPECT_EQ(queued.last().event, "e" + QString::number(Analytics::kMaxQueuedEvents + 4));
    const QString log = loggedText();
    EXPECT_EQ(log.count("Analytics: queue full — dropped 1 oldest events"), 5);
}

TEST_F(AnalyticsTest, BearerTokenGoesOnlyToTheAccountServer) {
    const auto pair = server.issueTokens();
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, pair.accessToken);
    analytics->track("signed-in");
    analytics->flush();
    ASSERT_TRUE(waitUntil([&] { return server.receivedEvents().size() == 1; }));
    EXPECT_EQ(server.requests(StringShield::pathEvents()).last().header("Authorization"),
              "Bearer " + pair.accessToken.toUtf8());

    // Analytics pointed at another origin than the account server gets no token.
    LoopbackVendorServer other;
    ASSERT_TRUE(other.start());
    UserDefaults::shared().setValue("vantrose_cloud_server_url", other.baseUrl());
    Analytics elsewhere;
    elsewhere.track("elsewhere");
    elsewhere.flush();
    ASSERT_TRUE(waitUntil([&] { return other.receivedEvents().size() == 1; }));
    EXPECT_FALSE(other.requests().last().hasHeader("Authorization"));
}

TEST_F(AnalyticsTest, CompletedDictationCarriesItsTenProperties) {
    analytics->trackDictationCompleted("Editor", "org.example.editor", 2.5, 7, "streaming", "rules", 120.5, 3.25, 40,
                                       180.75);
    const auto queued = analytics->queuedEvents();
    ASSERT_EQ(queued.size(), 1);
    EXPECT_EQ(queued.first().event, "dictation_completed");
    EXPECT_EQ(queued.first().properties, (QJsonObject{{"app_name", "Editor"},
                                                      {"bundle_id", "org.example.editor"},
                                                      {"duration_s", 2.5},
                                                      {"word_count", 7},
                                                      {"asr_tier", "streaming"},
                                                      {"formatter", "rules"},
                                                      {"asr_ms", 120.5},
                                                      {"format_ms", 3.25},
                                                      {"insert_ms", 40},
                                                      {"total_ms", 180.75}}));
}

TEST_F(AnalyticsTest, LaunchEventWaitsForTheServersVersion) {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const QString closedBase = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    struct Case {
        const char* name;
        std::optional<LoopbackReply> reply;  // nothing: the real health route
        QString base;                        // empty: the loopback server
        QString version;
    };
    const Case cases[] = {
        {"version given", std::nullopt, {}, "1.0.0-loopback"},
        {"no version member", LoopbackReply::json(QJsonObject{{"status", "ok"}}), {}, "unknown"},
        {"version not a string", LoopbackReply::json(QJsonObject{{"version", 3}}), {}, "unknown"},
        {"error status", LoopbackReply::html(503), {}, "unknown"},
        {"body not JSON", LoopbackReply::text(200, "ok"), {}, "unreachable"},
        {"server down", std::nullopt, closedBase, "unreachable"},
        {"no URL", std::nullopt, "not a url", "unreachable"},
    };
    for (const Case& c : cases) {
        server.clearScripts();
        if (c.reply) server.scriptNext("GET", StringShield::pathHealth(), *c.reply);
        UserDefaults::shared().setValue("vantrose_cloud_server_url", c.base.isEmpty() ? server.baseUrl() : c.base);
        Analytics client;
        client.trackAppLaunched();
        EXPECT_TRUE(client.queuedEvents().isEmpty()) << c.name;
        ASSERT_TRUE(waitUntil([&] { return !client.queuedEvents().isEmpty(); })) << c.name;
        const AnalyticsEvent launch = client.queuedEvents().first();
        EXPECT_EQ(launch.event, "app_launched") << c.name;
        EXPECT_EQ(launch.properties.value("api_version").toString(), c.version) << c.name;
        EXPECT_EQ(launch.properties.keys(), QStringList({"api_version", "app_version", "build_number", "os_version"}));
        EXPECT_EQ(launch.properties.value("os_version").toString(), QSysInfo::prettyProductName());
    }
}

TEST_F(AnalyticsTest, FlushAtQuitWaitsABoundedTime) {
    server.scriptNext("POST", StringShield::pathEvents(), LoopbackReply::normal().after(100));
    analytics->track("last words");
    EXPECT_TRUE(analytics->flushForQuit(std::chrono::seconds(5)));
    EXPECT_EQ(server.receivedEvents().size(), 1);

    server.scriptNext("POST", StringShield::pathEvents(), LoopbackReply::hang());
    analytics->track("never answered");
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(analytics->flushForQuit(std::chrono::milliseconds(200)));
    EXPECT_LT(timer.elapsed(), 5000);
    server.stop();  // the hung upload fails now instead of outliving the test
}

TEST_F(AnalyticsTest, FlushOfAnEmptyQueueSendsNothing) {
    analytics->flush();
    EXPECT_EQ(analytics->uploadsInFlight(), 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(server.requests().isEmpty());
}

}  // namespace

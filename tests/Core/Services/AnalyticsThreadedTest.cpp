#include "Core/Services/Analytics.h"

#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QSet>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Events tracked from several threads at once, with flushes racing the appends, all arrive
// exactly once.
TEST(AnalyticsThreadedTest, EventsFromManyThreadsArriveExactlyOnce) {
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    UserDefaults::shared().setValue("vantrose_cloud_server_url", server.baseUrl());
    Analytics analytics;

    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&analytics, t] {
            for (int i = 0; i < kPerThread; ++i) {
                analytics.track(QStringLiteral("t%1-%2").arg(t).arg(i), {{"i", i}});
                if (i % 7 == 0) analytics.flush();
            }
        });
    }
    for (auto& th : threads) th.join();
    analytics.flush();

    ASSERT_TRUE(
        waitUntil([&] { return server.receivedEvents().size() >= kThreads * kPerThread; }, std::chrono::seconds(20)));
    ASSERT_TRUE(waitUntil([&] { return analytics.uploadsInFlight() == 0; }));
    QSet<QString> names;
    for (const QJsonObject& e : server.receivedEvents()) names.insert(e.value("event").toString());
    EXPECT_EQ(server.receivedEvents().size(), kThreads * kPerThread);
    EXPECT_EQ(names.size(), kThreads * kPerThread);
    EXPECT_TRUE(analytics.queuedEvents().isEmpty());
}

}  // namespace

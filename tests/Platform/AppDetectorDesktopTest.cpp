// Following the front application across fixture windows.
#include "Platform/AppDetector.h"

#include "support/FixtureApp.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(AppDetectorDesktopTest, SwitchingWindowsReportsPidAndIdentifier) {
    FixtureApp first("DetectorFirst", "first"), second("DetectorSecond", "second");
    ASSERT_TRUE(first.start());

    AppDetector detector;
    std::vector<ActiveAppInfo> changes;
    detector.onAppChanged = [&](const ActiveAppInfo& info) { changes.push_back(info); };
    detector.start();
    ASSERT_TRUE(detector.activeApp().has_value());
    EXPECT_EQ(detector.activeApp()->bundleId, "DetectorFirst");
    EXPECT_EQ(detector.activeApp()->pid, first.pid());
    EXPECT_TRUE(changes.empty());  // the first record is taken, not announced

    ASSERT_TRUE(second.start());
    ASSERT_TRUE(waitUntil([&] { return !changes.empty(); }));
    EXPECT_EQ(changes.back().bundleId, "DetectorSecond");
    EXPECT_EQ(changes.back().name, "DetectorSecond");
    EXPECT_EQ(changes.back().pid, second.pid());
    EXPECT_FALSE(changes.back().url.has_value());
    EXPECT_EQ(detector.activeWindowTitle(), "second");

    ASSERT_TRUE(first.activate());
    ASSERT_TRUE(waitUntil([&] { return changes.size() == 2; }));
    EXPECT_EQ(changes.back().bundleId, "DetectorFirst");
    EXPECT_EQ(changes.back().pid, first.pid());
    detector.updateActiveApp();
    EXPECT_EQ(detector.activeApp()->pid, first.pid());

    // Our own windows never count as the front application.
    QWidget own;
    own.setWindowTitle("own window");
    own.show();
    own.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return activeWindowId() == own.winId(); }));
    ASSERT_TRUE(second.activate());
    ASSERT_TRUE(waitUntil([&] { return changes.size() == 3; }));
    EXPECT_EQ(changes.back().bundleId, "DetectorSecond");
    for (const auto& c : changes) EXPECT_NE(c.pid, QCoreApplication::applicationPid());

    detector.stop();
    ASSERT_TRUE(first.activate());
    QCoreApplication::processEvents();
    EXPECT_EQ(changes.size(), 3u);  // nothing after stop()
    EXPECT_EQ(detector.activeApp()->bundleId, "DetectorSecond");
}

}  // namespace

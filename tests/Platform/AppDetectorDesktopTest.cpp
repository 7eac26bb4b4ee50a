// Following the front application across fixture windows.
#include "Platform/AppDetector.h"

#include "support/AtspiFixtureProcess.h"
#include "support/FixtureApp.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QProcess>
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

TEST(AppDetectorDesktopTest, FrontBrowserAddressFollowsNavigation) {
    // A launcher's desktop-file hint makes the fixture a browser; its field is the address bar.
    qputenv("GIO_LAUNCHED_DESKTOP_FILE", "/usr/share/applications/org.mozilla.firefox.desktop");
    AtspiFixtureProcess browser({QStringLiteral("--field-name"), QStringLiteral("Address and search bar"),
                                 QStringLiteral("--text"), QStringLiteral("https://example.org/a")});
    qunsetenv("GIO_LAUNCHED_DESKTOP_FILE");
    ASSERT_TRUE(browser.waitUntilReady());

    AppDetector detector;
    detector.start();
    const auto frontUrl = [&]() -> std::optional<QString> {
        const auto& app = detector.activeApp();
        return app && app->pid == browser.pid() ? app->url : std::nullopt;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            detector.updateActiveApp();
            return frontUrl() == QStringLiteral("https://example.org/a");
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(detector.activeApp()->bundleId, "org.mozilla.firefox");

    // Typing stands in for navigating. An update never waits on the browser: it answers from the
    // last read, and the record follows on its own once a read in the background sees the change.
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End"), QStringLiteral("b")});
    ASSERT_TRUE(waitUntil([&] { return browser.reportedTexts().contains("https://example.org/ab"); }));
    ASSERT_TRUE(waitUntil(
        [&] {
            if (frontUrl() == QStringLiteral("https://example.org/ab")) return true;
            detector.updateActiveApp();
            EXPECT_NE(frontUrl(), QStringLiteral("https://example.org/ab"));
            return false;
        },
        std::chrono::seconds(20)));
    detector.stop();
}

TEST(AppDetectorDesktopTest, UpdatingTheSameApplicationRefreshesItsAddress) {
    FixtureApp app("DetectorBrowser", "page");
    ASSERT_TRUE(app.start());
    AppDetector detector;
    std::optional<QString> shown = QStringLiteral("https://example.org/first");
    detector.browserAddressLookup = [&](const ActiveAppInfo&) { return shown; };
    detector.start();
    ASSERT_TRUE(detector.activeApp().has_value());
    EXPECT_EQ(detector.activeApp()->url, shown);

    for (const std::optional<QString>& next :
         {std::optional<QString>("https://example.org/second"), std::optional<QString>()}) {
        shown = next;
        detector.updateActiveApp();
        EXPECT_EQ(detector.activeApp()->pid, app.pid());
        EXPECT_EQ(detector.activeApp()->url, shown);
    }
    detector.stop();
}

}  // namespace

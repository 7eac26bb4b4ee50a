// A compositor that goes away (the session ends): the components notice, the program hears of
// it once, and nothing waits on the dead connection.
#include "Platform/Wayland/ForeignToplevelTracker.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandConnectionGuard.h"
#include "Platform/Wayland/WaylandPaster.h"

#include "support/LogText.h"
#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace std::chrono_literals;

// Counts the reports for the length of a test, and leaves no hook behind.
class LostCounter {
public:
    LostCounter() {
        WaylandConnectionGuard::setConnectionLostHook([this] { ++m_count; });
    }
    ~LostCounter() { WaylandConnectionGuard::setConnectionLostHook({}); }
    int count() const { return m_count.load(); }

private:
    std::atomic<int> m_count{0};
};

TEST(CompositorGoneDesktopTest, ConnectionsToAWestonThatDiesReportItOnce) {
    WestonCompositor weston;
    ASSERT_TRUE(weston.start()) << weston.log().toStdString();
    LostCounter lost;
    std::atomic<int> firstLost{0};
    WaylandConnection first(QStringLiteral("test-first"));
    WaylandConnection second(QStringLiteral("test-second"));
    ASSERT_TRUE(first.connect(weston.socket(), [&firstLost] { ++firstLost; }));
    ASSERT_TRUE(second.connect(weston.socket()));
    EXPECT_GT(first.offeredVersion("wl_compositor"), 0u);
    EXPECT_EQ(first.offeredVersion("zwp_virtual_keyboard_manager_v1"), 0u);  // Weston offers none
    const qsizetype mark = logMark();

    weston.kill();
    ASSERT_TRUE(waitUntil([&] { return first.compositorLost() && second.compositorLost(); }, 10s));
    EXPECT_FALSE(first.isConnected());
    EXPECT_EQ(firstLost.load(), 1);
    EXPECT_EQ(lost.count(), 1);
    EXPECT_EQ(loggedTextSince(mark).count("Wayland: Connection to the compositor lost"), 1);

    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(first.call([&first] { return first.roundtrip(); }));
    EXPECT_LT(clock.elapsed(), 1000);
}

TEST(CompositorGoneDesktopTest, TheTrackerAndThePasterOnASwayThatEnds) {
    SwayCompositor sway;
    if (!sway.start()) {
        if (!sway.skipReason().isEmpty()) GTEST_SKIP() << sway.skipReason().toStdString();
        FAIL() << "Sway did not start:\n" << sway.log().toStdString();
    }
    LostCounter lost;
    ForeignToplevelTracker tracker;
    ASSERT_TRUE(tracker.start([](const std::optional<WaylandFrontApp>&) {}, sway.socket()));
    WaylandPaster paster(sway.socket());
    ASSERT_TRUE(paster.paste(QStringLiteral("before")).outcome.success);

    sway.stop();
    ASSERT_TRUE(waitUntil([&] { return !tracker.isRunning(); }, 10s));
    EXPECT_EQ(lost.count(), 1);  // three connections, one report

    QElapsedTimer clock;
    clock.start();
    const PasteOutcome after = paster.paste(QStringLiteral("after")).outcome;
    EXPECT_FALSE(after.clipboardWritten);
    EXPECT_FALSE(after.pasteSimulated);
    EXPECT_LT(clock.elapsed(), 2000);
    tracker.stop();
}

}  // namespace

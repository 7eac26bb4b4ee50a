// The application in front on Wayland: from the compositor's list of windows (Sway) and from the
// accessibility bus's focus events (Weston), with native Wayland GTK windows.
#include "Foundation/MainThread.h"
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Wayland/AtspiFocusTracker.h"
#include "Platform/Wayland/ForeignToplevelTracker.h"

#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A desktop entry for zenity in the test's own data folder, so the name comes from it.
void installZenityEntry() {
    const QString applications = TestEnvironment::root() + "/data/applications";
    QDir().mkpath(applications);
    QFile entry(applications + "/zenity.desktop");
    if (entry.open(QIODevice::WriteOnly)) entry.write("[Desktop Entry]\nType=Application\nName=Zenity Dialogs\n");
}

TEST(WaylandFrontAppDesktopTest, TheCompositorsListOfWindowsFollowsTheActiveOne) {
    SwayCompositor sway;
    if (!sway.start()) {
        if (!sway.skipReason().isEmpty()) GTEST_SKIP() << sway.skipReason().toStdString();
        FAIL() << "Sway did not start:\n" << sway.log().toStdString();
    }
    installZenityEntry();
    ForeignToplevelTracker tracker;
    std::optional<WaylandFrontApp> handed;  // what the handler was given last, on the main thread
    int calls = 0;
    ASSERT_TRUE(tracker.start(
        [&](const std::optional<WaylandFrontApp>& front) {
            EXPECT_TRUE(isMainThread());
            handed = front;
            ++calls;
        },
        sway.socket()));
    EXPECT_TRUE(tracker.isRunning());
    EXPECT_FALSE(tracker.latest());

    auto inFront = [&](const QString& title) {
        return waitUntil([&] { return handed && handed->title == title && tracker.latest() == handed; }, 10s);
    };
    auto first = std::make_unique<WaylandGtkEntry>(sway.socket(), "First field");
    ASSERT_TRUE(inFront("First field"));
    EXPECT_EQ(handed->appId, "zenity");
    EXPECT_EQ(handed->appName, "Zenity Dialogs");
    EXPECT_EQ(handed->pid, 0);  // the list names no process
    {
        WaylandGtkEntry second(sway.socket(), "Second field");
        ASSERT_TRUE(inFront("Second field"));
    }
    // The second window closed: the first is active again; with none left, nothing is.
    ASSERT_TRUE(inFront("First field"));
    const int callsBefore = calls;
    first.reset();
    EXPECT_TRUE(waitUntil([&] { return calls > callsBefore && !handed && !tracker.latest(); }, 10s));
}

TEST(WaylandFrontAppDesktopTest, NoListOfWindowsIsAClearFailure) {
    WestonCompositor weston;  // offers no such list
    ASSERT_TRUE(weston.start()) << weston.log().toStdString();
    ForeignToplevelTracker tracker;
    EXPECT_FALSE(tracker.start([](const std::optional<WaylandFrontApp>&) {}, weston.socket()));
    EXPECT_FALSE(tracker.isRunning());
}

// Weston's headless back-end has no seat, so no window there ever takes the focus; nested in the
// test desktop's X server it has one.
TEST(WaylandFrontAppDesktopTest, FocusEventsOfTheAccessibilityBusNameTheApplicationInFront) {
    WestonCompositor weston(WestonCompositor::Output::NestedInX11);
    ASSERT_TRUE(weston.start()) << weston.log().toStdString();
    installZenityEntry();
    AtspiFocusTracker tracker;
    std::optional<WaylandFrontApp> handed;
    ASSERT_TRUE(tracker.start([&](const WaylandFrontApp& front) {
        EXPECT_TRUE(isMainThread());
        handed = front;
    }));

    WaylandGtkEntry first(weston.socket(), "First field on Weston");
    ASSERT_TRUE(waitUntil([&] { return handed && handed->pid == first.pid(); }, 15s));
    EXPECT_EQ(handed->appId, "zenity");
    EXPECT_EQ(handed->appName, "Zenity Dialogs");
    EXPECT_EQ(handed->title, "First field on Weston");
    EXPECT_EQ(tracker.latest(), handed);
    // The element that has the focus is the window's text field.
    const AtspiFocusRead field = AtspiClient::shared().readFocusedField(first.pid());
    EXPECT_EQ(field.status, AtspiFocusRead::Status::Ok);
    EXPECT_TRUE(field.field.isTextInputRole) << field.field.role.toStdString();

    WaylandGtkEntry second(weston.socket(), "Second field on Weston");
    ASSERT_TRUE(waitUntil([&] { return handed && handed->pid == second.pid(); }, 15s));
    EXPECT_EQ(handed->title, "Second field on Weston");

    tracker.stop();
    EXPECT_FALSE(tracker.isRunning());
}

}  // namespace

#include "App/AppDelegate.h"
#include "App/DesktopShell.h"
#include "Auth/AuthManager.h"
#include "Foundation/UserDefaults.h"

#include "App/ShellFakes.h"
#include "support/PlaceholderViews.h"
#include "support/TestEnvironment.h"
#include "support/X11InputShape.h"

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

// The real tray item, windows and overlay panel over a fake pipeline, on the virtual desktop.
class DesktopShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, "stored-token");
        auth = std::make_unique<AuthManager>();
        delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{});
        shell = std::make_unique<DesktopShell>(*delegate, pipeline, *auth,
                                               std::make_unique<PlaceholderViewFactory>(pipeline, *auth));
        shell->setupStatusItem();
    }

    // Whether every click passes through the window, as the X server decides it.
    static bool inputTransparent(QWidget* w) { return x11InputRegion(w).isEmpty(); }

    // Deferred deletions run only when control returns to an event loop; run them here.
    static bool deletedLater(const QPointer<QWidget>& w) {
        return waitUntil([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return w.isNull();
        });
    }

    void ticks(int n) {
        for (int i = 0; i < n; ++i) shell->observerTick();
        QCoreApplication::processEvents();
    }

    ShellEvents events;
    FakeShellPipeline pipeline{events};
    std::unique_ptr<AuthManager> auth;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<DesktopShell> shell;
};

TEST_F(DesktopShellTest, TicksDoNothingUntilTheOverlayPanelExists) {
    pipeline.currentStatus = DictationStatus::listening;
    ticks(2);
    EXPECT_EQ(shell->currentIconSymbol(), "waveform.circle.fill");
    shell->setupOverlayWindow();
    ticks(1);
    EXPECT_EQ(shell->currentIconSymbol(), "mic.fill");
}

TEST_F(DesktopShellTest, OverlayFadesInAtTheBottomCentreAndLetsClicksThroughExceptHandsFree) {
    shell->setupOverlayWindow();
    QWidget* panel = shell->overlayWindow();
    ASSERT_NE(panel, nullptr);
    shell->setupOverlayWindow();  // a second start-up keeps the one panel
    EXPECT_EQ(shell->overlayWindow(), panel);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(inputTransparent(panel));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    pipeline.currentStatus = DictationStatus::listening;
    ticks(3);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0);
    EXPECT_TRUE(inputTransparent(panel));
    EXPECT_FALSE(QApplication::activeWindow() == panel);
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(panel->pos(), ShellRules::overlayOrigin(screen->availableGeometry(), panel->size()));

    pipeline.persistent = true;
    ticks(1);
    EXPECT_EQ(x11InputRegion(panel), QRegion(panel->rect()));
    pipeline.currentStatus = DictationStatus::processing;
    ticks(1);
    EXPECT_TRUE(inputTransparent(panel));

    pipeline.persistent = false;
    pipeline.currentStatus = DictationStatus::idle;
    ticks(3);
    EXPECT_TRUE(panel->isVisible());
    ticks(1);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(DesktopShellTest, ObserverRestsWhileIdleAndHiddenOnlyWhenThePipelineReportsChanges) {
    for (const bool reports : {false, true}) {
        SCOPED_TRACE(reports ? "reports changes" : "cannot report changes");
        FakeShellPipeline observed{events};
        observed.reportsChanges = reports;
        DesktopShell own(*delegate, observed, *auth, std::make_unique<PlaceholderViewFactory>(observed, *auth));
        own.setupStatusItem();
        own.setupPipelineObservers();
        own.setupOverlayWindow();
        QWidget* panel = own.overlayWindow();
        ASSERT_TRUE(own.observerRunning());
        own.observerTick();
        // A pipeline that cannot say when it changes is polled, as before.
        EXPECT_EQ(own.observerRunning(), !reports);

        // A dictation wakes it; the panel fades in on its ticks and out again after it.
        observed.changeStatus(DictationStatus::listening);
        ASSERT_TRUE(own.observerRunning());
        ASSERT_TRUE(waitUntil([&] { return panel->isVisible() && panel->windowOpacity() == 1.0; }));
        EXPECT_TRUE(own.observerRunning());
        EXPECT_EQ(own.currentIconSymbol(), "mic.fill");
        observed.changeStatus(DictationStatus::idle);
        ASSERT_TRUE(waitUntil([&] { return !panel->isVisible(); }));
        EXPECT_EQ(own.currentIconSymbol(), "waveform");
        EXPECT_EQ(own.observerRunning(), !reports);
    }
}

TEST_F(DesktopShellTest, SwitchingTheOverlayOffHidesItWhateverTheStatus) {
    shell->setupOverlayWindow();
    QWidget* panel = shell->overlayWindow();
    pipeline.currentStatus = DictationStatus::listening;
    ticks(3);
    ASSERT_TRUE(panel->isVisible());
    pipeline.currentSettings.showOverlay = false;
    ticks(4);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(DesktopShellTest, AVisibleHubIsBroughtForwardAndAClosedOneIsRebuiltAtItsSize) {
    shell->showHubWindow();
    QPointer<QWidget> first = shell->hubWindow();
    ASSERT_TRUE(first);
    ASSERT_TRUE(waitUntil([&] { return first->isVisible(); }));
    shell->showHubWindow();
    EXPECT_EQ(shell->hubWindow(), first.data());
    first->close();
    shell->showHubWindow();
    QWidget* second = shell->hubWindow();
    EXPECT_NE(second, first.data());
    EXPECT_TRUE(deletedLater(first));  // the closed one is released, not left behind
    const QRect expected = ShellRules::hubGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    EXPECT_EQ(second->size(), expected.size());
    EXPECT_EQ(second->windowTitle(), "Vantrose");
}

TEST_F(DesktopShellTest, TheSettingsWindowOpensAtThePanesSizeAndMayShrinkToItsSmallest) {
    shell->openSettings();
    QWidget* window = shell->settingsWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(waitUntil([&] { return window->isVisible(); }));
    EXPECT_EQ(window->size(), QSize(520, 540));
    EXPECT_EQ(window->minimumSize(), QSize(500, 450));
    EXPECT_NE(window->maximumSize(), window->minimumSize()) << "not fixed at a size smaller than its pane";
}

TEST_F(DesktopShellTest, ANewOnboardingReplacesTheOldOneWhichCompletesAtMostOnce) {
    int completions = 0;
    shell->showRichOnboarding([&] { ++completions; });
    QList<QWidget*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "onboardingWindow") windows << w;
    ASSERT_EQ(windows.size(), 1);
    QPointer<QWidget> old = windows.first();
    auto* continueButton = old->findChild<QPushButton*>("onboardingContinue");
    ASSERT_NE(continueButton, nullptr);
    ASSERT_TRUE(continueButton->isEnabled());  // signed in
    continueButton->click();
    continueButton->click();
    EXPECT_EQ(completions, 1);

    shell->showRichOnboarding([&] { completions += 10; });
    EXPECT_TRUE(deletedLater(old));
    int onScreen = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "onboardingWindow" && w->isVisible()) ++onScreen;
    EXPECT_EQ(onScreen, 1);
}

}  // namespace

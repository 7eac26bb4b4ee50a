// The typing suggestion on the real overlay panel, clicked with the pointer (XTest) on the
// virtual desktop: the card takes the clicks meant for it, the rest of the panel lets clicks
// through to the window below.
#include "App/AppDelegate.h"
#include "App/DesktopShell.h"
#include "App/DictationShellPipeline.h"
#include "Auth/AuthManager.h"
#include "UI/Overlay/DictationOverlayView.h"

#include "support/FakeAppDetector.h"
#include "support/FakeKeyboardMonitor.h"
#include "support/FixtureApp.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/PlaceholderViews.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleHints>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A window below the overlay that counts the presses reaching it.
class Underneath : public QWidget {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        ++presses;
        event->accept();
    }
};

// The shell's views: stand-ins, but the real overlay over the real pipeline.
class OverlayOnlyFactory final : public AbstractShellViewFactory {
public:
    OverlayOnlyFactory(DictationPipeline& pipeline, AbstractShellPipeline& shell, AuthManager& auth)
        : m_pipeline(pipeline),
          m_placeholders(shell, auth) {}
    QWidget* makeHubView(ViewPermissions permissions) override { return m_placeholders.makeHubView(permissions); }
    QWidget* makeOnboardingView(bool skip, OnboardingFlow::Permissions permissions,
                                std::function<void()> done) override {
        return m_placeholders.makeOnboardingView(skip, std::move(permissions), std::move(done));
    }
    QWidget* makeSettingsView(ViewPermissions permissions) override {
        return m_placeholders.makeSettingsView(permissions);
    }
    QWidget* makeHistoryView() override { return m_placeholders.makeHistoryView(); }
    QWidget* makeOverlayView() override { return new DictationOverlayView(m_pipeline); }

private:
    DictationPipeline& m_pipeline;
    PlaceholderViewFactory m_placeholders;
};

class OverlaySuggestionTest : public ::testing::Test {
protected:
    void SetUp() override {
        QGuiApplication::styleHints()->setMouseDoubleClickInterval(0);
        PipelineHarness::Options options;
        harness = std::make_unique<PipelineHarness>(VantroseSettings(), options);
        harness->setUp();
        shellPipeline = std::make_unique<DictationShellPipeline>(std::move(harness->pipeline));
        delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{});
        shell = std::make_unique<DesktopShell>(*delegate, *shellPipeline, auth,
                                               std::make_unique<OverlayOnlyFactory>(pipeline(), *shellPipeline, auth));
        shell->setupOverlayWindow();
        panel = qobject_cast<DictationOverlayView*>(shell->overlayWindow());
        ASSERT_TRUE(panel);
    }

    void TearDown() override {
        shell.reset();
        shellPipeline.reset();
    }

    DictationPipeline& pipeline() { return shellPipeline->pipeline(); }

    // Typing in `appName` until it gets a suggestion, then the panel shown with the card in place.
    void suggestIn(const QString& appName, const QString& bundleId) {
        harness->detector->frontApp = FakeAppDetector::app(appName, bundleId);
        for (int i = 0; i < 30 && !pipeline().typingSuggestion(); ++i) {
            harness->clock.advance(std::chrono::seconds(1));
            harness->keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
        }
        ASSERT_TRUE(pipeline().typingSuggestion()) << appName.toStdString();
        ASSERT_TRUE(waitUntil(
            [&] {
                shell->observerTick();
                return panel->isVisible() && panel->windowOpacity() == 1.0 && panel->suggestionPill() &&
                       panel->suggestionPill()->appearProgress() > 0.99;
            },
            10s));
        // Below the panel, a window that sees the clicks the panel lets through.
        below.setGeometry(panel->geometry().adjusted(-20, -20, 20, 20));
        below.show();
        ASSERT_TRUE(waitUntil([&] { return below.isVisible(); }));
        panel->raise();
        shell->observerTick();
    }

    QPoint cardCentre() const {
        TypingSuggestionPill* pill = panel->suggestionPill();
        return pill->mapToGlobal(pill->cardRect().center().toPoint());
    }

    static void click(const QPoint& at, const char* button = "1") {
        bool ok = false;
        runTool("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", button}, {}, &ok);
        ASSERT_TRUE(ok);
    }

    // Opens the card's menu with the pointer and chooses the item with this text.
    void choose(const QString& item) {
        click(cardCentre(), "3");
        QMenu* menu = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            return menu && menu->isVisible();
        })) << "the right click opened no menu";
        QAction* wanted = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == item) wanted = action;
        ASSERT_TRUE(wanted) << item.toStdString();
        click(menu->mapToGlobal(menu->actionGeometry(wanted).center()));
    }

    std::unique_ptr<PipelineHarness> harness;
    std::unique_ptr<DictationShellPipeline> shellPipeline;
    AuthManager auth;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<DesktopShell> shell;
    DictationOverlayView* panel = nullptr;
    Underneath below;
};

TEST_F(OverlaySuggestionTest, TheCardTakesItsClicksAndTheRestOfThePanelLetsThemThrough) {
    ASSERT_NO_FATAL_FAILURE(suggestIn(QStringLiteral("Notes"), QStringLiteral("org.example.notes")));

    // Beside the card, inside the panel: the window below gets the click, the offer stays.
    click(panel->mapToGlobal(QPoint(20, 20)));
    EXPECT_TRUE(waitUntil([&] { return below.presses == 1; })) << "the panel kept a click outside the card";
    EXPECT_TRUE(pipeline().typingSuggestion());

    // "Not now" dismisses this offer only.
    const QPoint whereTheCardWas = cardCentre();
    ASSERT_NO_FATAL_FAILURE(choose(QStringLiteral("Not now")));
    ASSERT_TRUE(waitUntil([&] { return !pipeline().typingSuggestion(); }));
    EXPECT_TRUE(pipeline().settings().typingReminderSuppressedApps.isEmpty());
    // Where the card was, clicks pass through again at once, while the panel fades out.
    shell->observerTick();
    click(whereTheCardWas);
    EXPECT_TRUE(waitUntil([&] { return below.presses == 2; })) << "the panel kept a click after the card left";

    // "Don't show in Notes" suppresses the application: typing there offers nothing any more.
    ASSERT_NO_FATAL_FAILURE(suggestIn(QStringLiteral("Notes"), QStringLiteral("org.example.notes")));
    ASSERT_NO_FATAL_FAILURE(choose(QStringLiteral("Don't show in Notes")));
    ASSERT_TRUE(waitUntil([&] { return !pipeline().typingSuggestion(); }));
    EXPECT_EQ(pipeline().settings().typingReminderSuppressedApps.value(QStringLiteral("org.example.notes")),
              QStringLiteral("Notes"));
    for (int i = 0; i < 30; ++i) {
        harness->clock.advance(std::chrono::seconds(1));
        harness->keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
    }
    EXPECT_FALSE(pipeline().typingSuggestion());

    // A click on the card talks: the dictation starts.
    ASSERT_NO_FATAL_FAILURE(suggestIn(QStringLiteral("Mail"), QStringLiteral("org.example.mail")));
    click(cardCentre());
    EXPECT_TRUE(waitUntil([&] { return pipeline().status() == DictationStatus::listening; }));
    EXPECT_FALSE(pipeline().typingSuggestion());
    EXPECT_EQ(below.presses, 2);
    pipeline().cancelDictation();
}

}  // namespace

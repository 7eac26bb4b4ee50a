#include "UI/Onboarding/OnboardingView.h"
#include "UI/Onboarding/VideoBackgroundView.h"

#include "Auth/AuthManager.h"
#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"
#include "support/InstalledManualClock.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Control = OnboardingView::Control;

// Stands in for the desktop's permission checks: Accessibility holds once it was asked for,
// the microphone once its request was answered.
struct FakePermissions {
    bool accessibilityAsked = false;
    bool microphoneAnswered = false;

    OnboardingView::Permissions callbacks() {
        return {
            [this]() -> QCoro::Task<bool> { co_return accessibilityAsked; },
            [this] { accessibilityAsked = true; },
            [this]() -> QCoro::Task<bool> { co_return microphoneAnswered; },
            [this]() -> QCoro::Task<bool> {
                microphoneAnswered = true;
                co_return true;
            },
        };
    }
};

class OnboardingViewDesktopTest : public ::testing::Test {
protected:
    // Each test starts signed out: a sign-in of an earlier test in this process would skip the welcome.
    void SetUp() override {
        UserDefaults::shared().remove(AuthManager::accessTokenKey);
        UserDefaults::shared().remove(AuthManager::userDataKey);
    }
    void TearDown() override { AuthManager::setURLOpener({}); }

    std::unique_ptr<OnboardingView> show(AuthManager& auth) {
        auto view = std::make_unique<OnboardingView>(auth, auth.isAuthenticated(), permissions.callbacks(),
                                                     [this] { ++completions; });
        view->flow().setSoundPlayer([this](const QString& name, const QString& ext) { sounds << name + "." + ext; });
        view->resize(800, 600);
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        return view;
    }

    static void click(OnboardingView& view, const QPoint& point) {
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, point);
    }
    static void clickControl(OnboardingView& view, Control control) {
        const QRect rect = view.controlRect(control);
        ASSERT_FALSE(rect.isEmpty()) << int(control);
        click(view, rect.center());
    }

    // The brightest channel of any pixel in `area`.
    static int brightest(const QImage& image, const QRect& area) {
        int best = 0;
        for (int y = area.top(); y <= area.bottom(); y += 2)
            for (int x = area.left(); x <= area.right(); x += 2) {
                const QColor c = image.pixelColor(x, y);
                best = std::max({best, c.red(), c.green(), c.blue()});
            }
        return best;
    }

    InstalledManualClock calls;
    FakePermissions permissions;
    QStringList sounds;
    int completions = 0;
};

TEST_F(OnboardingViewDesktopTest, ANewUserClicksThroughToSignIn) {
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
    QList<QUrl> opened;
    AuthManager::setURLOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });
    AuthManager auth;
    auto view = show(auth);
    EXPECT_EQ(sounds, QStringList{"vantrose_first_onboarding_sound.mp3"});
    EXPECT_TRUE(view->controlRect(Control::getStarted).isEmpty());

    // A click anywhere on the welcome skips to its end.
    click(*view, view->welcomeArea().topLeft() + QPoint(30, 30));
    calls.advance(std::chrono::milliseconds(400));
    clickControl(*view, Control::getStarted);
    EXPECT_EQ(view->flow().step(), OnboardingStep::permissions);
    EXPECT_TRUE(view->welcomeArea().isEmpty());
    EXPECT_EQ(sounds.last(), "step_forward.wav");
    calls.advance(std::chrono::seconds(1));

    // Continue stays shut until both permissions hold.
    EXPECT_FALSE(view->isControlEnabled(Control::continueButton));
    clickControl(*view, Control::continueButton);
    EXPECT_EQ(view->flow().step(), OnboardingStep::permissions);

    clickControl(*view, Control::enableAccessibility);
    EXPECT_TRUE(permissions.accessibilityAsked);
    calls.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(view->flow().accessibilityGranted());
    clickControl(*view, Control::enableMicrophone);
    ASSERT_TRUE(waitUntil([&] { return view->flow().microphoneGranted(); }));
    calls.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(view->controlRect(Control::enableAccessibility).isEmpty()) << "the row shows Done";
    EXPECT_TRUE(view->controlRect(Control::enableMicrophone).isEmpty());
    ASSERT_TRUE(view->isControlEnabled(Control::continueButton));
    clickControl(*view, Control::continueButton);
    ASSERT_EQ(view->flow().step(), OnboardingStep::ready);
    calls.advance(std::chrono::seconds(2));

    // This build signs in at the local service, not with Google: the button says only that.
    ASSERT_FALSE(Config::signsInWithGoogle());
    QAbstractButton* signInButton = view->controlButton(Control::signIn);
    ASSERT_TRUE(waitUntil([&] { return signInButton->isVisible(); }));
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(signInButton);
    ASSERT_TRUE(accessible);
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), "Sign in");

    // Sign-in: the button turns into a spinner until the account answers.
    EXPECT_TRUE(view->controlRect(Control::start).isEmpty());
    clickControl(*view, Control::signIn);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_FALSE(view->isControlEnabled(Control::signIn));
    QString error;
    const QUrl callback = server.authorize(opened.first(), &error);
    ASSERT_TRUE(callback.isValid()) << error.toStdString();
    auth.handleURL(callback);
    ASSERT_TRUE(waitUntil([&] { return auth.isAuthenticated(); }));
    EXPECT_FALSE(view->controlRect(Control::start).isEmpty()) << "the start button replaces sign-in";
    EXPECT_EQ(completions, 0);
    calls.advance(std::chrono::seconds(1));
    EXPECT_EQ(completions, 1);
}

// A closed window decodes no video (a playing one wakes the program hundreds of times a second,
// with nobody to see it); shown again, it plays again.
TEST_F(OnboardingViewDesktopTest, AClosedWindowPlaysNoVideo) {
    AuthManager auth;
    auto view = show(auth);
    const auto playing = [&] { return view->findChildren<VideoBackgroundView*>().size(); };
    EXPECT_EQ(playing(), 1);
    view->hide();
    EXPECT_EQ(playing(), 0);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    EXPECT_EQ(playing(), 1);
}

TEST_F(OnboardingViewDesktopTest, TheWelcomeOpensDarkAndASkipPaintsTheTitle) {
    AuthManager auth;
    auto view = show(auth);
    const QRect content(0, 0, view->width(), view->height() - 60);
    calls.advance(std::chrono::milliseconds(100));
    QImage image = view->grab().toImage();
    EXPECT_LT(brightest(image, content), 8) << "only black before the video starts";
    EXPECT_GT(brightest(image, QRect(48, view->height() - 38, 20, 6)), 200) << "the first step's dot is white";

    click(*view, content.center());
    calls.advance(std::chrono::milliseconds(400));
    image = view->grab().toImage();
    EXPECT_GT(brightest(image, content), 200) << "the title is painted";
    EXPECT_FALSE(view->controlRect(Control::getStarted).isEmpty());
}

TEST_F(OnboardingViewDesktopTest, AReturningUserStartsAtPermissionsAndFinishesWithStart) {
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, QStringLiteral("a.b.c"));
    AuthManager auth;
    permissions.accessibilityAsked = true;
    permissions.microphoneAnswered = true;
    auto view = show(auth);
    EXPECT_TRUE(sounds.isEmpty());
    EXPECT_EQ(view->flow().step(), OnboardingStep::permissions);
    calls.advance(std::chrono::seconds(1));
    clickControl(*view, Control::continueButton);
    calls.advance(std::chrono::seconds(2));
    EXPECT_TRUE(view->controlRect(Control::signIn).isEmpty());
    clickControl(*view, Control::start);
    EXPECT_EQ(completions, 1);
}

TEST_F(OnboardingViewDesktopTest, ThePaintedButtonsAreReachedByTheKeyboardAndNamedForScreenReaders) {
    AuthManager auth;
    auto view = show(auth);
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    click(*view, view->welcomeArea().topLeft() + QPoint(30, 30));
    calls.advance(std::chrono::milliseconds(400));
    QAbstractButton* getStarted = view->controlButton(Control::getStarted);
    ASSERT_TRUE(getStarted);
    ASSERT_TRUE(waitUntil([&] { return getStarted->isVisible(); }));
    EXPECT_EQ(getStarted->geometry(), view->controlRect(Control::getStarted));
    // A button that is not on the page takes no focus.
    EXPECT_FALSE(view->controlButton(Control::signIn)->isVisible());

    // Tab reaches the painted button; Space presses it.
    QTest::keyClick(view.get(), Qt::Key_Tab);
    ASSERT_TRUE(getStarted->hasFocus());
    QTest::keyClick(getStarted, Qt::Key_Space);
    ASSERT_EQ(view->flow().step(), OnboardingStep::permissions);
    calls.advance(std::chrono::seconds(1));

    // Screen readers hear each button by what it does.
    const std::pair<Control, QString> named[] = {{Control::enableAccessibility, "Enable Accessibility"},
                                                 {Control::enableMicrophone, "Enable Microphone"},
                                                 {Control::continueButton, "Continue"}};
    for (const auto& [control, name] : named) {
        QAbstractButton* button = view->controlButton(control);
        ASSERT_TRUE(waitUntil([&] { return button->isVisible(); })) << name.toStdString();
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
        ASSERT_TRUE(accessible);
        EXPECT_EQ(accessible->role(), QAccessible::Button);
        EXPECT_EQ(accessible->text(QAccessible::Name), name);
    }
    // Continue is shut until both permissions hold, for the keyboard as for the pointer.
    QAbstractButton* proceed = view->controlButton(Control::continueButton);
    EXPECT_FALSE(proceed->isEnabled());

    // Return presses the focused button too.
    QAbstractButton* accessibility = view->controlButton(Control::enableAccessibility);
    accessibility->setFocus(Qt::TabFocusReason);
    QTest::keyClick(accessibility, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return permissions.accessibilityAsked; }));
}

}  // namespace

#include "UI/Onboarding/OnboardingFlow.h"

#include "Auth/AuthManager.h"
#include "Foundation/UserDefaults.h"
#include "support/InstalledManualClock.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroSignal>

#include <gtest/gtest.h>

#include <memory>

namespace {

// A permission answer the test releases when it chooses.
class Gate : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void opened(bool answer);
};

struct FakeDesktop {
    QString accessibilityNotice;      // what granted accessibility lacks
    QString inputNeeds, inputNotice;  // the session's own terms (Wayland)
    int accessibilityChecks = 0;
    int grantAccessibilityOnCheck = 0;  // 0: never
    bool microphoneAtStart = false;
    bool microphoneAnswer = false;
    int accessibilityRequests = 0;

    OnboardingFlow::Permissions permissions() {
        return {
            [this]() -> QCoro::Task<bool> {
                ++accessibilityChecks;
                co_return grantAccessibilityOnCheck > 0 && accessibilityChecks >= grantAccessibilityOnCheck;
            },
            [this] { ++accessibilityRequests; },
            [this]() -> QCoro::Task<bool> { co_return microphoneAtStart; },
            [this]() -> QCoro::Task<bool> { co_return microphoneAnswer; },
            [this] { return accessibilityNotice; },
            [this] { return inputNeeds; },
            [this] { return inputNotice; },
        };
    }
};

class OnboardingFlowTest : public ::testing::Test {
protected:
    // Each case starts signed out, whatever the case before it stored.
    void SetUp() override {
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
            UserDefaults::shared().remove(key);
    }
    void TearDown() override { AuthManager::setURLOpener({}); }

    std::unique_ptr<OnboardingFlow> makeFlow(AuthManager& auth, bool skipWelcome) {
        auto flow =
            std::make_unique<OnboardingFlow>(auth, skipWelcome, desktop.permissions(), [this] { ++completions; });
        flow->setSoundPlayer([this](const QString& name, const QString& ext) { sounds << name + "." + ext; });
        return flow;
    }
    double now() const { return toSeconds(Clock::current().monotonicNow().time_since_epoch()); }

    // Walks a signed-out flow to the last step with both permissions granted.
    void walkToReady(OnboardingFlow& flow) {
        desktop.grantAccessibilityOnCheck = 1;
        desktop.microphoneAtStart = true;
        flow.appear();
        flow.skipWelcomeSequence();
        calls.advance(std::chrono::milliseconds(400));
        flow.getStarted();
        calls.advance(std::chrono::seconds(1));
        flow.continueToReady();
        ASSERT_EQ(flow.step(), OnboardingStep::ready);
        sounds.clear();
    }

    InstalledManualClock calls;
    FakeDesktop desktop;
    QStringList sounds;
    int completions = 0;
};

TEST_F(OnboardingFlowTest, WelcomeSequenceRevealsItsPartsOnSchedule) {
    AuthManager auth;
    auto flow = makeFlow(auth, false);
    EXPECT_EQ(flow->step(), OnboardingStep::welcome);
    flow->appear();
    EXPECT_EQ(sounds, QStringList{"vantrose_first_onboarding_sound.mp3"});

    struct Checkpoint {
        double at;
        double video, hero, subtitle, brand, tagline;
        bool button;
    };
    // Seconds after the welcome comes on screen; each value is read once its animation has run.
    const Checkpoint checkpoints[] = {
        {0.19, 0, 0, 0, 0, 0, false}, {1.99, -1, 0, 0, 0, 0, false},  // the video is fading in (checked below)
        {3.0, 1, 1, 0, 0, 0, false},  {5.1, 1, 1, 1, 0, 0, false},   {8.9, 1, 0, 0, 0, 0, false},
        {10.5, 1, 0, 0, 1, 0, false}, {12.49, 1, 0, 0, 1, 1, false}, {13.5, 1, 0, 0, 1, 1, true},
    };
    double elapsed = 0;
    for (const Checkpoint& c : checkpoints) {
        calls.advance(std::chrono::duration<double>(c.at - elapsed));
        elapsed = c.at;
        const auto& p = flow->picture();
        const double t = now();
        if (c.video >= 0) {
            EXPECT_NEAR(p.videoOpacity.value(t), c.video, 1e-6) << c.at;
        }
        EXPECT_NEAR(p.heroOpacity.value(t), c.hero, 1e-6) << c.at;
        EXPECT_NEAR(p.subtitleOpacity.value(t), c.subtitle, 1e-6) << c.at;
        EXPECT_NEAR(p.brandOpacity.value(t), c.brand, 1e-6) << c.at;
        EXPECT_NEAR(p.taglineOpacity.value(t), c.tagline, 1e-6) << c.at;
        EXPECT_EQ(flow->showButton(), c.button) << c.at;
        if (c.at == 1.99) {
            EXPECT_GT(p.videoOpacity.value(t), 0.3);
            EXPECT_LT(p.videoOpacity.value(t), 1.0);
            EXPECT_EQ(p.heroOffset.value(t), 18);
        }
    }
    EXPECT_EQ(flow->picture().heroOffset.value(now()), 0);
    EXPECT_EQ(flow->picture().brandOffset.value(now()), 0);
    EXPECT_FALSE(flow->isAnimating(now()));
}

TEST_F(OnboardingFlowTest, ASkipShowsTheFinalPictureAndStopsTheSequence) {
    AuthManager auth;
    auto flow = makeFlow(auth, false);
    flow->appear();
    calls.advance(std::chrono::seconds(3));  // "Say it" shown; "don’t type it." is still to come
    flow->skipWelcomeSequence();
    calls.advance(std::chrono::milliseconds(400));
    auto expectFinal = [&](const char* when) {
        const auto& p = flow->picture();
        const double t = now();
        EXPECT_NEAR(p.videoOpacity.value(t), 1, 1e-6) << when;
        EXPECT_NEAR(p.heroOpacity.value(t), 0, 1e-6) << when;
        EXPECT_NEAR(p.subtitleOpacity.value(t), 0, 1e-6) << when;
        EXPECT_NEAR(p.brandOpacity.value(t), 1, 1e-6) << when;
        EXPECT_NEAR(p.taglineOpacity.value(t), 1, 1e-6) << when;
        EXPECT_TRUE(flow->showButton()) << when;
    };
    expectFinal("right after the skip");
    calls.advance(std::chrono::seconds(2));  // the second line's timer would have shown it by now
    expectFinal("while the sequence would still run");
    calls.advance(std::chrono::seconds(20));
    expectFinal("after the sequence's end");
    EXPECT_EQ(flow->step(), OnboardingStep::welcome);
}

TEST_F(OnboardingFlowTest, StepsOnlyMoveForward) {
    AuthManager auth;
    auto flow = makeFlow(auth, false);
    flow->appear();
    flow->getStarted();  // no button yet
    flow->continueToReady();
    EXPECT_EQ(flow->step(), OnboardingStep::welcome);

    calls.advance(std::chrono::milliseconds(12500));
    flow->getStarted();
    EXPECT_EQ(flow->step(), OnboardingStep::permissions);
    EXPECT_EQ(flow->previousStep(), OnboardingStep::welcome);
    EXPECT_TRUE(sounds.contains("step_forward.wav"));
    calls.advance(std::chrono::seconds(1));
    const auto& dots = flow->picture().dotWidth;
    EXPECT_NEAR(dots[0].value(now()), 6, 1e-3);
    EXPECT_NEAR(dots[1].value(now()), 20, 1e-3);
    EXPECT_NEAR(flow->picture().permReveal.value(now()), 1, 1e-6);
    // Nothing goes back, and a late skip click changes nothing.
    flow->skipWelcomeSequence();
    flow->getStarted();
    EXPECT_EQ(flow->step(), OnboardingStep::permissions);
    EXPECT_EQ(completions, 0);
}

TEST_F(OnboardingFlowTest, PermissionsAreDetectedAndGateContinue) {
    struct Case {
        const char* name;
        int grantOnCheck;  // 0: never
        bool microphoneAtStart;
        bool microphoneAnswer;
        double accessibilityAt;  // seconds after the step shows; < 0: never
        int checksAfterTenSeconds;
        bool continueEnabled;
    };
    const Case cases[] = {
        {"both granted before", 1, true, false, 0.5, 1, true},
        {"accessibility granted on the third check", 3, true, false, 1.5, 3, true},
        {"accessibility never granted", 0, true, false, -1, 20, false},
        {"microphone granted by the request", 1, false, true, 0.5, 1, true},
        {"microphone refused", 1, false, false, 0.5, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        desktop = FakeDesktop{};
        desktop.grantAccessibilityOnCheck = c.grantOnCheck;
        desktop.microphoneAtStart = c.microphoneAtStart;
        desktop.microphoneAnswer = c.microphoneAnswer;
        sounds.clear();
        AuthManager auth;
        auto flow = makeFlow(auth, true);
        flow->appear();
        EXPECT_EQ(flow->microphoneGranted(), c.microphoneAtStart);
        EXPECT_FALSE(flow->accessibilityGranted());
        EXPECT_TRUE(sounds.isEmpty()) << "a granted status found at start plays nothing";
        if (c.accessibilityAt > 0) {
            calls.advance(std::chrono::duration<double>(c.accessibilityAt - 0.05));
            EXPECT_FALSE(flow->accessibilityGranted());
            calls.advance(std::chrono::milliseconds(50));
            EXPECT_TRUE(flow->accessibilityGranted());
            EXPECT_EQ(sounds, QStringList{"complete.wav"});
        }
        if (!c.microphoneAtStart) {
            flow->grantMicrophone();
            EXPECT_EQ(flow->microphoneGranted(), c.microphoneAnswer);
            EXPECT_EQ(sounds.count("complete.wav"), (c.accessibilityAt > 0) + c.microphoneAnswer);
        }
        calls.advance(std::chrono::duration<double>(10.01 - std::max(c.accessibilityAt, 0.0)));
        EXPECT_EQ(desktop.accessibilityChecks, c.checksAfterTenSeconds);
        EXPECT_EQ(flow->bothGranted(), c.continueEnabled);
        EXPECT_NEAR(flow->picture().continueLit.value(now()), c.continueEnabled ? 1 : 0, 1e-6);
        flow->continueToReady();
        EXPECT_EQ(flow->step(), c.continueEnabled ? OnboardingStep::ready : OnboardingStep::permissions);
    }
}

// On a Wayland session the row speaks of what that session needs, before the grant and while a
// granted session still lacks something; once nothing is lacking the usual text is back.
TEST_F(OnboardingFlowTest, AWaylandSessionsRowSpeaksOfWhatItNeeds) {
    desktop.grantAccessibilityOnCheck = 2;
    desktop.microphoneAtStart = true;
    desktop.inputNeeds = QStringLiteral("Allow the shortcuts, or join the input group");
    AuthManager auth;
    auto flow = makeFlow(auth, true);
    flow->appear();
    EXPECT_EQ(flow->accessibilityDetail(), desktop.inputNeeds);
    desktop.inputNotice = QStringLiteral("The hotkey works only in X11 windows");
    calls.advance(std::chrono::seconds(1));
    ASSERT_TRUE(flow->accessibilityGranted());
    EXPECT_EQ(flow->accessibilityDetail(), desktop.inputNeeds);
    desktop.inputNotice.clear();
    EXPECT_EQ(flow->accessibilityDetail(), QStringLiteral("Switch accessibility support on again (Enable)"));
}

// Without the accessibility bus dictation still works: Continue lights up, and the row says what
// is missing.
TEST_F(OnboardingFlowTest, MissingAccessibilityBusStillLetsTheUserContinue) {
    desktop.grantAccessibilityOnCheck = 1;
    desktop.microphoneAtStart = true;
    desktop.accessibilityNotice = QStringLiteral("no bus");
    AuthManager auth;
    auto flow = makeFlow(auth, true);
    flow->appear();
    const QString before = flow->accessibilityDetail();
    calls.advance(std::chrono::milliseconds(500));
    ASSERT_TRUE(flow->accessibilityGranted());
    EXPECT_TRUE(flow->bothGranted());
    EXPECT_NE(flow->accessibilityDetail(), before);
    EXPECT_TRUE(flow->accessibilityDetail().contains(QLatin1String("accessibility bus")));
    flow->continueToReady();
    EXPECT_EQ(flow->step(), OnboardingStep::ready);
}

TEST_F(OnboardingFlowTest, AccessibilityEnableAsksTheDesktopAndLeavesDetectionToThePoll) {
    AuthManager auth;
    auto flow = makeFlow(auth, true);
    flow->appear();
    flow->grantAccessibility();
    EXPECT_EQ(desktop.accessibilityRequests, 1);
    EXPECT_FALSE(flow->accessibilityGranted());
    desktop.grantAccessibilityOnCheck = 1;
    calls.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(flow->accessibilityGranted());
}

TEST_F(OnboardingFlowTest, AnswersArrivingAfterTheFlowIsGoneAreDropped) {
    Gate gate;
    auto waitForGate = [&gate]() -> QCoro::Task<bool> {
        const bool answer = co_await qCoro(&gate, &Gate::opened);
        co_return answer;
    };
    AuthManager auth;
    auto flow = std::make_unique<OnboardingFlow>(
        auth, true, OnboardingFlow::Permissions{waitForGate, {}, waitForGate, waitForGate}, [this] { ++completions; });
    flow->setSoundPlayer([this](const QString& name, const QString&) { sounds << name; });
    flow->appear();
    calls.advance(std::chrono::milliseconds(500));  // the first accessibility check is waiting
    flow->grantMicrophone();
    flow.reset();
    Q_EMIT gate.opened(true);
    calls.advance(std::chrono::seconds(5));
    EXPECT_TRUE(sounds.isEmpty());
}

TEST_F(OnboardingFlowTest, SignedInUserStartsAtPermissionsAndFinishesWithTheStartButton) {
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, QStringLiteral("a.b.c"));
    AuthManager auth;
    auto flow = makeFlow(auth, auth.isAuthenticated());
    EXPECT_EQ(flow->step(), OnboardingStep::permissions);
    EXPECT_EQ(flow->permissionsTitle(), QStringLiteral("Welcome back."));
    EXPECT_EQ(flow->permissionsSubtitle(),
              QStringLiteral("After an update, check that accessibility support is still switched on."));
    EXPECT_EQ(flow->accessibilityDetail(), QStringLiteral("Switch accessibility support on again (Enable)"));
    desktop.grantAccessibilityOnCheck = 1;
    desktop.microphoneAtStart = true;
    flow->appear();
    EXPECT_TRUE(sounds.isEmpty()) << "no first-onboarding sound for a returning user";
    calls.advance(std::chrono::milliseconds(500));
    flow->continueToReady();
    EXPECT_EQ(flow->readyLine1(), QStringLiteral("You’re ready."));
    flow->signIn();  // already signed in: nothing to do
    EXPECT_FALSE(flow->isSigningIn());
    flow->start();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(sounds.last(), QStringLiteral("complete.wav"));
    EXPECT_EQ(flow->step(), OnboardingStep::ready);
}

TEST_F(OnboardingFlowTest, SignInErrorsShowUntilTheNextAttemptClearsThem) {
    bool browserOpens = false;
    AuthManager::setURLOpener([&](const QUrl&) { return browserOpens; });
    AuthManager auth;
    auto flow = makeFlow(auth, false);
    walkToReady(*flow);
    EXPECT_EQ(flow->readyLine1(), QStringLiteral("One last thing."));
    flow->start();  // signed out: no start button
    EXPECT_EQ(completions, 0);

    flow->signIn();
    EXPECT_FALSE(flow->isSigningIn());
    EXPECT_EQ(flow->shownError(), auth.errorMessage());
    EXPECT_FALSE(flow->shownError().isEmpty());
    calls.advance(std::chrono::milliseconds(400));
    EXPECT_NEAR(flow->picture().errorPresence.value(now()), 1, 1e-6);

    browserOpens = true;
    flow->signIn();
    EXPECT_TRUE(flow->isSigningIn());
    EXPECT_FALSE(auth.hasErrorMessage());
    EXPECT_FALSE(flow->shownError().isEmpty()) << "the old text stays while it fades out";
    calls.advance(std::chrono::milliseconds(400));
    EXPECT_NEAR(flow->picture().errorPresence.value(now()), 0, 1e-6);
    EXPECT_EQ(completions, 0);
}

TEST_F(OnboardingFlowTest, ASuccessfulSignInCompletesOneSecondLater) {
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
    QList<QUrl> opened;
    AuthManager::setURLOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });
    AuthManager auth;
    auto flow = makeFlow(auth, false);
    walkToReady(*flow);
    flow->signIn();
    ASSERT_EQ(opened.size(), 1);
    QString error;
    const QUrl callback = server.authorize(opened.first(), &error);
    ASSERT_TRUE(callback.isValid()) << error.toStdString();
    auth.handleURL(callback);
    ASSERT_TRUE(waitUntil([&] { return auth.isAuthenticated(); }));
    EXPECT_EQ(sounds, QStringList{"complete.wav"});
    EXPECT_EQ(flow->readyLine1(), QStringLiteral("You’re ready."));
    calls.advance(std::chrono::milliseconds(950));
    EXPECT_EQ(completions, 0);
    calls.advance(std::chrono::milliseconds(100));
    EXPECT_EQ(completions, 1);
}

}  // namespace

#include "OnboardingFlowTest.moc"

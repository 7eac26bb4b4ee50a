#include "App/AppDelegate.h"
#include "App/SingleInstance.h"
#include "Auth/AuthManager.h"
#include "Foundation/UserDefaults.h"

#include "App/ShellFakes.h"
#include "support/LogText.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace {

// A delegate over fakes, with the account object signed in or not.
class AppDelegateTest : public ::testing::Test {
protected:
    // Each case starts signed out, whatever the case before it stored, and reads only its own
    // log lines.
    void SetUp() override {
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
            UserDefaults::shared().remove(key);
        logStart = logMark();
    }
    QString loggedText() const { return loggedTextSince(logStart); }

    void start(bool signedIn, PermissionSnapshot granted = {true, true}, bool holdSetup = false) {
        if (signedIn) UserDefaults::shared().setValue(AuthManager::accessTokenKey, "stored-token");
        auth = std::make_unique<AuthManager>();
        AppDelegate::Dependencies deps;
        deps.makePipeline = [this, holdSetup] {
            auto p = std::make_unique<FakeShellPipeline>(events);
            p->holdSetup = holdSetup;
            pipeline = p.get();
            return p;
        };
        deps.authManager = auth.get();
        deps.permissions = std::make_unique<FakePermissionChecker>(events, granted);
        deps.makeUI = [this](AppDelegate&) {
            auto u = std::make_unique<FakeShellUI>(events);
            ui = u.get();
            return std::unique_ptr<AbstractShellUI>(std::move(u));
        };
        deps.playStartupSound = [this] { events.add("startupSound"); };
        deps.trackAppLaunched = [this] { events.add("trackAppLaunched"); };
        deps.flushAnalytics = [this] { events.add("flushAnalytics"); };
        delegate = std::make_unique<AppDelegate>(std::move(deps));
        delegate->setAutoStop(std::chrono::milliseconds(30));
        delegate->applicationDidFinishLaunching();
    }

    bool running() {
        return waitUntil([this] { return delegate->isRunning(); });
    }

    qsizetype logStart = 0;
    ShellEvents events;
    std::unique_ptr<AuthManager> auth;
    std::unique_ptr<AppDelegate> delegate;
    FakeShellPipeline* pipeline = nullptr;
    FakeShellUI* ui = nullptr;
};

TEST_F(AppDelegateTest, SignedInWithBothPermissionsSetsUpOnceThenShowsOverlayAndHub) {
    start(true);
    ASSERT_TRUE(running());
    EXPECT_EQ(events.count("trackAppLaunched"), 1);
    events.list.removeAll("trackAppLaunched");
    EXPECT_EQ(events.list, (QStringList{"setupStatusItem", "setupPipelineObservers", "checkPermissions", "setup",
                                        "setup returned", "startupSound", "setupOverlayWindow", "showHubWindow"}));
    const QString log = loggedText();
    EXPECT_LT(log.indexOf("Vantrose: Application launching..."),
              log.indexOf("Vantrose: Application launched successfully"));
    EXPECT_TRUE(log.contains("LaunchAfterAuth: AX=true Mic=true"));
    EXPECT_TRUE(log.contains("LaunchAfterAuth: All permissions granted — starting pipeline + dashboard"));
}

struct GateCase {
    bool signedIn;
    PermissionSnapshot granted;
    const char* gateLine;  // empty: no permission check at all
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << "signedIn=" << c.signedIn << " AX=" << c.granted.accessibility << " Mic=" << c.granted.microphone;
}

class LaunchGateTest : public AppDelegateTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(LaunchGateTest, AMissingSignInOrPermissionOpensOnboardingWithoutSetup) {
    const GateCase& c = GetParam();
    start(c.signedIn, c.granted);
    ASSERT_TRUE(waitUntil([&] { return events.count("showRichOnboarding") == 1; }));
    EXPECT_EQ(pipeline->setupCalls, 0);
    EXPECT_EQ(events.count("showHubWindow"), 0);
    const QString log = loggedText();
    if (QString(c.gateLine).isEmpty()) {
        EXPECT_FALSE(log.contains("LaunchAfterAuth"));
    } else {
        EXPECT_TRUE(log.contains(c.gateLine));
        EXPECT_TRUE(log.contains("LaunchAfterAuth: Permissions missing — showing onboarding then dashboard"));
    }
}

INSTANTIATE_TEST_SUITE_P(Gate, LaunchGateTest,
                         ::testing::Values(GateCase{false, {true, true}, ""},
                                           GateCase{true, {true, false}, "LaunchAfterAuth: AX=true Mic=false"},
                                           GateCase{true, {false, true}, "LaunchAfterAuth: AX=false Mic=true"}));

TEST_F(AppDelegateTest, OnboardingCompletionSetsUpAndRunsOnce) {
    start(false);
    ASSERT_TRUE(ui->completeOnboarding);
    ui->completeOnboarding();
    ASSERT_TRUE(running());
    EXPECT_EQ(events.count("orderOutOnboarding"), 1);
    EXPECT_EQ(pipeline->setupCalls, 1);
    EXPECT_LT(events.list.indexOf("setup returned"), events.list.indexOf("setupOverlayWindow"));
}

TEST_F(AppDelegateTest, SignOutAndASecondOnboardingNeverSetUpTwice) {
    start(true);
    ASSERT_TRUE(running());
    auth->logout();
    ASSERT_TRUE(waitUntil([&] { return events.count("showRichOnboarding") == 1; }));
    // The pipeline lets go of what carries the account before onboarding comes back.
    EXPECT_EQ(events.count("signedOut"), 1);
    EXPECT_LT(events.list.indexOf("signedOut"), events.list.indexOf("showRichOnboarding"));
    ui->completeOnboarding();
    ASSERT_TRUE(waitUntil([&] { return events.count("showHubWindow") == 2; }));
    EXPECT_EQ(pipeline->setupCalls, 1);
    EXPECT_EQ(events.count("teardown"), 0);  // hotkeys keep working while signed out
}

TEST_F(AppDelegateTest, OnboardingCompletedDuringTheFirstSetupWaitsForIt) {
    start(true, {true, true}, /*holdSetup=*/true);
    ASSERT_TRUE(waitUntil([&] { return pipeline->setupCalls == 1; }));
    auth->logout();
    ASSERT_TRUE(waitUntil([&] { return events.count("showRichOnboarding") == 1; }));
    ui->completeOnboarding();
    ASSERT_TRUE(waitUntil([&] { return events.count("orderOutOnboarding") == 1; }));
    EXPECT_EQ(events.count("showHubWindow"), 0);
    pipeline->holdSetup = false;
    ASSERT_TRUE(waitUntil([&] { return events.count("showHubWindow") == 2; }));
    EXPECT_EQ(pipeline->setupCalls, 1);
}

TEST_F(AppDelegateTest, ShutdownFlushesAnalyticsThenTearsDownThenLogsOnce) {
    start(true);
    ASSERT_TRUE(running());
    events.list.clear();
    delegate->applicationWillTerminate();
    delegate->applicationWillTerminate();  // a signal arriving during a menu quit
    EXPECT_EQ(events.list, (QStringList{"flushAnalytics", "teardown"}));
    const QString log = loggedText();
    EXPECT_EQ(log.count("Vantrose: Application terminated"), 1);
}

struct AutoStopCase {
    const char* name;
    bool startAnotherDictation;
    const char* expectedStop;  // empty: nothing is stopped
};

class AutoStopTest : public AppDelegateTest, public ::testing::WithParamInterface<AutoStopCase> {};

TEST_P(AutoStopTest, StopsOnlyTheDictationThatSetIt) {
    const AutoStopCase& c = GetParam();
    start(true);
    ASSERT_TRUE(running());
    delegate->toggleDictationAction();
    ASSERT_EQ(pipeline->currentStatus, DictationStatus::listening);
    if (c.startAnotherDictation) {
        // The menu's dictation ended by the hotkey; another one, started by the hotkey, listens now.
        pipeline->currentStatus = DictationStatus::idle;
        pipeline->startDictation();
    }
    waitUntil([] { return false; }, std::chrono::milliseconds(120));
    const QStringList stops = events.list.filter("stopDictation:");
    if (QString(c.expectedStop).isEmpty())
        EXPECT_TRUE(stops.isEmpty()) << stops.join(",").toStdString();
    else
        EXPECT_EQ(stops, QStringList{c.expectedStop});
}

INSTANTIATE_TEST_SUITE_P(Menu, AutoStopTest,
                         ::testing::Values(AutoStopCase{"same", false, "stopDictation:dictation-1"},
                                           AutoStopCase{"another", true, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppDelegateTest, MenuToggleStopsWhileListeningAndIgnoresOtherStatuses) {
    start(true);
    ASSERT_TRUE(running());
    pipeline->currentStatus = DictationStatus::processing;
    delegate->toggleDictationAction();
    EXPECT_EQ(events.count("startDictation"), 0);
    pipeline->currentStatus = DictationStatus::idle;
    delegate->toggleDictationAction();
    delegate->toggleDictationAction();
    EXPECT_EQ(events.list.filter("stopDictation:"), QStringList{"stopDictation:dictation-1"});
}

TEST_F(AppDelegateTest, ChoosingAMicrophoneSetsTheDeviceAndStoresTheChoice) {
    start(true);
    delegate->selectMic(QStringLiteral("usb-mic"));
    EXPECT_EQ(pipeline->settings().selectedMicUID, std::optional<QString>("usb-mic"));
    delegate->selectMic(std::nullopt);
    EXPECT_FALSE(pipeline->settings().selectedMicUID.has_value());
    EXPECT_EQ(events.list.filter("setMicDevice:"), (QStringList{"setMicDevice:usb-mic", "setMicDevice:default"}));
}

TEST_F(AppDelegateTest, HandedOverRequestsReachTheAccountObjectOrTheHub) {
    start(true);
    ASSERT_TRUE(running());
    events.list.clear();
    delegate->handleInstanceMessage("url vantrose://auth/callback?code=SECRETCODE&state=x");
    delegate->handleInstanceMessage("url not a url at all");
    delegate->handleInstanceMessage(SingleInstance::showHubMessage);
    EXPECT_EQ(events.list, (QStringList{"activate", "showHubWindow"}));
    const QString log = loggedText();
    EXPECT_TRUE(log.contains("Auth: Received URL callback: vantrose://auth/callback?code=<redacted>&state=<redacted>"));
    EXPECT_TRUE(log.contains("Auth: Ignored a callback that is not a valid URL"));
    EXPECT_FALSE(log.contains("SECRETCODE"));
}

}  // namespace

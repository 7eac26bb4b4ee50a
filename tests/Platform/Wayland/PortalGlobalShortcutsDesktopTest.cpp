// The global shortcuts client against the fake portal on the test desktop's session bus: the
// session and its binding, press and release, and every way a portal can let it down.
#include "Platform/Wayland/PortalGlobalShortcuts.h"

#include "Foundation/Clock.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/Wayland/PortalShortcutKeys.h"
#include "support/AwaitTask.h"
#include "support/FakePortal.h"
#include "support/LogText.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;
using State = PortalGlobalShortcuts::State;

namespace {

const QList<HotkeyBinding> kBindings = {
    {HotkeyAction::activate, {Hotkey::rightOptionKeyCode, 0}},
    {HotkeyAction::lock, {49, Hotkey::optionFlag}},
    {HotkeyAction::pasteLastTranscript, {9, Hotkey::controlFlag | Hotkey::commandFlag}},
    {HotkeyAction::cancel, {Hotkey::escapeKeyCode, 0}},
};

// Short deadlines: a silent portal is given up on quickly.
PortalGlobalShortcuts::Deadlines quickDeadlines() { return {300ms, 300ms, 300ms}; }

// The client, the key adapter and the hotkey matching, wired as the program wires them.
struct Chain {
    Chain() {
        Clock::setCurrent(&clock);
        portal.setDeadlines(quickDeadlines());
        monitor.onPushToTalkDown = [this] { calls.push_back("down"); };
        monitor.onPushToTalkUp = [this] { calls.push_back("up"); };
        monitor.onLock = [this] { calls.push_back("lock"); };
        monitor.onDismiss = [this] { calls.push_back("cancel"); };
        monitor.setHotkeyBindings(kBindings);
        monitor.startWithoutKeySource();
        keys.setBindings(kBindings);
        QObject::connect(&portal, &PortalGlobalShortcuts::activated, [this](HotkeyAction a) { keys.activated(a); });
        QObject::connect(&portal, &PortalGlobalShortcuts::deactivated, [this](HotkeyAction a) { keys.deactivated(a); });
        QObject::connect(&portal, &PortalGlobalShortcuts::sessionEnded, [this] { keys.releaseAll(); });
    }
    ~Chain() { Clock::setCurrent(nullptr); }

    State start() { return AwaitTask::run(portal.start(kBindings), 10s); }
    bool waitForCalls(const std::vector<std::string>& expected) {
        return waitUntil([&] { return calls == expected; });
    }

    ManualClock clock;
    PortalGlobalShortcuts portal;
    KeyboardMonitor monitor;
    std::vector<std::string> calls;
    PortalShortcutKeys keys{[this](const KeySourceEvent& e) { monitor.handleEvent(e); }};
};

TEST(PortalGlobalShortcutsTest, BindsOneShortcutPerActionWithTheUsersBindingAsTrigger) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    EXPECT_TRUE(
        fake.log().contains("BindShortcuts activate=Alt_R lock=ALT+space paste_last_transcript=CTRL+LOGO+v cancel=-"))
        << fake.log().join("\n").toStdString();
    EXPECT_TRUE(chain.portal.isBound(HotkeyAction::activate));
    EXPECT_EQ(chain.portal.boundShortcuts().value(0).trigger, "Alt_R");
    EXPECT_TRUE(chain.portal.problem().isEmpty());
}

TEST(PortalGlobalShortcutsTest, ActivatedAndDeactivatedArePressAndRelease) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    fake.activate("activate");
    EXPECT_TRUE(chain.waitForCalls({"down"}));
    fake.activate("cancel");
    fake.deactivate("cancel");
    fake.deactivate("activate");
    fake.activate("lock");
    fake.deactivate("lock");
    EXPECT_TRUE(chain.waitForCalls({"down", "cancel", "up", "lock"})) << chain.calls.size();
}

TEST(PortalGlobalShortcutsTest, AHeldPushToTalkIsReleasedWhenTheDesktopClosesTheSession) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    fake.activate("activate");
    ASSERT_TRUE(chain.waitForCalls({"down"}));
    fake.closeSessions();  // and no Deactivated ever comes
    EXPECT_TRUE(chain.waitForCalls({"down", "up"}));
    EXPECT_EQ(chain.portal.state(), State::closed);
}

TEST(PortalGlobalShortcutsTest, APortalRestartingMidDictationReleasesAndBindsAgain) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    fake.activate("activate");
    ASSERT_TRUE(chain.waitForCalls({"down"}));

    fake.drop();
    EXPECT_TRUE(chain.waitForCalls({"down", "up"}));
    EXPECT_TRUE(waitUntil([&] { return chain.portal.state() == State::portalGone; }));
    fake.take();
    EXPECT_TRUE(waitUntil([&] { return chain.portal.state() == State::active; }));
    EXPECT_EQ(fake.log().filter("CreateSession").size(), 2);

    fake.activate("activate");  // the new session's shortcut
    EXPECT_TRUE(chain.waitForCalls({"down", "up", "down"}));
}

TEST(PortalGlobalShortcutsTest, APortalRestartingWhileTheUserChoosesBindsAgainWhenBack) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    fake.setMode("BindShortcuts", "silent");  // the desktop's dialog is still open
    Chain chain;
    chain.portal.setDeadlines({300ms, 300ms, 30s});
    chain.portal.start(kBindings);  // runs on by itself
    ASSERT_TRUE(waitUntil([&] { return !fake.log().filter("BindShortcuts").isEmpty(); }));

    fake.setMode("BindShortcuts", "accept");
    fake.drop();
    EXPECT_TRUE(waitUntil([&] { return chain.portal.state() == State::portalGone; }));
    fake.take();
    EXPECT_TRUE(waitUntil([&] { return chain.portal.state() == State::active; }));
}

TEST(PortalGlobalShortcutsTest, StoppingClosesTheSessionAndReleases) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    fake.activate("activate");
    ASSERT_TRUE(chain.waitForCalls({"down"}));
    chain.portal.stop();
    EXPECT_TRUE(chain.waitForCalls({"down", "up"}));
    EXPECT_TRUE(waitUntil([&] { return fake.log().contains("Session.Close"); }));
    fake.activate("activate");  // a late signal for the old session changes nothing
    QCoreApplication::processEvents();
    EXPECT_EQ(chain.calls, (std::vector<std::string>{"down", "up"}));
}

TEST(PortalGlobalShortcutsTest, MalformedSignalsAreIgnoredAndLoggedOnce) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Chain chain;
    ASSERT_EQ(chain.start(), State::active);
    const qsizetype mark = logMark();
    fake.sendGarbageSignals();
    fake.sendGarbageSignals();
    fake.activate("lock");
    ASSERT_TRUE(chain.waitForCalls({"lock"}));
    const QString log = loggedTextSince(mark);
    EXPECT_EQ(log.count("malformed signal from the desktop portal: Activated"), 1) << log.toStdString();
    EXPECT_EQ(log.count("malformed signal from the desktop portal: Deactivated"), 1) << log.toStdString();
}

TEST(PortalGlobalShortcutsTest, ABindingWithoutPushToTalkSaysSo) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    fake.setMode("BindShortcuts", "bind-none");
    Chain chain;
    EXPECT_EQ(chain.start(), State::active);
    EXPECT_FALSE(chain.portal.isBound(HotkeyAction::activate));
}

struct FailureCase {
    const char* name;
    QStringList arguments;  // the fake's; empty method: no fake at all
    const char* method;
    const char* mode;
    State expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class PortalFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PortalFailureTest, EndsInAStateThatSaysWhyAndLogsItOnce) {
    const FailureCase& c = GetParam();
    FakePortal fake(c.arguments);
    if (QByteArray(c.name) != "NoPortal") {
        ASSERT_TRUE(fake.start());
        if (*c.method) fake.setMode(c.method, c.mode);
    }
    const qsizetype mark = logMark();
    Chain chain;
    EXPECT_EQ(chain.start(), c.expected) << rawValue(chain.portal.state()).toStdString();
    EXPECT_FALSE(chain.portal.problem().isEmpty());
    EXPECT_EQ(loggedTextSince(mark).count("Global shortcuts through the desktop portal: " + rawValue(c.expected)), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PortalFailureTest,
    ::testing::Values(FailureCase{"NoPortal", {}, "", "", State::missing},
                      FailureCase{"NoGlobalShortcuts", {"--without=GlobalShortcuts"}, "", "", State::missing},
                      FailureCase{"SessionRefused", {}, "CreateSession", "refuse", State::refused},
                      FailureCase{"BindingRefused", {}, "BindShortcuts", "refuse", State::refused},
                      FailureCase{"BindingEnded", {}, "BindShortcuts", "fail", State::failed},
                      FailureCase{"ErrorReply", {}, "CreateSession", "error", State::failed},
                      FailureCase{"NoReply", {}, "CreateSession", "noreply", State::noAnswer},
                      FailureCase{"NoResponse", {}, "BindShortcuts", "silent", State::noAnswer},
                      FailureCase{"ReplyOfTheWrongType", {}, "CreateSession", "garbage-reply", State::badReply},
                      FailureCase{
                          "ResponseOfTheWrongSignature", {}, "BindShortcuts", "garbage-response", State::badReply},
                      FailureCase{"SessionHandleOfTheWrongType", {}, "CreateSession", "bad-results", State::badReply},
                      FailureCase{"ShortcutListOfTheWrongType", {}, "BindShortcuts", "bad-results", State::badReply}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

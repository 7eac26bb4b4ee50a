// The remote desktop client against the fake portal: asked once, the paste chord, and what the
// user is told when the keys cannot be sent.
#include "Platform/Wayland/PortalRemoteDesktop.h"

#include "Foundation/UserDefaults.h"
#include "support/AwaitTask.h"
#include "support/FakePortal.h"
#include "support/LogText.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using State = PortalRemoteDesktop::State;

namespace {

constexpr uint32_t kControlL = 0xffe3, kV = 0x76;
const QString kTokenKey = QString::fromLatin1(PortalRemoteDesktop::restoreTokenKey);

struct Client {
    Client() { desktop.setDeadlines({300ms, 300ms, 300ms}); }
    State start() { return AwaitTask::run(desktop.start(), 10s); }
    bool paste() { return AwaitTask::run(desktop.sendChord({kControlL, kV}), 10s); }
    PortalRemoteDesktop desktop{UserDefaults::shared()};
};

class PortalRemoteDesktopTest : public ::testing::Test {
protected:
    void SetUp() override { UserDefaults::shared().remove(kTokenKey); }
    void TearDown() override { UserDefaults::shared().remove(kTokenKey); }
};

TEST_F(PortalRemoteDesktopTest, AsksForTheKeyboardOnceAndSendsThePasteChord) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Client client;
    ASSERT_EQ(client.start(), State::ready);
    EXPECT_TRUE(fake.log().contains("SelectDevices persist_mode=2 types=1")) << fake.log().join("\n").toStdString();
    const QString token = UserDefaults::shared().string(kTokenKey);
    EXPECT_FALSE(token.isEmpty());

    EXPECT_TRUE(client.paste());
    EXPECT_EQ(fake.sentKeys(), (QStringList{"keysym 65507 1", "keysym 118 1", "keysym 118 0", "keysym 65507 0"}));
    EXPECT_TRUE(AwaitTask::run(client.desktop.sendKeycode(29, true), 10s));
    EXPECT_EQ(fake.sentKeys().last(), "keycode 29 1");
    EXPECT_TRUE(client.desktop.userMessage().isEmpty());
}

TEST_F(PortalRemoteDesktopTest, TheNextStartHandsTheRestoreTokenBackAndKeepsTheNewOne) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    QString first;
    {
        Client client;
        ASSERT_EQ(client.start(), State::ready);
        first = UserDefaults::shared().string(kTokenKey);
    }
    Client again;
    ASSERT_EQ(again.start(), State::ready);
    EXPECT_TRUE(fake.log().contains("SelectDevices persist_mode=2 restore_token=" + first + " types=1"))
        << fake.log().join("\n").toStdString();
    const QString second = UserDefaults::shared().string(kTokenKey);
    EXPECT_FALSE(second.isEmpty());
    EXPECT_NE(second, first);  // a token serves once
}

TEST_F(PortalRemoteDesktopTest, ARefusalIsAClearMessageAndSendsNothing) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    fake.setMode("Start", "refuse");
    UserDefaults::shared().setValue(kTokenKey, "token-from-before");
    Client client;
    EXPECT_EQ(client.start(), State::refused);
    EXPECT_FALSE(client.paste());
    EXPECT_TRUE(fake.sentKeys().isEmpty());
    EXPECT_TRUE(client.desktop.userMessage().contains("on the clipboard and in the history"));
    EXPECT_FALSE(UserDefaults::shared().contains(kTokenKey));  // the token handed in is spent
}

TEST_F(PortalRemoteDesktopTest, AKeyThePortalWillNotTakeEndsTheSession) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Client client;
    ASSERT_EQ(client.start(), State::ready);
    fake.setMode("NotifyKeyboardKeysym", "error");
    EXPECT_FALSE(client.paste());
    EXPECT_EQ(client.desktop.state(), State::failed);
    EXPECT_FALSE(client.desktop.userMessage().isEmpty());
}

TEST_F(PortalRemoteDesktopTest, APortalThatGoesAwayEndsTheSessionAndTheNextStartMakesANewOne) {
    FakePortal fake;
    ASSERT_TRUE(fake.start());
    Client client;
    ASSERT_EQ(client.start(), State::ready);
    fake.drop();
    EXPECT_TRUE(waitUntil([&] { return client.desktop.state() == State::portalGone; }));
    EXPECT_FALSE(client.paste());
    fake.take();
    EXPECT_EQ(client.start(), State::ready);
    EXPECT_TRUE(client.paste());
}

struct FailureCase {
    const char* name;
    QStringList arguments;
    const char* method;
    const char* mode;
    State expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RemoteDesktopFailureTest : public PortalRemoteDesktopTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RemoteDesktopFailureTest, EndsInAStateWithAMessageForTheUser) {
    const FailureCase& c = GetParam();
    FakePortal fake(c.arguments);
    if (QByteArray(c.name) != "NoPortal") {
        ASSERT_TRUE(fake.start());
        if (*c.method) fake.setMode(c.method, c.mode);
    }
    const qsizetype mark = logMark();
    Client client;
    EXPECT_EQ(client.start(), c.expected) << rawValue(client.desktop.state()).toStdString();
    EXPECT_TRUE(client.desktop.userMessage().contains("press Ctrl+V")) << client.desktop.userMessage().toStdString();
    EXPECT_EQ(loggedTextSince(mark).count("Keyboard control through the desktop portal: " + rawValue(c.expected)), 1);
    EXPECT_FALSE(client.paste());
}

INSTANTIATE_TEST_SUITE_P(
    Tables, RemoteDesktopFailureTest,
    ::testing::Values(FailureCase{"NoPortal", {}, "", "", State::missing},
                      FailureCase{"NoRemoteDesktop", {"--without=RemoteDesktop"}, "", "", State::missing},
                      FailureCase{"DevicesRefused", {}, "SelectDevices", "refuse", State::refused},
                      FailureCase{"KeyboardNotGranted", {}, "Start", "no-keyboard", State::noKeyboard},
                      FailureCase{"StartEnded", {}, "Start", "fail", State::failed},
                      FailureCase{"NoReply", {}, "SelectDevices", "noreply", State::noAnswer},
                      FailureCase{"NoResponse", {}, "Start", "silent", State::noAnswer},
                      FailureCase{
                          "ResponseOfTheWrongSignature", {}, "CreateSession", "garbage-response", State::badReply},
                      FailureCase{"DevicesOfTheWrongType", {}, "Start", "bad-results", State::badReply}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The program's pipeline assembled on a Wayland session (Sway, headless, run as a user of the
// test's own): the hotkey comes from the desktop portal's global shortcuts, the spoken sentence is
// recognised on this machine, and the text lands in a native Wayland GTK field through the
// compositor's clipboard and virtual keyboard; the user's clipboard comes back afterwards.
#include "Assembly/PipelineAssembly.h"

#include "Core/Audio/SoundManager.h"
#include "Foundation/UserDefaults.h"
#include "Platform/DesktopBackend.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandVirtualKeyboard.h"

#include "support/DesktopDictation.h"
#include "support/FakePortal.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <QCoro/QCoroTask>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 60s;  // the desktop suite may share the machine with other builds

TEST(WaylandAssemblyDesktopTest, APortalHotkeyDictationLandsInTheNativeFieldAndTheClipboardComesBack) {
    if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual desktop (scripts/with-desktop.sh)";
    ASSERT_TRUE(SpeechFixture::toolsAvailable()) << "flite and sox make the spoken sentence";
    SwayCompositor sway;
    if (!sway.start()) {
        if (!sway.skipReason().isEmpty()) GTEST_SKIP() << sway.skipReason().toStdString();
        FAIL() << "Sway did not start:\n" << sway.log().toStdString();
    }
    // The portal offers global shortcuts but no remote desktop: the paste keys go through Sway's
    // virtual keyboard.
    FakePortal portal({QStringLiteral("--without=RemoteDesktop")});
    ASSERT_TRUE(portal.start());
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    server.setLLMProviders(QJsonObject{{"loopback", false}});
    SoundManager::setSoundsDirectory(QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds"));

    ScopedWaylandSession session(sway.socket());
    ASSERT_EQ(DesktopBackend::current().name(), "wayland");

    const QByteArray userCopy = "the user's own clipboard";
    WaylandCopy copy(sway.socket(), userCopy);
    ASSERT_TRUE(waitUntil([&] { return waylandClipboard(sway.socket(), "text/plain") == userCopy; }));
    WaylandGtkEntry field(sway.socket(), "Wayland dictation target");
    ASSERT_TRUE(sway.waitForFocus(field.pid())) << "the field never took the focus";

    const qsizetype mark = loggedText().size();
    VantroseSettings settings;
    settings.cloudServerURL = server.baseUrl();
    std::unique_ptr<DictationPipeline> pipeline = assembleDictationPipeline(settings);
    bool setUp = false;
    auto setup = [](DictationPipeline* p, bool* done) -> QCoro::Task<> {
        co_await p->setup();
        *done = true;
    }(pipeline.get(), &setUp);
    ASSERT_TRUE(waitUntil([&] { return setUp; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return loggedTextSince(mark).contains("HotkeySource: Global hotkey from: portal"); },
                          kDeadline))
        << loggedTextSince(mark).toStdString();

    // Push-to-talk held through the portal's shortcut while the sentence is spoken.
    const QString sentence = SpeechFixture::sentences().first();
    const QString failure = holdKeyAndSpeak(
        [&](bool down) {
            down ? portal.activate(QStringLiteral("activate")) : portal.deactivate(QStringLiteral("activate"));
            return true;
        },
        [&] { return pipeline->status() == DictationStatus::listening; }, spokenSentence(sentence), kDeadline);
    ASSERT_TRUE(failure.isEmpty()) << failure.toStdString() << "\n" << loggedTextSince(mark).toStdString();
    ASSERT_TRUE(waitUntil([&] { return pipeline->lastResult().has_value(); }, kDeadline))
        << loggedTextSince(mark).toStdString();
    const QString pasted = pipeline->lastResult()->pastedText;
    EXPECT_LE(SpeechFixture::wordErrorRate(sentence, pasted), 0.35) << pasted.toStdString();

    // The user's clipboard comes back once the paste is done with it.
    EXPECT_TRUE(waitUntil([&] { return waylandClipboard(sway.socket(), "text/plain") == userCopy; }, kDeadline))
        << waylandClipboard(sway.socket(), "text/plain").value_or("<none>").toStdString();

    // The field holds the dictated text: Return makes it print what it holds.
    auto keysConnection = std::make_shared<WaylandConnection>(QStringLiteral("test-keys"));
    ASSERT_TRUE(keysConnection->connect(sway.socket()));
    WaylandVirtualKeyboard keys(keysConnection);
    ASSERT_TRUE(keys.pressKeys({}, XKB_KEY_Return));
    const std::optional<QString> printed = field.waitForPrintedText();
    ASSERT_TRUE(printed) << loggedTextSince(mark).toStdString();
    EXPECT_EQ(printed->trimmed(), pasted.trimmed());
    // The portal has no remote desktop: the chord went through the virtual keyboard instead.
    EXPECT_TRUE(loggedTextSince(mark).contains("keys through the remote desktop portal, else the virtual keyboard"))
        << loggedTextSince(mark).toStdString();
    EXPECT_TRUE(portal.sentKeys().isEmpty());

    pipeline->teardown();
}

}  // namespace

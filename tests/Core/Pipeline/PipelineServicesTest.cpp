#include "support/Pipeline/PipelineHarness.h"

#include "Core/Learning/OutcomeTracker.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/UserDefaults.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;

// ----- Settings: one assignment path --------------------------------------------------------

TEST(PipelineSettings, ChangeIsSavedAndPushedOnce) {
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, server.issueTokens().accessToken);
    const auto puts = [&] {
        int n = 0;
        for (const RecordedRequest& r : server.requests(server.paths().settings)) n += r.method == "PUT";
        return n;
    };
    {
        PipelineHarness h;
        h.setUp();
        // Set-up pulls the server's copy once and pushes nothing.
        ASSERT_TRUE(waitUntil([&] {
            return server.requestCount(server.paths().settings) == 1 && NetworkSession::requestsInFlight() == 0;
        }));
        EXPECT_EQ(puts(), 0);

        h.pipeline->updateSettings([](VantroseSettings& s) { s.customWords << QStringLiteral("Quillon"); });
        ASSERT_TRUE(waitUntil([&] { return puts() == 1 && NetworkSession::requestsInFlight() == 0; }));
        QFile file(SettingsStore::settingsPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll().contains("Quillon"));
        EXPECT_EQ(h.pipeline->settings().customWords, QStringList{QStringLiteral("Quillon")});
        EXPECT_EQ(puts(), 1);
    }
    EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
}

TEST(PipelineSettings, HotkeyChangeIsHandedToTheKeyboardMonitor) {
    PipelineHarness h;
    h.setUp();
    const Hotkey rightControl{62, 0};
    h.pipeline->updateHotkey(rightControl, HotkeyAction::activate);
    EXPECT_EQ(h.keyboard->hotkey(), rightControl);
    EXPECT_EQ(h.keyboard->pushToTalkKeyCode(), 62);
    EXPECT_EQ(h.keyboard->hotkeyBindings(), h.pipeline->settings().hotkeys);

    // A change that leaves the hotkeys alone does not reconfigure the monitor.
    const int changes = h.keyboard->configurationChanges;
    h.pipeline->updateSettings([](VantroseSettings& s) { s.language = QStringLiteral("de-DE"); });
    EXPECT_EQ(h.keyboard->configurationChanges, changes);
}

// ----- Typing reminders ---------------------------------------------------------------------

TEST(PipelineTypingReminders, HotkeyPressAcceptsAShownSuggestion) {
    PipelineHarness h;
    h.setUp();
    h.detector->frontApp = FakeAppDetector::app(QStringLiteral("Notes"), QStringLiteral("org.example.notes"));
    // A sustained burst of typing: a key a second for 25 s.
    for (int i = 0; i < 25 && !h.pipeline->typingSuggestion(); ++i) {
        h.clock.advance(std::chrono::seconds(1));
        h.keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
    }
    ASSERT_TRUE(h.pipeline->typingSuggestion().has_value());
    EXPECT_TRUE(h.pipeline->typingSuggestionValue().isValid());

    h.pipeline->handlePushToTalkDown();
    EXPECT_EQ(h.pipeline->status(), S::listening);
    EXPECT_FALSE(h.pipeline->typingSuggestion().has_value());
    bool keyboardAccept = false;
    for (const auto& t : h.services->tracked)
        keyboardAccept |= t.event == QStringLiteral("typing_reminder_accept_trigger") &&
                          t.properties.value(QStringLiteral("trigger")) == QStringLiteral("keyboard");
    EXPECT_TRUE(keyboardAccept);
    // The press only accepted: no persistent mode, no double tap.
    EXPECT_FALSE(h.pipeline->isPersistentMode());

    // Nor is it the first half of one: release and press again at once after speaking.
    h.audio->feed(25);
    h.clock.advance(std::chrono::milliseconds(200));
    h.pipeline->handlePushToTalkUp();
    ASSERT_NE(h.pipeline->status(), S::listening);
    h.clock.advance(std::chrono::milliseconds(200));
    h.pipeline->handlePushToTalkDown();
    EXPECT_FALSE(h.pipeline->isPersistentMode());
    EXPECT_FALSE(h.services->trackedEvents().contains(QStringLiteral("popo_lock")));
}

// ----- Learning from the paste --------------------------------------------------------------

struct LearningHarness : PipelineHarness {
    explicit LearningHarness(bool fieldReadable) {
        setUp();
        detector->activate(FakeAppDetector::app(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), 4242));
        contextEngine->context.app.bundleId = QStringLiteral("org.example.editor");
        contextEngine->context.textboxContents.beforeText = QStringLiteral("Dear team, ");
        contextEngine->context.textboxContents.accessibilityIsFunctioning = fieldReadable;
    }
};

TEST(PipelineLearning, BatchPasteIntoAReadableFieldStartsBothWatches) {
    const struct {
        bool readable;
        int watches;
    } table[] = {{true, 2}, {false, 0}};  // a field that cannot be read (a password field) is never watched
    for (const auto& row : table) {
        SCOPED_TRACE(row.readable);
        LearningHarness h(row.readable);
        ASSERT_TRUE(h.dictate());
        ASSERT_EQ(h.inserter->calls.size(), 1);
        ASSERT_EQ(h.reader->observations.size(), row.watches);
        for (const auto& watch : h.reader->observations) EXPECT_EQ(watch.pid, 4242);
        if (row.watches == 2) {
            EXPECT_EQ(h.reader->observations[0].duration, DictationLearning::correctionWatch);
            EXPECT_EQ(h.reader->observations[1].duration, DictationLearning::observationPeriod);
        }
    }
}

TEST(PipelineLearning, WebSocketResultStartsNoWatch) {
    LearningHarness h(true);
    h.link->linkState = AbstractStreamingLink::State::connected;
    h.record(25);
    h.pipeline->stopDictation();
    ASSERT_TRUE(waitUntil([&] { return h.link->commits.size() == 1; }));
    h.link->onFinalResult(QStringLiteral("hello world"), QStringLiteral("Hello world."), {});
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_EQ(h.inserter->calls.size(), 1);
    EXPECT_TRUE(h.reader->observations.isEmpty());
}

// "Play feedback sounds" and "Auto-learn new words" take effect at the next dictation; the
// feature switch in Vantrose.conf, where set, wins over them.
TEST(PipelineSwitches, SoundsAndLearningFollowTheSettingsUnlessTheFeatureSwitchIsSet) {
    struct Case {
        bool setting;
        std::optional<bool> featureSwitch;
        bool on;
    };
    const Case cases[] = {
        {true, std::nullopt, true}, {false, std::nullopt, false}, {false, true, true},
        {true, false, false},       {true, true, true},           {false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "setting " << c.setting << " switch "
                                        << (c.featureSwitch ? int(*c.featureSwitch) : -1));
        LearningHarness h(true);
        if (c.featureSwitch) {
            h.services->flagSettings.insert(QStringLiteral("sound-effects"), *c.featureSwitch);
            h.services->flagSettings.insert(QStringLiteral("auto-learn-words"), *c.featureSwitch);
        }
        // Changed on the running pipeline, as the settings pane does.
        h.pipeline->updateSettings([&](VantroseSettings& s) { s.soundsEnabled = s.autoLearnWords = c.setting; });
        h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("please ask Quillon about it")));
        ASSERT_TRUE(h.dictate());
        const QStringList sounds{"vantrose_on_off_sound.mp3", "vantrose_on_off_sound.mp3", "paste.wav"};
        EXPECT_EQ(h.services->sounds, c.on ? sounds : QStringList());
        EXPECT_EQ(h.history->addedWords, c.on ? QStringList{QStringLiteral("Quillon")} : QStringList());
        EXPECT_EQ(h.pipeline->settings().customWords.contains(QStringLiteral("Quillon")), c.on);
    }
}

}  // namespace

#include "Core/Learning/TypingReminderController.h"
#include "Models/Hotkey.h"
#include "support/InstalledManualClock.h"
#include "support/LogText.h"

#include <QList>
#include <QPair>

#include <gtest/gtest.h>

#include <memory>

namespace {

using Config = TypingReminderEngine::Configuration;
using namespace std::chrono_literals;

class TypingReminderTest : public ::testing::Test {
protected:
    InstalledManualClock calls;
    VantroseSettings settings;
    QList<QPair<QString, QVariantMap>> events;
    std::optional<ActiveAppInfo> app =
        ActiveAppInfo{QStringLiteral("Editor"), QStringLiteral("org.example.Editor"), 42, {}};
    int dictationStarts = 0;
    int latches = 0;
    int settingsWrites = 0;
    std::unique_ptr<TypingReminderController> controller;

    void SetUp() override { make(); }

    void make(Config config = Config()) {
        TypingReminderController::Hooks hooks;
        hooks.track = [this](const QString& event, const QVariantMap& properties) {
            events.append({event, properties});
        };
        hooks.frontmostApp = [this] { return app; };
        hooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) {
            const VantroseSettings old = settings;
            change(settings);
            ++settingsWrites;
            controller->applySettingsChange(old, settings);
        };
        hooks.latchContinuousDictation = [this] { ++latches; };
        hooks.startDictation = [this] { ++dictationStarts; };
        controller = std::make_unique<TypingReminderController>(settings, hooks, config);
    }

    void key(const QString& characters = QStringLiteral("a"), quint64 flags = 0, quint16 keyCode = 0,
             DictationStatus status = DictationStatus::idle, bool repeat = false) {
        controller->handleGlobalKeyDown(KeyEvent{keyCode, flags, characters, repeat}, status,
                                        Hotkey::rightOptionKeyCode);
    }
    // `count` one-character keys `gap` seconds apart, the first one now.
    void typeKeys(int count, double gap) {
        for (int i = 0; i < count; ++i) {
            if (i > 0) calls.advance(std::chrono::duration<double>(gap));
            key();
        }
    }
    // A burst that has run 20 s with 19 characters: the next counted key makes a suggestion.
    void almostBurst() {
        for (int i = 0; i < 19; ++i) almostBurstKey(i, [this] { key(); });
    }
    // Key i of such a burst: one key a second, the last one 3 s after the one before.
    void almostBurstKey(int i, const std::function<void()>& press) {
        if (i > 0) calls.advance(std::chrono::duration<double>(i < 18 ? 1.0 : 3.0));
        press();
    }
    bool shown() const { return controller->typingSuggestion().has_value(); }
    QStringList eventNames() const {
        QStringList names;
        for (const auto& e : events) names << e.first;
        return names;
    }
    QVariantMap lastEvent(const QString& name) const {
        for (auto it = events.crbegin(); it != events.crend(); ++it)
            if (it->first == name) return it->second;
        return {};
    }
};

TEST_F(TypingReminderTest, BurstNeedsTwentyCharactersOverTwentySeconds) {
    typeKeys(16, 2.0);  // 19 characters over 30 s
    key();
    key();
    key();
    EXPECT_FALSE(shown());
    calls.advance(std::chrono::seconds(1));
    key();
    ASSERT_TRUE(shown());
    const QVariantMap shownEvent = lastEvent(QStringLiteral("typing_reminder_shown"));
    EXPECT_EQ(shownEvent.value(QStringLiteral("characters")).toInt(), 20);
    EXPECT_NEAR(shownEvent.value(QStringLiteral("duration_s")).toDouble(), 31.0, 1e-6);
    EXPECT_EQ(shownEvent.value(QStringLiteral("bundle_id")).toString(), "org.example.Editor");
    EXPECT_EQ(controller->typingSuggestion()->message, "Want to say this instead?");
    EXPECT_TRUE(loggedText().contains("TypingReminder: threshold met! Editor chars=20 dur=31s"));
    EXPECT_TRUE(loggedText().contains("TypingReminder: showing suggestion for Editor"));
    // The burst was reset: the next suggestion needs a fresh one.
    EXPECT_EQ(controller->engine().burstCharacters(QStringLiteral("org.example.Editor")), 0);
}

TEST_F(TypingReminderTest, FastTypingWaitsUntilTheBurstIsTwentySecondsLong) {
    typeKeys(41, 0.25);  // 41 characters in 10 s
    EXPECT_FALSE(shown());
    calls.advance(std::chrono::seconds(5));
    key();
    EXPECT_FALSE(shown());
    calls.advance(std::chrono::seconds(5));
    key();  // 20 s after the first key
    EXPECT_TRUE(shown());
}

TEST_F(TypingReminderTest, AGapLongerThanSixSecondsStartsANewBurst) {
    const struct {
        double gap;
        bool suggestion;
    } cases[] = {{6.0, true}, {6.1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gap);
        make();
        typeKeys(10, 2.0);  // 10 characters over 18 s
        calls.advance(std::chrono::duration<double>(c.gap));
        typeKeys(10, 0.3);
        EXPECT_EQ(shown(), c.suggestion);
        EXPECT_EQ(controller->engine().burstCharacters(QStringLiteral("org.example.Editor")), c.suggestion ? 0 : 10);
    }
}

TEST_F(TypingReminderTest, OnlyKeysThatTypeTextCount) {
    const struct {
        const char* name;
        QString characters;
        quint64 flags;
        quint16 keyCode;
        DictationStatus status = DictationStatus::idle;
        bool repeat;
        bool counts;
    } cases[] = {
        {"letter", "a", 0, 0, DictationStatus::idle, false, true},
        {"shift+A", "A", Hotkey::shiftFlag, 0, DictationStatus::idle, false, true},
        {"option+e", "é", Hotkey::optionFlag, 14, DictationStatus::idle, false, true},
        {"auto-repeat", "a", 0, 0, DictationStatus::idle, true, true},
        {"tab", "\t", 0, 48, DictationStatus::idle, false, true},
        {"after an error", "a", 0, 0, DictationStatus::error, false, true},
        {"command+c", "c", Hotkey::commandFlag, 8, DictationStatus::idle, false, false},
        {"command+v", "v", Hotkey::commandFlag, 9, DictationStatus::idle, false, false},
        {"control+a", "a", Hotkey::controlFlag, 0, DictationStatus::idle, false, false},
        {"arrow key", QString(QChar(0xF702)), 0, 123, DictationStatus::idle, false, false},
        {"function key", "", Hotkey::functionFlag, 96, DictationStatus::idle, false, false},
        {"escape", "\x1b", 0, 53, DictationStatus::idle, false, false},
        {"push-to-talk key", "a", 0, Hotkey::rightOptionKeyCode, DictationStatus::idle, false, false},
        {"while listening", "a", 0, 0, DictationStatus::listening, false, false},
        {"while processing", "a", 0, 0, DictationStatus::processing, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make();
        almostBurst();
        ASSERT_FALSE(shown());
        key(c.characters, c.flags, c.keyCode, c.status, c.repeat);
        EXPECT_EQ(shown(), c.counts);
    }
}

TEST(TypingReminderCountTest, PrintableCharacters) {
    const struct {
        QString text;
        int count;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"\t\n\r", 3},
        {QString(QChar(0x1b)) + "a", 1},
        {QString(QChar(0xF700)) + QString(QChar(0xF8FF)), 0},
        {QString::fromUtf8("😀"), 1},  // one scalar, two UTF-16 units
    };
    for (const auto& c : cases)
        EXPECT_EQ(TypingReminderController::printableCharacterCount(c.text), c.count) << c.text.toStdString();
}

TEST_F(TypingReminderTest, WithoutAFrontmostApplicationKeysCountAsUnknown) {
    app.reset();
    almostBurst();
    key();
    ASSERT_TRUE(shown());
    EXPECT_EQ(controller->typingSuggestion()->bundleId, "unknown");
    EXPECT_EQ(controller->typingSuggestion()->appName, "Unknown");
}

TEST_F(TypingReminderTest, TheDetailNamesTheConfiguredHotkey) {
    settings.setHotkey(Hotkey{96, 0}, HotkeyAction::activate);  // F5
    make();
    almostBurst();
    key();
    ASSERT_TRUE(shown());
    EXPECT_EQ(controller->typingSuggestion()->detail, "Hold F5 or click to talk");

    // A rebinding through the settings is picked up by the next suggestion.
    controller->dismissTypingSuggestion(false);
    Hotkey rebound{Hotkey::rightOptionKeyCode, Hotkey::optionFlag};
    VantroseSettings old = settings;
    settings.setHotkey(rebound, HotkeyAction::activate);
    controller->applySettingsChange(old, settings);
    almostBurst();
    calls.advance(std::chrono::seconds(1));
    key();
    ASSERT_TRUE(shown());
    EXPECT_EQ(controller->typingSuggestion()->detail, "Hold " + rebound.displayName() + " or click to talk");
}

TEST_F(TypingReminderTest, AnIgnoredSuggestionDisappearsAfterEightSeconds) {
    almostBurst();
    key();
    ASSERT_TRUE(shown());
    calls.advance(std::chrono::milliseconds(7900));
    EXPECT_TRUE(shown());
    calls.advance(std::chrono::milliseconds(100));
    EXPECT_FALSE(shown());
    const QVariantMap expired = lastEvent(QStringLiteral("typing_reminder_auto_dismiss"));
    EXPECT_EQ(expired.value(QStringLiteral("bundle_id")).toString(), "org.example.Editor");
    EXPECT_EQ(expired.value(QStringLiteral("app_name")).toString(), "Editor");
}

TEST_F(TypingReminderTest, ANewerSuggestionReplacesTheShownOneAndOutlivesItsTimer) {
    const ActiveAppInfo editor = *app;
    const ActiveAppInfo mail{QStringLiteral("Mail"), QStringLiteral("org.example.Mail"), 43, {}};
    for (int i = 0; i < 19; ++i) {  // both applications type along at the same time
        almostBurstKey(i, [&] {
            app = editor;
            key();
            app = mail;
            key();
        });
    }
    app = editor;
    key();
    ASSERT_TRUE(shown());
    const QUuid first = controller->typingSuggestion()->id;
    calls.advance(std::chrono::seconds(1));
    app = mail;
    key();
    ASSERT_TRUE(shown());
    EXPECT_NE(controller->typingSuggestion()->id, first);
    EXPECT_EQ(controller->typingSuggestion()->bundleId, "org.example.Mail");

    calls.advance(std::chrono::milliseconds(7500));  // the first suggestion's time is up; the second one stays
    EXPECT_TRUE(shown());
    EXPECT_FALSE(eventNames().contains("typing_reminder_auto_dismiss"));
    calls.advance(std::chrono::milliseconds(500));
    EXPECT_FALSE(shown());
    EXPECT_EQ(lastEvent(QStringLiteral("typing_reminder_auto_dismiss")).value(QStringLiteral("bundle_id")).toString(),
              "org.example.Mail");
}

TEST_F(TypingReminderTest, AcceptStartsADictation) {
    const struct {
        TypingReminderController::AcceptTrigger trigger;
        int latches;
        QStringList events;
    } cases[] = {
        {TypingReminderController::AcceptTrigger::keyboard,
         0,
         {"typing_reminder_accepted", "typing_reminder_accept_trigger"}},
        {TypingReminderController::AcceptTrigger::pillTap,
         1,
         {"typing_reminder_accepted", "typing_reminder_accept_trigger", "dictation_session_started"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(rawValue(c.trigger).toStdString());
        settings = VantroseSettings();
        dictationStarts = latches = settingsWrites = 0;
        make();
        controller->acceptTypingSuggestion(c.trigger);  // nothing shown: nothing happens
        EXPECT_EQ(dictationStarts, 0);
        controller->engine().dismissCounts.insert(QStringLiteral("org.example.Editor"), 5);
        almostBurst();
        key();
        ASSERT_TRUE(shown());
        events.clear();
        controller->acceptTypingSuggestion(c.trigger);
        EXPECT_FALSE(shown());
        EXPECT_EQ(dictationStarts, 1);
        EXPECT_EQ(latches, c.latches);
        EXPECT_EQ(settingsWrites, 1);  // saved and pushed even though nothing was suppressed
        EXPECT_EQ(eventNames(), c.events);
        EXPECT_EQ(
            lastEvent(QStringLiteral("typing_reminder_accept_trigger")).value(QStringLiteral("trigger")).toString(),
            rawValue(c.trigger));
        EXPECT_EQ(controller->engine().dismissCounts.value(QStringLiteral("org.example.Editor")), 0);
    }
}

TEST_F(TypingReminderTest, DismissWithSuppressLastsAcrossRestarts) {
    almostBurst();
    key();
    controller->dismissTypingSuggestion(true);
    EXPECT_FALSE(shown());
    EXPECT_EQ(settings.typingReminderSuppressedApps.value(QStringLiteral("org.example.Editor")), "Editor");
    EXPECT_TRUE(lastEvent(QStringLiteral("typing_reminder_dismissed")).value(QStringLiteral("suppress")).toBool());
    EXPECT_TRUE(
        lastEvent(QStringLiteral("typing_reminder_dismiss_trigger")).value(QStringLiteral("suppress")).toBool());

    for (int restart = 0; restart < 2; ++restart) {
        typeKeys(40, 1.0);
        EXPECT_FALSE(shown());
        make();  // a later launch with the saved settings
    }
    // It leaves the set only when the settings lose it.
    VantroseSettings old = settings;
    settings.typingReminderSuppressedApps.clear();
    controller->applySettingsChange(old, settings);
    typeKeys(21, 1.0);
    EXPECT_TRUE(shown());
}

TEST_F(TypingReminderTest, TheHundredthPlainDismissalSuppresses) {
    const QString bundle = QStringLiteral("org.example.Editor");
    for (int i = 0; i < 98; ++i) controller->engine().recordDismiss(bundle, false);
    almostBurst();
    key();
    controller->dismissTypingSuggestion(false);  // the 99th
    EXPECT_FALSE(settings.typingReminderSuppressedApps.contains(bundle));
    EXPECT_FALSE(lastEvent(QStringLiteral("typing_reminder_dismissed")).value(QStringLiteral("suppress")).toBool());

    typeKeys(21, 1.0);
    ASSERT_TRUE(shown());
    controller->dismissTypingSuggestion(false);  // the 100th
    EXPECT_EQ(settings.typingReminderSuppressedApps.value(bundle), "Editor");
    EXPECT_TRUE(lastEvent(QStringLiteral("typing_reminder_dismissed")).value(QStringLiteral("suppress")).toBool());
    EXPECT_FALSE(
        lastEvent(QStringLiteral("typing_reminder_dismiss_trigger")).value(QStringLiteral("suppress")).toBool());

    make();  // a restart forgets the count and keeps the suppression
    EXPECT_EQ(controller->engine().dismissCounts.value(bundle), 0);
    typeKeys(30, 1.0);
    EXPECT_FALSE(shown());
}

TEST_F(TypingReminderTest, CooldownsHoldSuggestionsBack) {
    const struct {
        const char* name;
        Config config;
        bool otherAppWaits;
    } cases[] = {
        {"global", Config{20, 20s, 6s, 0s, 30s, 8s, 100}, true},
        {"per application", Config{20, 20s, 6s, 30s, 0s, 8s, 100}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        app = ActiveAppInfo{QStringLiteral("Editor"), QStringLiteral("org.example.Editor"), 42, {}};
        make(c.config);
        almostBurst();
        key();
        ASSERT_TRUE(shown());
        controller->dismissTypingSuggestion(false);

        // 20 s later a fresh burst meets the threshold inside the 30 s cooldown.
        typeKeys(21, 1.0);
        EXPECT_FALSE(shown());
        typeKeys(12, 1.0);  // the same burst goes on until the cooldown has passed
        EXPECT_TRUE(shown());
        controller->dismissTypingSuggestion(false);

        app = ActiveAppInfo{QStringLiteral("Mail"), QStringLiteral("org.example.Mail"), 43, {}};
        typeKeys(21, 1.0);
        EXPECT_EQ(shown(), !c.otherAppWaits);
    }
    EXPECT_TRUE(loggedText().contains("TypingReminder: skipped - global cooldown"));
    EXPECT_TRUE(loggedText().contains("TypingReminder: skipped - app cooldown for org.example.Editor"));
}

TEST_F(TypingReminderTest, SwitchingOffOrAwayHidesTheSuggestion) {
    almostBurst();
    key();
    controller->handleActiveAppChanged(*app);  // same application: stays
    EXPECT_TRUE(shown());
    controller->handleActiveAppChanged(
        ActiveAppInfo{QStringLiteral("Mail"), QStringLiteral("org.example.Mail"), 43, {}});
    EXPECT_FALSE(shown());

    typeKeys(21, 1.0);
    ASSERT_TRUE(shown());
    VantroseSettings old = settings;
    settings.typingRemindersEnabled = false;
    controller->applySettingsChange(old, settings);
    EXPECT_FALSE(shown());
    typeKeys(30, 1.0);
    EXPECT_FALSE(shown());

    old = settings;
    settings.typingRemindersEnabled = true;
    controller->applySettingsChange(old, settings);
    EXPECT_FALSE(shown());  // switching on shows nothing by itself
    typeKeys(21, 1.0);
    EXPECT_TRUE(shown());
}

}  // namespace

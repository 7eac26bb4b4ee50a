#include "Core/Learning/OutcomeTracker.h"

#include "support/FakeContextReader.h"
#include "support/InstalledManualClock.h"
#include "support/LogText.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

// ---------------------------------------------------------------------------------------------
// Snapshot figures

TEST(OutcomeTrackerTest, SnapshotFigures) {
    const QString decomposedCafe = QStringLiteral("cafe") + QChar(0x0301);
    const struct {
        const char* name;
        QString pasted;
        std::optional<QString> field;  // none: the field never reported a change
        std::int64_t chars;
        std::int64_t words;
        double rewrite;
    } cases[] = {
        {"never changed", "hello world", std::nullopt, 0, 0, 0.0},
        {"emptied", "hello world", QString(), 11, 2, 0.0},
        {"two added to two", "ab", "abcd", 2, 1, 1.0},
        {"last of four changed", "abcd", "abce", 1, 1, 0.25},
        {"one word replaced", "meet jon at noon", "meet John at noon", 2, 1, 2.0 / 16.0},
        {"canonically equal", QString::fromUtf8("café"), decomposedCafe, 0, 0, 0.0},
        {"an emoji is one character", QString::fromUtf8("👍🏽 ok"), "ok", 2, 1, 0.5},
        {"double spaces split no extra words", "a  b", "a b", 1, 0, 0.25},
    };
    InstalledManualClock calls;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OutcomeTracker tracker(c.pasted);
        if (c.field) tracker.observe(*c.field);
        const DictationOutcomeSnapshot s = tracker.snapshot(30);
        EXPECT_EQ(s.secondsAfterPaste, 30);
        EXPECT_EQ(s.charEditDistance, c.chars);
        EXPECT_EQ(s.wordEditDistance, c.words);
        EXPECT_EQ(s.manualCorrectionsCount, c.words);
        EXPECT_DOUBLE_EQ(s.manualRewriteFraction, c.rewrite);
        EXPECT_EQ(s.acceptedWithoutEdits, c.chars == 0);
        EXPECT_EQ(s.initialPastedTextHash == s.finalTextHash, !c.field || *c.field == c.pasted);
    }
}

TEST(OutcomeTrackerTest, TimeToFirstEditSurvivesARestore) {
    InstalledManualClock calls;
    OutcomeTracker tracker(QStringLiteral("hello world"));
    EXPECT_FALSE(tracker.snapshot(10).timeToStableTextMs);
    calls.advance(std::chrono::seconds(4));
    tracker.observe(QStringLiteral("hello there"));
    calls.advance(std::chrono::seconds(2));
    tracker.observe(QStringLiteral("hello world"));
    const DictationOutcomeSnapshot s = tracker.snapshot(10);
    EXPECT_EQ(s.charEditDistance, 0);
    EXPECT_TRUE(s.acceptedWithoutEdits);
    ASSERT_TRUE(s.timeToStableTextMs);
    EXPECT_DOUBLE_EQ(*s.timeToStableTextMs, 4000.0);
}

TEST(OutcomeTrackerTest, PastedRegionOfAWholeField) {
    const struct {
        const char* name;
        QString field;
        QString before;
        QString after;
        QString region;
    } cases[] = {
        {"nothing around it", "see you soon", "", "", "see you soon"},
        {"text on both sides", "Dear Ann, see you soon. Bob", "Dear Ann, ", ". Bob", "see you soon"},
        {"edited inside", "Dear Ann, see you tomorrow. Bob", "Dear Ann, ", ". Bob", "see you tomorrow"},
        {"the text after also inside the paste", "x. y. z.", "", ".", "x. y. z"},
        {"the text before was edited", "Dear Anna, see you soon", "Dear Ann, ", "", "a, see you soon"},
        {"the text after was edited", "see you soon! Bob", "", ". Bob", "see you soon!"},
        {"everything deleted", "", "Dear Ann, ", ". Bob", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DictationLearning::pastedRegion(c.field, c.before, c.after), c.region);
    }
}

// ---------------------------------------------------------------------------------------------
// Observation, correction learning and automatic word learning

struct SavedEvent {
    QString traceID, sessionID, event, app, fieldType;
    QVariantMap payload;
};

class DictationLearningTest : public ::testing::Test {
protected:
    InstalledManualClock calls;
    FakeContextReader reader;
    VantroseSettings settings;
    QList<DictionaryEntry> dictionary;
    QStringList addedWords;
    int settingsWrites = 0;
    QList<DictationOutcomeSnapshot> snapshots;
    QList<SavedEvent> events;
    DictationLearning learning{reader, hooks()};

    DictationLearning::Hooks hooks() {
        DictationLearning::Hooks h;
        h.dictionary = [this] { return dictionary; };
        h.addWord = [this](const QString& word) { addedWords << word; };
        h.settings = [this] { return settings; };
        h.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) {
            change(settings);
            ++settingsWrites;
        };
        h.saveOutcomeSnapshot = [this](const QString& trace, const QString& session,
                                       const DictationOutcomeSnapshot& s) {
            EXPECT_EQ(trace, "TRACE-1");
            EXPECT_EQ(session, "SESSION-1");
            snapshots << s;
        };
        h.saveEvent = [this](const QString& trace, const QString& session, const QString& event, const QString& app,
                             const QString& fieldType, const QVariantMap& payload) {
            events << SavedEvent{trace, session, event, app, fieldType, payload};
        };
        return h;
    }

    static DictationLearning::PasteTarget target(const QString& pasted, const QString& before = {},
                                                 const QString& after = {}) {
        DictationLearning::PasteTarget t;
        t.pid = 42;
        t.pastedText = pasted;
        t.beforeText = before;
        t.afterText = after;
        t.appBundleId = QStringLiteral("org.example.Mail");
        t.fieldType = QStringLiteral("email");
        return t;
    }

    // The field of process 42 now holds `text`; the watches hear of it.
    int fieldBecomes(const QString& text) {
        const int delivered = reader.changeText(42, text);
        QCoreApplication::processEvents();
        return delivered;
    }
};

TEST_F(DictationLearningTest, SnapshotsAt10_30And120SecondsOfThePastedRegion) {
    const QString before = QStringLiteral("Dear Ann, ");
    const QString after = QStringLiteral(". Bob");
    learning.startOutcomeObservation(QStringLiteral("TRACE-1"), QStringLiteral("SESSION-1"),
                                     target(QStringLiteral("see you soon"), before, after));
    ASSERT_EQ(reader.observations.size(), 1);
    EXPECT_EQ(reader.observations[0].duration, std::chrono::seconds(120));

    calls.advance(std::chrono::seconds(2));
    fieldBecomes(before + "see you soon" + after);  // the whole field, unchanged paste
    calls.advance(std::chrono::seconds(8));
    ASSERT_EQ(snapshots.size(), 1);
    EXPECT_TRUE(snapshots[0].acceptedWithoutEdits);

    calls.advance(std::chrono::seconds(5));  // 15 s: the user edits the paste, and the text before it
    fieldBecomes("Dear Anna, see you tomorrow" + after);
    calls.advance(std::chrono::seconds(105));
    EXPECT_EQ(fieldBecomes("something else entirely"), 0);  // the watch has ended
    ASSERT_EQ(snapshots.size(), 3);
    EXPECT_EQ(snapshots[1].secondsAfterPaste, 30);
    EXPECT_EQ(snapshots[2].secondsAfterPaste, 120);
    EXPECT_EQ(snapshots[2].wordEditDistance, 2);  // "a, see you tomorrow" against "see you soon"
    EXPECT_FALSE(snapshots[2].acceptedWithoutEdits);
    EXPECT_DOUBLE_EQ(*snapshots[2].timeToStableTextMs, 15000.0);

    ASSERT_EQ(events.size(), 3);
    const QStringList names{events[0].event, events[1].event, events[2].event};
    EXPECT_EQ(names, (QStringList{"dictation.outcome.snapshot_10s", "dictation.outcome.snapshot_30s",
                                  "dictation.outcome.snapshot_120s"}));
    for (const SavedEvent& e : events) {  // the application of the paste, whatever came later
        EXPECT_EQ(e.app, "org.example.Mail");
        EXPECT_EQ(e.fieldType, "email");
        EXPECT_EQ(e.payload.keys(), (QStringList{"accepted_without_edits", "char_edit_distance",
                                                 "time_to_stable_text_ms", "word_edit_distance"}));
    }
    EXPECT_TRUE(events[0].payload.value("accepted_without_edits").toBool());
    EXPECT_FALSE(events[0].payload.value("time_to_stable_text_ms").isValid());  // null: no edit yet
    EXPECT_EQ(events[2].payload.value("word_edit_distance").toLongLong(), 2);
    EXPECT_DOUBLE_EQ(events[2].payload.value("time_to_stable_text_ms").toDouble(), 15000.0);
}

TEST_F(DictationLearningTest, NothingIsStoredOnceTheOwnerIsGone) {
    auto owned = std::make_unique<DictationLearning>(reader, hooks());
    owned->startOutcomeObservation(QStringLiteral("TRACE-1"), QStringLiteral("SESSION-1"), target("hi there"));
    owned->startCorrectionWatch(target("hi there"));
    fieldBecomes("hi where");
    owned.reset();
    calls.advance(std::chrono::seconds(130));
    EXPECT_TRUE(snapshots.isEmpty());
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(addedWords.isEmpty());
}

TEST_F(DictationLearningTest, ACorrectedWordIsLearnedOnceFromThePastedRegion) {
    learning.startCorrectionWatch(target(QStringLiteral("meet jon at noon"), "Notes: ", " thanks"));
    ASSERT_EQ(reader.observations.size(), 1);
    EXPECT_EQ(reader.observations[0].duration, std::chrono::seconds(5));
    for (const char* typed : {"J", "Jo", "Joh", "John"}) {
        calls.advance(std::chrono::milliseconds(500));
        fieldBecomes(QStringLiteral("Memo: meet %1 at noon thanks").arg(typed));  // "Notes:" edited as well
    }
    EXPECT_TRUE(addedWords.isEmpty());  // learned when the watch ends, not at each change
    calls.advance(std::chrono::seconds(3));
    EXPECT_EQ(addedWords, QStringList{"John"});
    EXPECT_EQ(settings.customWords, QStringList{"John"});
    EXPECT_EQ(settingsWrites, 1);
    EXPECT_EQ(loggedText().count("Pipeline: Edit correction detected: \"jon\" → \"John\" — auto-adding to dictionary"),
              1);

    // A later watch finding the same correction does not add the custom word again.
    learning.startCorrectionWatch(target(QStringLiteral("ask jon")));
    fieldBecomes(QStringLiteral("ask John"));
    calls.advance(std::chrono::seconds(5));
    EXPECT_EQ(settings.customWords, QStringList{"John"});
    EXPECT_EQ(settingsWrites, 1);
}

TEST_F(DictationLearningTest, TheTextAsPastedIsNoCorrection) {
    // The paste already carried the user's replacement; the field holding it teaches nothing.
    learning.startCorrectionWatch(target(QStringLiteral("Sent from Vantrose")));
    fieldBecomes(QStringLiteral("Sent from Vantrose"));
    calls.advance(std::chrono::seconds(5));
    learning.startCorrectionWatch(target(QStringLiteral("untouched")));
    calls.advance(std::chrono::seconds(5));
    EXPECT_TRUE(addedWords.isEmpty());
    EXPECT_EQ(settingsWrites, 0);
}

TEST_F(DictationLearningTest, ACorrectionKeepsTheDictionaryEntryItMatches) {
    dictionary << DictionaryEntry{QStringLiteral("brb"), QStringLiteral("be right back"), false, 3};
    learning.startCorrectionWatch(target(QStringLiteral("I will be back")));
    fieldBecomes(QStringLiteral("I will brb back"));
    calls.advance(std::chrono::seconds(5));
    EXPECT_TRUE(addedWords.isEmpty());  // the entry and its replacement stay as they are
    EXPECT_EQ(settings.customWords, QStringList{"brb"});
}

TEST_F(DictationLearningTest, AutoLearnsCapitalisedNames) {
    const struct {
        const char* name;
        QString transcript;
        QStringList dictionaryWords;
        QStringList customWords;
        QStringList learned;
    } cases[] = {
        {"names inside the text", "Today I met Anna and Bob near the office", {}, {}, {"Anna", "Bob"}},
        {"two letters are too short", "We saw Jo today", {}, {}, {}},
        {"a full stop is trimmed", "Please call Maria.", {}, {}, {"Maria"}},
        {"a name twice", "Ask Lena and Lena again", {}, {}, {"Lena"}},
        {"dictionary ignores case", "Then Anna left", {"anna"}, {}, {}},
        {"custom words are exact", "Then Bob left", {}, {"bob"}, {"Bob"}},
        {"already a custom word", "Then Bob left", {}, {"Bob"}, {}},
        {"lines split too", "Hi\nOlga", {}, {}, {"Olga"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dictionary.clear();
        for (const QString& w : c.dictionaryWords) dictionary << DictionaryEntry{w, std::nullopt, false, 0};
        settings.customWords = c.customWords;
        addedWords.clear();
        settingsWrites = 0;
        learning.autoLearnWords(c.transcript);
        EXPECT_EQ(addedWords, c.learned);
        EXPECT_EQ(settings.customWords, c.customWords + c.learned);
        EXPECT_EQ(settingsWrites, c.learned.size());  // one save and push per learned word
    }
    EXPECT_TRUE(loggedText().contains("Pipeline: Auto-learned word: Maria"));
}

}  // namespace

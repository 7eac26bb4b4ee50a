#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/DictationFeedback.h"

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;

TranscriptionResult resultWithText(const QString& pasted) {
    TranscriptionResult::Fields fields;
    fields.formattedText = pasted;
    fields.pastedText = pasted;
    return TranscriptionResult(fields);
}

QString words(int n) {
    QStringList list;
    for (int i = 0; i < n; ++i) list << QStringLiteral("w%1").arg(i);
    return list.join(QLatin1Char(' '));
}

struct OverlayFeedbackTimeline : ::testing::Test {
    MotionClock clock{MotionClock::Mode::manual};
    DictationFeedback feedback{clock};

    // One whole dictation: listening for `recordSeconds`, then the road back to idle.
    void dictate(const std::optional<TranscriptionResult>& result, double recordSeconds = 1.0) {
        feedback.handleStatusChange(S::initializing, result);
        feedback.handleStatusChange(S::listening, result);
        clock.advance(recordSeconds);
        feedback.handleStatusChange(S::stopping, result);
        feedback.handleStatusChange(S::processing, result);
        feedback.handleStatusChange(S::inserting, result);
        feedback.handleStatusChange(S::idle, result);
    }
};

TEST(OverlayFeedback, CountsWordsAtSpacesOnly) {
    struct Case {
        const char* text;
        std::int64_t words;
    };
    for (const Case c : {Case{"one two", 2}, Case{"one  two", 2}, Case{"one\ntwo", 1}, Case{"a\tb c", 2}, Case{"", 0},
                         Case{"   ", 0}, Case{" lead and trail ", 3}})
        EXPECT_EQ(DictationFeedback::countWords(QString::fromUtf8(c.text)), c.words) << c.text;
}

TEST(OverlayFeedback, TimeSavedPhrase) {
    struct Case {
        double seconds;
        const char* text;
    };
    for (const Case c : {Case{754.9, "12m 34s saved"}, Case{59.9, "59s saved"}, Case{60, "1m 0s saved"},
                         Case{0, "0s saved"}, Case{1e30, "153333333333333333m 20s saved"}})
        EXPECT_EQ(DictationFeedback::timeSavedPhrase(c.seconds), QString::fromUtf8(c.text)) << c.seconds;
}

TEST_F(OverlayFeedbackTimeline, SavedTimeIsWordsTimesTypingTimeLessRecordingNeverNegative) {
    dictate(resultWithText(words(30)), 10.0);
    EXPECT_NEAR(feedback.totalTimeSaved(), 14.0, 1e-9);
    EXPECT_EQ(feedback.totalWords(), 30);
    EXPECT_FALSE(feedback.recordingStartTime());

    dictate(resultWithText(words(5)), 10.0);
    EXPECT_NEAR(feedback.totalTimeSaved(), 14.0, 1e-9);
    EXPECT_EQ(feedback.totalWords(), 35);
    EXPECT_EQ(feedback.dictationCount(), 2);
}

TEST_F(OverlayFeedbackTimeline, DoneGlowAndRingFollowTheirTimeline) {
    dictate(resultWithText(QStringLiteral("hello there")));
    EXPECT_TRUE(feedback.showDone());
    EXPECT_DOUBLE_EQ(feedback.bounce(), DictationFeedback::bouncePeak);
    EXPECT_FALSE(feedback.doneRipple());
    clock.advance(0.1);
    EXPECT_TRUE(feedback.doneRipple());
    clock.advance(0.05);
    EXPECT_DOUBLE_EQ(feedback.bounce(), 1.0);
    clock.advance(0.15);
    EXPECT_FALSE(feedback.showDone());
    EXPECT_TRUE(feedback.doneRipple());
    clock.advance(0.4);
    EXPECT_FALSE(feedback.doneRipple());
    EXPECT_FALSE(feedback.showTimeSaved());  // the first dictation is no milestone
}

TEST_F(OverlayFeedbackTimeline, OnlyEndsFromStoppingProcessingOrInsertingCount) {
    struct Road {
        const char* name;
        std::vector<S> statuses;
        bool counts;
    };
    const Road roads[] = {
        {"stopping to idle", {S::listening, S::stopping, S::idle}, true},
        {"processing to idle", {S::listening, S::processing, S::idle}, true},
        {"cancelled", {S::listening, S::dismissed, S::idle}, false},
        {"failed", {S::listening, S::processing, S::retrying, S::error, S::idle}, false},
        {"idle to idle-like", {S::testing, S::idle}, false},
    };
    for (const Road& road : roads) {
        MotionClock roadClock(MotionClock::Mode::manual);
        DictationFeedback fb(roadClock);
        bool sawDone = false;
        fb.setObserver([&](DictationFeedback::Flag flag, const Animation&) {
            sawDone |= flag == DictationFeedback::Flag::showDone;
        });
        for (S status : road.statuses) fb.handleStatusChange(status, resultWithText(QStringLiteral("a b")));
        roadClock.advance(1.0);
        EXPECT_EQ(fb.dictationCount(), road.counts ? 1 : 0) << road.name;
        EXPECT_EQ(sawDone, road.counts) << road.name;
        EXPECT_EQ(fb.prevStatus(), S::idle) << road.name;
    }
}

TEST_F(OverlayFeedbackTimeline, BouncesOnEveryChangeButNotOnARepeat) {
    int bounces = 0;
    feedback.setObserver([&](DictationFeedback::Flag flag, const Animation& animation) {
        if (flag == DictationFeedback::Flag::bounce && animation.response == 0.1) ++bounces;
    });
    feedback.handleStatusChange(S::idle, std::nullopt);  // first change is compared with idle
    feedback.handleStatusChange(S::initializing, std::nullopt);
    feedback.handleStatusChange(S::listening, std::nullopt);
    feedback.handleStatusChange(S::listening, std::nullopt);
    EXPECT_EQ(bounces, 2);
}

TEST_F(OverlayFeedbackTimeline, ResumingAPausedRecordingRestartsTheRecordingTime) {
    feedback.handleStatusChange(S::listening, std::nullopt);
    clock.advance(5);
    feedback.handleStatusChange(S::paused, std::nullopt);
    clock.advance(5);
    feedback.handleStatusChange(S::listening, std::nullopt);
    ASSERT_TRUE(feedback.recordingStartTime());
    EXPECT_NEAR(*feedback.recordingStartTime(), clock.now(), 1e-9);
    // A cancelled dictation leaves it set.
    feedback.handleStatusChange(S::dismissed, std::nullopt);
    EXPECT_TRUE(feedback.recordingStartTime());
}

TEST_F(OverlayFeedbackTimeline, MissingResultCountsNoWordsAndMissingStartAddsNoTime) {
    feedback.handleStatusChange(S::processing, std::nullopt);
    feedback.handleStatusChange(S::idle, std::nullopt);
    EXPECT_EQ(feedback.dictationCount(), 1);
    EXPECT_EQ(feedback.totalWords(), 0);
    EXPECT_DOUBLE_EQ(feedback.totalTimeSaved(), 0);
    // A short recording that came back empty counts the previous result's words again.
    const auto previous = resultWithText(QStringLiteral("two words"));
    feedback.handleStatusChange(S::processing, previous);
    feedback.handleStatusChange(S::idle, previous);
    feedback.handleStatusChange(S::processing, previous);
    feedback.handleStatusChange(S::idle, previous);
    EXPECT_EQ(feedback.totalWords(), 4);
}

TEST_F(OverlayFeedbackTimeline, MilestonesShowTheToastWithTheRunningTotals) {
    const auto result = resultWithText(words(42));
    for (int i = 1; i <= 9; ++i) {
        dictate(result, 1.0);
        clock.advance(4.0);
        EXPECT_FALSE(feedback.showTimeSaved()) << i;
    }
    dictate(result, 1.0);
    EXPECT_FALSE(feedback.showTimeSaved());
    clock.advance(0.4);
    EXPECT_TRUE(feedback.showTimeSaved());
    EXPECT_TRUE(feedback.milestoneFlash());
    EXPECT_EQ(feedback.timeSavedText(), QStringLiteral("10 vantroses"));
    // 10 × (42 × 0.8 − 1) = 326 s.
    EXPECT_EQ(feedback.timeSavedSubtext(), QStringLiteral("420 words · 5m 26s saved"));
    clock.advance(0.4);
    EXPECT_FALSE(feedback.milestoneFlash());
    EXPECT_TRUE(feedback.showTimeSaved());
    clock.advance(2.7);
    EXPECT_FALSE(feedback.showTimeSaved());

    dictate(result, 1.0);
    clock.advance(1.0);
    EXPECT_FALSE(feedback.showTimeSaved());  // the 11th is no milestone
}

TEST_F(OverlayFeedbackTimeline, EveryMilestoneUpToAThousandAndNoneAfter) {
    std::vector<std::int64_t> shown;
    feedback.setObserver([&](DictationFeedback::Flag flag, const Animation&) {
        if (flag == DictationFeedback::Flag::showTimeSaved && feedback.showTimeSaved())
            shown.push_back(feedback.dictationCount());
    });
    for (int i = 0; i < 1010; ++i) {
        feedback.handleStatusChange(S::processing, std::nullopt);
        feedback.handleStatusChange(S::idle, std::nullopt);
        clock.advance(0.5);
    }
    EXPECT_EQ(shown, DictationFeedback::milestones());
}

TEST_F(OverlayFeedbackTimeline, AnEarlierStepSwitchesOffALaterRing) {
    dictate(resultWithText(QStringLiteral("a")));
    clock.advance(0.5);
    // The second dictation ends 0.5 s after the first; the first ring's end step (0.7 s) comes
    // 0.2 s into the second ring and switches it off early.
    feedback.handleStatusChange(S::processing, std::nullopt);
    feedback.handleStatusChange(S::idle, std::nullopt);
    clock.advance(0.1);
    EXPECT_TRUE(feedback.doneRipple());
    clock.advance(0.1);
    EXPECT_FALSE(feedback.doneRipple());
}

}  // namespace

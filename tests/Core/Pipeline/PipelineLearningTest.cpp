#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include "Core/Learning/OutcomeTracker.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// What the user does with a batch paste afterwards: the words they correct are learned, and the
// outcome snapshots follow the pasted text. Time moves only when the test says so.

namespace {

constexpr std::int32_t kEditorPid = 4242;
constexpr std::int32_t kMailPid = 5151;
const QString kBefore = QStringLiteral("Dear team, ");

struct LearningPipeline : PipelineHarness {
    LearningPipeline() {
        setUp();
        focus(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), kEditorPid, AppType::document);
    }

    // The user is in a readable field of this application, after `kBefore`.
    void focus(const QString& name, const QString& bundleId, std::int32_t pid, AppType type) {
        detector->activate(FakeAppDetector::app(name, bundleId, pid));
        TranscriptionContext& context = contextEngine->context;
        context.app.name = name;
        context.app.bundleId = bundleId;
        context.app.type = type;
        context.textboxContents.beforeText = kBefore;
        context.textboxContents.accessibilityIsFunctioning = true;
    }

    // The field of `pid` now holds `text`; answers how many watches heard of it.
    int edit(std::int32_t pid, const QString& text) {
        const int heard = reader->changeText(pid, text);
        QCoreApplication::sendPostedEvents();  // the reports arrive on the main thread
        return heard;
    }

    struct Stored {
        FakePipelineHistory::Event row;
        DictationOutcomeSnapshot snapshot;
    };
    // The snapshots of one dictation with their telemetry rows, in the order they were stored.
    QList<Stored> snapshotsOf(const QString& traceID) const {
        QList<Stored> out;
        int index = 0;
        for (const auto& event : history->events) {
            if (!event.event.startsWith(QStringLiteral("dictation.outcome.snapshot_"))) continue;
            if (event.traceID == traceID) out.append({event, history->snapshots.value(index)});
            ++index;
        }
        return out;
    }
};

TEST(PipelineLearningEndToEnd, CorrectionIsLearnedOnceAndSnapshotsFollowTheField) {
    LearningPipeline h;
    h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("please ask Quillon about it")));
    ASSERT_TRUE(h.dictate());
    const QString pasted = QStringLiteral("please ask Quillon about it.");
    ASSERT_EQ(h.inserter->pastedTexts(), QStringList{pasted});
    const QString trace = h.pipeline->currentTraceID();
    ASSERT_EQ(h.reader->observations.size(), 2);  // the 5 s edit watch and the 120 s observation

    // The user types the name over, in two steps, within the edit watch.
    h.clock.advance(std::chrono::seconds(1));
    ASSERT_EQ(h.edit(kEditorPid, kBefore + QStringLiteral("please ask Quil about it.")), 2);
    h.clock.advance(std::chrono::seconds(1));
    ASSERT_EQ(h.edit(kEditorPid, kBefore + QStringLiteral("please ask Quillan about it.")), 2);
    // The name as heard is learned at the paste; nothing from the field while the user is typing.
    const QStringList heard{QStringLiteral("Quillon")};
    EXPECT_EQ(h.history->addedWords, heard);

    h.clock.advance(
        std::chrono::seconds(3));  // the edit watch ends: the finished word is learned, the half-typed one never
    EXPECT_EQ(h.history->addedWords, heard + QStringList{QStringLiteral("Quillan")});
    EXPECT_EQ(h.pipeline->settings().customWords, heard + QStringList{QStringLiteral("Quillan")});
    EXPECT_TRUE(h.snapshotsOf(trace).isEmpty());

    h.clock.advance(std::chrono::seconds(5));
    auto stored = h.snapshotsOf(trace);
    ASSERT_EQ(stored.size(), 1);
    const DictationOutcomeSnapshot& at10 = stored[0].snapshot;
    EXPECT_EQ(at10.secondsAfterPaste, 10);
    EXPECT_EQ(at10.charEditDistance, 1);  // only the pasted region counts, not "Dear team, "
    EXPECT_EQ(at10.wordEditDistance, 1);
    EXPECT_EQ(at10.manualCorrectionsCount, 1);
    EXPECT_NEAR(at10.manualRewriteFraction, 1.0 / pasted.size(), 1e-9);
    EXPECT_NE(at10.initialPastedTextHash, at10.finalTextHash);
    ASSERT_TRUE(at10.timeToStableTextMs.has_value());
    EXPECT_NEAR(*at10.timeToStableTextMs, 1000, 1);  // the first edit, half-typed as it was
    EXPECT_FALSE(at10.acceptedWithoutEdits);
    const FakePipelineHistory::Event& row10 = stored[0].row;
    EXPECT_EQ(row10.event, QStringLiteral("dictation.outcome.snapshot_10s"));
    EXPECT_EQ(row10.appBundleID, QStringLiteral("org.example.editor"));
    EXPECT_EQ(row10.fieldType, QStringLiteral("document"));
    EXPECT_EQ(row10.payload.value(QStringLiteral("char_edit_distance")).toLongLong(), 1);
    EXPECT_EQ(row10.payload.value(QStringLiteral("word_edit_distance")).toLongLong(), 1);
    EXPECT_NEAR(row10.payload.value(QStringLiteral("time_to_stable_text_ms")).toDouble(), 1000, 1);
    EXPECT_EQ(row10.payload.value(QStringLiteral("accepted_without_edits")), QVariant(false));

    // Later the user restores the pasted text; only the 120 s observation still hears the field,
    // so nothing more is learned.
    h.clock.advance(std::chrono::seconds(10));
    EXPECT_EQ(h.edit(kEditorPid, kBefore + pasted), 1);

    // A dictation into another application replaces the pipeline's context before the first
    // dictation's later snapshots are taken.
    h.clock.advance(std::chrono::seconds(2));
    h.focus(QStringLiteral("Mail"), QStringLiteral("org.example.mail"), kMailPid, AppType::email);
    h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("see you soon")));
    ASSERT_TRUE(h.dictate());
    const QString mailTrace = h.pipeline->currentTraceID();
    ASSERT_NE(mailTrace, trace);

    h.clock.advance(std::chrono::seconds(121));  // past the mail dictation's last snapshot too
    stored = h.snapshotsOf(trace);
    ASSERT_EQ(stored.size(), 3);
    for (int i : {1, 2}) {
        SCOPED_TRACE(i);
        const DictationOutcomeSnapshot& s = stored[i].snapshot;
        EXPECT_EQ(s.secondsAfterPaste, i == 1 ? 30 : 120);
        EXPECT_EQ(s.charEditDistance, 0);
        EXPECT_EQ(s.wordEditDistance, 0);
        EXPECT_EQ(s.initialPastedTextHash, s.finalTextHash);
        EXPECT_TRUE(s.acceptedWithoutEdits);
        ASSERT_TRUE(s.timeToStableTextMs.has_value());  // an edit happened, even though it was undone
        EXPECT_NEAR(*s.timeToStableTextMs, 1000, 1);
        EXPECT_EQ(stored[i].row.event, i == 1 ? QStringLiteral("dictation.outcome.snapshot_30s")
                                              : QStringLiteral("dictation.outcome.snapshot_120s"));
        EXPECT_EQ(stored[i].row.appBundleID, QStringLiteral("org.example.editor"));
        EXPECT_EQ(stored[i].row.fieldType, QStringLiteral("document"));
    }
    // The mail dictation, never edited, has its own three snapshots under its own application.
    const auto mail = h.snapshotsOf(mailTrace);
    ASSERT_EQ(mail.size(), 3);
    for (const auto& s : mail) {
        EXPECT_EQ(s.row.appBundleID, QStringLiteral("org.example.mail"));
        EXPECT_TRUE(s.snapshot.acceptedWithoutEdits);
        EXPECT_FALSE(s.snapshot.timeToStableTextMs.has_value());
        EXPECT_FALSE(s.row.payload.value(QStringLiteral("time_to_stable_text_ms")).isValid());
    }
    EXPECT_EQ(h.history->addedWords, heard + QStringList{QStringLiteral("Quillan")});
    EXPECT_EQ(h.clock.pending(), 0);
}

// "Auto-learn new words" off: a correction is still measured, but no word joins the dictionary.
TEST(PipelineLearningEndToEnd, WithLearningSwitchedOffACorrectionAddsNoWord) {
    LearningPipeline h;
    h.pipeline->updateSettings([](VantroseSettings& s) { s.autoLearnWords = false; });
    h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("please ask Quillon about it")));
    ASSERT_TRUE(h.dictate());
    const QString trace = h.pipeline->currentTraceID();
    h.clock.advance(std::chrono::seconds(1));
    ASSERT_EQ(h.edit(kEditorPid, kBefore + QStringLiteral("please ask Quillan about it.")), 2);
    h.clock.advance(std::chrono::seconds(9));
    EXPECT_TRUE(h.history->addedWords.isEmpty());
    EXPECT_TRUE(h.pipeline->settings().customWords.isEmpty());
    ASSERT_EQ(h.snapshotsOf(trace).size(), 1);
    EXPECT_EQ(h.snapshotsOf(trace)[0].snapshot.wordEditDistance, 1);
}

// A pipeline released while its watches and snapshots are pending: they come due and do nothing.
TEST(PipelineLearningEndToEnd, PendingWorkOfAReleasedPipelineDoesNothing) {
    LearningPipeline h;
    ASSERT_TRUE(h.dictate());
    ASSERT_GT(h.clock.pending(), 0);
    h.pipeline.reset();
    h.clock.advance(DictationLearning::observationPeriod);
    EXPECT_EQ(h.clock.pending(), 0);
}

}  // namespace

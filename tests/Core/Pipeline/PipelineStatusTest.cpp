#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using S = DictationStatus;

// Where a case begins. Hands-free listening is its own start, as several events depend on it.
enum class From { idle, listening, handsFreeListening, paused, processing, retrying, inserting, error, dismissed };

const char* name(From from) {
    switch (from) {
    case From::idle: return "idle";
    case From::listening: return "listening";
    case From::handsFreeListening: return "hands-free listening";
    case From::paused: return "paused";
    case From::processing: return "processing";
    case From::retrying: return "retrying";
    case From::inserting: return "inserting";
    case From::error: return "error";
    case From::dismissed: return "dismissed";
    }
    return "?";
}

// Brings the pipeline to `from` and holds it there: the recogniser and the paster wait behind
// gates, the timed reverts wait for the manual clock.
void enter(PipelineHarness& h, From from) {
    auto& p = *h.pipeline;
    h.batch->gate = std::make_shared<FakeGate>();
    switch (from) {
    case From::idle: break;
    case From::listening: h.record(20); break;
    case From::handsFreeListening:
        p.startPersistentDictation();
        h.audio->feed(20);
        break;
    case From::paused:
        p.startPersistentDictation();
        h.audio->feed(20);
        p.pauseDictation();
        break;
    case From::processing:
        h.record(20);
        p.stopDictation();
        break;
    case From::retrying:
        h.batch->gate.reset();
        h.batch->answers.push_back(
            FakeBatchRecognizer::failing(QStringLiteral("All ASR tiers exhausted after 3 attempts")));
        h.record(20);
        p.stopDictation();
        ASSERT_TRUE(h.waitForStatus(S::retrying));
        break;
    case From::inserting:
        h.batch->gate.reset();
        h.inserter->delay = std::chrono::hours(1);
        h.record(20);
        p.stopDictation();
        ASSERT_TRUE(h.waitForStatus(S::inserting));
        break;
    case From::error:
        h.audio->startFailure = QStringLiteral("No input device");
        p.startDictation();
        h.audio->startFailure.reset();
        break;
    case From::dismissed:
        h.record(5);
        p.cancelDictation();
        break;
    }
}

struct Event {
    const char* name;
    std::function<void(DictationPipeline&)> fire;
};

const Event start{"start", [](DictationPipeline& p) { p.startDictation(); }};
const Event stop{"stop", [](DictationPipeline& p) { p.stopDictation(); }};
const Event cancel{"cancel", [](DictationPipeline& p) { p.cancelDictation(); }};
const Event pause{"pause", [](DictationPipeline& p) { p.pauseDictation(); }};
const Event resume{"resume", [](DictationPipeline& p) { p.resumeDictation(); }};
const Event finish{"finish", [](DictationPipeline& p) { p.finishPersistentDictation(); }};

struct Case {
    From from;
    const Event& event;
    S expected;
};

TEST(PipelineStatusTable, EveryStatusAnswersEveryEvent) {
    const std::vector<Case> table = {
        {From::idle, start, S::listening},
        {From::idle, stop, S::idle},
        {From::idle, cancel, S::idle},
        {From::idle, pause, S::idle},
        {From::idle, resume, S::idle},
        {From::idle, finish, S::idle},

        {From::listening, start, S::listening},
        {From::listening, stop, S::processing},
        {From::listening, cancel, S::dismissed},
        {From::listening, pause, S::listening},
        {From::listening, resume, S::listening},
        {From::listening, finish, S::listening},

        {From::handsFreeListening, start, S::listening},
        {From::handsFreeListening, stop, S::processing},
        {From::handsFreeListening, cancel, S::dismissed},
        {From::handsFreeListening, pause, S::paused},
        {From::handsFreeListening, resume, S::listening},
        {From::handsFreeListening, finish, S::processing},

        {From::paused, start, S::paused},
        {From::paused, stop, S::paused},
        {From::paused, cancel, S::idle},
        {From::paused, pause, S::paused},
        {From::paused, resume, S::listening},
        {From::paused, finish, S::processing},

        {From::processing, start, S::processing},
        {From::processing, stop, S::processing},
        {From::processing, cancel, S::idle},
        {From::processing, pause, S::processing},
        {From::processing, resume, S::processing},
        {From::processing, finish, S::processing},

        {From::retrying, start, S::retrying},
        {From::retrying, stop, S::retrying},
        {From::retrying, cancel, S::idle},
        {From::retrying, pause, S::retrying},
        {From::retrying, resume, S::retrying},
        {From::retrying, finish, S::retrying},

        {From::inserting, start, S::inserting},
        {From::inserting, stop, S::inserting},
        {From::inserting, cancel, S::idle},
        {From::inserting, pause, S::inserting},
        {From::inserting, resume, S::inserting},
        {From::inserting, finish, S::inserting},

        {From::error, start, S::listening},
        {From::error, stop, S::error},
        {From::error, cancel, S::idle},
        {From::error, pause, S::error},
        {From::error, resume, S::error},
        {From::error, finish, S::error},

        {From::dismissed, start, S::dismissed},
        {From::dismissed, stop, S::dismissed},
        {From::dismissed, cancel, S::idle},
        {From::dismissed, pause, S::dismissed},
        {From::dismissed, resume, S::dismissed},
        {From::dismissed, finish, S::dismissed},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(name(c.from)) + " + " + c.event.name);
        PipelineHarness h;
        h.setUp();
        enter(h, c.from);
        c.event.fire(*h.pipeline);
        // Statuses that follow asynchronously (the batch road entering processing) settle first.
        waitUntil([&] { return h.pipeline->status() == c.expected; }, std::chrono::milliseconds(500));
        EXPECT_EQ(rawValue(h.pipeline->status()), rawValue(DictationStatus(c.expected)));
    }
}

TEST(PipelineStatusTable, MicrophoneFailureShowsErrorWithoutTimer) {
    PipelineHarness h;
    h.setUp();
    enter(h, From::error);
    EXPECT_EQ(h.pipeline->status(), S::error);
    EXPECT_EQ(h.pipeline->errorMessage().value_or(QString()), QStringLiteral("Mic failed: No input device"));
    h.clock.advance(std::chrono::seconds(10));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.pipeline->status(), S::error);
}

TEST(PipelineStatusTable, DismissedRevertsToIdleAfterOneSecond) {
    PipelineHarness h;
    h.setUp();
    enter(h, From::dismissed);
    h.clock.advance(std::chrono::milliseconds(900));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.pipeline->status(), S::dismissed);
    h.clock.advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(h.waitForStatus(S::idle));
}

TEST(PipelineStatusTable, BatchFailureGoesRetryingThenErrorThenIdle) {
    PipelineHarness h;
    h.setUp();
    enter(h, From::retrying);
    h.clock.advance(std::chrono::milliseconds(500));
    ASSERT_TRUE(h.waitForStatus(S::error));
    EXPECT_EQ(h.pipeline->errorMessage().value_or(QString()),
              QStringLiteral("All ASR tiers exhausted after 3 attempts"));
    h.clock.advance(std::chrono::milliseconds(2900));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.pipeline->status(), S::error);
    h.clock.advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_FALSE(h.pipeline->errorMessage().has_value());
    EXPECT_TRUE(h.services->trackedEvents().contains(QStringLiteral("dictation_failed")));
}

TEST(PipelineStatusTable, DoubleTapRestartsFromEveryRestartableStatus) {
    for (From from : {From::idle, From::processing, From::inserting}) {
        SCOPED_TRACE(name(from));
        PipelineHarness h;
        h.setUp();
        auto& p = *h.pipeline;
        enter(h, from);
        // Press, release, press: the first press starts a dictation only from idle.
        p.handlePushToTalkDown();
        h.clock.advance(std::chrono::milliseconds(100));
        p.handlePushToTalkUp();
        h.clock.advance(std::chrono::milliseconds(100));
        p.handlePushToTalkDown();
        EXPECT_EQ(p.status(), S::listening);
        EXPECT_TRUE(p.isPersistentMode());
    }
}

// A status shown for a while is taken back only by the dictation that showed it.
TEST(PipelineStatusTable, TimedRevertsActOnlyForTheirOwnDictation) {
    PipelineHarness h;
    h.setUp();
    auto& p = *h.pipeline;

    // A dismissed dictation, then a second one dismissed half a second later.
    h.record(5);
    p.cancelDictation();
    p.cancelDictation();  // dismissed -> idle at once
    h.clock.advance(std::chrono::milliseconds(500));
    h.record(5);
    p.cancelDictation();
    h.clock.advance(std::chrono::milliseconds(600));  // the first revert's second has passed, the second's has not
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(p.status(), S::dismissed);
    h.clock.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(h.waitForStatus(S::idle));

    // A batch failure's 3 s reset must not clear the error of a later failed start.
    h.batch->answers.push_back(FakeBatchRecognizer::failing(QStringLiteral("network down")));
    h.record(20);
    p.stopDictation();
    ASSERT_TRUE(h.waitForStatus(S::retrying));
    h.clock.advance(std::chrono::milliseconds(500));
    ASSERT_TRUE(h.waitForStatus(S::error));
    h.clock.advance(std::chrono::seconds(1));
    h.audio->startFailure = QStringLiteral("Device busy");
    p.startDictation();
    ASSERT_EQ(p.status(), S::error);
    h.clock.advance(std::chrono::milliseconds(2500));  // the failure's reset time has come
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(p.status(), S::error);
    EXPECT_EQ(p.errorMessage().value_or(QString()), QStringLiteral("Mic failed: Device busy"));
}

// A paste whose keys could not be pressed leaves the text on the clipboard and in the history; the
// pill says so for the error's time, then the pipeline is idle again.
TEST(PipelineStatusTable, APasteLeftOnTheClipboardIsShownThenIdle) {
    PipelineHarness h;
    h.setUp();
    PasteOutcome refused = FakeTextInserter::failedOutcome(QStringLiteral(" hello world."));
    refused.userNotice = QStringLiteral("Vantrose was not allowed to control the keyboard, so it could not paste.");
    h.inserter->scriptedOutcomes.push_back(refused);
    h.record(20);
    h.pipeline->stopDictation();
    ASSERT_TRUE(h.waitForStatus(S::error));
    EXPECT_EQ(h.pipeline->errorMessage().value_or(QString()), refused.userNotice);
    ASSERT_TRUE(h.pipeline->lastResult().has_value());  // kept in the history
    h.clock.advance(std::chrono::seconds(3));
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_FALSE(h.pipeline->errorMessage().has_value());
}

}  // namespace

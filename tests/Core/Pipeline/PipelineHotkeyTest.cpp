#include "support/LogText.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"
#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;

struct HotkeyHarness : PipelineHarness {
    HotkeyHarness() { setUp(); }
    DictationPipeline& p() { return *pipeline; }
    void press(double afterSeconds = 0) {
        clock.advance(std::chrono::duration<double>(afterSeconds));
        pipeline->handlePushToTalkDown();
    }
    void release(double afterSeconds = 0) {
        clock.advance(std::chrono::duration<double>(afterSeconds));
        pipeline->handlePushToTalkUp();
    }
    bool pasted(int count) {
        return waitUntil([&] { return inserter->calls.size() == count && pipeline->status() == S::idle; });
    }
};

TEST(PipelineHotkeys, PushToTalkRecordsWhileHeld) {
    HotkeyHarness h;
    h.press();
    EXPECT_EQ(h.p().status(), S::listening);
    h.audio->feed(25);
    h.release(1.0);
    EXPECT_TRUE(h.pasted(1));
    EXPECT_FALSE(h.p().isPersistentMode());
}

TEST(PipelineHotkeys, DoubleTapRestartsHandsFree) {
    HotkeyHarness h;
    h.press();
    h.audio->feed(3);
    h.release(0.15);  // too short: back to idle
    ASSERT_EQ(h.p().status(), S::idle);
    h.press(0.15);
    EXPECT_EQ(h.p().status(), S::listening);
    EXPECT_TRUE(h.p().isPersistentMode());
    EXPECT_TRUE(h.services->trackedEvents().contains(QStringLiteral("popo_lock")));
    h.audio->feed(25);
    h.release(0.1);  // hands-free: the release does not stop it
    EXPECT_EQ(h.p().status(), S::listening);
    h.press(2.0);  // the next press finishes through the batch road
    EXPECT_TRUE(h.pasted(1));
    EXPECT_FALSE(h.p().isPersistentMode());
}

TEST(PipelineHotkeys, PressesOutsideTheWindowAreNoDoubleTap) {
    const struct {
        double releaseAfter;
        double pressAfter;
    } table[] = {{0.1, 0.5}, {0.3, 0.3}, {0.6, 0.05}};  // the second press 0.5 s or more after release / press
    for (const auto& row : table) {
        SCOPED_TRACE(row.pressAfter);
        HotkeyHarness h;
        h.press();
        h.audio->feed(3);
        h.release(row.releaseAfter);
        h.press(row.pressAfter);
        EXPECT_FALSE(h.p().isPersistentMode());
        EXPECT_EQ(h.p().status(), S::listening);  // an ordinary dictation from idle
    }
}

TEST(PipelineHotkeys, DoubleTapTimingFromErrorStartsAnOrdinaryDictation) {
    HotkeyHarness h;
    h.audio->startFailure = QStringLiteral("busy");
    h.press();
    ASSERT_EQ(h.p().status(), S::error);
    h.audio->startFailure.reset();
    h.release(0.1);
    h.press(0.1);
    EXPECT_EQ(h.p().status(), S::listening);
    EXPECT_FALSE(h.p().isPersistentMode());
}

TEST(PipelineHotkeys, PressDoesNothingInBusyStatuses) {
    HotkeyHarness h;
    h.record(5);
    h.p().cancelDictation();
    ASSERT_EQ(h.p().status(), S::dismissed);
    h.press(0.6);  // past the double-tap window, before the dismissal's one-second revert
    EXPECT_EQ(h.p().status(), S::dismissed);
}

// The restart ends the earlier dictation's road: it can no longer paste into, clear, or end the
// new recording, nor release the new dictation's tasks.
TEST(PipelineHotkeys, DoubleTapLeavesTheNewRecordingToItself) {
    HotkeyHarness h;
    TranscriptionContext context;
    context.app.name = QStringLiteral("Editor");
    h.contextEngine->context = context;
    h.batch->gate = std::make_shared<FakeGate>();
    h.press();
    h.audio->feed(25);
    h.release(0.2);
    ASSERT_TRUE(waitUntil([&] { return h.batch->gate->waiting() == 1; }));
    h.press(0.2);  // press, release, press: hands-free restart while the first road waits
    ASSERT_EQ(h.p().status(), S::listening);
    h.audio->feed(10);
    h.batch->gate->open();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(h.inserter->calls.isEmpty());
    EXPECT_EQ(h.p().status(), S::listening);
    EXPECT_EQ(h.p().recordedChunkCount(), 10);
    h.audio->feed(15);
    h.press(2.0);
    ASSERT_TRUE(h.pasted(1));
    ASSERT_TRUE(h.p().lastResult().has_value());
    EXPECT_EQ(h.p().lastResult()->appName, QStringLiteral("Editor"));
    EXPECT_DOUBLE_EQ(h.p().lastResult()->duration, 25 * 0.04);
}

TEST(PipelineHotkeys, LockStartsUpgradesAndFinishesHandsFree) {
    HotkeyHarness h;
    h.link->linkState = AbstractStreamingLink::State::connected;
    // Upgrade a push-to-talk recording: the release no longer stops it.
    h.press();
    h.p().handleLockHotkey();
    EXPECT_TRUE(h.p().isPersistentMode());
    h.audio->feed(25);
    h.release(1.0);
    EXPECT_EQ(h.p().status(), S::listening);
    // Lock again: finished through the batch road although the transport is connected.
    h.p().handleLockHotkey();
    ASSERT_TRUE(h.pasted(1));
    EXPECT_TRUE(h.link->commits.isEmpty());
    EXPECT_GE(h.link->resetCalls, 1);

    // Lock from idle starts hands-free.
    h.p().handleLockHotkey();
    EXPECT_EQ(h.p().status(), S::listening);
    EXPECT_TRUE(h.p().isPersistentMode());
    EXPECT_TRUE(h.services->trackedEvents().contains(QStringLiteral("persistent_dictation_started")));
}

TEST(PipelineHotkeys, PauseAndResumeKeepEveryChunk) {
    HotkeyHarness h;
    h.p().startPersistentDictation();
    h.audio->feed(10);
    h.recognizer->onPartial(QStringLiteral("first part"));
    h.p().pauseDictation();
    EXPECT_EQ(h.p().status(), S::paused);
    EXPECT_FALSE(h.audio->recording);
    EXPECT_FLOAT_EQ(h.p().currentVolume(), 0.0f);
    QCoreApplication::processEvents();  // a level measured before the pause arrives after it
    EXPECT_FLOAT_EQ(h.p().currentVolume(), 0.0f);
    h.p().resumeDictation();
    EXPECT_EQ(h.p().status(), S::listening);
    h.audio->feed(15);
    EXPECT_EQ(h.recognizer->fedChunks.load(), 10);  // the live text stops at the pause
    EXPECT_EQ(h.p().recordedChunkCount(), 25);
    h.p().finishPersistentDictation();
    ASSERT_TRUE(h.pasted(1));
    EXPECT_DOUBLE_EQ(h.p().lastResult()->duration, 25 * 0.04);
    EXPECT_TRUE(waitUntil([&] { return h.batch->sampleCounts == std::vector<std::size_t>{25 * 640}; }));
    const QStringList events = h.services->trackedEvents();
    EXPECT_TRUE(events.contains(QStringLiteral("persistent_dictation_paused")));
    EXPECT_TRUE(events.contains(QStringLiteral("persistent_dictation_resumed")));
}

// The microphone cannot restart after a pause: the error shows, and what was said before the
// pause is neither lost nor stuck: it can be resumed once the device is back, and finished.
TEST(PipelineHotkeys, FailedMicrophoneRestartOnResumeKeepsTheDictationFinishable) {
    HotkeyHarness h;
    h.p().startPersistentDictation();
    h.audio->feed(10);
    h.p().pauseDictation();
    h.audio->startFailure = QStringLiteral("Device unplugged");
    h.p().resumeDictation();
    EXPECT_EQ(h.p().status(), S::paused);
    EXPECT_EQ(h.p().errorMessage().value_or(QString()), QStringLiteral("Mic failed: Device unplugged"));
    EXPECT_TRUE(h.p().isPersistentMode());
    EXPECT_FALSE(h.audio->recording);
    EXPECT_EQ(h.p().recordedChunkCount(), 10);

    h.audio->startFailure.reset();
    h.p().resumeDictation();
    EXPECT_EQ(h.p().status(), S::listening);
    EXPECT_FALSE(h.p().errorMessage().has_value());
    h.audio->feed(5);
    h.p().pauseDictation();
    h.audio->startFailure = QStringLiteral("Device unplugged");
    h.p().resumeDictation();
    h.press(1.0);  // the hotkey finishes it as it finishes any hands-free dictation
    ASSERT_TRUE(h.pasted(1));
    EXPECT_EQ(h.batch->sampleCounts, std::vector<std::size_t>{15 * 640});
    EXPECT_DOUBLE_EQ(h.p().lastResult()->duration, 15 * 0.04);
}

// Paste-last puts in exactly what the dictation pasted: fitted to the field and replaced.
TEST(PipelineHotkeys, PasteLastPastesExactlyWhatTheDictationPasted) {
    HotkeyHarness h;
    QCoro::waitFor(h.p().pasteLastTranscript());  // nothing yet
    EXPECT_TRUE(h.inserter->calls.isEmpty());
    h.p().updateSettings([](VantroseSettings& s) {
        s.textReplacements = {TextReplacement{QStringLiteral("world"), QStringLiteral("World!")}};
    });
    h.contextEngine->context.textboxContents.beforeText = QStringLiteral("Dear team,");
    ASSERT_TRUE(h.dictate());
    const qsizetype mark = loggedText().size();
    QCoro::waitFor(h.p().pasteLastTranscript());
    EXPECT_EQ(h.inserter->pastedTexts(),
              (QStringList{QStringLiteral(" hello World!."), QStringLiteral(" hello World!.")}));
    EXPECT_TRUE(
        loggedTextSince(mark).contains(QStringLiteral("Pipeline: Paste last transcript — \" hello World!....\"")));

    // A paste whose keys could not be sent is reported, not passed over.
    h.inserter->scriptedOutcomes.push_back(FakeTextInserter::failedOutcome(QStringLiteral(" hello World!.")));
    QCoro::waitFor(h.p().pasteLastTranscript());
    EXPECT_TRUE(
        loggedTextSince(mark).contains(QStringLiteral("Pipeline: Paste last transcript failed — nothing was pasted")));
}

// Both pastes go through the user's clipboard: they must never overlap.
TEST(PipelineHotkeys, PasteLastWaitsForADictationsPaste) {
    HotkeyHarness h;
    ASSERT_TRUE(h.dictate());
    h.inserter->delay = std::chrono::milliseconds(40);
    h.record(25);
    h.p().stopDictation();
    ASSERT_TRUE(h.waitForStatus(S::inserting));
    h.p().pasteLastTranscript();
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 3 && h.inserter->pastesInFlight == 0; }));
    EXPECT_EQ(h.inserter->mostPastesInFlight, 1);
}

TEST(PipelineHotkeys, UpdateHotkeyRebindsAndSavesOnce) {
    HotkeyHarness h;
    int settingsWrites = 0;
    QObject::connect(h.pipeline.get(), &DictationPipeline::settingsChanged, [&] { ++settingsWrites; });
    const Hotkey lock{Hotkey::escapeKeyCode, Hotkey::controlFlag};
    h.p().updateHotkey(lock, HotkeyAction::lock);
    EXPECT_EQ(settingsWrites, 1);
    EXPECT_EQ(h.p().settings().hotkey(HotkeyAction::lock), lock);
    EXPECT_EQ(h.keyboard->hotkeyBindings(), h.p().settings().hotkeys);
    EXPECT_EQ(h.keyboard->pushToTalkKeyCode(), Hotkey::rightOptionKeyCode);

    const Hotkey activate{54, 0};
    h.p().updateHotkey(activate, HotkeyAction::activate);
    EXPECT_EQ(h.keyboard->hotkey(), activate);
    EXPECT_EQ(h.keyboard->pushToTalkKeyCode(), 54);
}

}  // namespace

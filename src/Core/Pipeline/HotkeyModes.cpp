#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"
#include "Models/RawValue.h"

// The hotkey modes that drive the session engine: push-to-talk, a double tap or the lock hotkey
// for the hands-free (persistent) dictation with its pause and resume, and pasting the last
// transcript again.

using namespace PipelineSupport;

void DictationPipeline::handlePushToTalkDown() {
    // The press answers a shown typing reminder: accepting it starts the dictation. It is not
    // counted as a press, so it can never be the first half of a double tap.
    if (m_reminders->typingSuggestion()) {
        m_reminders->acceptTypingSuggestion(TypingReminderController::AcceptTrigger::keyboard);
        return;
    }
    const double t = now();
    const double previousDown = m_lastKeyDownTime;
    const double previousUp = m_lastKeyUpTime;
    m_lastKeyDownTime = t;

    const DictationStatus status = state().status;
    if (state().isPersistentMode && (status == DictationStatus::listening || status == DictationStatus::paused)) {
        VLOG(QStringLiteral("Pipeline: Hotkey press while persistent → finish"));
        finishPersistentDictation();
        return;
    }
    const bool doubleTap = t - previousDown < doubleTapWindowSeconds && t - previousUp < doubleTapWindowSeconds;
    const bool restartable = status == DictationStatus::stopping || status == DictationStatus::processing ||
                             status == DictationStatus::idle || status == DictationStatus::inserting;
    if (doubleTap && restartable) {
        VLOG(QStringLiteral("Pipeline: Double-tap detected → cancelling in-flight + persistent mode ON"));
        if (status != DictationStatus::idle) {
            resetForPersistentRestart();
            VLOG(QStringLiteral("Pipeline: Cancelled previous dictation for persistent restart"));
        }
        setPersistentMode(true);
        m_ctx->services->track(QStringLiteral("popo_lock"), {});
        startDictation();
        return;
    }
    if (status == DictationStatus::idle || status == DictationStatus::error) startDictation();
}

void DictationPipeline::resetForPersistentRestart() {
    m_ctx->audio->stopRecording();
    m_ctx->streamingLink->resetSession();
    // The earlier dictation's road ends here: it must not paste into the new recording. A road
    // already pasting keeps its own audio.
    const SessionPtr session = endCurrentSession();
    clearAllAudioChunks();
    setStreamingText(QString());
    if (session) endLiveRecognitionDetached(session);
    setStatus(DictationStatus::idle);
}

void DictationPipeline::handlePushToTalkUp() {
    m_lastKeyUpTime = now();
    if (!state().isPersistentMode && state().status == DictationStatus::listening) stopDictation();
}

void DictationPipeline::handleLockHotkey() {
    if (state().isPersistentMode) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → finishing hands-free"));
        finishPersistentDictation();
    } else if (state().status == DictationStatus::idle || state().status == DictationStatus::error) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → starting hands-free"));
        startPersistentDictation();
    } else if (state().status == DictationStatus::listening) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → upgrading PTT to hands-free"));
        setPersistentMode(true);
    }
}

void DictationPipeline::startPersistentDictation() {
    if (state().status != DictationStatus::idle && state().status != DictationStatus::error) return;
    setPersistentMode(true);
    VLOG(QStringLiteral("Pipeline: Persistent dictation started"));
    m_ctx->services->track(QStringLiteral("persistent_dictation_started"), {});
    startDictation();
}

void DictationPipeline::pauseDictation() {
    if (state().status != DictationStatus::listening || !state().isPersistentMode) return;
    m_ctx->audio->stopRecording();
    setStatus(DictationStatus::paused);
    setLevel(0, state().frequencyBands);
    const int chunks = recordedChunkCount();
    VLOG(QStringLiteral("Pipeline: Paused (%1 chunks buffered)").arg(chunks));
    m_ctx->services->track(QStringLiteral("persistent_dictation_paused"), {{QStringLiteral("chunks"), chunks}});
}

void DictationPipeline::resumeDictation() {
    if (state().status != DictationStatus::paused || !state().isPersistentMode || !m_session) return;
    setStatus(DictationStatus::listening);
    // From here on the recogniser hears nothing more, so the live text stays as it was.
    m_capture->feedRecognizer.store(false);
    installChunkHandler(false);
    const QString failure = startRecordingOrDescribeFailure();
    if (!failure.isEmpty()) {
        // A listening status with no audio arriving would leave the user talking to nothing, and
        // an error would throw away what was said before the pause: the dictation stays paused
        // with its audio and tasks, shows the error, and can be resumed again, finished or
        // dismissed.
        m_ctx->audio->stopRecording();
        setStatus(DictationStatus::paused);
        setErrorMessage(QStringLiteral("Mic failed: ") + failure);
        VLOG(QStringLiteral("Pipeline: Error resuming: ") + failure);
        return;
    }
    setErrorMessage(std::nullopt);
    const int chunks = recordedChunkCount();
    VLOG(QStringLiteral("Pipeline: Resumed recording (%1 chunks buffered)").arg(chunks));
    m_ctx->services->track(QStringLiteral("persistent_dictation_resumed"), {});
}

// A hands-free dictation always takes the batch road: its audio outlasts one streaming session.
void DictationPipeline::finishPersistentDictation() {
    if (!state().isPersistentMode || !m_session) return;
    if (state().status != DictationStatus::listening && state().status != DictationStatus::paused) return;
    const SessionPtr session = m_session;
    setPersistentMode(false);
    if (state().status == DictationStatus::listening) m_ctx->audio->stopRecording();
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG(QStringLiteral("Pipeline: Finishing persistent dictation — %1 total chunks").arg(count));
    m_ctx->streamingLink->resetSession();
    setStatus(DictationStatus::stopping);
    VLOG(QStringLiteral("Pipeline: Processing persistent audio — %1 chunks (").arg(count) +
         seconds1(count * chunkSeconds) + QStringLiteral("s) via batch"));
    session->road = Road::batch;
    processAudio(session);
}

QCoro::Task<> DictationPipeline::pasteLastTranscript() {
    if (!state().lastResult) co_return;
    QPointer<DictationPipeline> self(this);
    // Exactly what the dictation put in the field: fitted to it and with the user's replacements.
    const QString text = state().lastResult->pastedText;
    VLOG(QStringLiteral("Pipeline: Paste last transcript — \"") + text.left(50) + QStringLiteral("...\""));
    const PasteOutcome outcome = co_await m_ctx->pastes.paste(text);
    if (self && !outcome.success) VLOG(QStringLiteral("Pipeline: Paste last transcript failed — nothing was pasted"));
}

void DictationPipeline::updateHotkey(const Hotkey& hotkey, HotkeyAction action) {
    // The store hands changed bindings to the keyboard monitor.
    updateSettings([&](VantroseSettings& s) { s.setHotkey(hotkey, action); });
    VLOG(QStringLiteral("Pipeline: Hotkey[") + rawValue(action) + QStringLiteral("] updated to ") +
         hotkey.displayName());
}

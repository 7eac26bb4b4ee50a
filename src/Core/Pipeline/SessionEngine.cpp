#include "Core/Pipeline/SessionEngine.h"

#include "Foundation/MainThread.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Learning/TypingReminderController.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/DictationRecorder.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

#include <QPointer>
#include <QUuid>

using namespace PipelineSupport;

SessionEngine::SessionEngine(PipelineContext& context, DictationRecorder& recorder, TypingReminderController& reminders,
                             Hooks hooks)
    : m_ctx(context),
      m_recorder(recorder),
      m_reminders(reminders),
      m_hooks(std::move(hooks)),
      m_publisher(context.publisher) {
    m_capture->receiver = m_ctx.pipeline;
    m_capture->engine = this;
}

SessionEngine::~SessionEngine() { shutDown(); }

void SessionEngine::shutDown() {
    {
        std::lock_guard<std::mutex> lock(m_capture->receiverLock);
        m_capture->receiver = nullptr;
    }
    m_ctx.audio->stopRecording();
    m_ctx.audio->setChunkHandler(nullptr);
}

float SessionEngine::rawLevel() const { return m_capture->rawLevel.load(std::memory_order_relaxed); }

int SessionEngine::voicedFrames() const { return m_capture->vad.numVoicedFrames(); }

std::function<void(const QString& message)> SessionEngine::streamingErrorHandler() const {
    std::weak_ptr<CaptureState> weak = m_capture;
    return [weak](const QString& message) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Streaming error — ") + message +
                                        QStringLiteral(", falling back to batch");
        if (const auto state = weak.lock())
            state->post([](SessionEngine& engine) { engine.m_hooks.streamingFailed(); });
    };
}

// ---------------------------------------------------------------------------------------------
// Sessions and chunk buffers

PipelineSessionPtr SessionEngine::beginSession() {
    auto session = std::make_shared<PipelineSession>();
    session->generation = ++m_nextGeneration;
    session->traceID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    session->sessionStartTime = now();
    m_session = session;
    m_capture->generation.store(session->generation);
    m_capture->sessionStartTime.store(session->sessionStartTime);
    return session;
}

PipelineSessionPtr SessionEngine::endCurrentSession() {
    PipelineSessionPtr session = std::move(m_session);
    m_session.reset();
    // Chunks still on their way from the capture thread belong to no dictation now.
    m_capture->generation.store(++m_nextGeneration);
    m_capture->feedRecognizer.store(false);
    return session;
}

void SessionEngine::drainAudioChunks() {
    std::vector<AudioChunk> taken;
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        taken.swap(m_capture->lockedChunks);
    }
    if (!m_session) return;
    auto& chunks = m_session->audioChunks;
    chunks.insert(chunks.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
}

void SessionEngine::clearAllAudioChunks() {
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        m_capture->lockedChunks.clear();
    }
    if (m_session) m_session->audioChunks.clear();
}

int SessionEngine::recordedChunkCount() const {
    std::size_t locked = 0;
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        locked = m_capture->lockedChunks.size();
    }
    return static_cast<int>(locked + (m_session ? m_session->audioChunks.size() : 0));
}

// ---------------------------------------------------------------------------------------------
// The chunk path: capture thread → locked buffer, transport, recogniser; runOnMain → main thread

void SessionEngine::installChunkHandler(bool withFirstChunkAndRecognizer) {
    std::weak_ptr<CaptureState> weak = m_capture;
    const quint64 generation = m_session ? m_session->generation : 0;
    AbstractStreamingLink* link = m_ctx.streamingLink.get();
    AbstractLiveRecognizer* recognizer = m_ctx.recognizer.get();
    AbstractAudioSource* audio = m_ctx.audio.get();
    const bool full = withFirstChunkAndRecognizer;
    m_ctx.audio->setChunkHandler([weak, generation, link, recognizer, audio, full](const AudioChunk& chunk) {
        const std::shared_ptr<CaptureState> state = weak.lock();
        if (!state || state->generation.load() != generation) return;
        const float level = state->vad.processChunk(chunk).volume;
        {
            std::lock_guard<std::mutex> lock(state->chunksLock);
            if (state->generation.load() != generation) return;
            state->lockedChunks.push_back(chunk);
        }
        link->sendAudioChunk(chunk);
        if (full && !state->firstChunkSeen.exchange(true)) {
            const Clock::TimePoint t = now();
            const double toFirst = toMilliseconds(t - state->sessionStartTime.load());
            const double latency = toMilliseconds(t - state->audioCaptureStartTime.load());
            state->post([generation, toFirst, latency](SessionEngine& engine) {
                engine.noteFirstChunk(generation, toFirst, latency);
            });
        }
        state->rawLevel.store(level, std::memory_order_relaxed);
        const Clock::TimePoint t = now();
        if (t - state->lastVolumeUpdate.load() > DictationPipeline::levelPublishInterval) {
            state->lastVolumeUpdate.store(t);
            state->post([generation, level, bands = audio->currentFrequencyBands()](SessionEngine& engine) mutable {
                // Measured before the microphone went off: a paused or stopped dictation shows none.
                if (engine.isCurrentGeneration(generation) && engine.m_publisher.status() == DictationStatus::listening)
                    engine.m_publisher.setLevel(level, std::move(bands));
            });
        }
        if (full && state->feedRecognizer.load()) {
            try {
                recognizer->feedAudioChunk(chunk);
            } catch (...) {
                // A chunk the recogniser refuses costs only the live text.
            }
        }
    });
}

void SessionEngine::CaptureState::post(std::function<void(SessionEngine&)> job) {
    // Under the lock: the pipeline clears `receiver` before it goes, so it is alive here.
    std::lock_guard<std::mutex> lock(receiverLock);
    if (!receiver) return;
    runOnMain(receiver, [target = engine, job = std::move(job)] { job(*target); });
}

bool SessionEngine::isCurrentGeneration(quint64 generation) const {
    // What another thread posted for one dictation is dropped once another has begun.
    return m_session && m_session->generation == generation;
}

void SessionEngine::noteFirstChunk(quint64 generation, double toFirst, double latency) {
    if (!isCurrentGeneration(generation)) return;
    m_session->timeToFirstChunkMs = toFirst;
    m_session->firstAudioChunkLatencyMs = latency;
    VLOG_INFO(lcPipeline) << QStringLiteral("First audio chunk — total=") + ms0(toFirst) +
                                 QStringLiteral("ms capture=") + ms0(latency) + QStringLiteral("ms");
    m_recorder.emitEvent(*m_session, QStringLiteral("dictation.first_chunk"),
                         {{QStringLiteral("timeToFirstChunk"), toFirst},
                          {QStringLiteral("firstAudioChunkLatency"), latency},
                          {QStringLiteral("mediaStreamSetup"), m_session->mediaStreamSetupMs}});
}

// ---------------------------------------------------------------------------------------------
// The on-device live text

void SessionEngine::startLiveText(PipelineSession& session) {
    if (!m_ctx.recognizer->supportsStreaming()) return;
    std::weak_ptr<CaptureState> weak = m_capture;
    const quint64 generation = session.generation;
    try {
        m_ctx.recognizer->startStreaming([weak, generation](const QString& text) {
            if (const auto state = weak.lock())
                state->post([generation, text](SessionEngine& engine) {
                    if (engine.isCurrentGeneration(generation)) engine.m_publisher.setStreamingText(text);
                });
        });
        session.liveRecognition = true;
        m_capture->feedRecognizer.store(true);
    } catch (...) {
        // Live text is a convenience: the dictation goes on and is recognised when it ends.
        VLOG_WARNING(lcPipeline) << QStringLiteral("Live text unavailable — ") +
                                        describeFailure(std::current_exception());
    }
}

QCoro::Task<> SessionEngine::endLiveRecognition(PipelineSessionPtr session) {
    if (!session || !session->liveRecognition) co_return;
    session->liveRecognition = false;
    if (isCurrent(session)) m_capture->feedRecognizer.store(false);
    try {
        co_await m_ctx.recognizer->stopStreaming();
    } catch (...) {
        // The session's own result is not used; ending it is what matters.
    }
}

void SessionEngine::endLiveRecognitionDetached(const PipelineSessionPtr& session) { endLiveRecognition(session); }

// ---------------------------------------------------------------------------------------------
// Recording: start, stop, cancel

void SessionEngine::start() {
    if (m_publisher.status() != DictationStatus::idle && m_publisher.status() != DictationStatus::error) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Cannot start — status is ") + rawValue(m_publisher.status());
        return;
    }
    // A stream left open by an earlier dictation ends before the new one begins.
    if (m_session) endLiveRecognitionDetached(m_session);
    m_reminders.clearTypingSuggestion();

    m_publisher.setStatus(DictationStatus::initializing);
    const PipelineSessionPtr session = beginSession();
    resetCaptureForNewSession();

    m_ctx.appDetector->updateActiveApp();
    const std::optional<ActiveAppInfo> app = m_ctx.appDetector->activeApp();
    emitStartEvent(app);
    startBackgroundTasks(*session);

    session->audioCaptureStartTime = now();
    m_capture->audioCaptureStartTime.store(session->audioCaptureStartTime);
    // Timings are filed under the device that records: a chosen microphone that is not connected
    // records from the system default, whose start-up is the one measured.
    const std::optional<double> prediction = m_ctx.services->predictMicStartMs(m_ctx.audio->deviceForNextStart());
    if (prediction)
        VLOG_INFO(lcPipeline) << QStringLiteral("Predicted mic init: ") + ms0(*prediction) + QStringLiteral("ms");
    installChunkHandler(true);

    const QString failure = startRecordingOrDescribeFailure();
    if (!failure.isEmpty()) {
        failStart(*session, failure);
        return;
    }
    session->micAcquisitionTimeMs = session->mediaStreamSetupMs = msSince(session->audioCaptureStartTime);
    m_ctx.services->recordMicStart(m_ctx.audio->deviceInUse(), session->micAcquisitionTimeMs, prediction);

    startLiveText(*session);
    announceListening(*session, app);
}

// Nothing of an earlier dictation shows or is counted in the new one.
void SessionEngine::resetCaptureForNewSession() {
    clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    m_publisher.setStreamingPartialText(std::nullopt);
    m_publisher.setErrorMessage(std::nullopt);
    m_capture->vad.reset();
    m_capture->firstChunkSeen.store(false);
    m_capture->feedRecognizer.store(false);
    if (!m_ctx.signedOut) m_ctx.streamingLink->beginNewSession();
    VLOG_INFO(lcPipeline) << QStringLiteral("Dictation initializing...");
}

void SessionEngine::emitStartEvent(const std::optional<ActiveAppInfo>& app) {
    const std::optional<QString> raceWinner = m_ctx.batch->raceWinner();
    m_recorder.emitEvent(
        *m_session, QStringLiteral("dictation.start"),
        {{QStringLiteral("app_name"), app ? app->name : QString()},
         {QStringLiteral("app_bundle_id"), app ? app->bundleId : QString()},
         {QStringLiteral("app_url"), app ? app->url.value_or(QString()) : QString()},
         {QStringLiteral("input_device"), m_ctx.audio->deviceForNextStart().value_or(QStringLiteral("system-default"))},
         {QStringLiteral("asr_tier"), m_ctx.batch->lastTierUsed()},
         {QStringLiteral("transport"), QStringLiteral("http")},
         {QStringLiteral("race_winner"), raceWinner ? QVariant(*raceWinner) : QVariant()}});
}

// The context, the server ping and the screen text run while the user speaks; a road waits for
// each at most its deadline.
void SessionEngine::startBackgroundTasks(PipelineSession& session) {
    // Before set-up there is no context engine: the dictation goes on without a context.
    if (m_ctx.contextEngine) {
        session.contextTask = std::make_shared<PendingValue<TranscriptionContext>>();
        gatherContext(m_ctx.contextEngine.get(), m_ctx.settings(), m_ctx.history.get(), session.contextTask);
    }
    session.backendPingTask = std::make_shared<PendingValue<std::optional<double>>>();
    pingServer(m_ctx.services.get(), m_ctx.settings().cloudServerURL, session.backendPingTask);
    // The server's formatter failed before: ask whether it is back while the user speaks.
    m_ctx.formatters.probeIfDue(m_ctx.settings());
    if (m_ctx.services->isFlagEnabled(QStringLiteral("should-ocr-screen-capture")) && m_ctx.makeScreenCaptureEngine) {
        m_ctx.appDetector->updateActiveApp();
        const QString bundleId = m_ctx.appDetector->activeApp() ? m_ctx.appDetector->activeApp()->bundleId : QString();
        session.screenCaptureTask = std::make_shared<PendingValue<std::optional<ScreenCaptureResult>>>();
        captureScreen(m_ctx.makeScreenCaptureEngine(), bundleId, session.screenCaptureTask);
    }
}

QString SessionEngine::startRecordingOrDescribeFailure() {
    try {
        m_ctx.audio->startRecording();
    } catch (...) {
        return describeFailure(std::current_exception());
    }
    return {};
}

void SessionEngine::failStart(PipelineSession& session, const QString& failure) {
    // Whatever the failed start opened is closed again, so no capture runs behind an error.
    m_ctx.audio->stopRecording();
    clearAllAudioChunks();
    m_publisher.setStatus(DictationStatus::error);
    m_publisher.setErrorMessage(QStringLiteral("Mic failed: ") + failure);
    session.cancelTasks();
    VLOG_WARNING(lcPipeline) << QStringLiteral("Error starting: ") + failure;
}

void SessionEngine::announceListening(const PipelineSession& session, const std::optional<ActiveAppInfo>& app) {
    m_publisher.setStatus(DictationStatus::listening);
    m_publisher.setPipelineStep(PipelineStep::listening);
    if (m_ctx.playsSounds()) m_ctx.services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    m_ctx.services->track(QStringLiteral("dictation_started"),
                          {{QStringLiteral("app_name"), app ? app->name : QStringLiteral("unknown")},
                           {QStringLiteral("bundle_id"), app ? app->bundleId : QString()}});
    VLOG_INFO(lcPipeline) << QStringLiteral("Listening (mic: ") + ms0(session.micAcquisitionTimeMs) +
                                 QStringLiteral("ms)");
}

// Hands the recording to one road: the server's, while the streaming link is up, else the batch.
void SessionEngine::stop() {
    m_publisher.setContinuousDictationLatched(false);
    if (m_publisher.status() != DictationStatus::listening || !m_session) return;
    const PipelineSessionPtr session = m_session;
    m_publisher.setStatus(DictationStatus::stopping);
    m_ctx.audio->stopRecording();
    if (m_ctx.playsSounds()) m_ctx.services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG_INFO(lcPipeline) << QStringLiteral("Stopping — %1 chunks (").arg(count) +
                                 seconds1(toSeconds(static_cast<qint64>(count) * DictationPipeline::chunkDuration)) +
                                 QStringLiteral("s)");
    const auto state = m_ctx.streamingLink->state();
    VLOG_INFO(lcPipeline) << QStringLiteral("stopDictation — transport state=") + rawValue(state) +
                                 QStringLiteral(", chunks sent over WS=%1").arg(m_ctx.streamingLink->chunksSent());

    using State = AbstractStreamingLink::State;
    if (state == State::connecting || state == State::connected || state == State::streaming) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Committing via WebSocket (0ms upload)");
        session->road = PipelineSession::Road::webSocket;
        m_publisher.setStatus(DictationStatus::processing);
        m_publisher.setPipelineStep(PipelineStep::transcribing);
        m_hooks.commitOverWebSocket(session);
    } else {
        session->road = PipelineSession::Road::batch;
        m_hooks.processAudio(session);
    }
}

void SessionEngine::cancel() {
    m_publisher.setContinuousDictationLatched(false);
    const bool wasListening = m_publisher.status() == DictationStatus::listening;
    m_ctx.audio->stopRecording();
    // The dictation ends before its tasks are cancelled: a road that the cancel wakes must
    // already find its dictation gone, or it would commit it, or hand its context and hints to
    // the recogniser of the next one. A road already pasting keeps its own audio.
    const PipelineSessionPtr session = endCurrentSession();
    clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    if (session) {
        session->cancelTasks();
        endLiveRecognitionDetached(session);
    }
    m_publisher.setStatus(wasListening ? DictationStatus::dismissed : DictationStatus::idle);
    m_publisher.setLevel(0, m_publisher.state().frequencyBands);
    VLOG_INFO(lcPipeline) << QStringLiteral("Dictation ") +
                                 (wasListening ? QStringLiteral("dismissed") : QStringLiteral("cancelled"));
    if (m_publisher.state().isPersistentMode) {
        m_publisher.setPersistentMode(false);
        m_ctx.services->track(QStringLiteral("persistent_dictation_cancelled"), {});
    }
    if (m_publisher.status() == DictationStatus::dismissed) {
        StatusPublisher* publisher = &m_publisher;
        publisher->startTimedRevert(DictationStatus::dismissed, m_ctx.timings.dismissed,
                                    [publisher] { publisher->setStatus(DictationStatus::idle); });
    }
}

// ---------------------------------------------------------------------------------------------
// The hands-free dictation

void SessionEngine::resetForPersistentRestart() {
    m_ctx.audio->stopRecording();
    m_ctx.streamingLink->resetSession();
    // The earlier dictation's road ends here: it must not paste into the new recording. A road
    // already pasting keeps its own audio.
    const PipelineSessionPtr session = endCurrentSession();
    clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    if (session) endLiveRecognitionDetached(session);
    m_publisher.setStatus(DictationStatus::idle);
}

void SessionEngine::startPersistent() {
    if (m_publisher.status() != DictationStatus::idle && m_publisher.status() != DictationStatus::error) return;
    m_publisher.setPersistentMode(true);
    VLOG_INFO(lcPipeline) << QStringLiteral("Persistent dictation started");
    m_ctx.services->track(QStringLiteral("persistent_dictation_started"), {});
    start();
}

void SessionEngine::pause() {
    if (m_publisher.status() != DictationStatus::listening || !m_publisher.state().isPersistentMode) return;
    m_ctx.audio->stopRecording();
    m_publisher.setStatus(DictationStatus::paused);
    m_publisher.setLevel(0, m_publisher.state().frequencyBands);
    const int chunks = recordedChunkCount();
    VLOG_INFO(lcPipeline) << QStringLiteral("Paused (%1 chunks buffered)").arg(chunks);
    m_ctx.services->track(QStringLiteral("persistent_dictation_paused"), {{QStringLiteral("chunks"), chunks}});
}

void SessionEngine::resume() {
    if (m_publisher.status() != DictationStatus::paused || !m_publisher.state().isPersistentMode || !m_session) return;
    m_publisher.setStatus(DictationStatus::listening);
    // From here on the recogniser hears nothing more, so the live text stays as it was.
    m_capture->feedRecognizer.store(false);
    installChunkHandler(false);
    const QString failure = startRecordingOrDescribeFailure();
    if (!failure.isEmpty()) {
        // A listening status with no audio arriving would leave the user talking to nothing, and
        // an error would throw away what was said before the pause: the dictation stays paused
        // with its audio and tasks, shows the error, and can be resumed again, finished or
        // dismissed.
        m_ctx.audio->stopRecording();
        m_publisher.setStatus(DictationStatus::paused);
        m_publisher.setErrorMessage(QStringLiteral("Mic failed: ") + failure);
        VLOG_WARNING(lcPipeline) << QStringLiteral("Error resuming: ") + failure;
        return;
    }
    m_publisher.setErrorMessage(std::nullopt);
    const int chunks = recordedChunkCount();
    VLOG_INFO(lcPipeline) << QStringLiteral("Resumed recording (%1 chunks buffered)").arg(chunks);
    m_ctx.services->track(QStringLiteral("persistent_dictation_resumed"), {});
}

// A hands-free dictation always takes the batch road: its audio outlasts one streaming session.
void SessionEngine::finishPersistent() {
    if (!m_publisher.state().isPersistentMode || !m_session) return;
    if (m_publisher.status() != DictationStatus::listening && m_publisher.status() != DictationStatus::paused) return;
    const PipelineSessionPtr session = m_session;
    m_publisher.setPersistentMode(false);
    if (m_publisher.status() == DictationStatus::listening) m_ctx.audio->stopRecording();
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG_INFO(lcPipeline) << QStringLiteral("Finishing persistent dictation — %1 total chunks").arg(count);
    m_ctx.streamingLink->resetSession();
    m_publisher.setStatus(DictationStatus::stopping);
    VLOG_INFO(lcPipeline) << QStringLiteral("Processing persistent audio — %1 chunks (").arg(count) +
                                 seconds1(toSeconds(static_cast<qint64>(count) * DictationPipeline::chunkDuration)) +
                                 QStringLiteral("s) via batch");
    session->road = PipelineSession::Road::batch;
    m_hooks.processAudio(session);
}

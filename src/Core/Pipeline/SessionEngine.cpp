#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"

#include <QUuid>

// The session engine: one session per dictation, the chunk path from the capture thread, and a
// recording's start, stop and cancel. The hotkey modes that drive it are in HotkeyModes.cpp.

using namespace PipelineSupport;

double DictationPipeline::now() { return Clock::current().monotonicSeconds(); }

// ---------------------------------------------------------------------------------------------
// Sessions and chunk buffers

DictationPipeline::SessionPtr DictationPipeline::beginSession() {
    auto session = std::make_shared<Session>();
    session->generation = ++m_nextGeneration;
    session->traceID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    session->sessionStartTime = now();
    m_session = session;
    m_capture->generation.store(session->generation);
    m_capture->sessionStartTime.store(session->sessionStartTime);
    return session;
}

DictationPipeline::SessionPtr DictationPipeline::endCurrentSession() {
    SessionPtr session = std::move(m_session);
    m_session.reset();
    // Chunks still on their way from the capture thread belong to no dictation now.
    m_capture->generation.store(++m_nextGeneration);
    m_capture->feedRecognizer.store(false);
    return session;
}

void DictationPipeline::drainAudioChunks() {
    std::vector<AudioChunk> taken;
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        taken.swap(m_capture->lockedChunks);
    }
    if (!m_session) return;
    auto& chunks = m_session->audioChunks;
    chunks.insert(chunks.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
}

void DictationPipeline::clearAllAudioChunks() {
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        m_capture->lockedChunks.clear();
    }
    if (m_session) m_session->audioChunks.clear();
}

int DictationPipeline::recordedChunkCount() const {
    std::size_t locked = 0;
    {
        std::lock_guard<std::mutex> lock(m_capture->chunksLock);
        locked = m_capture->lockedChunks.size();
    }
    return static_cast<int>(locked + (m_session ? m_session->audioChunks.size() : 0));
}

void DictationPipeline::releaseTasks(Session& session) {
    session.contextTask.reset();
    session.backendPingTask.reset();
    session.screenCaptureTask.reset();
}

void DictationPipeline::cancelTasks(Session& session) {
    if (session.contextTask) session.contextTask->cancel();
    if (session.backendPingTask) session.backendPingTask->cancel();
    if (session.screenCaptureTask) session.screenCaptureTask->cancel();
    releaseTasks(session);
}

// ---------------------------------------------------------------------------------------------
// The chunk path: capture thread → locked buffer, transport, recogniser; runOnMain → main thread

void DictationPipeline::installChunkHandler(bool withFirstChunkAndRecognizer) {
    std::weak_ptr<CaptureState> weak = m_capture;
    const quint64 generation = m_session ? m_session->generation : 0;
    PipelineStreamingLink* link = m_streamingLink.get();
    PipelineLiveRecognizer* recognizer = m_recognizer.get();
    PipelineAudioSource* audio = m_audio.get();
    const bool full = withFirstChunkAndRecognizer;
    m_audio->setChunkHandler([weak, generation, link, recognizer, audio, full](const AudioChunk& chunk) {
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
            const double t = now();
            const double toFirst = (t - state->sessionStartTime.load()) * 1000.0;
            const double latency = (t - state->audioCaptureStartTime.load()) * 1000.0;
            state->post([generation, toFirst, latency](DictationPipeline& pipeline) {
                pipeline.noteFirstChunk(generation, toFirst, latency);
            });
        }
        state->rawLevel.store(level, std::memory_order_relaxed);
        const double t = now();
        if (t - state->lastVolumeUpdate.load() > levelPublishIntervalSeconds) {
            state->lastVolumeUpdate.store(t);
            state->post([generation, level, bands = audio->currentFrequencyBands()](DictationPipeline& p) mutable {
                // Measured before the microphone went off: a paused or stopped dictation shows none.
                if (p.m_session && p.m_session->generation == generation &&
                    p.m_state.status == DictationStatus::listening)
                    p.setLevel(level, std::move(bands));
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

void DictationPipeline::CaptureState::post(std::function<void(DictationPipeline&)> job) {
    // Under the lock: the pipeline clears `receiver` before it goes, so it is alive here.
    std::lock_guard<std::mutex> lock(receiverLock);
    if (!receiver) return;
    DictationPipeline* pipeline = receiver;
    runOnMain(pipeline, [pipeline, job = std::move(job)] { job(*pipeline); });
}

void DictationPipeline::noteFirstChunk(quint64 generation, double toFirst, double latency) {
    if (!m_session || m_session->generation != generation) return;
    m_session->timeToFirstChunkMs = toFirst;
    m_session->firstAudioChunkLatencyMs = latency;
    VLOG(QStringLiteral("Pipeline: First audio chunk — total=") + ms0(toFirst) + QStringLiteral("ms capture=") +
         ms0(latency) + QStringLiteral("ms"));
    emitTelemetryEvent(QStringLiteral("dictation.first_chunk"),
                       {{QStringLiteral("timeToFirstChunk"), toFirst},
                        {QStringLiteral("firstAudioChunkLatency"), latency},
                        {QStringLiteral("mediaStreamSetup"), m_session->mediaStreamSetupMs}});
}

// ---------------------------------------------------------------------------------------------
// The on-device live text

void DictationPipeline::startLiveText(Session& session) {
    if (!m_recognizer->supportsStreaming()) return;
    std::weak_ptr<CaptureState> weak = m_capture;
    const quint64 generation = session.generation;
    try {
        m_recognizer->startStreaming([weak, generation](const QString& text) {
            if (const auto state = weak.lock())
                state->post([generation, text](DictationPipeline& pipeline) {
                    // Live text of an earlier dictation is dropped once another has begun.
                    if (pipeline.m_session && pipeline.m_session->generation == generation)
                        pipeline.setStreamingText(text);
                });
        });
        session.liveRecognition = true;
        m_capture->feedRecognizer.store(true);
    } catch (...) {
        // Live text is a convenience: the dictation goes on and is recognised when it ends.
        VLOG(QStringLiteral("Pipeline: Live text unavailable — ") + describeFailure(std::current_exception()));
    }
}

QCoro::Task<> DictationPipeline::endLiveRecognition(SessionPtr session) {
    if (!session || !session->liveRecognition) co_return;
    session->liveRecognition = false;
    if (isCurrent(session)) m_capture->feedRecognizer.store(false);
    try {
        co_await m_recognizer->stopStreaming();
    } catch (...) {
        // The session's own result is not used; ending it is what matters.
    }
}

void DictationPipeline::endLiveRecognitionDetached(const SessionPtr& session) { endLiveRecognition(session); }

// ---------------------------------------------------------------------------------------------
// Recording: start, stop, cancel

void DictationPipeline::startDictation() {
    if (m_state.status != DictationStatus::idle && m_state.status != DictationStatus::error) {
        VLOG(QStringLiteral("Pipeline: Cannot start — status is ") + rawValue(m_state.status));
        return;
    }
    // A stream left open by an earlier dictation ends before the new one begins.
    if (m_session) endLiveRecognitionDetached(m_session);
    m_reminders->clearTypingSuggestion();

    setStatus(DictationStatus::initializing);
    const SessionPtr session = beginSession();
    resetCaptureForNewSession();

    m_appDetector->updateActiveApp();
    const std::optional<ActiveAppInfo> app = m_appDetector->activeApp();
    emitStartEvent(app);
    startBackgroundTasks(*session);

    session->audioCaptureStartTime = now();
    m_capture->audioCaptureStartTime.store(session->audioCaptureStartTime);
    // Timings are filed under the device that records: a chosen microphone that is not connected
    // records from the system default, whose start-up is the one measured.
    const std::optional<double> prediction = m_services->predictMicStartMs(m_audio->deviceForNextStart());
    if (prediction) VLOG(QStringLiteral("Pipeline: Predicted mic init: ") + ms0(*prediction) + QStringLiteral("ms"));
    installChunkHandler(true);

    const QString failure = startRecordingOrDescribeFailure();
    if (!failure.isEmpty()) {
        failStart(*session, failure);
        return;
    }
    session->micAcquisitionTimeMs = session->mediaStreamSetupMs = (now() - session->audioCaptureStartTime) * 1000.0;
    m_services->recordMicStart(m_audio->deviceInUse(), session->micAcquisitionTimeMs, prediction);

    startLiveText(*session);
    announceListening(*session, app);
}

// Nothing of an earlier dictation shows or is counted in the new one.
void DictationPipeline::resetCaptureForNewSession() {
    clearAllAudioChunks();
    setStreamingText(QString());
    setStreamingPartialText(std::nullopt);
    setErrorMessage(std::nullopt);
    m_capture->vad.reset();
    m_capture->firstChunkSeen.store(false);
    m_capture->feedRecognizer.store(false);
    if (!m_signedOut) m_streamingLink->beginNewSession();
    VLOG(QStringLiteral("Pipeline: Dictation initializing..."));
}

void DictationPipeline::emitStartEvent(const std::optional<ActiveAppInfo>& app) {
    const std::optional<QString> raceWinner = m_batch->raceWinner();
    emitTelemetryEvent(
        QStringLiteral("dictation.start"),
        {{QStringLiteral("app_name"), app ? app->name : QString()},
         {QStringLiteral("app_bundle_id"), app ? app->bundleId : QString()},
         {QStringLiteral("app_url"), app ? app->url.value_or(QString()) : QString()},
         {QStringLiteral("input_device"), m_audio->deviceForNextStart().value_or(QStringLiteral("system-default"))},
         {QStringLiteral("asr_tier"), m_batch->lastTierUsed()},
         {QStringLiteral("transport"), QStringLiteral("http")},
         {QStringLiteral("race_winner"), raceWinner ? QVariant(*raceWinner) : QVariant()}});
}

// The context, the server ping and the screen text run while the user speaks; a road waits for
// each at most its deadline.
void DictationPipeline::startBackgroundTasks(Session& session) {
    // Before set-up there is no context engine: the dictation goes on without a context.
    if (m_contextEngine) {
        session.contextTask = std::make_shared<PendingValue<TranscriptionContext>>();
        gatherContext(m_contextEngine.get(), settings(), m_history.get(), session.contextTask);
    }
    session.backendPingTask = std::make_shared<PendingValue<std::optional<double>>>();
    pingServer(m_services.get(), settings().cloudServerURL, session.backendPingTask);
    // The server's formatter failed before: ask whether it is back while the user speaks.
    if (m_reprobeFormatter && m_probeCloudFormatter && !m_formatterProbe) {
        m_formatterProbe = std::make_shared<PendingValue<std::shared_ptr<TextFormatterProtocol>>>();
        probeFormatter(m_probeCloudFormatter, settings(), m_formatterProbe);
    }
    if (m_services->isFlagEnabled(QStringLiteral("should-ocr-screen-capture")) && m_makeScreenCaptureEngine) {
        m_appDetector->updateActiveApp();
        const QString bundleId = m_appDetector->activeApp() ? m_appDetector->activeApp()->bundleId : QString();
        session.screenCaptureTask = std::make_shared<PendingValue<std::optional<ScreenCaptureResult>>>();
        captureScreen(m_makeScreenCaptureEngine(), bundleId, session.screenCaptureTask);
    }
}

QString DictationPipeline::startRecordingOrDescribeFailure() {
    try {
        m_audio->startRecording();
    } catch (...) {
        return describeFailure(std::current_exception());
    }
    return {};
}

void DictationPipeline::failStart(Session& session, const QString& failure) {
    // Whatever the failed start opened is closed again, so no capture runs behind an error.
    m_audio->stopRecording();
    clearAllAudioChunks();
    setStatus(DictationStatus::error);
    setErrorMessage(QStringLiteral("Mic failed: ") + failure);
    cancelTasks(session);
    VLOG(QStringLiteral("Pipeline: Error starting: ") + failure);
}

void DictationPipeline::announceListening(const Session& session, const std::optional<ActiveAppInfo>& app) {
    setStatus(DictationStatus::listening);
    setPipelineStep(PipelineStep::listening);
    if (playsSounds()) m_services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    m_services->track(QStringLiteral("dictation_started"),
                      {{QStringLiteral("app_name"), app ? app->name : QStringLiteral("unknown")},
                       {QStringLiteral("bundle_id"), app ? app->bundleId : QString()}});
    VLOG(QStringLiteral("Pipeline: Listening (mic: ") + ms0(session.micAcquisitionTimeMs) + QStringLiteral("ms)"));
}

// Hands the recording to one road: the server's, while the streaming link is up, else the batch.
void DictationPipeline::stopDictation() {
    setContinuousDictationLatched(false);
    if (m_state.status != DictationStatus::listening || !m_session) return;
    const SessionPtr session = m_session;
    setStatus(DictationStatus::stopping);
    m_audio->stopRecording();
    if (playsSounds()) m_services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG(QStringLiteral("Pipeline: Stopping — %1 chunks (").arg(count) + seconds1(count * chunkSeconds) +
         QStringLiteral("s)"));
    const auto state = m_streamingLink->state();
    VLOG(QStringLiteral("Pipeline: stopDictation — transport state=") + rawValue(state) +
         QStringLiteral(", chunks sent over WS=%1").arg(m_streamingLink->chunksSent()));

    using State = PipelineStreamingLink::State;
    if (state == State::connecting || state == State::connected || state == State::streaming) {
        VLOG(QStringLiteral("Pipeline: Committing via WebSocket (0ms upload)"));
        session->road = Road::webSocket;
        setStatus(DictationStatus::processing);
        setPipelineStep(PipelineStep::transcribing);
        commitOverWebSocket(session);
    } else {
        session->road = Road::batch;
        processAudio(session);
    }
}

void DictationPipeline::cancelDictation() {
    setContinuousDictationLatched(false);
    const bool wasListening = m_state.status == DictationStatus::listening;
    m_audio->stopRecording();
    // The dictation ends before its tasks are cancelled: a road that the cancel wakes must
    // already find its dictation gone, or it would commit it, or hand its context and hints to
    // the recogniser of the next one. A road already pasting keeps its own audio.
    const SessionPtr session = endCurrentSession();
    clearAllAudioChunks();
    setStreamingText(QString());
    if (session) {
        cancelTasks(*session);
        endLiveRecognitionDetached(session);
    }
    setStatus(wasListening ? DictationStatus::dismissed : DictationStatus::idle);
    setLevel(0, m_state.frequencyBands);
    VLOG(QStringLiteral("Pipeline: Dictation ") +
         (wasListening ? QStringLiteral("dismissed") : QStringLiteral("cancelled")));
    if (m_state.isPersistentMode) {
        setPersistentMode(false);
        m_services->track(QStringLiteral("persistent_dictation_cancelled"), {});
    }
    if (m_state.status == DictationStatus::dismissed) {
        QPointer<DictationPipeline> self(this);
        startTimedRevert(DictationStatus::dismissed, m_timings.dismissedSeconds, [self] {
            if (self) self->setStatus(DictationStatus::idle);
        });
    }
}

void DictationPipeline::setMicDevice(const std::optional<QString>& uid) {
    m_audio->setSelectedDeviceUID(uid);
    if (!uid) {
        VLOG(QStringLiteral("Pipeline: Microphone → system default"));
        return;
    }
    QString name = *uid;
    for (const AudioDeviceInfo& device : m_audio->listInputDevices()) {
        if (device.uid == *uid) {
            name = device.name;
            break;
        }
    }
    VLOG(QStringLiteral("Pipeline: Microphone → ") + name);
}

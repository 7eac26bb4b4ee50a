#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

// Where both roads end: the paste, one at a time; the record of the dictation with its metrics,
// saved and reported; the learning from what the user does with the text; the return to idle.
// The events and log lines themselves are in Telemetry.cpp.

using namespace PipelineSupport;

// ---------------------------------------------------------------------------------------------
// Pastes and learning

QCoro::Task<PasteOutcome> DictationPipeline::pasteSerialised(QString text) {
    QPointer<DictationPipeline> self(this);
    while (m_pasteBusy) {
        co_await m_pasteReleased.wait();
        if (!self) co_return PasteOutcome();
    }
    m_pasteBusy = true;
    const PasteOutcome outcome = co_await m_textInserter->insertText(text, false);
    if (self) {
        m_pasteBusy = false;
        m_pasteReleased.wakeAll();
    }
    co_return outcome;
}

void DictationPipeline::startLearning(const Session& session, const QString& pastedText, const QString& asrText) {
    const std::optional<ActiveAppInfo>& app = m_appDetector->activeApp();
    const auto& context = session.transcriptionContext;
    // A field that could not be read (password fields never are) is never watched.
    const bool readable = context && context->textboxContents.accessibilityIsFunctioning;
    if (app && app->pid > 0 && readable && !pastedText.isEmpty()) {
        DictationLearning::PasteTarget target;
        target.pid = app->pid;
        target.pastedText = pastedText;
        target.beforeText = context->textboxContents.beforeText;
        target.afterText = context->textboxContents.afterText;
        target.appBundleId = context->app.bundleId;
        target.fieldType = rawValue(context->app.type);
        m_learning->startCorrectionWatch(target);
        m_learning->startOutcomeObservation(session.traceID, m_services->metricsSessionID(), target);
    }
    if (learnsWords()) m_learning->autoLearnWords(asrText);
}

// ---------------------------------------------------------------------------------------------
// The batch road's completion

QCoro::Task<> DictationPipeline::completeBatch(SessionPtr session, BatchOutcome o) {
    QPointer<DictationPipeline> self(this);
    session->insertTimeMs = (now() - o.insertStart) * 1000.0;
    o.ping = co_await awaitPing(session);
    if (!self) co_return;
    if (o.tierLabel.startsWith(QStringLiteral("primary")) && m_batch->hasCloudRecognizer())
        o.cloud = m_batch->lastCloudMetrics();
    o.raceWinner = m_batch->raceWinner();

    reportPasteOutcome(*session, o.paste);
    if (playsSounds()) m_services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    startLearning(*session, o.finalText, o.asrText);

    const double e2eMs = (now() - session->sessionStartTime) * 1000.0;
    const DictationLatencyMetrics latency = batchLatency(*session, o);
    const TranscriptionResult record = batchRecord(*session, o, e2eMs, latency);

    addRecord(record);
    m_services->recordEvaluation(record);
    m_services->trackDictationCompleted(record);
    const QVariantMap latencyProperties = latency.analyticsProperties();
    m_services->track(QStringLiteral("dictation_latency"), latencyProperties);
    reportBatchCompletion(*session, o, record, latencyProperties);
    emitLatencyWarnings(*session, latency);
    if (m_contextEngine) m_contextEngine->updateAfterTranscription(record);

    updateSettings([&](VantroseSettings& s) { s.personalization.recordDictation(record.wordCount); });

    logBatchCompletion(*session, o, record, latency, e2eMs);
    const int evaluated = m_services->evaluatedDictations();
    if (evaluated > 0 && evaluated % 5 == 0) m_services->printEvaluationReport();

    if (!isCurrent(session)) co_return;
    returnToIdleAfterBatch(*session);
    if (o.partial) showPartialRecognitionNotice(o);
}

// The server's round trip as measured while the user spoke, if it came in time. Answers nothing
// also when the pipeline went away meanwhile.
QCoro::Task<std::optional<double>> DictationPipeline::awaitPing(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    std::optional<double> ping;
    if (const auto task = session->backendPingTask) {
        const std::optional<std::optional<double>> answer =
            co_await valueWithin(task, m_sleeper.get(), m_timings.pingDeadlineSeconds, QStringLiteral("Server ping"));
        if (!self) co_return std::nullopt;
        if (answer) ping = *answer;
    }
    co_return ping;
}

DictationLatencyMetrics DictationPipeline::batchLatency(const Session& session, const BatchOutcome& o) const {
    const std::optional<PipelineCloudMetrics>& cloud = o.cloud;
    DictationLatencyMetrics latency;
    latency.timeToFirstChunkMs = session.timeToFirstChunkMs;
    latency.recordingLengthMs = o.chunkCount * chunkSeconds * 1000.0;
    latency.timeToPasteTextMs = o.paste.totalTimeMs;
    latency.axContextTimeMs = session.contextGatherTimeMs;
    latency.mediaStreamSetupMs = session.mediaStreamSetupMs;
    latency.firstAudioChunkLatencyMs = session.firstAudioChunkLatencyMs;
    latency.backendPingTimeAtStreamStartMs = o.ping;
    latency.asrTimeMs = cloud ? cloud->asrTimeMs : session.asrTimeMs;
    latency.llmTimeMs = cloud ? cloud->llmTimeMs : session.formatTimeMs;
    latency.pastedTimeMs = o.paste.totalTimeMs;
    latency.ocrCaptureTimeMs = session.ocrCaptureTimeMs;
    if (cloud) {
        latency.prepareRequestMs = cloud->prepareRequestMs;
        latency.uploadRequestMs = cloud->uploadRequestMs;
        latency.remoteLatencyMs = cloud->remoteLatencyMs;
        latency.backendCommitAckTimeMs = cloud->backendCommitAckTimeMs;
        latency.serverProcessingTimeMs = cloud->serverProcessingTimeMs;
    }
    return latency;
}

TranscriptionResult DictationPipeline::batchRecord(const Session& session, const BatchOutcome& o, double e2eMs,
                                                   const DictationLatencyMetrics& latency) const {
    const auto& context = session.transcriptionContext;
    const double recordingMs = o.chunkCount * chunkSeconds * 1000.0;
    const int fallbackLevel = o.tier == QStringLiteral("primary") ? 0 : o.tier == QStringLiteral("secondary") ? 1 : 2;
    DictationPersistenceMetrics persistence =
        persistenceBase(session.traceID, m_services->metricsSessionID(), context, o.paste);
    persistence.speechDurationS = o.voicedFrames * chunkSeconds;
    persistence.recordingLengthMs = recordingMs;
    persistence.e2eLatencyMs = e2eMs;
    if (o.cloud) persistence.clientNetworkLatencyMs = o.cloud->remoteLatencyMs;
    persistence.fallbackLevel = fallbackLevel;
    if (fallbackLevel != 0) persistence.fallbackReason = QStringLiteral("retry_fallback");

    TranscriptionResult::Fields f;
    f.rawText = o.asrText;
    f.formattedText = o.formattedText;
    f.pastedText = o.finalText;
    f.duration = o.chunkCount * chunkSeconds;
    f.speechDuration = o.voicedFrames * chunkSeconds;
    f.language = f.detectedLanguage = settings().language;
    f.status = ResponseStatus::formatted;
    f.micAcquisitionTimeMs = session.micAcquisitionTimeMs;
    f.asrTimeMs = session.asrTimeMs;
    f.formatTimeMs = session.formatTimeMs;
    f.insertTimeMs = session.insertTimeMs;
    f.contextGatherTimeMs = session.contextGatherTimeMs;
    f.totalTimeMs = e2eMs;
    f.averageLogProb = o.confidence;
    f.asrTierUsed = o.tierLabel;
    f.usedFallbackASR = o.tierLabel.contains(QStringLiteral("batch"));
    f.formatterUsed = o.formatterLabel;
    f.usedFallbackFormatting = o.usedFallbackFormatting;
    f.formattingDivergenceScore = computeDivergence(o.asrText, o.formattedText);
    fillAppFields(f, context, m_services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    return TranscriptionResult(std::move(f));
}

void DictationPipeline::returnToIdleAfterBatch(Session& session) {
    setPipelineStep(PipelineStep::done);
    clearAllAudioChunks();
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    releaseTasks(session);
    const quint64 generation = session.generation;
    QPointer<DictationPipeline> self(this);
    [](QPointer<DictationPipeline> self, PipelineSleeper* sleeper, double seconds,
       quint64 generation) -> QCoro::Task<> {
        co_await sleeper->sleep(seconds);
        // A dictation that started meanwhile keeps its own stage.
        if (!self || self->m_state.pipelineStep != PipelineStep::done) co_return;
        if (self->m_session && self->m_session->generation != generation) co_return;
        self->setPipelineStep(PipelineStep::idle);
    }(self, m_sleeper.get(), m_timings.stepResetSeconds, generation);
}

// ---------------------------------------------------------------------------------------------
// The streaming road's completion

QCoro::Task<> DictationPipeline::completeStreaming(SessionPtr session, StreamingOutcome o) {
    QPointer<DictationPipeline> self(this);
    const double audioSeconds = static_cast<double>(session->audioChunks.size()) * chunkSeconds;
    const PasteOutcome paste = co_await pasteSerialised(o.pastedText);
    if (!self) co_return;
    if (playsSounds()) m_services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    const double e2eMs = (now() - session->sessionStartTime) * 1000.0;
    VLOG(QStringLiteral("Pipeline: Streaming e2e — ") + ms0(e2eMs) + QStringLiteral("ms (commit→result: ") +
         ms0(m_streamingLink->commitToResultMs()) + QStringLiteral("ms)"));
    VLOG(QStringLiteral("Pipeline: Streaming complete — %1 words, ")
             .arg(o.postProcessed.split(QLatin1Char(' '), Qt::SkipEmptyParts).size()) +
         seconds1(audioSeconds) + QStringLiteral("s audio, ") + ms0(e2eMs) + QStringLiteral("ms e2e"));

    const DictationLatencyMetrics latency = streamingLatency(*session, o, paste, audioSeconds);
    const TranscriptionResult record = streamingRecord(*session, o, paste, audioSeconds, e2eMs, latency);

    addRecord(record);
    m_services->trackDictationCompleted(record);
    m_services->track(QStringLiteral("dictation_latency"), latency.analyticsProperties());
    if (m_contextEngine) m_contextEngine->updateAfterTranscription(record);
    if (isCurrent(session)) {
        releaseTasks(*session);
        streamingReset(true);
    }
}

DictationLatencyMetrics DictationPipeline::streamingLatency(const Session& session, const StreamingOutcome& o,
                                                            const PasteOutcome& paste, double audioSeconds) const {
    DictationLatencyMetrics latency;
    latency.recordingLengthMs = audioSeconds * 1000.0;
    latency.timeToPasteTextMs = paste.totalTimeMs;
    latency.axContextTimeMs = session.contextGatherTimeMs;
    latency.backendCommitAckTimeMs = m_streamingLink->commitToResultMs();
    latency.asrTimeMs = o.asrMs;
    latency.llmTimeMs = o.llmMs;
    latency.pastedTimeMs = paste.totalTimeMs;
    return latency;
}

TranscriptionResult DictationPipeline::streamingRecord(const Session& session, const StreamingOutcome& o,
                                                       const PasteOutcome& paste, double audioSeconds, double e2eMs,
                                                       const DictationLatencyMetrics& latency) const {
    const auto& context = session.transcriptionContext;
    DictationPersistenceMetrics persistence =
        persistenceBase(session.traceID, m_services->metricsSessionID(), context, paste);
    persistence.speechDurationS = audioSeconds;
    persistence.recordingLengthMs = audioSeconds * 1000.0;
    persistence.e2eLatencyMs = e2eMs;

    TranscriptionResult::Fields f;
    f.rawText = o.asrText;
    f.formattedText = o.resultText;
    f.pastedText = o.pastedText;
    f.duration = f.speechDuration = audioSeconds;
    f.language = f.detectedLanguage = settings().language;
    f.status = o.llmText.isEmpty() ? ResponseStatus::rawTranscript : ResponseStatus::formatted;
    f.micAcquisitionTimeMs = session.micAcquisitionTimeMs;
    f.asrTimeMs = o.asrMs;
    f.formatTimeMs = o.llmMs;
    f.insertTimeMs = paste.totalTimeMs;
    f.totalTimeMs = e2eMs;
    f.contextGatherTimeMs = session.contextGatherTimeMs;
    f.asrTierUsed = QStringLiteral("streaming:") + o.asrProvider;
    f.formatterUsed = QStringLiteral("streaming:") + o.llmProvider;
    fillAppFields(f, context, m_services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    if (!context) f.appURL = std::nullopt;
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    return TranscriptionResult(std::move(f));
}

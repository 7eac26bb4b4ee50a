#include "Core/Pipeline/DictationRecorder.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

#include <QPointer>
#include <QSet>

using namespace PipelineSupport;

DictationRecorder::DictationRecorder(PipelineContext& context, DictationLearning& learning)
    : m_ctx(context),
      m_learning(learning) {}

// ---------------------------------------------------------------------------------------------
// The batch road's record

QCoro::Task<> DictationRecorder::recordBatch(PipelineSessionPtr session, BatchOutcome o) {
    const QPointer<QObject> self(m_ctx.pipeline);
    session->insertTimeMs = msSince(o.insertStart);
    o.ping = co_await awaitPing(session);
    if (!self) co_return;
    if (o.tierLabel.startsWith(QStringLiteral("primary")) && m_ctx.batch->hasCloudRecognizer())
        o.cloud = m_ctx.batch->lastCloudMetrics();
    o.raceWinner = m_ctx.batch->raceWinner();

    reportPasteOutcome(*session, o.paste);
    if (m_ctx.playsSounds()) m_ctx.services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    startLearning(*session, o.finalText, o.asrText);

    const double e2eMs = msSince(session->sessionStartTime);
    const DictationLatencyMetrics latency = batchLatency(*session, o);
    const TranscriptionResult record = batchRecord(*session, o, e2eMs, latency);

    publishRecord(record);
    m_ctx.services->recordEvaluation(record);
    m_ctx.services->trackDictationCompleted(record);
    const QVariantMap latencyProperties = latency.analyticsProperties();
    m_ctx.services->track(QStringLiteral("dictation_latency"), latencyProperties);
    reportBatchCompletion(*session, o, record, latencyProperties);
    emitLatencyWarnings(*session, latency);
    if (m_ctx.contextEngine) m_ctx.contextEngine->updateAfterTranscription(record);

    m_ctx.store.updateSettings([&](VantroseSettings& s) { s.personalization.recordDictation(record.wordCount); });

    logBatchCompletion(*session, o, record, latency, e2eMs);
    const int evaluated = m_ctx.services->evaluatedDictations();
    if (evaluated > 0 && evaluated % 5 == 0) m_ctx.services->printEvaluationReport();
}

// The server's round trip as measured while the user spoke, if it came in time. Answers nothing
// also when the pipeline went away meanwhile.
QCoro::Task<std::optional<double>> DictationRecorder::awaitPing(PipelineSessionPtr session) {
    const QPointer<QObject> self(m_ctx.pipeline);
    std::optional<double> ping;
    if (const auto task = session->backendPingTask) {
        const std::optional<std::optional<double>> answer =
            co_await valueWithin(task, m_ctx.timings.pingDeadline, QStringLiteral("Server ping"));
        if (!self) co_return std::nullopt;
        if (answer) ping = *answer;
    }
    co_return ping;
}

DictationLatencyMetrics DictationRecorder::batchLatency(const PipelineSession& session, const BatchOutcome& o) const {
    const std::optional<PipelineCloudMetrics>& cloud = o.cloud;
    DictationLatencyMetrics latency;
    latency.timeToFirstChunkMs = session.timeToFirstChunkMs;
    latency.recordingLengthMs = toMilliseconds(o.chunkCount * DictationPipeline::chunkDuration);
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

TranscriptionResult DictationRecorder::batchRecord(const PipelineSession& session, const BatchOutcome& o, double e2eMs,
                                                   const DictationLatencyMetrics& latency) const {
    const auto& context = session.transcriptionContext;
    const double recordingMs = toMilliseconds(o.chunkCount * DictationPipeline::chunkDuration);
    const int fallbackLevel = o.tier == QStringLiteral("primary") ? 0 : o.tier == QStringLiteral("secondary") ? 1 : 2;
    DictationPersistenceMetrics persistence =
        persistenceBase(session.traceID, m_ctx.services->metricsSessionID(), context, o.paste);
    persistence.speechDurationS = toSeconds(o.voicedFrames * DictationPipeline::chunkDuration);
    persistence.recordingLengthMs = recordingMs;
    persistence.e2eLatencyMs = e2eMs;
    if (o.cloud) persistence.clientNetworkLatencyMs = o.cloud->remoteLatencyMs;
    persistence.fallbackLevel = fallbackLevel;
    if (fallbackLevel != 0) persistence.fallbackReason = QStringLiteral("retry_fallback");

    TranscriptionResult::Fields f;
    f.rawText = o.asrText;
    f.formattedText = o.formattedText;
    f.pastedText = o.finalText;
    f.duration = toSeconds(o.chunkCount * DictationPipeline::chunkDuration);
    f.speechDuration = toSeconds(o.voicedFrames * DictationPipeline::chunkDuration);
    f.language = f.detectedLanguage = m_ctx.settings().language;
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
    fillAppFields(f, context, m_ctx.services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    return TranscriptionResult(std::move(f));
}

// ---------------------------------------------------------------------------------------------
// The streaming road's record

void DictationRecorder::recordStreaming(const PipelineSession& session, const StreamingOutcome& o) {
    if (m_ctx.playsSounds()) m_ctx.services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    const double e2eMs = msSince(session.sessionStartTime);
    VLOG_INFO(lcPipeline) << QStringLiteral("Streaming e2e — ") + ms0(e2eMs) + QStringLiteral("ms (commit→result: ") +
                                 ms0(m_ctx.streamingLink->commitToResultMs()) + QStringLiteral("ms)");
    VLOG_INFO(lcPipeline) << QStringLiteral("Streaming complete — %1 words, ")
                                     .arg(o.postProcessed.split(QLatin1Char(' '), Qt::SkipEmptyParts).size()) +
                                 seconds1(toSeconds(o.audio)) + QStringLiteral("s audio, ") + ms0(e2eMs) +
                                 QStringLiteral("ms e2e");

    const DictationLatencyMetrics latency = streamingLatency(session, o);
    const TranscriptionResult record = streamingRecord(session, o, e2eMs, latency);

    publishRecord(record);
    m_ctx.services->trackDictationCompleted(record);
    m_ctx.services->track(QStringLiteral("dictation_latency"), latency.analyticsProperties());
    if (m_ctx.contextEngine) m_ctx.contextEngine->updateAfterTranscription(record);
}

DictationLatencyMetrics DictationRecorder::streamingLatency(const PipelineSession& session,
                                                            const StreamingOutcome& o) const {
    const PasteOutcome& paste = o.paste;
    DictationLatencyMetrics latency;
    latency.recordingLengthMs = toMilliseconds(o.audio);
    latency.timeToPasteTextMs = paste.totalTimeMs;
    latency.axContextTimeMs = session.contextGatherTimeMs;
    latency.backendCommitAckTimeMs = m_ctx.streamingLink->commitToResultMs();
    latency.asrTimeMs = o.asrMs;
    latency.llmTimeMs = o.llmMs;
    latency.pastedTimeMs = paste.totalTimeMs;
    return latency;
}

TranscriptionResult DictationRecorder::streamingRecord(const PipelineSession& session, const StreamingOutcome& o,
                                                       double e2eMs, const DictationLatencyMetrics& latency) const {
    const PasteOutcome& paste = o.paste;
    const auto& context = session.transcriptionContext;
    DictationPersistenceMetrics persistence =
        persistenceBase(session.traceID, m_ctx.services->metricsSessionID(), context, paste);
    persistence.speechDurationS = toSeconds(o.audio);
    persistence.recordingLengthMs = toMilliseconds(o.audio);
    persistence.e2eLatencyMs = e2eMs;

    TranscriptionResult::Fields f;
    f.rawText = o.asrText;
    f.formattedText = o.resultText;
    f.pastedText = o.pastedText;
    f.duration = f.speechDuration = toSeconds(o.audio);
    f.language = f.detectedLanguage = m_ctx.settings().language;
    f.status = o.llmText.isEmpty() ? ResponseStatus::rawTranscript : ResponseStatus::formatted;
    f.micAcquisitionTimeMs = session.micAcquisitionTimeMs;
    f.asrTimeMs = o.asrMs;
    f.formatTimeMs = o.llmMs;
    f.insertTimeMs = paste.totalTimeMs;
    f.totalTimeMs = e2eMs;
    f.contextGatherTimeMs = session.contextGatherTimeMs;
    f.asrTierUsed = QStringLiteral("streaming:") + o.asrProvider;
    f.formatterUsed = QStringLiteral("streaming:") + o.llmProvider;
    fillAppFields(f, context, m_ctx.services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    if (!context) f.appURL = std::nullopt;
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    return TranscriptionResult(std::move(f));
}

// ---------------------------------------------------------------------------------------------
// What every record shares: the history and the dashboard, the learning

// The record joins the history and the dashboard.
void DictationRecorder::publishRecord(const TranscriptionResult& record) {
    m_ctx.publisher.setLastResult(record);
    m_ctx.history->save(record);
    m_ctx.publisher.addToDashboard(record);
}

void DictationRecorder::startLearning(const PipelineSession& session, const QString& pastedText,
                                      const QString& asrText) {
    const std::optional<ActiveAppInfo>& app = m_ctx.appDetector->activeApp();
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
        m_learning.startCorrectionWatch(target);
        m_learning.startOutcomeObservation(session.traceID, m_ctx.services->metricsSessionID(), target);
    }
    if (m_ctx.learnsWords()) m_learning.autoLearnWords(asrText);
}

// ---------------------------------------------------------------------------------------------
// Metrics events, warnings for slow steps, the completion's log lines

void DictationRecorder::emitEvent(const PipelineSession& session, const QString& event, const QVariantMap& payload) {
    QString bundleId;
    QString fieldType = QStringLiteral("unknown");
    if (session.transcriptionContext) {
        bundleId = session.transcriptionContext->app.bundleId;
        fieldType = rawValue(session.transcriptionContext->app.type);
    } else {
        m_ctx.appDetector->updateActiveApp();
        if (m_ctx.appDetector->activeApp()) bundleId = m_ctx.appDetector->activeApp()->bundleId;
    }
    m_ctx.services->emitMetric(event, session.traceID, payload);
    m_ctx.history->saveEvent(session.traceID, m_ctx.services->metricsSessionID(), event, bundleId, fieldType, payload);
}

void DictationRecorder::reportPasteOutcome(const PipelineSession& session, const PasteOutcome& paste) {
    emitEvent(session, QStringLiteral("dictation.paste.outcome"),
              {{QStringLiteral("pasteSuccess"), paste.success},
               {QStringLiteral("pasteOutcomeMs"), paste.totalTimeMs},
               {QStringLiteral("clipboardWriteSuccessful"), paste.clipboardWritten},
               {QStringLiteral("helperPasteProcessingMs"),
                paste.helperPasteProcessingMs ? QVariant(*paste.helperPasteProcessingMs) : QVariant()},
               {QStringLiteral("focusedControlChanged"), paste.focusedControlChanged},
               {QStringLiteral("hasPrivilegeIssues"), paste.hasPrivilegeIssues}});
}

void DictationRecorder::reportBatchCompletion(const PipelineSession& session, const BatchOutcome& o,
                                              const TranscriptionResult& record, const QVariantMap& latencyProperties) {
    const QVariant raceWinnerValue = o.raceWinner ? QVariant(*o.raceWinner) : QVariant();
    emitEvent(session, QStringLiteral("dictation.complete"),
              {{QStringLiteral("app_name"), record.appName},
               {QStringLiteral("app_bundle_id"), record.appBundleId},
               {QStringLiteral("app_url"), record.appURL.value_or(QString())},
               {QStringLiteral("asr_tier"), o.tierLabel},
               {QStringLiteral("transport"), QStringLiteral("http")},
               {QStringLiteral("race_winner"), raceWinnerValue},
               {QStringLiteral("latency"), latencyProperties},
               {QStringLiteral("quality"),
                QVariantMap{{QStringLiteral("word_count"), static_cast<qlonglong>(record.wordCount)},
                            {QStringLiteral("formatter"), o.formatterLabel},
                            {QStringLiteral("confidence"), o.confidence}}}});
    if (!o.cloud) return;
    const PipelineCloudMetrics& cloud = *o.cloud;
    emitEvent(session, QStringLiteral("dictation.cloud_metrics"),
              {{QStringLiteral("prepareRequest"), cloud.prepareRequestMs},
               {QStringLiteral("uploadRequest"), cloud.uploadRequestMs},
               {QStringLiteral("remoteLatency"), cloud.remoteLatencyMs},
               {QStringLiteral("serverProcessingTimeMs"), cloud.serverProcessingTimeMs},
               {QStringLiteral("asrTimeMs"), cloud.asrTimeMs},
               {QStringLiteral("llmTimeMs"), cloud.llmTimeMs},
               {QStringLiteral("backendCommitAckTimeMs"),
                cloud.backendCommitAckTimeMs ? QVariant(*cloud.backendCommitAckTimeMs) : QVariant()},
               {QStringLiteral("race_winner"), raceWinnerValue}});
}

void DictationRecorder::emitLatencyWarnings(const PipelineSession& session, const DictationLatencyMetrics& m) {
    const auto warn = [&](const QString& event, const QString& key, double value) {
        emitEvent(session, event, {{key, value}});
    };
    if (m.uploadRequestMs && *m.uploadRequestMs > 250)
        warn(QStringLiteral("dictation.transport.upload_spike"), QStringLiteral("uploadRequest"), *m.uploadRequestMs);
    if (m.axContextTimeMs && *m.axContextTimeMs > 1200)
        warn(QStringLiteral("dictation.context.ax_timeout_mode"), QStringLiteral("axContextTime"), *m.axContextTimeMs);
    else if (m.axContextTimeMs && *m.axContextTimeMs > 800)
        warn(QStringLiteral("dictation.context.ax_slow"), QStringLiteral("axContextTime"), *m.axContextTimeMs);
    if (m.mediaStreamSetupMs && *m.mediaStreamSetupMs > 500)
        warn(QStringLiteral("dictation.audio.setup_slow"), QStringLiteral("mediaStreamSetup"), *m.mediaStreamSetupMs);
    if (m.backendCommitAckTimeMs && *m.backendCommitAckTimeMs > 500)
        warn(QStringLiteral("dictation.stream.commit_ack_slow"), QStringLiteral("backendCommitAckTimeMs"),
             *m.backendCommitAckTimeMs);
    if (m.timeToPasteTextMs && *m.timeToPasteTextMs > 20)
        warn(QStringLiteral("dictation.paste.slow"), QStringLiteral("timeToPasteText"), *m.timeToPasteTextMs);
}

void DictationRecorder::logBatchCompletion(const PipelineSession& session, const BatchOutcome& o,
                                           const TranscriptionResult& record, const DictationLatencyMetrics& latency,
                                           double e2eMs) {
    VLOG_INFO(lcPipeline) << QStringLiteral("Complete — %1 words | ").arg(record.wordCount) +
                                 seconds1(record.duration) + QStringLiteral("s audio\n  Tier: ") + o.tierLabel +
                                 (o.raceWinner ? QStringLiteral(" (race winner)") : QString()) +
                                 QStringLiteral("\n  Mic: ") + ms0(session.micAcquisitionTimeMs) +
                                 QStringLiteral("ms | Context: ") + ms0(session.contextGatherTimeMs) +
                                 QStringLiteral("ms | ASR: ") + ms0(session.asrTimeMs) +
                                 QStringLiteral("ms | Format: ") + ms0(session.formatTimeMs) +
                                 QStringLiteral("ms | Insert: ") + ms0(session.insertTimeMs) +
                                 QStringLiteral("ms\n  Tier6: firstChunk=") + optMs0(latency.timeToFirstChunkMs) +
                                 QStringLiteral("ms | prepare=") + optMs0(latency.prepareRequestMs) +
                                 QStringLiteral("ms | remote=") + optMs0(latency.remoteLatencyMs) +
                                 QStringLiteral("ms | ping=") + optMs0(latency.backendPingTimeAtStreamStartMs) +
                                 QStringLiteral("ms\n  POST-RECORDING: ") + ms0(msSince(o.processingStart)) +
                                 QStringLiteral("ms | E2E: ") + ms0(e2eMs) + QStringLiteral("ms");
    VLOG_INFO(lcLatencyMetrics) << QStringLiteral("timeToFirstChunk=") + optMs0(latency.timeToFirstChunkMs) +
                                       QStringLiteral("ms recordingLength=") + ms0(latency.recordingLengthMs) +
                                       QStringLiteral("ms prepareRequest=") + optMs0(latency.prepareRequestMs) +
                                       QStringLiteral("ms uploadRequest=") + optMs0(latency.uploadRequestMs) +
                                       QStringLiteral("ms remoteLatency=") + optMs0(latency.remoteLatencyMs) +
                                       QStringLiteral("ms timeToPasteText=") + optMs0(latency.timeToPasteTextMs) +
                                       QStringLiteral("ms axContextTime=") + optMs0(latency.axContextTimeMs) +
                                       QStringLiteral("ms mediaStreamSetup=") + optMs0(latency.mediaStreamSetupMs) +
                                       QStringLiteral("ms firstAudioChunkLatency=") +
                                       optMs0(latency.firstAudioChunkLatencyMs) + QStringLiteral("ms backendPing=") +
                                       optMs0(latency.backendPingTimeAtStreamStartMs) +
                                       QStringLiteral("ms backendCommitAck=") + optMs0(latency.backendCommitAckTimeMs) +
                                       QStringLiteral("ms serverProcessingTime=") +
                                       optMs0(latency.serverProcessingTimeMs) + QStringLiteral("ms asrTime=") +
                                       optMs0(latency.asrTimeMs) + QStringLiteral("ms llmTime=") +
                                       optMs0(latency.llmTimeMs) + QStringLiteral("ms pastedTime=") +
                                       optMs0(latency.pastedTimeMs) + QStringLiteral("ms");
}

float DictationRecorder::computeDivergence(const QString& raw, const QString& formatted) {
    const auto words = [](const QString& text) {
        const QStringList pieces = text.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        return QSet<QString>(pieces.begin(), pieces.end());
    };
    const QSet<QString> rawWords = words(raw);
    if (rawWords.isEmpty()) return 0.0f;
    const QSet<QString> formattedWords = words(formatted);
    const auto shared = QSet<QString>(rawWords).intersect(formattedWords).size();
    const auto larger = std::max(rawWords.size(), formattedWords.size());
    return 1.0f - static_cast<float>(shared) / static_cast<float>(larger);
}

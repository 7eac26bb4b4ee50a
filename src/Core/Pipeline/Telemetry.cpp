#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

#include <QSet>

// What a dictation reports: metrics events (the metrics log and the history's event table), the
// warnings for slow steps, and the completion's log lines.

using namespace PipelineSupport;

void DictationPipeline::emitTelemetryEvent(const QString& event, const QVariantMap& payload) {
    static const Session none;
    emitSessionEvent(m_session ? *m_session : none, event, payload);
}

void DictationPipeline::emitSessionEvent(const Session& session, const QString& event, const QVariantMap& payload) {
    QString bundleId;
    QString fieldType = QStringLiteral("unknown");
    if (session.transcriptionContext) {
        bundleId = session.transcriptionContext->app.bundleId;
        fieldType = rawValue(session.transcriptionContext->app.type);
    } else {
        m_appDetector->updateActiveApp();
        if (m_appDetector->activeApp()) bundleId = m_appDetector->activeApp()->bundleId;
    }
    m_services->emitMetric(event, session.traceID, payload);
    m_history->saveEvent(session.traceID, m_services->metricsSessionID(), event, bundleId, fieldType, payload);
}

void DictationPipeline::reportPasteOutcome(const Session& session, const PasteOutcome& paste) {
    emitSessionEvent(session, QStringLiteral("dictation.paste.outcome"),
                     {{QStringLiteral("pasteSuccess"), paste.success},
                      {QStringLiteral("pasteOutcomeMs"), paste.totalTimeMs},
                      {QStringLiteral("clipboardWriteSuccessful"), paste.clipboardWritten},
                      {QStringLiteral("helperPasteProcessingMs"),
                       paste.helperPasteProcessingMs ? QVariant(*paste.helperPasteProcessingMs) : QVariant()},
                      {QStringLiteral("focusedControlChanged"), paste.focusedControlChanged},
                      {QStringLiteral("hasPrivilegeIssues"), paste.hasPrivilegeIssues}});
}

void DictationPipeline::reportBatchCompletion(const Session& session, const BatchOutcome& o,
                                              const TranscriptionResult& record, const QVariantMap& latencyProperties) {
    const QVariant raceWinnerValue = o.raceWinner ? QVariant(*o.raceWinner) : QVariant();
    emitSessionEvent(session, QStringLiteral("dictation.complete"),
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
    emitSessionEvent(session, QStringLiteral("dictation.cloud_metrics"),
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

void DictationPipeline::emitLatencyWarnings(const Session& session, const DictationLatencyMetrics& m) {
    const auto warn = [&](const QString& event, const QString& key, double value) {
        emitSessionEvent(session, event, {{key, value}});
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

void DictationPipeline::logBatchCompletion(const Session& session, const BatchOutcome& o,
                                           const TranscriptionResult& record, const DictationLatencyMetrics& latency,
                                           double e2eMs) {
    VLOG(QStringLiteral("Pipeline: Complete — %1 words | ").arg(record.wordCount) + seconds1(record.duration) +
         QStringLiteral("s audio\n  Tier: ") + o.tierLabel +
         (o.raceWinner ? QStringLiteral(" (race winner)") : QString()) + QStringLiteral("\n  Mic: ") +
         ms0(session.micAcquisitionTimeMs) + QStringLiteral("ms | Context: ") + ms0(session.contextGatherTimeMs) +
         QStringLiteral("ms | ASR: ") + ms0(session.asrTimeMs) + QStringLiteral("ms | Format: ") +
         ms0(session.formatTimeMs) + QStringLiteral("ms | Insert: ") + ms0(session.insertTimeMs) +
         QStringLiteral("ms\n  Tier6: firstChunk=") + optMs0(latency.timeToFirstChunkMs) +
         QStringLiteral("ms | prepare=") + optMs0(latency.prepareRequestMs) + QStringLiteral("ms | remote=") +
         optMs0(latency.remoteLatencyMs) + QStringLiteral("ms | ping=") +
         optMs0(latency.backendPingTimeAtStreamStartMs) + QStringLiteral("ms\n  POST-RECORDING: ") +
         ms0((now() - o.processingStart) * 1000.0) + QStringLiteral("ms | E2E: ") + ms0(e2eMs) + QStringLiteral("ms"));
    VLOG(QStringLiteral("LatencyMetrics: timeToFirstChunk=") + optMs0(latency.timeToFirstChunkMs) +
         QStringLiteral("ms recordingLength=") + ms0(latency.recordingLengthMs) + QStringLiteral("ms prepareRequest=") +
         optMs0(latency.prepareRequestMs) + QStringLiteral("ms uploadRequest=") + optMs0(latency.uploadRequestMs) +
         QStringLiteral("ms remoteLatency=") + optMs0(latency.remoteLatencyMs) + QStringLiteral("ms timeToPasteText=") +
         optMs0(latency.timeToPasteTextMs) + QStringLiteral("ms axContextTime=") + optMs0(latency.axContextTimeMs) +
         QStringLiteral("ms mediaStreamSetup=") + optMs0(latency.mediaStreamSetupMs) +
         QStringLiteral("ms firstAudioChunkLatency=") + optMs0(latency.firstAudioChunkLatencyMs) +
         QStringLiteral("ms backendPing=") + optMs0(latency.backendPingTimeAtStreamStartMs) +
         QStringLiteral("ms backendCommitAck=") + optMs0(latency.backendCommitAckTimeMs) +
         QStringLiteral("ms serverProcessingTime=") + optMs0(latency.serverProcessingTimeMs) +
         QStringLiteral("ms asrTime=") + optMs0(latency.asrTimeMs) + QStringLiteral("ms llmTime=") +
         optMs0(latency.llmTimeMs) + QStringLiteral("ms pastedTime=") + optMs0(latency.pastedTimeMs) +
         QStringLiteral("ms"));
}

float DictationPipeline::computeDivergence(const QString& raw, const QString& formatted) {
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

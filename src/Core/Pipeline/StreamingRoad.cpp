#include "Core/Pipeline/DictationPipeline.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/UserTextReplacements.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

#include <QJsonObject>

// The streaming road: the audio went to the server while the user spoke; on stop the dictation is
// committed with its context, and the server's answer is checked, touched up and pasted. A lost
// or failing link hands the dictation to the batch road instead.

using namespace PipelineSupport;

namespace {

double secondsFieldAsMs(const QJsonObject& metrics, const QString& key) {
    const QJsonValue value = metrics.value(key);
    return value.isDouble() ? value.toDouble() * 1000.0 : 0.0;
}

QString providerField(const QJsonObject& metrics, const QString& key) {
    const QJsonValue value = metrics.value(key);
    return value.isString() ? value.toString() : QStringLiteral("streaming");
}

}  // namespace

QCoro::Task<> DictationPipeline::commitOverWebSocket(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    // The server recognises this dictation; the on-device stream has nothing more to do.
    endLiveRecognitionDetached(session);
    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context = co_await valueWithin(
            task, m_ctx->sleeper.get(), m_ctx->timings.contextDeadlineSeconds, QStringLiteral("Context"));
        if (!self || !isCurrent(session) || session->road != Road::webSocket) co_return;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    const QString language = settings().language.section(QLatin1Char('-'), 0, 0);
    m_ctx->streamingLink->commit(commitContextJson(session->transcriptionContext), language);
}

void DictationPipeline::fallBackToBatch(const QString& logLine) {
    if (state().status != DictationStatus::processing && state().status != DictationStatus::stopping) return;
    const SessionPtr session = m_session;
    // Only a dictation still waiting for the server falls back; one already on the batch road
    // keeps its single road, so an error and a disconnect together never paste twice.
    if (!session || session->road != Road::webSocket) return;
    if (!logLine.isEmpty()) VLOG(logLine);
    session->road = Road::batch;
    processAudio(session);
}

void DictationPipeline::handleStreamingResult(const QString& asrText, const QString& llmText,
                                              const QJsonObject& metrics) {
    if (state().status != DictationStatus::processing && state().status != DictationStatus::stopping) return;
    const SessionPtr session = m_session;
    // A result that arrives after the dictation fell back to the batch road is dropped.
    if (!session || session->road != Road::webSocket) return;

    StreamingOutcome o;
    o.asrText = asrText;
    o.llmText = llmText;
    o.resultText = llmText.isEmpty() ? asrText : llmText;
    if (!settings().formattingEnabled) {
        // "Enable AI formatting" off: the server's recognition, formatted by the rules here.
        const FormattingResult ruled = m_ctx->formatters.rules().formatNow(
            asrText, formattingContext(session->transcriptionContext, session->detectedPlaceholder), settings());
        o.resultText = o.llmText = ruled.text;
        o.llmProvider = ruled.formatterName;
    }
    if (o.resultText.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Streaming returned empty result"));
        dropStreamingResult(*session, false);
        return;
    }
    if (SensibilityScorer::containsHallucination(asrText)) {
        VLOG(QStringLiteral("Pipeline: Streaming hallucination rejected — \"") + asrText + QStringLiteral("\""));
        dropStreamingResult(*session, true);
        return;
    }
    o.asrMs = secondsFieldAsMs(metrics, QStringLiteral("asr_time"));
    o.llmMs = secondsFieldAsMs(metrics, QStringLiteral("llm_time"));
    o.asrProvider = providerField(metrics, QStringLiteral("asr_provider"));
    if (settings().formattingEnabled) o.llmProvider = providerField(metrics, QStringLiteral("llm_provider"));
    VLOG(QStringLiteral("Pipeline: Streaming result — \"") + o.resultText + QStringLiteral("\" asr:") + ms0(o.asrMs) +
         QStringLiteral("ms llm:") + ms0(o.llmMs) + QStringLiteral("ms"));

    o.postProcessed = postProcess(o.resultText, session->transcriptionContext);
    o.pastedText = UserTextReplacements::apply(o.postProcessed, settings().textReplacements);
    session->road = Road::none;
    if (o.pastedText.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Nothing left to paste after replacements"));
        dropStreamingResult(*session, true);
        return;
    }
    setStatus(DictationStatus::inserting);
    setPipelineStep(PipelineStep::inserting);
    completeStreaming(session, std::move(o));
}

// The dictation ends without a paste.
void DictationPipeline::dropStreamingResult(Session& session, bool clearPartialText) {
    session.road = Road::none;
    releaseTasks(session);
    streamingReset(clearPartialText);
}

void DictationPipeline::streamingReset(bool clearPartialText) {
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    m_ctx->streamingLink->resetSession();
    if (clearPartialText) setStreamingPartialText(std::nullopt);
}

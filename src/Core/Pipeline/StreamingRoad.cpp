#include "Core/Pipeline/StreamingRoad.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/UserTextReplacements.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/BatchRoad.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Core/Pipeline/SessionEngine.h"
#include "Foundation/Logger.h"

#include <QPointer>

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

StreamingRoad::StreamingRoad(PipelineContext& context, SessionEngine& engine, BatchRoad& batchRoad,
                             DictationRecorder& recorder)
    : m_ctx(context),
      m_publisher(context.publisher),
      m_engine(engine),
      m_batchRoad(batchRoad),
      m_recorder(recorder) {}

QCoro::Task<> StreamingRoad::commit(PipelineSessionPtr session) {
    const QPointer<QObject> self(m_ctx.pipeline);
    // The server recognises this dictation; the on-device stream has nothing more to do.
    m_engine.endLiveRecognitionDetached(session);
    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context =
            co_await valueWithin(task, m_ctx.timings.contextDeadline, QStringLiteral("Context"));
        if (!self || !m_engine.isCurrent(session) || session->road != PipelineSession::Road::webSocket) co_return;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    const QString language = m_ctx.settings().language.section(QLatin1Char('-'), 0, 0);
    m_ctx.streamingLink->commit(commitContextJson(session->transcriptionContext), language);
}

void StreamingRoad::fallBackToBatch(const QString& reason) {
    if (m_publisher.status() != DictationStatus::processing && m_publisher.status() != DictationStatus::stopping)
        return;
    const PipelineSessionPtr session = m_engine.current();
    // Only a dictation still waiting for the server falls back; one already on the batch road
    // keeps its single road, so an error and a disconnect together never paste twice.
    if (!session || session->road != PipelineSession::Road::webSocket) return;
    if (!reason.isEmpty()) VLOG_WARNING(lcPipeline) << reason;
    session->road = PipelineSession::Road::batch;
    m_batchRoad.process(session);
}

void StreamingRoad::handleResult(const QString& asrText, const QString& llmText, const QJsonObject& metrics) {
    if (m_publisher.status() != DictationStatus::processing && m_publisher.status() != DictationStatus::stopping)
        return;
    const PipelineSessionPtr session = m_engine.current();
    // A result that arrives after the dictation fell back to the batch road is dropped.
    if (!session || session->road != PipelineSession::Road::webSocket) return;

    Outcome o;
    o.asrText = asrText;
    o.llmText = llmText;
    o.resultText = llmText.isEmpty() ? asrText : llmText;
    if (!m_ctx.settings().formattingEnabled) {
        // "Enable AI formatting" off: the server's recognition, formatted by the rules here.
        const FormattingResult ruled = m_ctx.formatters.rules().formatNow(
            asrText, formattingContext(session->transcriptionContext, session->detectedPlaceholder), m_ctx.settings());
        o.resultText = o.llmText = ruled.text;
        o.llmProvider = ruled.formatterName;
    }
    if (o.resultText.trimmed().isEmpty()) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Streaming returned empty result");
        drop(*session, false);
        return;
    }
    if (SensibilityScorer::containsHallucination(asrText)) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Streaming hallucination rejected — \"") + asrText +
                                        QStringLiteral("\"");
        drop(*session, true);
        return;
    }
    o.asrMs = secondsFieldAsMs(metrics, QStringLiteral("asr_time"));
    o.llmMs = secondsFieldAsMs(metrics, QStringLiteral("llm_time"));
    o.asrProvider = providerField(metrics, QStringLiteral("asr_provider"));
    if (m_ctx.settings().formattingEnabled) o.llmProvider = providerField(metrics, QStringLiteral("llm_provider"));
    VLOG_INFO(lcPipeline) << QStringLiteral("Streaming result — \"") + o.resultText + QStringLiteral("\" asr:") +
                                 ms0(o.asrMs) + QStringLiteral("ms llm:") + ms0(o.llmMs) + QStringLiteral("ms");

    o.postProcessed = postProcess(o.resultText, session->transcriptionContext);
    o.pastedText = UserTextReplacements::apply(o.postProcessed, m_ctx.settings().textReplacements);
    session->road = PipelineSession::Road::none;
    if (o.pastedText.trimmed().isEmpty()) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Nothing left to paste after replacements");
        drop(*session, true);
        return;
    }
    m_publisher.setStatus(DictationStatus::inserting);
    m_publisher.setPipelineStep(PipelineStep::inserting);
    complete(session, std::move(o));
}

QCoro::Task<> StreamingRoad::complete(PipelineSessionPtr session, Outcome o) {
    const QPointer<QObject> self(m_ctx.pipeline);
    o.audio = static_cast<qint64>(session->audioChunks.size()) * DictationPipeline::chunkDuration;
    o.paste = co_await m_ctx.pastes.paste(o.pastedText);
    if (!self) co_return;
    m_recorder.recordStreaming(*session, o);
    if (m_engine.isCurrent(session)) {
        session->releaseTasks();
        reset(true);
        if (!o.paste.userNotice.isEmpty()) showPasteNotice(m_publisher, o.paste.userNotice, m_ctx.timings.error);
    }
}

// The dictation ends without a paste.
void StreamingRoad::drop(PipelineSession& session, bool clearPartialText) {
    session.road = PipelineSession::Road::none;
    session.releaseTasks();
    reset(clearPartialText);
}

void StreamingRoad::reset(bool clearPartialText) {
    m_publisher.setStreamingText(QString());
    m_publisher.setStatus(DictationStatus::idle);
    m_ctx.streamingLink->resetSession();
    if (clearPartialText) m_publisher.setStreamingPartialText(std::nullopt);
}

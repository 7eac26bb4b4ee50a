#include "Core/Pipeline/BatchRoad.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Core/ASR/VocabularyExtractor.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Formatting/TextPostProcessor.h"
#include "Core/Formatting/UserTextReplacements.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Core/Pipeline/SessionEngine.h"
#include "Foundation/Logger.h"

#include <QPointer>

using namespace PipelineSupport;

BatchRoad::BatchRoad(PipelineContext& context, SessionEngine& engine, DictationRecorder& recorder)
    : m_ctx(context),
      m_publisher(context.publisher),
      m_engine(engine),
      m_recorder(recorder) {}

QCoro::Task<> BatchRoad::process(PipelineSessionPtr session) {
    const QPointer<QObject> self(m_ctx.pipeline);
    if (!m_engine.isCurrent(session) || session->batchStarted) co_return;
    session->batchStarted = true;
    session->road = PipelineSession::Road::batch;

    m_publisher.setStatus(DictationStatus::processing);
    m_publisher.setPipelineStep(PipelineStep::transcribing);
    Outcome o;
    o.processingStart = now();
    o.chunkCount = static_cast<int>(session->audioChunks.size());
    const std::chrono::milliseconds duration = o.chunkCount * DictationPipeline::chunkDuration;
    if (dropTooShortAudio(session, duration)) co_return;
    o.voicedFrames = m_engine.voicedFrames();

    if (!co_await awaitContext(session)) co_return;
    prepareRecognizer(*session);

    const std::optional<PipelineTranscription> transcription = co_await transcribe(session);
    if (!transcription) co_return;
    // Without AI formatting the server's formatted text gives way to its own recognition, which
    // the rules format here.
    const bool serverFormatted = transcription->serverFormatted && m_ctx.settings().formattingEnabled;
    const bool setAside =
        transcription->serverFormatted && !serverFormatted && !transcription->unformattedText.isEmpty();
    o.asrText = setAside ? transcription->unformattedText : transcription->text;
    o.tier = transcription->tier;
    o.tierLabel = transcription->tier + QStringLiteral("-batch");
    o.confidence = transcription->confidence;
    if (transcription->partial) {
        co_await keepPartlyRecognisedRecording(session, o);
        if (!self || !m_engine.isCurrent(session)) co_return;
    }
    if (!acceptTranscript(*session, duration, o)) co_return;

    if (!co_await formatTranscript(session, serverFormatted, o)) co_return;
    if (!prepareFinalText(*session, o)) co_return;

    m_publisher.setStatus(DictationStatus::inserting);
    m_publisher.setPipelineStep(PipelineStep::inserting);
    o.insertStart = now();
    o.paste = co_await m_ctx.pastes.paste(o.finalText);
    if (!self) co_return;
    co_await complete(session, std::move(o));
}

// The text has reached the user's field: it is recorded even when a newer dictation began
// meanwhile; only the return to idle belongs to the current dictation alone.
QCoro::Task<> BatchRoad::complete(PipelineSessionPtr session, Outcome o) {
    const QPointer<QObject> self(m_ctx.pipeline);
    const bool partial = o.partial;
    const std::optional<QString> keptRecording = o.keptRecording;
    const QString pasteNotice = o.paste.userNotice;
    co_await m_recorder.recordBatch(session, std::move(o));
    if (!self || !m_engine.isCurrent(session)) co_return;
    returnToIdle(*session);
    if (partial)
        showPartialRecognitionNotice(keptRecording);
    else if (!pasteNotice.isEmpty())
        showPasteNotice(m_publisher, pasteNotice, m_ctx.timings.error);
}

// Answers true when the recording is too short to hold speech and the dictation ended here.
bool BatchRoad::dropTooShortAudio(const PipelineSessionPtr& session, std::chrono::milliseconds duration) {
    if (duration > std::chrono::milliseconds(300)) return false;
    VLOG_INFO(lcPipeline) << QStringLiteral("Audio too short (") + seconds1(toSeconds(duration)) + QStringLiteral("s)");
    m_engine.clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    m_publisher.setStatus(DictationStatus::idle);
    session->releaseTasks();
    m_engine.endLiveRecognitionDetached(session);
    return true;
}

// Waits for the context and the screen text, each at most its deadline. Answers false when the
// dictation is no longer the current one.
QCoro::Task<bool> BatchRoad::awaitContext(PipelineSessionPtr session) {
    const QPointer<QObject> self(m_ctx.pipeline);
    const auto alive = [&] { return self && m_engine.isCurrent(session); };
    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context =
            co_await valueWithin(task, m_ctx.timings.contextDeadline, QStringLiteral("Context"));
        if (!alive()) co_return false;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    if (const auto task = session->screenCaptureTask) {
        const std::optional<std::optional<ScreenCaptureResult>> answer =
            co_await valueWithin(task, m_ctx.timings.screenTextDeadline, QStringLiteral("Screen text"));
        if (!alive()) co_return false;
        const std::optional<ScreenCaptureResult> screen = answer ? *answer : std::nullopt;
        if (screen) {
            if (session->transcriptionContext) {
                session->transcriptionContext->ocrContext = screen->ocrWords;
                session->transcriptionContext->screenshot = screen->screenshotData;
            }
            session->ocrCaptureTimeMs = screen->totalTimeMs;
        }
    }
    co_return true;
}

// Notes a placeholder in the field and hands the recogniser the words the context suggests.
void BatchRoad::prepareRecognizer(PipelineSession& session) {
    session.detectedPlaceholder = false;
    const auto& context = session.transcriptionContext;
    if (!context) return;
    const TextboxContents& box = context->textboxContents;
    session.detectedPlaceholder =
        TextPostProcessor::isPlaceholderText(box.contents, box.beforeText, box.afterText, context->app.type);
    if (session.detectedPlaceholder)
        VLOG_INFO(lcPipeline) << QStringLiteral(
            "Detected placeholder text — will ignore textbox context for formatting");
    const QStringList hints = VocabularyExtractor::buildVocabularyHints(
        box.contents, context->dictionaryContext, m_ctx.settings().customWords, context->ocrContext);
    if (!hints.isEmpty())
        VLOG_INFO(lcPipeline) << QStringLiteral("Vocabulary hints: %1 words → feeding to ASR").arg(hints.size());
    m_ctx.recognizer->setVocabularyHints(hints);
    VLOG_INFO(lcPipeline) << (QStringLiteral("Context ready in ") + ms0(session.contextGatherTimeMs) +
                              QStringLiteral("ms — app:") + context->app.name + QStringLiteral(" type:") +
                              rawValue(context->app.type) + QStringLiteral(" ocr:%1").arg(context->ocrContext.size()));
}

// Recognises the whole recording. Answers nothing when the dictation is gone or the recognition
// failed (the failure is shown).
QCoro::Task<std::optional<PipelineTranscription>> BatchRoad::transcribe(PipelineSessionPtr session) {
    const QPointer<QObject> self(m_ctx.pipeline);
    const auto alive = [&] { return self && m_engine.isCurrent(session); };
    const Clock::TimePoint recognizerStart = now();
    co_await m_engine.endLiveRecognition(session);
    if (!alive()) co_return std::nullopt;
    if (session->transcriptionContext && m_ctx.batch->hasCloudRecognizer())
        m_ctx.batch->setCloudContext(batchContextJson(*session->transcriptionContext));

    // Joined here, in one pass over the samples: a copy of 16 kHz audio takes well under a
    // millisecond even for a long recording, less than handing it to a worker thread and back.
    std::vector<float> samples = AudioEngine::concatenate(session->audioChunks);

    PipelineTranscription transcription;
    QString failure;
    try {
        transcription = co_await m_ctx.batch->transcribe(std::move(samples));
    } catch (...) {
        failure = describeFailure(std::current_exception());
    }
    if (!alive()) co_return std::nullopt;
    if (!failure.isEmpty()) {
        co_await fail(session, failure);
        co_return std::nullopt;
    }
    session->asrTimeMs = msSince(recognizerStart);
    co_return transcription;
}

// Answers false when the transcript is empty or makes no sense, and the dictation ended here.
bool BatchRoad::acceptTranscript(const PipelineSession& session, std::chrono::milliseconds duration, const Outcome& o) {
    if (o.asrText.trimmed().isEmpty()) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Empty ASR result after all attempts");
        m_publisher.setStreamingText(QString());
        m_publisher.setStatus(DictationStatus::idle);
        return false;
    }
    VLOG_INFO(lcPipeline) << QStringLiteral("ASR [") + o.tierLabel + QStringLiteral("]: \"") + o.asrText +
                                 QStringLiteral("\" [") + ms0(session.asrTimeMs) + QStringLiteral("ms]");

    const SensibilityScorer::Score sensibility = SensibilityScorer::score(o.asrText, duration);
    if (sensibility.score < SensibilityScorer::minimumScore) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Sensibility FAILED (%1) flags: [").arg(sensibility.score) +
                                        sensibility.flags.join(QStringLiteral(", ")) + QStringLiteral("] — discarding");
        if (m_ctx.playsSounds()) m_ctx.services->playSound(QStringLiteral("error"), QStringLiteral("wav"));
        m_engine.clearAllAudioChunks();
        m_publisher.setStreamingText(QString());
        m_publisher.setStatus(DictationStatus::idle);
        return false;
    }
    if (!sensibility.flags.isEmpty())
        VLOG_WARNING(lcPipeline) << QStringLiteral("Sensibility warnings: [") +
                                        sensibility.flags.join(QStringLiteral(", ")) +
                                        QStringLiteral("] (score: %1)").arg(sensibility.score);
    return true;
}

// Formats the transcript as the user's formatting mode asks, unless the server already did; a
// formatter that fails leaves the text to the rules. Answers false when the dictation is gone.
QCoro::Task<bool> BatchRoad::formatTranscript(PipelineSessionPtr session, bool serverFormatted, Outcome& o) {
    const QPointer<QObject> self(m_ctx.pipeline);
    const Clock::TimePoint formatStart = now();
    const AppContext appContext = formattingContext(session->transcriptionContext, session->detectedPlaceholder);
    m_publisher.setPipelineStep(PipelineStep::formatting);

    const FormattingMode mode = m_ctx.settings().personalization.formattingMode;
    if (serverFormatted) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Skipping client format — server already formatted");
        o.formattedText = o.asrText;
        o.formatterLabel = QStringLiteral("server-combined");
    } else if (mode == FormattingMode::noFormatting) {
        o.formattedText = o.asrText;
        o.formatterLabel = QStringLiteral("none");
    } else if (mode == FormattingMode::allLowercase) {
        o.formattedText = o.asrText.toLower();
        o.formatterLabel = QStringLiteral("lowercase");
    } else {
        if (!co_await settleFormatterProbe() || !m_engine.isCurrent(session)) co_return false;
        // "Enable AI formatting" off: the rules, never a language model.
        const std::shared_ptr<TextFormatterProtocol> formatter =
            m_ctx.formatters.forDictation(m_ctx.settings().formattingEnabled);
        FormattingResult formatted;
        QString failure;
        try {
            formatted = co_await formatter->format(o.asrText, appContext, m_ctx.settings());
        } catch (...) {
            failure = describeFailure(std::current_exception());
        }
        if (!self || !m_engine.isCurrent(session)) co_return false;
        if (!failure.isEmpty()) {
            // Formatting improves the words; it never costs them. The rules format this one, and
            // a failed server formatter gives way to ours until a later dictation finds it back.
            VLOG_WARNING(lcPipeline) << QStringLiteral("Formatter failed — ") + failure +
                                            QStringLiteral(" — pasting the rule-based text");
            m_ctx.formatters.failed(formatter);
            formatted = RuleBasedFormatter().formatNow(o.asrText, appContext, m_ctx.settings());
            o.usedFallbackFormatting = true;
        }
        const bool casual = mode == FormattingMode::casualMessaging;
        o.formattedText = casual ? formatted.text.toLower() : formatted.text;
        o.formatterLabel = casual ? QStringLiteral("casual_") + formatted.formatterName : formatted.formatterName;
    }
    session->formatTimeMs = msSince(formatStart);
    VLOG_INFO(lcPipeline) << QStringLiteral("Format [") + o.formatterLabel + QStringLiteral("]: \"") + o.formattedText +
                                 QStringLiteral("\" [") + ms0(session->formatTimeMs) + QStringLiteral("ms]");
    co_return true;
}

QCoro::Task<bool> BatchRoad::settleFormatterProbe() {
    const QPointer<QObject> self(m_ctx.pipeline);
    const auto probe = m_ctx.formatters.pendingProbe();
    if (!probe) co_return true;
    const std::optional<std::shared_ptr<TextFormatterProtocol>> answer =
        co_await valueWithin(probe, m_ctx.timings.formatterProbeDeadline, QStringLiteral("Formatter probe"));
    if (!self) co_return false;
    m_ctx.formatters.settle(probe, answer);
    co_return true;
}

// Fits the text to the field and applies the user's replacements. Answers false when nothing is
// left to paste, and the dictation ended here.
bool BatchRoad::prepareFinalText(PipelineSession& session, Outcome& o) {
    o.postProcessedText = postProcess(o.formattedText, session.transcriptionContext);
    if (o.postProcessedText != o.formattedText)
        VLOG_INFO(lcPipeline) << QStringLiteral("PostProcess: \"") + o.formattedText + QStringLiteral("\" → \"") +
                                     o.postProcessedText + QStringLiteral("\"");
    o.finalText = UserTextReplacements::apply(o.postProcessedText, m_ctx.settings().textReplacements);
    if (!o.finalText.trimmed().isEmpty()) return true;
    // Pasting nothing would still replace the user's clipboard and leave an empty record.
    VLOG_INFO(lcPipeline) << QStringLiteral("Nothing left to paste after formatting");
    m_engine.clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    m_publisher.setStatus(DictationStatus::idle);
    session.releaseTasks();
    return false;
}

// The recogniser ran out of time and its text covers only the start of the recording: the text
// goes on (better than nothing), and the whole recording is kept so none of it is lost.
QCoro::Task<> BatchRoad::keepPartlyRecognisedRecording(PipelineSessionPtr session, Outcome& o) {
    const QPointer<QObject> self(m_ctx.pipeline);
    o.partial = true;
    o.keptRecording = co_await m_ctx.services->keepRecording(AudioEngine::concatenate(session->audioChunks));
    if (!self) co_return;
    if (o.keptRecording)
        VLOG_WARNING(lcPipeline) << "Only the start of the recording was recognised; the whole recording is kept at "
                                 << *o.keptRecording;
    else
        VLOG_WARNING(lcPipeline)
            << "Only the start of the recording was recognised, and the recording could not be kept";
}

// After the paste: the user is told the text is not the whole of what they said.
void BatchRoad::showPartialRecognitionNotice(const std::optional<QString>& keptRecording) {
    m_publisher.showNotice(keptRecording ? QStringLiteral("Only the start of the recording was transcribed. The "
                                                          "whole recording is saved in ") +
                                               *keptRecording
                                         : QStringLiteral("Only the start of the recording was transcribed, and "
                                                          "the recording could not be saved."),
                           m_ctx.timings.error);
}

QCoro::Task<> BatchRoad::fail(PipelineSessionPtr session, QString description) {
    const QPointer<QObject> self(m_ctx.pipeline);
    bool shownError = false;
    if (m_publisher.status() == DictationStatus::processing) {
        m_publisher.setStatus(DictationStatus::retrying);
        VLOG_WARNING(lcPipeline) << QStringLiteral("Retrying after error: ") + description;
        const quint64 epoch = m_publisher.statusEpoch();
        co_await Clock::current().sleep(m_ctx.timings.retrying);
        if (!self) co_return;
        if (m_publisher.statusEpoch() == epoch && m_publisher.status() == DictationStatus::retrying) {
            m_publisher.setStatus(DictationStatus::error);
            m_publisher.setErrorMessage(description);
            shownError = true;
        }
    } else {
        m_publisher.setStatus(DictationStatus::error);
        m_publisher.setErrorMessage(description);
        shownError = true;
    }
    VLOG_WARNING(lcPipeline) << QStringLiteral("Error — ") + description;
    session->releaseTasks();
    const auto& context = session->transcriptionContext;
    m_ctx.services->track(QStringLiteral("dictation_failed"),
                          {{QStringLiteral("app_name"), context ? context->app.name : QStringLiteral("unknown")},
                           {QStringLiteral("error"), description.left(500)}});
    if (!shownError) co_return;
    StatusPublisher* publisher = &m_publisher;
    publisher->startTimedRevert(DictationStatus::error, m_ctx.timings.error, [publisher] {
        publisher->setStreamingText(QString());
        publisher->setStatus(DictationStatus::idle);
        publisher->setErrorMessage(std::nullopt);
    });
}

void BatchRoad::returnToIdle(PipelineSession& session) {
    m_publisher.setPipelineStep(PipelineStep::done);
    m_engine.clearAllAudioChunks();
    m_publisher.setStreamingText(QString());
    m_publisher.setStatus(DictationStatus::idle);
    session.releaseTasks();
    resetStepLater(session.generation);
}

QCoro::Task<> BatchRoad::resetStepLater(quint64 generation) {
    const QPointer<QObject> self(m_ctx.pipeline);
    co_await Clock::current().sleep(m_ctx.timings.stepReset);
    // A dictation that started meanwhile keeps its own stage.
    if (!self || m_publisher.state().pipelineStep != PipelineStep::done) co_return;
    const PipelineSessionPtr& current = m_engine.current();
    if (current && current->generation != generation) co_return;
    m_publisher.setPipelineStep(PipelineStep::idle);
}

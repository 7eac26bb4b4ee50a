#include "Core/Pipeline/DictationPipeline.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Core/ASR/VocabularyExtractor.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Formatting/TextPostProcessor.h"
#include "Core/Formatting/UserTextReplacements.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

// The batch road: the whole recording is recognised once the user stops, with the context the
// dictation gathered meanwhile, then checked, formatted, touched up and pasted. Each step that
// waits goes on only while its dictation is still the current one.

using namespace PipelineSupport;

QCoro::Task<> DictationPipeline::processAudio(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    if (!isCurrent(session) || session->batchStarted) co_return;
    session->batchStarted = true;
    session->road = Road::batch;

    setStatus(DictationStatus::processing);
    setPipelineStep(PipelineStep::transcribing);
    BatchOutcome o;
    o.processingStart = now();
    o.chunkCount = static_cast<int>(session->audioChunks.size());
    const double duration = o.chunkCount * chunkSeconds;
    if (dropTooShortAudio(session, duration)) co_return;
    o.voicedFrames = m_capture->vad.numVoicedFrames();

    if (!co_await awaitBatchContext(session)) co_return;
    prepareRecognizer(*session);

    const std::optional<PipelineTranscription> transcription = co_await transcribe(session);
    if (!transcription) co_return;
    // Without AI formatting the server's formatted text gives way to its own recognition, which
    // the rules format here.
    const bool serverFormatted = transcription->serverFormatted && settings().formattingEnabled;
    const bool setAside =
        transcription->serverFormatted && !serverFormatted && !transcription->unformattedText.isEmpty();
    o.asrText = setAside ? transcription->unformattedText : transcription->text;
    o.tier = transcription->tier;
    o.tierLabel = transcription->tier + QStringLiteral("-batch");
    o.confidence = transcription->confidence;
    if (transcription->partial) {
        co_await keepPartlyRecognisedRecording(session, o);
        if (!self || !isCurrent(session)) co_return;
    }
    if (!acceptTranscript(*session, duration, o)) co_return;

    if (!co_await formatTranscript(session, serverFormatted, o)) co_return;
    if (!prepareFinalText(*session, o)) co_return;

    setStatus(DictationStatus::inserting);
    setPipelineStep(PipelineStep::inserting);
    o.insertStart = now();
    o.paste = co_await pasteSerialised(o.finalText);
    if (!self) co_return;
    // The text has reached the user's field: it is recorded even when a newer dictation began
    // meanwhile; only the return to idle belongs to the current dictation alone.
    co_await completeBatch(session, std::move(o));
}

// Answers true when the recording is too short to hold speech and the dictation ended here.
bool DictationPipeline::dropTooShortAudio(const SessionPtr& session, double duration) {
    if (duration > 0.3) return false;
    VLOG(QStringLiteral("Pipeline: Audio too short (") + seconds1(duration) + QStringLiteral("s)"));
    clearAllAudioChunks();
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    releaseTasks(*session);
    endLiveRecognitionDetached(session);
    return true;
}

// Waits for the context and the screen text, each at most its deadline. Answers false when the
// dictation is no longer the current one.
QCoro::Task<bool> DictationPipeline::awaitBatchContext(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    const auto alive = [&] { return self && isCurrent(session); };
    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context =
            co_await valueWithin(task, m_sleeper.get(), m_timings.contextDeadlineSeconds, QStringLiteral("Context"));
        if (!alive()) co_return false;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    if (const auto task = session->screenCaptureTask) {
        const std::optional<std::optional<ScreenCaptureResult>> answer = co_await valueWithin(
            task, m_sleeper.get(), m_timings.screenTextDeadlineSeconds, QStringLiteral("Screen text"));
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
void DictationPipeline::prepareRecognizer(Session& session) {
    session.detectedPlaceholder = false;
    const auto& context = session.transcriptionContext;
    if (!context) return;
    const TextboxContents& box = context->textboxContents;
    session.detectedPlaceholder =
        TextPostProcessor::isPlaceholderText(box.contents, box.beforeText, box.afterText, context->app.type);
    if (session.detectedPlaceholder)
        VLOG(QStringLiteral("Pipeline: Detected placeholder text — will ignore textbox context for formatting"));
    const QStringList hints = VocabularyExtractor::buildVocabularyHints(box.contents, context->dictionaryContext,
                                                                        settings().customWords, context->ocrContext);
    if (!hints.isEmpty())
        VLOG(QStringLiteral("Pipeline: Vocabulary hints: %1 words → feeding to ASR").arg(hints.size()));
    m_recognizer->setVocabularyHints(hints);
    VLOG(QStringLiteral("Pipeline: Context ready in ") + ms0(session.contextGatherTimeMs) +
         QStringLiteral("ms — app:") + context->app.name + QStringLiteral(" type:") + rawValue(context->app.type) +
         QStringLiteral(" ocr:%1").arg(context->ocrContext.size()));
}

// Recognises the whole recording. Answers nothing when the dictation is gone or the recognition
// failed (the failure is shown).
QCoro::Task<std::optional<PipelineTranscription>> DictationPipeline::transcribe(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    const auto alive = [&] { return self && isCurrent(session); };
    const double recognizerStart = now();
    co_await endLiveRecognition(session);
    if (!alive()) co_return std::nullopt;
    if (session->transcriptionContext && m_batch->hasCloudRecognizer())
        m_batch->setCloudContext(batchContextJson(*session->transcriptionContext));

    // Joined here, in one pass over the samples: a copy of 16 kHz audio takes well under a
    // millisecond even for a long recording, less than handing it to a worker thread and back.
    std::vector<float> samples = AudioEngine::concatenate(session->audioChunks);

    PipelineTranscription transcription;
    QString failure;
    try {
        transcription = co_await m_batch->transcribe(std::move(samples));
    } catch (...) {
        failure = describeFailure(std::current_exception());
    }
    if (!alive()) co_return std::nullopt;
    if (!failure.isEmpty()) {
        co_await failBatchRoad(session, failure);
        co_return std::nullopt;
    }
    session->asrTimeMs = (now() - recognizerStart) * 1000.0;
    co_return transcription;
}

// Answers false when the transcript is empty or makes no sense, and the dictation ended here.
bool DictationPipeline::acceptTranscript(const Session& session, double duration, const BatchOutcome& o) {
    if (o.asrText.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Empty ASR result after all attempts"));
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        return false;
    }
    VLOG(QStringLiteral("Pipeline: ASR [") + o.tierLabel + QStringLiteral("]: \"") + o.asrText +
         QStringLiteral("\" [") + ms0(session.asrTimeMs) + QStringLiteral("ms]"));

    const SensibilityScorer::Score sensibility = SensibilityScorer::score(o.asrText, duration);
    if (sensibility.score < SensibilityScorer::minimumScore) {
        VLOG(QStringLiteral("Pipeline: Sensibility FAILED (%1) flags: [").arg(sensibility.score) +
             sensibility.flags.join(QStringLiteral(", ")) + QStringLiteral("] — discarding"));
        if (playsSounds()) m_services->playSound(QStringLiteral("error"), QStringLiteral("wav"));
        clearAllAudioChunks();
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        return false;
    }
    if (!sensibility.flags.isEmpty())
        VLOG(QStringLiteral("Pipeline: Sensibility warnings: [") + sensibility.flags.join(QStringLiteral(", ")) +
             QStringLiteral("] (score: %1)").arg(sensibility.score));
    return true;
}

// Formats the transcript as the user's formatting mode asks, unless the server already did; a
// formatter that fails leaves the text to the rules. Answers false when the dictation is gone.
QCoro::Task<bool> DictationPipeline::formatTranscript(SessionPtr session, bool serverFormatted, BatchOutcome& o) {
    QPointer<DictationPipeline> self(this);
    const double formatStart = now();
    const AppContext appContext = formattingContext(session->transcriptionContext, session->detectedPlaceholder);
    setPipelineStep(PipelineStep::formatting);

    const FormattingMode mode = settings().personalization.formattingMode;
    if (serverFormatted) {
        VLOG(QStringLiteral("Pipeline: Skipping client format — server already formatted"));
        o.formattedText = o.asrText;
        o.formatterLabel = QStringLiteral("server-combined");
    } else if (mode == FormattingMode::noFormatting) {
        o.formattedText = o.asrText;
        o.formatterLabel = QStringLiteral("none");
    } else if (mode == FormattingMode::allLowercase) {
        o.formattedText = o.asrText.toLower();
        o.formatterLabel = QStringLiteral("lowercase");
    } else {
        if (!co_await settleFormatterProbe() || !isCurrent(session)) co_return false;
        // "Enable AI formatting" off: the rules, never a language model.
        const std::shared_ptr<TextFormatterProtocol> formatter =
            settings().formattingEnabled ? m_formatter : m_ruleFormatter;
        FormattingResult formatted;
        QString failure;
        try {
            formatted = co_await formatter->format(o.asrText, appContext, settings());
        } catch (...) {
            failure = describeFailure(std::current_exception());
        }
        if (!self || !isCurrent(session)) co_return false;
        if (!failure.isEmpty()) {
            // Formatting improves the words; it never costs them. The rules format this one, and
            // a failed server formatter gives way to ours until a later dictation finds it back.
            VLOG(QStringLiteral("Pipeline: Formatter failed — ") + failure +
                 QStringLiteral(" — pasting the rule-based text"));
            if (m_formatter == formatter && formatter != m_localFormatter) {
                m_formatter = m_localFormatter;
                m_reprobeFormatter = true;
            }
            formatted = RuleBasedFormatter().formatNow(o.asrText, appContext, settings());
            o.usedFallbackFormatting = true;
        }
        const bool casual = mode == FormattingMode::casualMessaging;
        o.formattedText = casual ? formatted.text.toLower() : formatted.text;
        o.formatterLabel = casual ? QStringLiteral("casual_") + formatted.formatterName : formatted.formatterName;
    }
    session->formatTimeMs = (now() - formatStart) * 1000.0;
    VLOG(QStringLiteral("Pipeline: Format [") + o.formatterLabel + QStringLiteral("]: \"") + o.formattedText +
         QStringLiteral("\" [") + ms0(session->formatTimeMs) + QStringLiteral("ms]"));
    co_return true;
}

QCoro::Task<bool> DictationPipeline::settleFormatterProbe() {
    QPointer<DictationPipeline> self(this);
    const auto probe = m_formatterProbe;
    if (!probe) co_return true;
    const std::optional<std::shared_ptr<TextFormatterProtocol>> answer = co_await valueWithin(
        probe, m_sleeper.get(), m_timings.formatterProbeDeadlineSeconds, QStringLiteral("Formatter probe"));
    if (!self) co_return false;
    if (m_formatterProbe == probe) m_formatterProbe.reset();
    // Without an answer in time this dictation keeps our own formatter and the next one asks again.
    if (!answer) co_return true;
    m_reprobeFormatter = false;
    useFormatter(*answer);
    co_return true;
}

// Fits the text to the field and applies the user's replacements. Answers false when nothing is
// left to paste, and the dictation ended here.
bool DictationPipeline::prepareFinalText(Session& session, BatchOutcome& o) {
    o.postProcessedText = postProcess(o.formattedText, session.transcriptionContext);
    if (o.postProcessedText != o.formattedText)
        VLOG(QStringLiteral("Pipeline: PostProcess: \"") + o.formattedText + QStringLiteral("\" → \"") +
             o.postProcessedText + QStringLiteral("\""));
    o.finalText = UserTextReplacements::apply(o.postProcessedText, settings().textReplacements);
    if (!o.finalText.trimmed().isEmpty()) return true;
    // Pasting nothing would still replace the user's clipboard and leave an empty record.
    VLOG(QStringLiteral("Pipeline: Nothing left to paste after formatting"));
    clearAllAudioChunks();
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    releaseTasks(session);
    return false;
}

// The recogniser ran out of time and its text covers only the start of the recording: the text
// goes on (better than nothing), and the whole recording is kept so none of it is lost.
QCoro::Task<> DictationPipeline::keepPartlyRecognisedRecording(SessionPtr session, BatchOutcome& o) {
    QPointer<DictationPipeline> self(this);
    o.partial = true;
    o.keptRecording = co_await m_services->keepRecording(AudioEngine::concatenate(session->audioChunks));
    if (!self) co_return;
    VLOG(o.keptRecording ? QStringLiteral("Pipeline: Only the start of the recording was recognised; the whole "
                                          "recording is kept at ") +
                               *o.keptRecording
                         : QStringLiteral("Pipeline: Only the start of the recording was recognised, and the "
                                          "recording could not be kept"));
}

// After the paste: the user is told the text is not the whole of what they said.
void DictationPipeline::showPartialRecognitionNotice(const BatchOutcome& o) {
    setStatus(DictationStatus::error);
    setErrorMessage(o.keptRecording ? QStringLiteral("Only the start of the recording was transcribed. The whole "
                                                     "recording is saved in ") +
                                          *o.keptRecording
                                    : QStringLiteral("Only the start of the recording was transcribed, and the "
                                                     "recording could not be saved."));
    QPointer<DictationPipeline> self(this);
    startTimedRevert(DictationStatus::error, m_timings.errorSeconds, [self] {
        if (!self) return;
        self->setStatus(DictationStatus::idle);
        self->setErrorMessage(std::nullopt);
    });
}

QCoro::Task<> DictationPipeline::failBatchRoad(SessionPtr session, QString description) {
    QPointer<DictationPipeline> self(this);
    bool shownError = false;
    if (m_state.status == DictationStatus::processing) {
        setStatus(DictationStatus::retrying);
        VLOG(QStringLiteral("Pipeline: Retrying after error: ") + description);
        const quint64 epoch = m_statusEpoch;
        co_await m_sleeper->sleep(m_timings.retryingSeconds);
        if (!self) co_return;
        if (m_statusEpoch == epoch && m_state.status == DictationStatus::retrying) {
            setStatus(DictationStatus::error);
            setErrorMessage(description);
            shownError = true;
        }
    } else {
        setStatus(DictationStatus::error);
        setErrorMessage(description);
        shownError = true;
    }
    VLOG(QStringLiteral("Pipeline: Error — ") + description);
    releaseTasks(*session);
    const auto& context = session->transcriptionContext;
    m_services->track(QStringLiteral("dictation_failed"),
                      {{QStringLiteral("app_name"), context ? context->app.name : QStringLiteral("unknown")},
                       {QStringLiteral("error"), description.left(500)}});
    if (!shownError) co_return;
    startTimedRevert(DictationStatus::error, m_timings.errorSeconds, [self] {
        if (!self) return;
        self->setStreamingText(QString());
        self->setStatus(DictationStatus::idle);
        self->setErrorMessage(std::nullopt);
    });
}

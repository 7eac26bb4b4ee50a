#include "Core/DictationPipeline.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Core/ASR/VocabularyExtractor.h"
#include "Foundation/Clock.h"
#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Formatting/TextPostProcessor.h"
#include "Core/Formatting/UserTextReplacements.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Models/RawValue.h"

#include <QJsonArray>
#include <QSet>
#include <QUuid>
#include <QCoro/QCoroFuture>

#include <cmath>

namespace {

QString ms0(double value) { return QString::number(value, 'f', 0); }
QString seconds1(double value) { return QString::number(value, 'f', 1); }
QString optMs0(const std::optional<double>& value) { return ms0(value.value_or(0)); }

QJsonArray toJsonArray(const QStringList& list) { return QJsonArray::fromStringList(list); }

QJsonObject textboxJson(const TranscriptionContext& context) {
    return QJsonObject{
        {QStringLiteral("before_text"), context.textboxContents.beforeText},
        {QStringLiteral("after_text"), context.textboxContents.afterText},
        {QStringLiteral("selected_text"), context.textboxContents.selectedText},
    };
}

// The context object the streaming commit carries.
QJsonObject commitContextJson(const std::optional<TranscriptionContext>& context) {
    if (!context) return {};
    return QJsonObject{
        {QStringLiteral("app"), QJsonObject{{QStringLiteral("name"), context->app.name},
                                            {QStringLiteral("bundleId"), context->app.bundleId},
                                            {QStringLiteral("type"), context->app.type.rawValue()}}},
        {QStringLiteral("textbox"), textboxJson(*context)},
        {QStringLiteral("dictionary"), toJsonArray(context->dictionaryContext)},
    };
}

// The context object the cloud batch request carries.
QJsonObject batchContextJson(const TranscriptionContext& context) {
    return QJsonObject{
        {QStringLiteral("app"), QJsonObject{{QStringLiteral("name"), context.app.name},
                                            {QStringLiteral("bundleId"), context.app.bundleId},
                                            {QStringLiteral("type"), context.app.type.rawValue()},
                                            {QStringLiteral("url"), context.app.url.value_or(QString())}}},
        {QStringLiteral("textbox"), textboxJson(context)},
        {QStringLiteral("ax_context"), toJsonArray(context.axContext)},
        {QStringLiteral("ocr_context"), toJsonArray(context.ocrContext)},
        {QStringLiteral("dictionary"), toJsonArray(context.dictionaryContext)},
        {QStringLiteral("variable_names"), toJsonArray(context.variableNames)},
        {QStringLiteral("file_names"), toJsonArray(context.fileNames)},
        {QStringLiteral("prev_asr_text"), context.prevASRText},
        {QStringLiteral("prev_llm_text"), context.prevLLMText},
        {QStringLiteral("user_first_name"), context.userFirstName},
        {QStringLiteral("user_last_name"), context.userLastName},
    };
}

QString postProcess(const QString& text, const std::optional<TranscriptionContext>& context) {
    if (text.isEmpty()) return text;
    const QString before = context ? context->textboxContents.beforeText : QString();
    const QString selected = context ? context->textboxContents.selectedText : QString();
    const AppType type = context ? context->app.type : AppType(AppType::general);
    QString out = TextPostProcessor::adjustLeadingSpace(text, before, selected);
    out = TextPostProcessor::adjustCasing(out, before, type);
    return TextPostProcessor::adjustTrailingPunctuation(out, type);
}

DictationPersistenceMetrics persistenceBase(const QString& traceID, const QString& sessionID,
                                            const std::optional<TranscriptionContext>& context, const PasteOutcome& paste) {
    DictationPersistenceMetrics p;
    p.traceID = traceID;
    p.sessionID = sessionID;
    p.transcriptCommand = QStringLiteral("dictation");
    p.hasAXText = context && !context->axContext.isEmpty();
    p.hasScreenshot = context && context->screenshot.has_value();
    p.pasteSuccess = paste.success;
    p.pasteTimeMs = paste.totalTimeMs;
    p.focusedControlChanged = paste.focusedControlChanged;
    p.hasPrivilegeIssues = paste.hasPrivilegeIssues;
    p.contextTokenCount = context ? context->axContext.size() + context->ocrContext.size() : 0;
    p.fieldType = context ? context->app.type.rawValue() : QStringLiteral("unknown");
    return p;
}

void fillAppFields(TranscriptionResult::Fields& f, const std::optional<TranscriptionContext>& context,
                   bool keepScreenshot) {
    if (!context) {
        f.appType = QStringLiteral("general");
        return;
    }
    f.appName = context->app.name;
    f.appBundleId = context->app.bundleId;
    f.appURL = context->app.url;
    f.appType = context->app.type.rawValue();
    f.ocrContext = context->ocrContext;
    if (keepScreenshot) f.screenshotData = context->screenshot;
}

// Background producers of a dictation's pending values. Free coroutines, so nothing they use
// lives in a temporary closure.
// Each settles its value whatever happens: a producer that throws gives "no result", so the road
// waiting for it goes on instead of waiting for ever.
QCoro::Task<> gatherContext(AbstractContextEngine* engine, VantroseSettings settings, PipelineHistory* history,
                            std::shared_ptr<PendingValue<TranscriptionContext>> pending) {
    try {
        const TranscriptionContext context = co_await engine->buildTranscriptionContext(std::move(settings), *history);
        pending->resolve(context);
    } catch (...) {
        VLOG(QStringLiteral("Pipeline: Context gathering failed — ") + describeFailure(std::current_exception()));
        pending->cancel();
    }
}

QCoro::Task<> pingServer(PipelineServices* services, QString url,
                         std::shared_ptr<PendingValue<std::optional<double>>> pending) {
    try {
        const std::optional<double> value = co_await services->pingServer(std::move(url));
        pending->resolve(value);
    } catch (...) {
        pending->cancel();
    }
}

QCoro::Task<> captureScreen(std::unique_ptr<AbstractScreenCaptureEngine> engine, QString bundleId,
                            std::shared_ptr<PendingValue<std::optional<ScreenCaptureResult>>> pending) {
    try {
        const ScreenCaptureResult result = co_await engine->captureAndExtract(std::move(bundleId));
        pending->resolve(std::optional<ScreenCaptureResult>(result));
    } catch (...) {
        VLOG(QStringLiteral("Pipeline: Screen text failed — ") + describeFailure(std::current_exception()));
        pending->cancel();
    }
}

// The value of a background task, waited for at most `seconds`: nothing when the task failed,
// was cancelled or is still busy by then (it is given up, so a late answer is dropped).
template <typename T>
QCoro::Task<std::optional<T>> valueWithin(std::shared_ptr<PendingValue<T>> pending, PipelineSleeper* sleeper,
                                          double seconds, QString what) {
    if (!pending->isSettled()) {
        [](std::weak_ptr<PendingValue<T>> weak, PipelineSleeper* sleeper, double seconds,
           QString what) -> QCoro::Task<> {
            co_await sleeper->sleep(seconds);
            const auto late = weak.lock();
            if (!late || late->isSettled()) co_return;
            VLOG(QStringLiteral("Pipeline: ") + what + QStringLiteral(" gave no answer within ") + seconds1(seconds) +
                 QStringLiteral("s — going on without it"));
            late->cancel();
        }(pending, sleeper, seconds, std::move(what));
    }
    T value = co_await pending->value();
    if (pending->isCancelled()) co_return std::nullopt;
    co_return std::optional<T>(std::move(value));
}

}  // namespace

DictationPipeline::DictationPipeline(VantroseSettings settings, Collaborators c, QObject* parent)
    : QObject(parent),
      m_store(std::make_unique<SettingsStore>(std::move(settings), std::move(c.settingsHooks))),
      m_audio(std::move(c.audio)),
      m_keyboardMonitor(std::move(c.keyboardMonitor)),
      m_textInserter(std::move(c.textInserter)),
      m_contextReader(std::move(c.contextReader)),
      m_appDetector(std::move(c.appDetector)),
      m_recognizer(std::move(c.recognizer)),
      m_batch(std::move(c.batchRecognizer)),
      m_formatter(std::move(c.formatter)),
      m_streamingLink(std::move(c.streamingLink)),
      m_history(std::move(c.history)),
      m_services(c.services ? std::move(c.services) : std::make_unique<PipelineServices>()),
      m_sleeper(c.sleeper ? std::move(c.sleeper) : std::make_unique<TimerPipelineSleeper>()),
      m_makeContextEngine(std::move(c.makeContextEngine)),
      m_makeScreenCaptureEngine(std::move(c.makeScreenCaptureEngine)),
      m_probeCloudFormatter(std::move(c.probeCloudFormatter)) {
    Q_ASSERT(m_audio && m_keyboardMonitor && m_textInserter && m_contextReader && m_appDetector && m_recognizer &&
             m_batch && m_formatter && m_streamingLink && m_history);
    m_capture->receiver = this;

    m_store->onChanged = [this](const VantroseSettings& old) { handleSettingsChanged(old); };
    m_store->onHotkeysChanged = [this](const VantroseSettings& current) { applyHotkeys(current); };

    TypingReminderController::Hooks reminderHooks;
    reminderHooks.track = [this](const QString& event, const QVariantMap& properties) {
        m_services->track(event, properties);
    };
    reminderHooks.frontmostApp = [this]() -> std::optional<ActiveAppInfo> {
        m_appDetector->updateActiveApp();
        return m_appDetector->activeApp();
    };
    reminderHooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) {
        updateSettings(change);
    };
    reminderHooks.latchContinuousDictation = [this] { setContinuousDictationLatched(true); };
    reminderHooks.startDictation = [this] { startDictation(); };
    m_reminders = std::make_unique<TypingReminderController>(
        m_store->settings(), std::move(reminderHooks), TypingReminderEngine::Configuration(), c.delayedCall);
    connect(m_reminders.get(), &TypingReminderController::typingSuggestionChanged, this,
            &DictationPipeline::typingSuggestionChanged);

    DictationLearning::Hooks learningHooks;
    learningHooks.dictionary = [this] { return m_history->dictionaryEntries(); };
    learningHooks.addWord = [this](const QString& word) { m_history->addWord(word, std::nullopt, false); };
    learningHooks.settings = [this] { return m_store->settings(); };
    learningHooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) {
        updateSettings(change);
    };
    learningHooks.saveOutcomeSnapshot = [this](const QString& traceID, const QString& sessionID,
                                               const DictationOutcomeSnapshot& snapshot) {
        m_history->saveOutcomeSnapshot(traceID, sessionID, snapshot);
    };
    learningHooks.saveEvent = [this](const QString& traceID, const QString& sessionID, const QString& event,
                                     const QString& appBundleID, const QString& fieldType,
                                     const QVariantMap& payload) {
        m_history->saveEvent(traceID, sessionID, event, appBundleID, fieldType, payload);
    };
    m_learning = std::make_unique<DictationLearning>(*m_contextReader, std::move(learningHooks), std::move(c.delayedCall));
}

DictationPipeline::~DictationPipeline() {
    // The capture thread must not call into a pipeline that is going away.
    {
        std::lock_guard<std::mutex> lock(m_capture->outboxLock);
        m_capture->receiver = nullptr;
    }
    m_audio->stopRecording();
    m_audio->setChunkHandler(nullptr);
    m_streamingLink->onPartialResult = nullptr;
    m_streamingLink->onFinalResult = nullptr;
    m_streamingLink->onError = nullptr;
    m_streamingLink->onDisconnect = nullptr;
    m_keyboardMonitor->onKeyDown = nullptr;
    m_appDetector->onAppChanged = nullptr;
    m_store->onChanged = nullptr;
    m_store->onHotkeysChanged = nullptr;
}

double DictationPipeline::now() { return Clock::current().monotonicSeconds(); }

const QString& DictationPipeline::currentTraceID() const {
    static const QString none;
    return m_session ? m_session->traceID : none;
}

// ---------------------------------------------------------------------------------------------
// Published state

void DictationPipeline::setStatus(DictationStatus status) {
    ++m_statusEpoch;
    if (m_status == status) return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

void DictationPipeline::setPipelineStep(PipelineStep step) {
    if (m_pipelineStep == step) return;
    m_pipelineStep = step;
    Q_EMIT pipelineStepChanged(step);
}

void DictationPipeline::setStreamingText(const QString& text) {
    if (m_streamingText == text) return;
    m_streamingText = text;
    Q_EMIT streamingTextChanged();
}

void DictationPipeline::setStreamingPartialText(const std::optional<QString>& text) {
    if (m_streamingPartialText == text) return;
    m_streamingPartialText = text;
    Q_EMIT streamingPartialTextChanged();
}

void DictationPipeline::setErrorMessage(const std::optional<QString>& message) {
    if (m_errorMessage == message) return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void DictationPipeline::setPersistentMode(bool on) {
    if (m_isPersistentMode == on) return;
    m_isPersistentMode = on;
    Q_EMIT persistentModeChanged();
}

void DictationPipeline::setContinuousDictationLatched(bool on) {
    if (m_isContinuousDictationLatched == on) return;
    m_isContinuousDictationLatched = on;
    Q_EMIT continuousDictationLatchedChanged();
}

void DictationPipeline::setLevel(float volume, std::vector<float> bands) {
    m_currentVolume = volume;
    m_frequencyBands = std::move(bands);
    Q_EMIT levelChanged();
}

void DictationPipeline::setSettings(const VantroseSettings& settings) { m_store->updateSettings(settings); }

void DictationPipeline::updateSettings(const std::function<void(VantroseSettings&)>& change) {
    m_store->updateSettings(change);
}

void DictationPipeline::handleSettingsChanged(const VantroseSettings& old) {
    m_reminders->applySettingsChange(old, settings());
    Q_EMIT settingsChanged();
}

void DictationPipeline::applyHotkeys(const VantroseSettings& current) {
    m_keyboardMonitor->setHotkeyBindings(current.hotkeys);
    const Hotkey pushToTalk = current.pushToTalkHotkey();
    m_keyboardMonitor->setHotkey(pushToTalk);
    m_keyboardMonitor->setPushToTalkKeyCode(pushToTalk.keyCode);
}

const std::optional<TypingReminderEngine::Suggestion>& DictationPipeline::typingSuggestion() const {
    return m_reminders->typingSuggestion();
}

QVariant DictationPipeline::typingSuggestionValue() const {
    const auto& suggestion = m_reminders->typingSuggestion();
    if (!suggestion) return {};
    return QVariantMap{{QStringLiteral("id"), suggestion->id.toString(QUuid::WithoutBraces)},
                       {QStringLiteral("appName"), suggestion->appName},
                       {QStringLiteral("bundleId"), suggestion->bundleId},
                       {QStringLiteral("message"), suggestion->message},
                       {QStringLiteral("detail"), suggestion->detail}};
}

void DictationPipeline::acceptTypingSuggestion(TypingReminderController::AcceptTrigger trigger) {
    m_reminders->acceptTypingSuggestion(trigger);
}

void DictationPipeline::dismissTypingSuggestion(bool suppress) { m_reminders->dismissTypingSuggestion(suppress); }

// ---------------------------------------------------------------------------------------------
// Set-up and tear-down

QCoro::Task<> DictationPipeline::setup() {
    // Set-up runs again when onboarding completes a second time; by then everything is wired,
    // and a second pass would double the callbacks, the listener and the history store.
    if (m_setupStarted) {
        VLOG(QStringLiteral("Pipeline: Setup already done — nothing to repeat"));
        co_return;
    }
    m_setupStarted = true;
    QPointer<DictationPipeline> self(this);
    VLOG(QStringLiteral("Pipeline: Setting up..."));

    if (m_makeContextEngine) m_contextEngine = m_makeContextEngine(*m_appDetector, *m_contextReader);
    m_polishEngine = std::make_unique<PolishEngine>(m_history->historyStore(), settings().ollamaEndpoint,
                                                    settings().ollamaModel);
    m_commandMode = std::make_unique<CommandMode>(m_polishEngine.get());
    Q_EMIT polishStateChanged();
    VLOG(QStringLiteral("Pipeline: Mic permission: ") +
         (m_services->microphoneAuthorized() ? QStringLiteral("true") : QStringLiteral("false")));
    m_services->warmUpServer(settings().cloudServerURL);
    m_appDetector->start();
    m_batch->registerTiers(settings());

    std::shared_ptr<TextFormatterProtocol> cloudFormatter;
    if (m_probeCloudFormatter) {
        cloudFormatter = co_await m_probeCloudFormatter(settings());
        if (!self) co_return;
    }
    if (cloudFormatter) {
        m_formatter = std::move(cloudFormatter);
        VLOG(QStringLiteral("Pipeline: Cloud LLM formatter available — hybrid mode (on-device ASR + cloud LLM)"));
    } else {
        VLOG(QStringLiteral("Pipeline: Cloud LLM not available — using on-device only (rule-based formatting)"));
    }

    applyHotkeys(settings());
    installKeyboardCallbacks();
    const bool listening = m_keyboardMonitor->start();
    VLOG(QStringLiteral("Pipeline: Keyboard monitor: ") + (listening ? QStringLiteral("true") : QStringLiteral("false")));
    if (!listening) {
        VLOG(QStringLiteral("Pipeline: WARNING — Keyboard monitor failed to start. Use the tray menu → 'Start "
                            "Dictation' to test manually. Check the X11 session (XInput2, XTest) and restart the "
                            "app for hotkey support."));
    }

    m_textInserter->setClipboardRestoreDelay(settings().clipboardRestoreDelay);
    m_audio->prewarm();
    if (m_streamingLink->state() == PipelineStreamingLink::State::disconnected) m_streamingLink->connect();
    installTransportCallbacks();
    // Fire and forget: set-up does not wait for the server.
    m_store->pullSettingsFromServer();

    m_history->initialize();
    m_recentResults = m_history->recentHistory();
    if (m_recentResults.size() > maxRecentResults) m_recentResults = m_recentResults.mid(0, maxRecentResults);
    const PipelineHistory::Totals totals = m_history->loadTotals();
    m_totalDictations = totals.dictations;
    m_totalWords = totals.words;
    Q_EMIT recentResultsChanged();
    Q_EMIT totalsChanged();
    VLOG(QStringLiteral("Pipeline: Hydrated dashboard — %1 recent, %2 total dictations, %3 total words")
             .arg(m_recentResults.size())
             .arg(m_totalDictations)
             .arg(m_totalWords));

    co_await m_services->refreshFlags();
    if (!self) co_return;
    VLOG(QStringLiteral("Pipeline: Setup complete — flags: %1 enabled").arg(m_services->enabledFlagCount()));
}

void DictationPipeline::installKeyboardCallbacks() {
    QPointer<DictationPipeline> self(this);
    m_keyboardMonitor->onPushToTalkDown = [self] {
        if (self) self->handlePushToTalkDown();
    };
    m_keyboardMonitor->onPushToTalkUp = [self] {
        if (self) self->handlePushToTalkUp();
    };
    m_keyboardMonitor->onDismiss = [self] {
        if (self) self->cancelDictation();
    };
    m_keyboardMonitor->onLock = [self] {
        if (self) self->handleLockHotkey();
    };
    m_keyboardMonitor->onPasteLastTranscript = [self] {
        if (self) self->pasteLastTranscript();
    };
    // Every key-down feeds the typing reminders; both monitors call on the main thread.
    m_keyboardMonitor->onKeyDown = [self](const KeyEvent& event) {
        if (self)
            self->m_reminders->handleGlobalKeyDown(event, self->m_status, self->m_keyboardMonitor->pushToTalkKeyCode());
    };
    m_appDetector->onAppChanged = [self](const ActiveAppInfo& info) {
        if (self) self->m_reminders->handleActiveAppChanged(info);
    };
}

void DictationPipeline::installTransportCallbacks() {
    QPointer<DictationPipeline> self(this);
    m_streamingLink->onPartialResult = [self](const QString& text) {
        if (self) self->setStreamingPartialText(text);
    };
    m_streamingLink->onFinalResult = [self](const QString& raw, const QString& formatted, const QJsonObject& message) {
        if (self) self->handleStreamingResult(raw, formatted, message);
    };
    // Errors may come from the transport's own threads.
    std::weak_ptr<CaptureState> weak = m_capture;
    m_streamingLink->onError = [weak](const QString& message) {
        VLOG(QStringLiteral("Pipeline: Streaming error — ") + message + QStringLiteral(", falling back to batch"));
        if (const auto state = weak.lock()) state->post({OutboxMessage::Kind::streamingError});
    };
    m_streamingLink->onDisconnect = [self] {
        if (self) self->fallBackToBatch(QStringLiteral("Pipeline: WebSocket lost during session — falling back to batch"));
    };
}

void DictationPipeline::teardown() {
    m_keyboardMonitor->stop();
    m_appDetector->stop();
    m_audio->stopRecording();
    VLOG(QStringLiteral("Pipeline: Teardown complete"));
}

// ---------------------------------------------------------------------------------------------
// Chunk buffers

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
            OutboxMessage message{OutboxMessage::Kind::firstChunk, generation};
            message.timeToFirstChunkMs = toFirst;
            message.firstChunkLatencyMs = latency;
            state->post(std::move(message));
        }
        state->rawLevel.store(level, std::memory_order_relaxed);
        const double t = now();
        if (t - state->lastVolumeUpdate.load() > levelPublishIntervalSeconds) {
            state->lastVolumeUpdate.store(t);
            OutboxMessage message{OutboxMessage::Kind::level, generation};
            message.level = level;
            message.bands = audio->currentFrequencyBands();
            state->post(std::move(message));
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

void DictationPipeline::CaptureState::post(OutboxMessage message) {
    std::lock_guard<std::mutex> lock(outboxLock);
    if (!receiver) return;
    const bool wasEmpty = outbox.empty();
    outbox.push_back(std::move(message));
    if (wasEmpty) QMetaObject::invokeMethod(receiver, "drainOutbox", Qt::QueuedConnection);
}

void DictationPipeline::drainOutbox() {
    std::vector<OutboxMessage> messages;
    {
        std::lock_guard<std::mutex> lock(m_capture->outboxLock);
        messages.swap(m_capture->outbox);
    }
    QPointer<DictationPipeline> self(this);
    for (OutboxMessage& message : messages) {
        if (!self) return;
        using Kind = OutboxMessage::Kind;
        if (message.kind == Kind::streamingError) {
            fallBackToBatch(QString());
            continue;
        }
        // Everything else belongs to one dictation and is dropped once another has begun.
        if (!m_session || m_session->generation != message.generation) continue;
        switch (message.kind) {
        case Kind::firstChunk:
            noteFirstChunk(message.generation, message.timeToFirstChunkMs, message.firstChunkLatencyMs);
            break;
        case Kind::level:
            // Measured before the microphone went off: a paused or stopped dictation shows none.
            if (m_status == DictationStatus::listening) setLevel(message.level, std::move(message.bands));
            break;
        case Kind::liveText: setStreamingText(message.text); break;
        case Kind::streamingError: break;
        }
    }
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

void DictationPipeline::startTimedRevert(DictationStatus shown, double seconds, std::function<void()> revert) {
    // Acts only when nothing has written the status since this revert's own write, so a revert
    // never ends the display of a later dictation.
    const quint64 epoch = m_statusEpoch;
    QPointer<DictationPipeline> self(this);
    [](QPointer<DictationPipeline> self, PipelineSleeper* sleeper, double seconds, quint64 epoch,
       DictationStatus shown, std::function<void()> revert) -> QCoro::Task<> {
        co_await sleeper->sleep(seconds);
        if (!self || self->m_statusEpoch != epoch || self->m_status != shown) co_return;
        revert();
    }(self, m_sleeper.get(), seconds, epoch, shown, std::move(revert));
}

// ---------------------------------------------------------------------------------------------
// Recording session

void DictationPipeline::startDictation() {
    if (m_status != DictationStatus::idle && m_status != DictationStatus::error) {
        VLOG(QStringLiteral("Pipeline: Cannot start — status is ") + m_status.rawValue());
        return;
    }
    // A stream left open by an earlier dictation ends before the new one begins.
    if (m_session) endLiveRecognitionDetached(m_session);
    m_reminders->clearTypingSuggestion();

    setStatus(DictationStatus::initializing);
    const SessionPtr session = beginSession();
    clearAllAudioChunks();
    setStreamingText(QString());
    setStreamingPartialText(std::nullopt);
    setErrorMessage(std::nullopt);
    m_capture->vad.reset();
    m_capture->firstChunkSeen.store(false);
    m_capture->feedRecognizer.store(false);
    m_streamingLink->beginNewSession();
    VLOG(QStringLiteral("Pipeline: Dictation initializing..."));

    m_appDetector->updateActiveApp();
    const std::optional<ActiveAppInfo> app = m_appDetector->activeApp();
    const std::optional<QString> raceWinner = m_batch->raceWinner();
    emitTelemetryEvent(QStringLiteral("dictation.start"),
                       {{QStringLiteral("app_name"), app ? app->name : QString()},
                        {QStringLiteral("app_bundle_id"), app ? app->bundleId : QString()},
                        {QStringLiteral("app_url"), app ? app->url.value_or(QString()) : QString()},
                        {QStringLiteral("input_device"), settings().selectedMicUID.value_or(QStringLiteral("system-default"))},
                        {QStringLiteral("asr_tier"), m_batch->lastTierUsed()},
                        {QStringLiteral("transport"), QStringLiteral("http")},
                        {QStringLiteral("race_winner"), raceWinner ? QVariant(*raceWinner) : QVariant()}});

    // Before set-up there is no context engine: the dictation goes on without a context.
    if (m_contextEngine) {
        session->contextTask = std::make_shared<PendingValue<TranscriptionContext>>();
        gatherContext(m_contextEngine.get(), settings(), m_history.get(), session->contextTask);
    }
    session->backendPingTask = std::make_shared<PendingValue<std::optional<double>>>();
    pingServer(m_services.get(), settings().cloudServerURL, session->backendPingTask);
    if (m_services->isFlagEnabled(QStringLiteral("should-ocr-screen-capture")) && m_makeScreenCaptureEngine) {
        m_appDetector->updateActiveApp();
        const QString bundleId = m_appDetector->activeApp() ? m_appDetector->activeApp()->bundleId : QString();
        session->screenCaptureTask = std::make_shared<PendingValue<std::optional<ScreenCaptureResult>>>();
        captureScreen(m_makeScreenCaptureEngine(), bundleId, session->screenCaptureTask);
    }

    session->audioCaptureStartTime = now();
    m_capture->audioCaptureStartTime.store(session->audioCaptureStartTime);
    const std::optional<double> prediction = m_services->predictMicStartMs(settings().selectedMicUID);
    if (prediction) VLOG(QStringLiteral("Pipeline: Predicted mic init: ") + ms0(*prediction) + QStringLiteral("ms"));
    installChunkHandler(true);

    const QString failure = startRecordingOrDescribeFailure();
    if (!failure.isEmpty()) {
        // Whatever the failed start opened is closed again, so no capture runs behind an error.
        m_audio->stopRecording();
        clearAllAudioChunks();
        setStatus(DictationStatus::error);
        setErrorMessage(QStringLiteral("Mic failed: ") + failure);
        cancelTasks(*session);
        VLOG(QStringLiteral("Pipeline: Error starting: ") + failure);
        return;
    }
    session->micAcquisitionTimeMs = session->mediaStreamSetupMs = (now() - session->audioCaptureStartTime) * 1000.0;
    m_services->recordMicStart(settings().selectedMicUID, session->micAcquisitionTimeMs, prediction);

    if (m_recognizer->supportsStreaming()) {
        std::weak_ptr<CaptureState> weak = m_capture;
        const quint64 generation = session->generation;
        try {
            m_recognizer->startStreaming([weak, generation](const QString& text) {
                if (const auto state = weak.lock()) {
                    OutboxMessage message{OutboxMessage::Kind::liveText, generation};
                    message.text = text;
                    state->post(std::move(message));
                }
            });
            session->liveRecognition = true;
            m_capture->feedRecognizer.store(true);
        } catch (...) {
            // Live text is a convenience: the dictation goes on and is recognised when it ends.
            VLOG(QStringLiteral("Pipeline: Live text unavailable — ") + describeFailure(std::current_exception()));
        }
    }

    setStatus(DictationStatus::listening);
    setPipelineStep(PipelineStep::listening);
    if (m_services->isFlagEnabled(QStringLiteral("sound-effects")))
        m_services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    m_services->track(QStringLiteral("dictation_started"),
                      {{QStringLiteral("app_name"), app ? app->name : QStringLiteral("unknown")},
                       {QStringLiteral("bundle_id"), app ? app->bundleId : QString()}});
    VLOG(QStringLiteral("Pipeline: Listening (mic: ") + ms0(session->micAcquisitionTimeMs) + QStringLiteral("ms)"));
}

void DictationPipeline::stopDictation() {
    setContinuousDictationLatched(false);
    if (m_status != DictationStatus::listening || !m_session) return;
    const SessionPtr session = m_session;
    setStatus(DictationStatus::stopping);
    m_audio->stopRecording();
    if (m_services->isFlagEnabled(QStringLiteral("sound-effects")))
        m_services->playSound(QStringLiteral("vantrose_on_off_sound"), QStringLiteral("mp3"));
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG(QStringLiteral("Pipeline: Stopping — %1 chunks (").arg(count) + seconds1(count * chunkSeconds) +
         QStringLiteral("s)"));
    const auto state = m_streamingLink->state();
    VLOG(QStringLiteral("Pipeline: stopDictation — transport state=") + PipelineStreamingLink::stateName(state) +
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

QCoro::Task<> DictationPipeline::commitOverWebSocket(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    // The server recognises this dictation; the on-device stream has nothing more to do.
    endLiveRecognitionDetached(session);
    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context =
            co_await valueWithin(task, m_sleeper.get(), m_timings.contextDeadlineSeconds, QStringLiteral("Context"));
        if (!self || !isCurrent(session) || session->road != Road::webSocket) co_return;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    const QString language = settings().language.section(QLatin1Char('-'), 0, 0);
    m_streamingLink->commit(commitContextJson(session->transcriptionContext), language);
}

void DictationPipeline::cancelDictation() {
    setContinuousDictationLatched(false);
    const bool wasListening = m_status == DictationStatus::listening;
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
    setLevel(0, m_frequencyBands);
    VLOG(QStringLiteral("Pipeline: Dictation ") + (wasListening ? QStringLiteral("dismissed") : QStringLiteral("cancelled")));
    if (m_isPersistentMode) {
        setPersistentMode(false);
        m_services->track(QStringLiteral("persistent_dictation_cancelled"), {});
    }
    if (m_status == DictationStatus::dismissed) {
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

// ---------------------------------------------------------------------------------------------
// Hotkey modes

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

    if (m_isPersistentMode && (m_status == DictationStatus::listening || m_status == DictationStatus::paused)) {
        VLOG(QStringLiteral("Pipeline: Hotkey press while persistent → finish"));
        finishPersistentDictation();
        return;
    }
    const bool doubleTap = t - previousDown < doubleTapWindowSeconds && t - previousUp < doubleTapWindowSeconds;
    const bool restartable = m_status == DictationStatus::stopping || m_status == DictationStatus::processing ||
                             m_status == DictationStatus::idle || m_status == DictationStatus::inserting;
    if (doubleTap && restartable) {
        VLOG(QStringLiteral("Pipeline: Double-tap detected → cancelling in-flight + persistent mode ON"));
        if (m_status != DictationStatus::idle) {
            resetForPersistentRestart();
            VLOG(QStringLiteral("Pipeline: Cancelled previous dictation for persistent restart"));
        }
        setPersistentMode(true);
        m_services->track(QStringLiteral("popo_lock"), {});
        startDictation();
        return;
    }
    if (m_status == DictationStatus::idle || m_status == DictationStatus::error) startDictation();
}

void DictationPipeline::resetForPersistentRestart() {
    m_audio->stopRecording();
    m_streamingLink->resetSession();
    // The earlier dictation's road ends here: it must not paste into the new recording. A road
    // already pasting keeps its own audio.
    const SessionPtr session = endCurrentSession();
    clearAllAudioChunks();
    setStreamingText(QString());
    if (session) endLiveRecognitionDetached(session);
    setStatus(DictationStatus::idle);
}

DictationPipeline::SessionPtr DictationPipeline::endCurrentSession() {
    SessionPtr session = std::move(m_session);
    m_session.reset();
    // Chunks still on their way from the capture thread belong to no dictation now.
    m_capture->generation.store(++m_nextGeneration);
    m_capture->feedRecognizer.store(false);
    return session;
}

void DictationPipeline::handlePushToTalkUp() {
    m_lastKeyUpTime = now();
    if (!m_isPersistentMode && m_status == DictationStatus::listening) stopDictation();
}

void DictationPipeline::handleLockHotkey() {
    if (m_isPersistentMode) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → finishing hands-free"));
        finishPersistentDictation();
    } else if (m_status == DictationStatus::idle || m_status == DictationStatus::error) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → starting hands-free"));
        startPersistentDictation();
    } else if (m_status == DictationStatus::listening) {
        VLOG(QStringLiteral("Pipeline: Lock hotkey → upgrading PTT to hands-free"));
        setPersistentMode(true);
    }
}

void DictationPipeline::startPersistentDictation() {
    if (m_status != DictationStatus::idle && m_status != DictationStatus::error) return;
    setPersistentMode(true);
    VLOG(QStringLiteral("Pipeline: Persistent dictation started"));
    m_services->track(QStringLiteral("persistent_dictation_started"), {});
    startDictation();
}

void DictationPipeline::pauseDictation() {
    if (m_status != DictationStatus::listening || !m_isPersistentMode) return;
    m_audio->stopRecording();
    setStatus(DictationStatus::paused);
    setLevel(0, m_frequencyBands);
    const int chunks = recordedChunkCount();
    VLOG(QStringLiteral("Pipeline: Paused (%1 chunks buffered)").arg(chunks));
    m_services->track(QStringLiteral("persistent_dictation_paused"), {{QStringLiteral("chunks"), chunks}});
}

QString DictationPipeline::startRecordingOrDescribeFailure() {
    try {
        m_audio->startRecording();
    } catch (...) {
        return describeFailure(std::current_exception());
    }
    return {};
}

void DictationPipeline::resumeDictation() {
    if (m_status != DictationStatus::paused || !m_isPersistentMode || !m_session) return;
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
        m_audio->stopRecording();
        setStatus(DictationStatus::paused);
        setErrorMessage(QStringLiteral("Mic failed: ") + failure);
        VLOG(QStringLiteral("Pipeline: Error resuming: ") + failure);
        return;
    }
    setErrorMessage(std::nullopt);
    const int chunks = recordedChunkCount();
    VLOG(QStringLiteral("Pipeline: Resumed recording (%1 chunks buffered)").arg(chunks));
    m_services->track(QStringLiteral("persistent_dictation_resumed"), {});
}

void DictationPipeline::finishPersistentDictation() {
    if (!m_isPersistentMode || !m_session) return;
    if (m_status != DictationStatus::listening && m_status != DictationStatus::paused) return;
    const SessionPtr session = m_session;
    setPersistentMode(false);
    if (m_status == DictationStatus::listening) m_audio->stopRecording();
    drainAudioChunks();
    const auto count = session->audioChunks.size();
    VLOG(QStringLiteral("Pipeline: Finishing persistent dictation — %1 total chunks").arg(count));
    m_streamingLink->resetSession();
    setStatus(DictationStatus::stopping);
    VLOG(QStringLiteral("Pipeline: Processing persistent audio — %1 chunks (").arg(count) +
         seconds1(count * chunkSeconds) + QStringLiteral("s) via batch"));
    session->road = Road::batch;
    processAudio(session);
}

QCoro::Task<> DictationPipeline::pasteLastTranscript() {
    if (!m_lastResult) co_return;
    const QString text = m_lastResult->formattedText;
    VLOG(QStringLiteral("Pipeline: Paste last transcript — \"") + text.left(50) + QStringLiteral("...\""));
    co_await pasteSerialised(text);
}

void DictationPipeline::updateHotkey(const Hotkey& hotkey, HotkeyAction action) {
    // The store hands changed bindings to the keyboard monitor.
    updateSettings([&](VantroseSettings& s) { s.setHotkey(hotkey, action); });
    VLOG(QStringLiteral("Pipeline: Hotkey[") + rawValue(action) + QStringLiteral("] updated to ") + hotkey.displayName());
}

// ---------------------------------------------------------------------------------------------
// Pastes

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
        target.fieldType = context->app.type.rawValue();
        m_learning->startCorrectionWatch(target);
        m_learning->startOutcomeObservation(session.traceID, m_services->metricsSessionID(), target);
    }
    if (m_services->isFlagEnabled(QStringLiteral("auto-learn-words"))) m_learning->autoLearnWords(asrText);
}

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

// ---------------------------------------------------------------------------------------------
// Streaming road: the server's answer and the fall-back to the batch road

void DictationPipeline::fallBackToBatch(const QString& logLine) {
    if (m_status != DictationStatus::processing && m_status != DictationStatus::stopping) return;
    const SessionPtr session = m_session;
    // Only a dictation still waiting for the server falls back; one already on the batch road
    // keeps its single road, so an error and a disconnect together never paste twice.
    if (!session || session->road != Road::webSocket) return;
    if (!logLine.isEmpty()) VLOG(logLine);
    session->road = Road::batch;
    processAudio(session);
}

void DictationPipeline::streamingReset(bool clearPartialText) {
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    m_streamingLink->resetSession();
    if (clearPartialText) setStreamingPartialText(std::nullopt);
}

void DictationPipeline::handleStreamingResult(const QString& asrText, const QString& llmText,
                                              const QJsonObject& metrics) {
    if (m_status != DictationStatus::processing && m_status != DictationStatus::stopping) return;
    const SessionPtr session = m_session;
    // A result that arrives after the dictation fell back to the batch road is dropped.
    if (!session || session->road != Road::webSocket) return;

    const QString resultText = llmText.isEmpty() ? asrText : llmText;
    if (resultText.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Streaming returned empty result"));
        session->road = Road::none;
        releaseTasks(*session);
        streamingReset(false);
        return;
    }
    if (SensibilityScorer::containsHallucination(asrText)) {
        VLOG(QStringLiteral("Pipeline: Streaming hallucination rejected — \"") + asrText + QStringLiteral("\""));
        session->road = Road::none;
        releaseTasks(*session);
        streamingReset(true);
        return;
    }
    const double asrMs = metrics.value(QStringLiteral("asr_time")).isDouble()
                             ? metrics.value(QStringLiteral("asr_time")).toDouble() * 1000.0
                             : 0.0;
    const double llmMs = metrics.value(QStringLiteral("llm_time")).isDouble()
                             ? metrics.value(QStringLiteral("llm_time")).toDouble() * 1000.0
                             : 0.0;
    const QJsonValue asrProviderValue = metrics.value(QStringLiteral("asr_provider"));
    const QJsonValue llmProviderValue = metrics.value(QStringLiteral("llm_provider"));
    const QString asrProvider = asrProviderValue.isString() ? asrProviderValue.toString() : QStringLiteral("streaming");
    const QString llmProvider = llmProviderValue.isString() ? llmProviderValue.toString() : QStringLiteral("streaming");
    VLOG(QStringLiteral("Pipeline: Streaming result — \"") + resultText + QStringLiteral("\" asr:") + ms0(asrMs) +
         QStringLiteral("ms llm:") + ms0(llmMs) + QStringLiteral("ms"));

    const QString postProcessed = postProcess(resultText, session->transcriptionContext);
    const QString pasted = UserTextReplacements::apply(postProcessed, settings().textReplacements);
    session->road = Road::none;
    if (pasted.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Nothing left to paste after replacements"));
        releaseTasks(*session);
        streamingReset(true);
        return;
    }
    setStatus(DictationStatus::inserting);
    setPipelineStep(PipelineStep::inserting);
    completeStreaming(session, pasted, postProcessed, asrText, resultText, llmText, asrMs, llmMs, asrProvider,
                      llmProvider);
}

QCoro::Task<> DictationPipeline::completeStreaming(SessionPtr session, QString pastedText, QString postProcessed,
                                                   QString asrText, QString resultText, QString llmText, double asrMs,
                                                   double llmMs, QString asrProvider, QString llmProvider) {
    QPointer<DictationPipeline> self(this);
    const double audioSeconds = static_cast<double>(session->audioChunks.size()) * chunkSeconds;
    const PasteOutcome paste = co_await pasteSerialised(pastedText);
    if (!self) co_return;
    if (m_services->isFlagEnabled(QStringLiteral("sound-effects")))
        m_services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    const double e2eMs = (now() - session->sessionStartTime) * 1000.0;
    VLOG(QStringLiteral("Pipeline: Streaming e2e — ") + ms0(e2eMs) + QStringLiteral("ms (commit→result: ") +
         ms0(m_streamingLink->commitToResultMs()) + QStringLiteral("ms)"));
    VLOG(QStringLiteral("Pipeline: Streaming complete — %1 words, ").arg(postProcessed.split(QLatin1Char(' '), Qt::SkipEmptyParts).size()) +
         seconds1(audioSeconds) + QStringLiteral("s audio, ") + ms0(e2eMs) + QStringLiteral("ms e2e"));

    const auto& context = session->transcriptionContext;
    DictationLatencyMetrics latency;
    latency.recordingLengthMs = audioSeconds * 1000.0;
    latency.timeToPasteTextMs = paste.totalTimeMs;
    latency.axContextTimeMs = session->contextGatherTimeMs;
    latency.backendCommitAckTimeMs = m_streamingLink->commitToResultMs();
    latency.asrTimeMs = asrMs;
    latency.llmTimeMs = llmMs;
    latency.pastedTimeMs = paste.totalTimeMs;

    DictationPersistenceMetrics persistence = persistenceBase(session->traceID, m_services->metricsSessionID(), context, paste);
    persistence.speechDurationS = audioSeconds;
    persistence.recordingLengthMs = audioSeconds * 1000.0;
    persistence.e2eLatencyMs = e2eMs;

    TranscriptionResult::Fields f;
    f.rawText = asrText;
    f.formattedText = resultText;
    f.pastedText = pastedText;
    f.duration = f.speechDuration = audioSeconds;
    f.language = f.detectedLanguage = settings().language;
    f.status = llmText.isEmpty() ? ResponseStatus::rawTranscript : ResponseStatus::formatted;
    f.micAcquisitionTimeMs = session->micAcquisitionTimeMs;
    f.asrTimeMs = asrMs;
    f.formatTimeMs = llmMs;
    f.insertTimeMs = paste.totalTimeMs;
    f.totalTimeMs = e2eMs;
    f.contextGatherTimeMs = session->contextGatherTimeMs;
    f.asrTierUsed = QStringLiteral("streaming:") + asrProvider;
    f.formatterUsed = QStringLiteral("streaming:") + llmProvider;
    fillAppFields(f, context, m_services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    if (!context) f.appURL = std::nullopt;
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    const TranscriptionResult record(std::move(f));

    addRecord(record);
    m_services->trackDictationCompleted(record);
    m_services->track(QStringLiteral("dictation_latency"), latency.analyticsProperties());
    if (m_contextEngine) m_contextEngine->updateAfterTranscription(record);
    if (isCurrent(session)) {
        releaseTasks(*session);
        streamingReset(true);
    }
}

// ---------------------------------------------------------------------------------------------
// Batch road

QCoro::Task<> DictationPipeline::processAudio(SessionPtr session) {
    QPointer<DictationPipeline> self(this);
    if (!isCurrent(session) || session->batchStarted) co_return;
    session->batchStarted = true;
    session->road = Road::batch;
    const auto alive = [&] { return self && isCurrent(session); };

    setStatus(DictationStatus::processing);
    setPipelineStep(PipelineStep::transcribing);
    BatchOutcome o;
    o.processingStart = now();
    o.chunkCount = static_cast<int>(session->audioChunks.size());
    const double duration = o.chunkCount * chunkSeconds;

    if (duration <= 0.3) {
        VLOG(QStringLiteral("Pipeline: Audio too short (") + seconds1(duration) + QStringLiteral("s)"));
        clearAllAudioChunks();
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        releaseTasks(*session);
        endLiveRecognitionDetached(session);
        co_return;
    }
    o.voicedFrames = m_capture->vad.numVoicedFrames();

    if (const auto task = session->contextTask) {
        const std::optional<TranscriptionContext> context =
            co_await valueWithin(task, m_sleeper.get(), m_timings.contextDeadlineSeconds, QStringLiteral("Context"));
        if (!alive()) co_return;
        if (context) {
            session->transcriptionContext = *context;
            session->contextGatherTimeMs = context->contextGatherTimeMs;
        }
    }
    if (const auto task = session->screenCaptureTask) {
        const std::optional<std::optional<ScreenCaptureResult>> answer = co_await valueWithin(
            task, m_sleeper.get(), m_timings.screenTextDeadlineSeconds, QStringLiteral("Screen text"));
        if (!alive()) co_return;
        const std::optional<ScreenCaptureResult> screen = answer ? *answer : std::nullopt;
        if (screen) {
            if (session->transcriptionContext) {
                session->transcriptionContext->ocrContext = screen->ocrWords;
                session->transcriptionContext->screenshot = screen->screenshotData;
            }
            session->ocrCaptureTimeMs = screen->totalTimeMs;
        }
    }

    session->detectedPlaceholder = false;
    if (const auto& context = session->transcriptionContext) {
        const TextboxContents& box = context->textboxContents;
        session->detectedPlaceholder =
            TextPostProcessor::isPlaceholderText(box.contents, box.beforeText, box.afterText, context->app.type);
        if (session->detectedPlaceholder)
            VLOG(QStringLiteral("Pipeline: Detected placeholder text — will ignore textbox context for formatting"));
        const QStringList hints = VocabularyExtractor::buildVocabularyHints(
            box.contents, context->dictionaryContext, settings().customWords, context->ocrContext);
        if (!hints.isEmpty())
            VLOG(QStringLiteral("Pipeline: Vocabulary hints: %1 words → feeding to ASR").arg(hints.size()));
        m_recognizer->setVocabularyHints(hints);
        VLOG(QStringLiteral("Pipeline: Context ready in ") + ms0(session->contextGatherTimeMs) +
             QStringLiteral("ms — app:") + context->app.name + QStringLiteral(" type:") + context->app.type.rawValue() +
             QStringLiteral(" ocr:%1").arg(context->ocrContext.size()));
    }

    const double recognizerStart = now();
    co_await endLiveRecognition(session);
    if (!alive()) co_return;
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
    if (!alive()) co_return;
    if (!failure.isEmpty()) {
        co_await failBatchRoad(session, failure);
        co_return;
    }
    session->asrTimeMs = (now() - recognizerStart) * 1000.0;
    o.asrText = transcription.text;
    o.tier = transcription.tier;
    o.tierLabel = transcription.tier + QStringLiteral("-batch");
    o.confidence = transcription.confidence;

    if (o.asrText.trimmed().isEmpty()) {
        VLOG(QStringLiteral("Pipeline: Empty ASR result after all attempts"));
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        co_return;
    }
    VLOG(QStringLiteral("Pipeline: ASR [") + o.tierLabel + QStringLiteral("]: \"") + o.asrText + QStringLiteral("\" [") +
         ms0(session->asrTimeMs) + QStringLiteral("ms]"));

    const SensibilityScorer::Score sensibility = SensibilityScorer::score(o.asrText, duration);
    if (sensibility.score < SensibilityScorer::minimumScore) {
        VLOG(QStringLiteral("Pipeline: Sensibility FAILED (%1) flags: [").arg(sensibility.score) +
             sensibility.flags.join(QStringLiteral(", ")) + QStringLiteral("] — discarding"));
        if (m_services->isFlagEnabled(QStringLiteral("sound-effects")))
            m_services->playSound(QStringLiteral("error"), QStringLiteral("wav"));
        clearAllAudioChunks();
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        co_return;
    }
    if (!sensibility.flags.isEmpty())
        VLOG(QStringLiteral("Pipeline: Sensibility warnings: [") + sensibility.flags.join(QStringLiteral(", ")) +
             QStringLiteral("] (score: %1)").arg(sensibility.score));

    const double formatStart = now();
    const auto& context = session->transcriptionContext;
    const bool useBox = context && !session->detectedPlaceholder;
    const AppContext appContext(context ? context->app.name : QString(), context ? context->app.bundleId : QString(),
                                context ? context->app.url : std::nullopt,
                                useBox ? context->textboxContents.beforeText : QString(),
                                useBox ? context->textboxContents.afterText : QString(),
                                useBox ? context->textboxContents.selectedText : QString(),
                                context ? context->textboxContents.isEditable : true,
                                context ? context->ocrContext : QStringList());
    setPipelineStep(PipelineStep::formatting);

    if (transcription.serverFormatted) {
        VLOG(QStringLiteral("Pipeline: Skipping client format — server already formatted"));
        o.formattedText = o.asrText;
        o.formatterLabel = QStringLiteral("server-combined");
    } else {
        const FormattingMode mode = settings().personalization.formattingMode;
        if (mode == FormattingMode::noFormatting) {
            o.formattedText = o.asrText;
            o.formatterLabel = QStringLiteral("none");
        } else if (mode == FormattingMode::allLowercase) {
            o.formattedText = o.asrText.toLower();
            o.formatterLabel = QStringLiteral("lowercase");
        } else {
            const std::shared_ptr<TextFormatterProtocol> formatter = m_formatter;
            FormattingResult formatted;
            try {
                formatted = co_await formatter->format(o.asrText, appContext, settings());
            } catch (...) {
                failure = describeFailure(std::current_exception());
            }
            if (!alive()) co_return;
            if (!failure.isEmpty()) {
                co_await failBatchRoad(session, failure);
                co_return;
            }
            if (mode == FormattingMode::casualMessaging) {
                o.formattedText = formatted.text.toLower();
                o.formatterLabel = QStringLiteral("casual_") + formatted.formatterName;
            } else {
                o.formattedText = formatted.text;
                o.formatterLabel = formatted.formatterName;
            }
        }
    }
    session->formatTimeMs = (now() - formatStart) * 1000.0;
    VLOG(QStringLiteral("Pipeline: Format [") + o.formatterLabel + QStringLiteral("]: \"") + o.formattedText +
         QStringLiteral("\" [") + ms0(session->formatTimeMs) + QStringLiteral("ms]"));

    o.postProcessedText = postProcess(o.formattedText, context);
    if (o.postProcessedText != o.formattedText)
        VLOG(QStringLiteral("Pipeline: PostProcess: \"") + o.formattedText + QStringLiteral("\" → \"") +
             o.postProcessedText + QStringLiteral("\""));
    o.finalText = UserTextReplacements::apply(o.postProcessedText, settings().textReplacements);

    if (o.finalText.trimmed().isEmpty()) {
        // Pasting nothing would still replace the user's clipboard and leave an empty record.
        VLOG(QStringLiteral("Pipeline: Nothing left to paste after formatting"));
        clearAllAudioChunks();
        setStreamingText(QString());
        setStatus(DictationStatus::idle);
        releaseTasks(*session);
        co_return;
    }

    setStatus(DictationStatus::inserting);
    setPipelineStep(PipelineStep::inserting);
    o.insertStart = now();
    o.paste = co_await pasteSerialised(o.finalText);
    if (!self) co_return;
    // The text has reached the user's field: it is recorded even when a newer dictation began
    // meanwhile; only the return to idle belongs to the current dictation alone.
    co_await completeBatch(session, std::move(o));
}

QCoro::Task<> DictationPipeline::failBatchRoad(SessionPtr session, QString description) {
    QPointer<DictationPipeline> self(this);
    bool shownError = false;
    if (m_status == DictationStatus::processing) {
        setStatus(DictationStatus::retrying);
        VLOG(QStringLiteral("Pipeline: Retrying after error: ") + description);
        const quint64 epoch = m_statusEpoch;
        co_await m_sleeper->sleep(m_timings.retryingSeconds);
        if (!self) co_return;
        if (m_statusEpoch == epoch && m_status == DictationStatus::retrying) {
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

QCoro::Task<> DictationPipeline::completeBatch(SessionPtr session, BatchOutcome o) {
    QPointer<DictationPipeline> self(this);
    session->insertTimeMs = (now() - o.insertStart) * 1000.0;
    std::optional<double> ping;
    if (const auto task = session->backendPingTask) {
        const std::optional<std::optional<double>> answer =
            co_await valueWithin(task, m_sleeper.get(), m_timings.pingDeadlineSeconds, QStringLiteral("Server ping"));
        if (!self) co_return;
        if (answer) ping = *answer;
    }
    std::optional<PipelineCloudMetrics> cloud;
    if (o.tierLabel.startsWith(QStringLiteral("primary")) && m_batch->hasCloudRecognizer())
        cloud = m_batch->lastCloudMetrics();
    const std::optional<QString> raceWinner = m_batch->raceWinner();
    const QVariant raceWinnerValue = raceWinner ? QVariant(*raceWinner) : QVariant();
    const auto& context = session->transcriptionContext;
    const auto report = [&](const QString& event, const QVariantMap& payload) {
        emitSessionEvent(*session, event, payload);
    };

    report(QStringLiteral("dictation.paste.outcome"),
         {{QStringLiteral("pasteSuccess"), o.paste.success},
          {QStringLiteral("pasteOutcomeMs"), o.paste.totalTimeMs},
          {QStringLiteral("clipboardWriteSuccessful"), o.paste.clipboardWritten},
          {QStringLiteral("helperPasteProcessingMs"),
           o.paste.helperPasteProcessingMs ? QVariant(*o.paste.helperPasteProcessingMs) : QVariant()},
          {QStringLiteral("focusedControlChanged"), o.paste.focusedControlChanged},
          {QStringLiteral("hasPrivilegeIssues"), o.paste.hasPrivilegeIssues},
          {QStringLiteral("delayedClipboardRenderingUsed"), m_textInserter->useDelayedRendering()}});
    if (m_services->isFlagEnabled(QStringLiteral("sound-effects")))
        m_services->playSound(QStringLiteral("paste"), QStringLiteral("wav"));
    startLearning(*session, o.finalText, o.asrText);

    const double e2eMs = (now() - session->sessionStartTime) * 1000.0;
    const double recordingMs = o.chunkCount * chunkSeconds * 1000.0;
    DictationLatencyMetrics latency;
    latency.timeToFirstChunkMs = session->timeToFirstChunkMs;
    latency.recordingLengthMs = recordingMs;
    latency.timeToPasteTextMs = o.paste.totalTimeMs;
    latency.axContextTimeMs = session->contextGatherTimeMs;
    latency.mediaStreamSetupMs = session->mediaStreamSetupMs;
    latency.firstAudioChunkLatencyMs = session->firstAudioChunkLatencyMs;
    latency.backendPingTimeAtStreamStartMs = ping;
    latency.asrTimeMs = cloud ? cloud->asrTimeMs : session->asrTimeMs;
    latency.llmTimeMs = cloud ? cloud->llmTimeMs : session->formatTimeMs;
    latency.pastedTimeMs = o.paste.totalTimeMs;
    latency.ocrCaptureTimeMs = session->ocrCaptureTimeMs;
    if (cloud) {
        latency.prepareRequestMs = cloud->prepareRequestMs;
        latency.uploadRequestMs = cloud->uploadRequestMs;
        latency.remoteLatencyMs = cloud->remoteLatencyMs;
        latency.backendCommitAckTimeMs = cloud->backendCommitAckTimeMs;
        latency.serverProcessingTimeMs = cloud->serverProcessingTimeMs;
    }

    const int fallbackLevel = o.tier == QStringLiteral("primary") ? 0 : o.tier == QStringLiteral("secondary") ? 1 : 2;
    DictationPersistenceMetrics persistence = persistenceBase(session->traceID, m_services->metricsSessionID(), context, o.paste);
    persistence.speechDurationS = o.voicedFrames * chunkSeconds;
    persistence.recordingLengthMs = recordingMs;
    persistence.e2eLatencyMs = e2eMs;
    if (cloud) persistence.clientNetworkLatencyMs = cloud->remoteLatencyMs;
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
    f.micAcquisitionTimeMs = session->micAcquisitionTimeMs;
    f.asrTimeMs = session->asrTimeMs;
    f.formatTimeMs = session->formatTimeMs;
    f.insertTimeMs = session->insertTimeMs;
    f.contextGatherTimeMs = session->contextGatherTimeMs;
    f.totalTimeMs = e2eMs;
    f.averageLogProb = o.confidence;
    f.asrTierUsed = o.tierLabel;
    f.usedFallbackASR = o.tierLabel.contains(QStringLiteral("batch"));
    f.formatterUsed = o.formatterLabel;
    f.formattingDivergenceScore = computeDivergence(o.asrText, o.formattedText);
    fillAppFields(f, context, m_services->isFlagEnabled(QStringLiteral("store-screen-capture-history")));
    f.latencyMetrics = latency;
    f.persistenceMetrics = persistence;
    const TranscriptionResult record(std::move(f));

    addRecord(record);
    m_services->recordEvaluation(record);
    m_services->trackDictationCompleted(record);
    const QVariantMap latencyProperties = latency.analyticsProperties();
    m_services->track(QStringLiteral("dictation_latency"), latencyProperties);
    report(QStringLiteral("dictation.complete"),
         {{QStringLiteral("app_name"), record.appName},
          {QStringLiteral("app_bundle_id"), record.appBundleId},
          {QStringLiteral("app_url"), record.appURL.value_or(QString())},
          {QStringLiteral("asr_tier"), o.tierLabel},
          {QStringLiteral("transport"), QStringLiteral("http")},
          {QStringLiteral("race_winner"), raceWinnerValue},
          {QStringLiteral("latency"), latencyProperties},
          {QStringLiteral("quality"), QVariantMap{{QStringLiteral("word_count"), static_cast<qlonglong>(record.wordCount)},
                                                  {QStringLiteral("formatter"), o.formatterLabel},
                                                  {QStringLiteral("confidence"), o.confidence}}}});
    if (cloud) {
        report(QStringLiteral("dictation.cloud_metrics"),
             {{QStringLiteral("prepareRequest"), cloud->prepareRequestMs},
              {QStringLiteral("uploadRequest"), cloud->uploadRequestMs},
              {QStringLiteral("remoteLatency"), cloud->remoteLatencyMs},
              {QStringLiteral("serverProcessingTimeMs"), cloud->serverProcessingTimeMs},
              {QStringLiteral("asrTimeMs"), cloud->asrTimeMs},
              {QStringLiteral("llmTimeMs"), cloud->llmTimeMs},
              {QStringLiteral("backendCommitAckTimeMs"),
               cloud->backendCommitAckTimeMs ? QVariant(*cloud->backendCommitAckTimeMs) : QVariant()},
              {QStringLiteral("race_winner"), raceWinnerValue}});
    }
    emitLatencyWarnings(*session, latency);
    if (m_contextEngine) m_contextEngine->updateAfterTranscription(record);

    updateSettings([&](VantroseSettings& s) { s.personalization.recordDictation(record.wordCount); });

    VLOG(QStringLiteral("Pipeline: Complete — %1 words | ").arg(record.wordCount) + seconds1(record.duration) +
         QStringLiteral("s audio\n  Tier: ") + o.tierLabel + (raceWinner ? QStringLiteral(" (race winner)") : QString()) +
         QStringLiteral("\n  Mic: ") + ms0(session->micAcquisitionTimeMs) + QStringLiteral("ms | Context: ") +
         ms0(session->contextGatherTimeMs) + QStringLiteral("ms | ASR: ") + ms0(session->asrTimeMs) +
         QStringLiteral("ms | Format: ") + ms0(session->formatTimeMs) + QStringLiteral("ms | Insert: ") +
         ms0(session->insertTimeMs) + QStringLiteral("ms\n  Tier6: firstChunk=") + optMs0(latency.timeToFirstChunkMs) +
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
    const int evaluated = m_services->evaluatedDictations();
    if (evaluated > 0 && evaluated % 5 == 0) m_services->printEvaluationReport();

    if (!isCurrent(session)) co_return;
    setPipelineStep(PipelineStep::done);
    clearAllAudioChunks();
    setStreamingText(QString());
    setStatus(DictationStatus::idle);
    releaseTasks(*session);
    const quint64 generation = session->generation;
    [](QPointer<DictationPipeline> self, PipelineSleeper* sleeper, double seconds, quint64 generation) -> QCoro::Task<> {
        co_await sleeper->sleep(seconds);
        // A dictation that started meanwhile keeps its own stage.
        if (!self || self->m_pipelineStep != PipelineStep::done) co_return;
        if (self->m_session && self->m_session->generation != generation) co_return;
        self->setPipelineStep(PipelineStep::idle);
    }(self, m_sleeper.get(), m_timings.stepResetSeconds, generation);
}

void DictationPipeline::addRecord(const TranscriptionResult& record) {
    m_lastResult = record;
    Q_EMIT lastResultChanged();
    m_history->save(record);
    m_recentResults.prepend(record);
    if (m_recentResults.size() > maxRecentResults) m_recentResults.removeLast();
    Q_EMIT recentResultsChanged();
    m_totalDictations += 1;
    m_totalWords += record.wordCount;
    Q_EMIT totalsChanged();
}

// ---------------------------------------------------------------------------------------------
// Telemetry

void DictationPipeline::emitTelemetryEvent(const QString& event, const QVariantMap& payload) {
    static const Session none;
    emitSessionEvent(m_session ? *m_session : none, event, payload);
}

void DictationPipeline::emitSessionEvent(const Session& session, const QString& event, const QVariantMap& payload) {
    QString bundleId;
    QString fieldType = QStringLiteral("unknown");
    if (session.transcriptionContext) {
        bundleId = session.transcriptionContext->app.bundleId;
        fieldType = session.transcriptionContext->app.type.rawValue();
    } else {
        m_appDetector->updateActiveApp();
        if (m_appDetector->activeApp()) bundleId = m_appDetector->activeApp()->bundleId;
    }
    m_services->emitMetric(event, session.traceID, payload);
    m_history->saveEvent(session.traceID, m_services->metricsSessionID(), event, bundleId, fieldType, payload);
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

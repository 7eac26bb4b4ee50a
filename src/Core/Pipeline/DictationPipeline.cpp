#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Foundation/Logger.h"

#include <QUuid>

// The pipeline's construction, set-up and settings. The rest of it lives beside this file: the
// shared context (PipelineContext.cpp) with the published state (StatusPublisher.cpp), the session
// engine (SessionEngine.cpp, HotkeyModes.cpp), the two roads (StreamingRoad.cpp, BatchRoad.cpp)
// and their completion (Completion.cpp, Telemetry.cpp).

DictationPipeline::DictationPipeline(VantroseSettings settings, Collaborators c, QObject* parent)
    : QObject(parent),
      m_store(std::make_unique<SettingsStore>(std::move(settings), std::move(c.settingsHooks))),
      m_ctx(std::make_unique<PipelineContext>(c, *m_store, this)),
      m_capture(std::make_shared<CaptureState>()) {
    m_capture->receiver = this;
    forwardPublishedSignals();

    m_store->onChanged = [this](const VantroseSettings& old) { handleSettingsChanged(old); };
    m_store->onHotkeysChanged = [this](const VantroseSettings& current) { applyHotkeys(current); };

    makeTypingReminders(c.delayedCall);
    makeLearning(std::move(c.delayedCall));
}

void DictationPipeline::forwardPublishedSignals() {
    const StatusPublisher* publisher = &m_ctx->publisher;
    connect(publisher, &StatusPublisher::statusChanged, this, &DictationPipeline::statusChanged);
    connect(publisher, &StatusPublisher::pipelineStepChanged, this, &DictationPipeline::pipelineStepChanged);
    connect(publisher, &StatusPublisher::levelChanged, this, &DictationPipeline::levelChanged);
    connect(publisher, &StatusPublisher::streamingTextChanged, this, &DictationPipeline::streamingTextChanged);
    connect(publisher, &StatusPublisher::streamingPartialTextChanged, this,
            &DictationPipeline::streamingPartialTextChanged);
    connect(publisher, &StatusPublisher::lastResultChanged, this, &DictationPipeline::lastResultChanged);
    connect(publisher, &StatusPublisher::recentResultsChanged, this, &DictationPipeline::recentResultsChanged);
    connect(publisher, &StatusPublisher::totalsChanged, this, &DictationPipeline::totalsChanged);
    connect(publisher, &StatusPublisher::errorMessageChanged, this, &DictationPipeline::errorMessageChanged);
    connect(publisher, &StatusPublisher::persistentModeChanged, this, &DictationPipeline::persistentModeChanged);
    connect(publisher, &StatusPublisher::continuousDictationLatchedChanged, this,
            &DictationPipeline::continuousDictationLatchedChanged);
}

void DictationPipeline::makeTypingReminders(const DelayedCall& delayedCall) {
    TypingReminderController::Hooks hooks;
    hooks.track = [this](const QString& event, const QVariantMap& properties) {
        m_ctx->services->track(event, properties);
    };
    hooks.frontmostApp = [this]() -> std::optional<ActiveAppInfo> {
        m_ctx->appDetector->updateActiveApp();
        return m_ctx->appDetector->activeApp();
    };
    hooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) { updateSettings(change); };
    hooks.latchContinuousDictation = [this] { setContinuousDictationLatched(true); };
    hooks.startDictation = [this] { startDictation(); };
    m_reminders = std::make_unique<TypingReminderController>(m_store->settings(), std::move(hooks),
                                                             TypingReminderEngine::Configuration(), delayedCall);
    connect(m_reminders.get(), &TypingReminderController::typingSuggestionChanged, this,
            &DictationPipeline::typingSuggestionChanged);
}

void DictationPipeline::makeLearning(DelayedCall delayedCall) {
    DictationLearning::Hooks hooks;
    hooks.dictionary = [this] { return m_ctx->history->dictionaryEntries(); };
    hooks.addWord = [this](const QString& word) { m_ctx->history->addWord(word, std::nullopt, false); };
    hooks.settings = [this] { return m_store->settings(); };
    hooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) { updateSettings(change); };
    hooks.learnsWords = [this] { return m_ctx->learnsWords(); };
    hooks.saveOutcomeSnapshot = [this](const QString& traceID, const QString& sessionID,
                                       const DictationOutcomeSnapshot& snapshot) {
        m_ctx->history->saveOutcomeSnapshot(traceID, sessionID, snapshot);
    };
    hooks.saveEvent = [this](const QString& traceID, const QString& sessionID, const QString& event,
                             const QString& appBundleID, const QString& fieldType, const QVariantMap& payload) {
        m_ctx->history->saveEvent(traceID, sessionID, event, appBundleID, fieldType, payload);
    };
    m_learning = std::make_unique<DictationLearning>(*m_ctx->contextReader, std::move(hooks), std::move(delayedCall));
}

DictationPipeline::~DictationPipeline() {
    // The capture thread must not call into a pipeline that is going away.
    {
        std::lock_guard<std::mutex> lock(m_capture->outboxLock);
        m_capture->receiver = nullptr;
    }
    m_ctx->audio->stopRecording();
    m_ctx->audio->setChunkHandler(nullptr);
    m_ctx->streamingLink->onPartialResult = nullptr;
    m_ctx->streamingLink->onFinalResult = nullptr;
    m_ctx->streamingLink->onError = nullptr;
    m_ctx->streamingLink->onDisconnect = nullptr;
    m_ctx->keyboardMonitor->onKeyDown = nullptr;
    m_ctx->appDetector->onAppChanged = nullptr;
    m_store->onChanged = nullptr;
    m_store->onHotkeysChanged = nullptr;
}

const QString& DictationPipeline::currentTraceID() const {
    static const QString none;
    return m_session ? m_session->traceID : none;
}

float DictationPipeline::rawAudioLevel() const { return m_capture->rawLevel.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------
// Published state and collaborators

DictationStatus DictationPipeline::status() const { return state().status; }
PipelineStep DictationPipeline::pipelineStep() const { return state().pipelineStep; }
float DictationPipeline::currentVolume() const { return state().currentVolume; }
const std::vector<float>& DictationPipeline::frequencyBands() const { return state().frequencyBands; }
const QString& DictationPipeline::streamingText() const { return state().streamingText; }
const std::optional<QString>& DictationPipeline::streamingPartialText() const { return state().streamingPartialText; }
const std::optional<TranscriptionResult>& DictationPipeline::lastResult() const { return state().lastResult; }
const QList<TranscriptionResult>& DictationPipeline::recentResults() const { return state().recentResults; }
qint64 DictationPipeline::totalDictations() const { return state().totalDictations; }
qint64 DictationPipeline::totalWords() const { return state().totalWords; }
const std::optional<QString>& DictationPipeline::errorMessage() const { return state().errorMessage; }
bool DictationPipeline::isPersistentMode() const { return state().isPersistentMode; }
bool DictationPipeline::isContinuousDictationLatched() const { return state().isContinuousDictationLatched; }

AbstractKeyboardMonitor& DictationPipeline::keyboardMonitor() { return *m_ctx->keyboardMonitor; }
AbstractTextInserter& DictationPipeline::textInserter() { return *m_ctx->textInserter; }
AbstractAppDetector& DictationPipeline::appDetector() { return *m_ctx->appDetector; }
AbstractContextEngine* DictationPipeline::contextEngine() { return m_ctx->contextEngine.get(); }
PipelineStreamingLink& DictationPipeline::streamingLink() { return *m_ctx->streamingLink; }
PipelineHistory& DictationPipeline::history() { return *m_ctx->history; }
TextFormatterProtocol& DictationPipeline::formatter() { return m_ctx->formatters.current(); }
void DictationPipeline::setTimings(const Timings& timings) { m_ctx->timings = timings; }

const PublishedState& DictationPipeline::state() const { return m_ctx->publisher.state(); }
void DictationPipeline::setStatus(DictationStatus status) { m_ctx->publisher.setStatus(status); }
void DictationPipeline::setPipelineStep(PipelineStep step) { m_ctx->publisher.setPipelineStep(step); }
void DictationPipeline::setStreamingText(const QString& text) { m_ctx->publisher.setStreamingText(text); }
void DictationPipeline::setStreamingPartialText(const std::optional<QString>& text) {
    m_ctx->publisher.setStreamingPartialText(text);
}
void DictationPipeline::setErrorMessage(const std::optional<QString>& message) {
    m_ctx->publisher.setErrorMessage(message);
}
void DictationPipeline::setPersistentMode(bool on) { m_ctx->publisher.setPersistentMode(on); }
void DictationPipeline::setContinuousDictationLatched(bool on) { m_ctx->publisher.setContinuousDictationLatched(on); }
void DictationPipeline::setLevel(float volume, std::vector<float> bands) {
    m_ctx->publisher.setLevel(volume, std::move(bands));
}
void DictationPipeline::loadDashboard() {
    m_ctx->publisher.showDashboard(m_ctx->history->recentHistory(), m_ctx->history->loadTotals());
}
void DictationPipeline::addRecord(const TranscriptionResult& record) {
    m_ctx->publisher.setLastResult(record);
    m_ctx->history->save(record);
    m_ctx->publisher.addToDashboard(record);
}
void DictationPipeline::startTimedRevert(DictationStatus shown, double seconds, std::function<void()> revert) {
    m_ctx->publisher.startTimedRevert(shown, seconds, std::move(revert));
}

// ---------------------------------------------------------------------------------------------
// Settings and typing reminders

void DictationPipeline::setSettings(const VantroseSettings& settings) { m_store->updateSettings(settings); }

void DictationPipeline::updateSettings(const std::function<void(VantroseSettings&)>& change) {
    m_store->updateSettings(change);
}

void DictationPipeline::handleSettingsChanged(const VantroseSettings& old) {
    // The stored microphone is the one in use, whoever changed it (the tray, the settings, a sync).
    if (old.selectedMicUID != settings().selectedMicUID) m_ctx->audio->setSelectedDeviceUID(settings().selectedMicUID);
    m_reminders->applySettingsChange(old, settings());
    Q_EMIT settingsChanged();
}

void DictationPipeline::applyHotkeys(const VantroseSettings& current) {
    m_ctx->keyboardMonitor->setHotkeyBindings(current.hotkeys);
    const Hotkey pushToTalk = current.pushToTalkHotkey();
    m_ctx->keyboardMonitor->setHotkey(pushToTalk);
    m_ctx->keyboardMonitor->setPushToTalkKeyCode(pushToTalk.keyCode);
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

    if (m_ctx->makeContextEngine)
        m_ctx->contextEngine = m_ctx->makeContextEngine(*m_ctx->appDetector, *m_ctx->contextReader);
    m_polishEngine = std::make_unique<PolishEngine>(m_ctx->history->historyStore(), settings().ollamaEndpoint,
                                                    settings().ollamaModel);
    m_commandMode = std::make_unique<CommandMode>(m_polishEngine.get());
    Q_EMIT polishStateChanged();
    VLOG(QStringLiteral("Pipeline: Mic permission: ") +
         (m_ctx->services->microphoneAuthorized() ? QStringLiteral("true") : QStringLiteral("false")));
    m_ctx->services->warmUpServer(settings().cloudServerURL);
    m_ctx->appDetector->start();
    m_ctx->batch->registerTiers(settings());

    if (!co_await adoptCloudFormatter()) co_return;

    applyHotkeys(settings());
    installKeyboardCallbacks();
    startKeyboardMonitor();

    m_ctx->textInserter->setClipboardRestoreDelay(settings().clipboardRestoreDelay);
    // The microphone chosen earlier records from the first dictation on; while it is not
    // connected the system default records, and the choice stays for when it returns.
    if (settings().selectedMicUID) setMicDevice(settings().selectedMicUID);
    m_ctx->audio->prewarm();
    if (!m_ctx->signedOut && m_ctx->streamingLink->state() == PipelineStreamingLink::State::disconnected)
        m_ctx->streamingLink->connect();
    installTransportCallbacks();
    // Fire and forget: set-up does not wait for the server.
    m_store->pullSettingsFromServer();

    m_ctx->history->initialize();
    loadDashboard();

    co_await m_ctx->services->refreshFlags();
    if (!self) co_return;
    VLOG(QStringLiteral("Pipeline: Setup complete — flags: %1 enabled").arg(m_ctx->services->enabledFlagCount()));
}

// Answers false when the pipeline went away while the server was asked.
QCoro::Task<bool> DictationPipeline::adoptCloudFormatter() {
    QPointer<DictationPipeline> self(this);
    std::shared_ptr<TextFormatterProtocol> cloudFormatter;
    if (const FormatterChoice::Probe& probe = m_ctx->formatters.probe()) {
        cloudFormatter = co_await probe(settings());
        if (!self) co_return false;
    }
    m_ctx->formatters.use(std::move(cloudFormatter));
    co_return true;
}

void DictationPipeline::startKeyboardMonitor() {
    const bool listening = m_ctx->keyboardMonitor->start();
    VLOG(QStringLiteral("Pipeline: Keyboard monitor: ") +
         (listening ? QStringLiteral("true") : QStringLiteral("false")));
    if (!listening) {
        VLOG(
            QStringLiteral("Pipeline: WARNING — Keyboard monitor failed to start. Use the tray menu → 'Start "
                           "Dictation' to test manually. Check the X11 session (XInput2, XTest) and restart the "
                           "app for hotkey support."));
    }
}

void DictationPipeline::installKeyboardCallbacks() {
    QPointer<DictationPipeline> self(this);
    m_ctx->keyboardMonitor->onPushToTalkDown = [self] {
        if (self) self->handlePushToTalkDown();
    };
    m_ctx->keyboardMonitor->onPushToTalkUp = [self] {
        if (self) self->handlePushToTalkUp();
    };
    m_ctx->keyboardMonitor->onDismiss = [self] {
        if (self) self->cancelDictation();
    };
    m_ctx->keyboardMonitor->onLock = [self] {
        if (self) self->handleLockHotkey();
    };
    m_ctx->keyboardMonitor->onPasteLastTranscript = [self] {
        if (self) self->pasteLastTranscript();
    };
    // Every key-down feeds the typing reminders; both monitors call on the main thread.
    m_ctx->keyboardMonitor->onKeyDown = [self](const KeyEvent& event) {
        if (self)
            self->m_reminders->handleGlobalKeyDown(event, self->state().status,
                                                   self->m_ctx->keyboardMonitor->pushToTalkKeyCode());
    };
    m_ctx->appDetector->onAppChanged = [self](const ActiveAppInfo& info) {
        if (self) self->m_reminders->handleActiveAppChanged(info);
    };
}

void DictationPipeline::installTransportCallbacks() {
    QPointer<DictationPipeline> self(this);
    m_ctx->streamingLink->onPartialResult = [self](const QString& text) {
        if (self) self->setStreamingPartialText(text);
    };
    m_ctx->streamingLink->onFinalResult = [self](const QString& raw, const QString& formatted,
                                                 const QJsonObject& message) {
        if (self) self->handleStreamingResult(raw, formatted, message);
    };
    // Errors may come from the transport's own threads.
    std::weak_ptr<CaptureState> weak = m_capture;
    m_ctx->streamingLink->onError = [weak](const QString& message) {
        VLOG(QStringLiteral("Pipeline: Streaming error — ") + message + QStringLiteral(", falling back to batch"));
        if (const auto state = weak.lock()) state->post(OutboxMessage(OutboxMessage::Kind::streamingError));
    };
    m_ctx->streamingLink->onDisconnect = [self] {
        if (self)
            self->fallBackToBatch(QStringLiteral("Pipeline: WebSocket lost during session — falling back to batch"));
    };
}

void DictationPipeline::setAccountSignedIn(bool signedIn) {
    if (signedIn != m_ctx->signedOut) return;
    m_ctx->signedOut = !signedIn;
    if (m_ctx->signedOut) {
        VLOG(QStringLiteral("Pipeline: Signed out — streaming connection closed"));
        m_ctx->streamingLink->disconnect();
        // The closed connection will not answer a dictation that waits for it.
        fallBackToBatch(QStringLiteral("Pipeline: Signed out while waiting for the server — falling back to batch"));
        return;
    }
    if (m_setupStarted && m_ctx->streamingLink->state() == PipelineStreamingLink::State::disconnected)
        m_ctx->streamingLink->connect();
}

void DictationPipeline::teardown() {
    m_ctx->keyboardMonitor->stop();
    m_ctx->appDetector->stop();
    m_ctx->audio->stopRecording();
    VLOG(QStringLiteral("Pipeline: Teardown complete"));
}

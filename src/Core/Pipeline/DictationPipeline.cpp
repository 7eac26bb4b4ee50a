#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/BatchRoad.h"
#include "Core/Pipeline/DictationRecorder.h"
#include "Core/Pipeline/HotkeyModes.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/SessionEngine.h"
#include "Core/Pipeline/StreamingRoad.h"
#include "Foundation/Logger.h"
#include "Models/RawValue.h"

#include <QUuid>

// The facade: construction, set-up, settings, and the public calls handed to the parts.

DictationPipeline::DictationPipeline(VantroseSettings settings, Collaborators c, QObject* parent)
    : QObject(parent),
      m_store(std::make_unique<SettingsStore>(std::move(settings), std::move(c.settingsHooks))),
      m_ctx(std::make_unique<PipelineContext>(c, *m_store, this)) {
    forwardPublishedSignals();

    m_store->onChanged = [this](const VantroseSettings& old) { handleSettingsChanged(old); };
    m_store->onHotkeysChanged = [this](const VantroseSettings& current) { applyHotkeys(current); };

    makeTypingReminders();
    makeLearning();
    makeParts();
}

void DictationPipeline::makeParts() {
    m_recorder = std::make_unique<DictationRecorder>(*m_ctx, *m_learning);
    SessionEngine::Hooks hooks;
    hooks.commitOverWebSocket = [this](PipelineSessionPtr session) { m_streamingRoad->commit(std::move(session)); };
    hooks.processAudio = [this](PipelineSessionPtr session) { m_batchRoad->process(std::move(session)); };
    hooks.streamingFailed = [this] { m_streamingRoad->fallBackToBatch(QString()); };
    m_engine = std::make_unique<SessionEngine>(*m_ctx, *m_recorder, *m_reminders, std::move(hooks));
    m_batchRoad = std::make_unique<BatchRoad>(*m_ctx, *m_engine, *m_recorder);
    m_streamingRoad = std::make_unique<StreamingRoad>(*m_ctx, *m_engine, *m_batchRoad, *m_recorder);
    m_hotkeys = std::make_unique<HotkeyModes>(*m_ctx, *m_engine, *m_reminders);
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

void DictationPipeline::makeTypingReminders() {
    TypingReminderController::Hooks hooks;
    hooks.track = [this](const QString& event, const QVariantMap& properties) {
        m_ctx->services->track(event, properties);
    };
    hooks.frontmostApp = [this]() -> std::optional<ActiveAppInfo> {
        m_ctx->appDetector->updateActiveApp();
        return m_ctx->appDetector->activeApp();
    };
    hooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) { updateSettings(change); };
    hooks.latchContinuousDictation = [this] { m_ctx->publisher.setContinuousDictationLatched(true); };
    hooks.startDictation = [this] { startDictation(); };
    m_reminders = std::make_unique<TypingReminderController>(m_store->settings(), std::move(hooks));
    connect(m_reminders.get(), &TypingReminderController::typingSuggestionChanged, this,
            &DictationPipeline::typingSuggestionChanged);
}

void DictationPipeline::makeLearning() {
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
    m_learning = std::make_unique<DictationLearning>(*m_ctx->contextReader, std::move(hooks));
}

DictationPipeline::~DictationPipeline() {
    // The capture thread must not call into a pipeline that is going away.
    m_engine->shutDown();
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
    return m_engine->current() ? m_engine->current()->traceID : none;
}

float DictationPipeline::rawAudioLevel() const { return m_engine->rawLevel(); }
int DictationPipeline::recordedChunkCount() const { return m_engine->recordedChunkCount(); }

void DictationPipeline::emitTelemetryEvent(const QString& event, const QVariantMap& payload) {
    static const PipelineSession none;
    m_recorder->emitEvent(m_engine->current() ? *m_engine->current() : none, event, payload);
}

float DictationPipeline::computeDivergence(const QString& raw, const QString& formatted) {
    return DictationRecorder::computeDivergence(raw, formatted);
}

// ---------------------------------------------------------------------------------------------
// Recording and the hotkeys

void DictationPipeline::startDictation() { m_engine->start(); }
void DictationPipeline::stopDictation() { m_engine->stop(); }
void DictationPipeline::cancelDictation() { m_engine->cancel(); }
void DictationPipeline::startPersistentDictation() { m_engine->startPersistent(); }
void DictationPipeline::pauseDictation() { m_engine->pause(); }
void DictationPipeline::resumeDictation() { m_engine->resume(); }
void DictationPipeline::finishPersistentDictation() { m_engine->finishPersistent(); }
void DictationPipeline::handlePushToTalkDown() { m_hotkeys->pushToTalkDown(); }
void DictationPipeline::handlePushToTalkUp() { m_hotkeys->pushToTalkUp(); }
void DictationPipeline::handleLockHotkey() { m_hotkeys->lockHotkey(); }
QCoro::Task<> DictationPipeline::pasteLastTranscript() { return m_hotkeys->pasteLastTranscript(); }

void DictationPipeline::updateHotkey(const Hotkey& hotkey, HotkeyAction action) {
    // The store hands changed bindings to the keyboard monitor.
    updateSettings([&](VantroseSettings& s) { s.setHotkey(hotkey, action); });
    VLOG_INFO(lcPipeline) << QStringLiteral("Hotkey[") + rawValue(action) + QStringLiteral("] updated to ") +
                                 hotkey.displayName();
}

void DictationPipeline::setMicDevice(const std::optional<QString>& uid) {
    m_ctx->audio->setSelectedDeviceUID(uid);
    if (!uid) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Microphone → system default");
        return;
    }
    QString name = *uid;
    for (const AudioDeviceInfo& device : m_ctx->audio->listInputDevices()) {
        if (device.uid == *uid) {
            name = device.name;
            break;
        }
    }
    VLOG_INFO(lcPipeline) << QStringLiteral("Microphone → ") + name;
}

// ---------------------------------------------------------------------------------------------
// Published state and collaborators

const PublishedState& DictationPipeline::state() const { return m_ctx->publisher.state(); }
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
AbstractStreamingLink& DictationPipeline::streamingLink() { return *m_ctx->streamingLink; }
AbstractPipelineHistory& DictationPipeline::history() { return *m_ctx->history; }
TextFormatterProtocol& DictationPipeline::formatter() { return m_ctx->formatters.current(); }

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
        VLOG_INFO(lcPipeline) << QStringLiteral("Setup already done — nothing to repeat");
        co_return;
    }
    m_setupStarted = true;
    QPointer<DictationPipeline> self(this);
    VLOG_INFO(lcPipeline) << QStringLiteral("Setting up...");

    if (m_ctx->makeContextEngine)
        m_ctx->contextEngine = m_ctx->makeContextEngine(*m_ctx->appDetector, *m_ctx->contextReader);
    m_polishEngine = std::make_unique<PolishEngine>(m_ctx->history->historyStore(), settings().ollamaEndpoint,
                                                    settings().ollamaModel);
    m_commandMode = std::make_unique<CommandMode>(m_polishEngine.get());
    Q_EMIT polishStateChanged();
    VLOG_INFO(lcPipeline) << QStringLiteral("Mic permission: ") + (m_ctx->services->microphoneAuthorized()
                                                                       ? QStringLiteral("true")
                                                                       : QStringLiteral("false"));
    m_ctx->services->warmUpServer(settings().cloudServerURL);
    m_ctx->appDetector->start();
    m_ctx->batch->registerTiers(settings());

    if (!co_await adoptCloudFormatter()) co_return;

    applyHotkeys(settings());
    installKeyboardCallbacks();
    startKeyboardMonitor();

    m_ctx->textInserter->setClipboardRestoreDelay(
        AbstractTextInserter::restoreDelayFromSeconds(settings().clipboardRestoreDelay));
    // The microphone chosen earlier records from the first dictation on; while it is not
    // connected the system default records, and the choice stays for when it returns.
    if (settings().selectedMicUID) setMicDevice(settings().selectedMicUID);
    m_ctx->audio->prewarm();
    if (!m_ctx->signedOut && m_ctx->streamingLink->state() == AbstractStreamingLink::State::disconnected)
        m_ctx->streamingLink->connect();
    installTransportCallbacks();
    // Fire and forget: set-up does not wait for the server.
    m_store->pullSettingsFromServer();

    m_ctx->history->initialize();
    m_ctx->publisher.showDashboard(m_ctx->history->recentHistory(), m_ctx->history->loadTotals());

    co_await m_ctx->services->refreshFlags();
    if (!self) co_return;
    VLOG_INFO(lcPipeline)
        << QStringLiteral("Setup complete — flags: %1 enabled").arg(m_ctx->services->enabledFlagCount());
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
    VLOG_INFO(lcPipeline) << QStringLiteral("Keyboard monitor: ") +
                                 (listening ? QStringLiteral("true") : QStringLiteral("false"));
    if (!listening) {
        VLOG_WARNING(lcPipeline) << QStringLiteral(
            "WARNING — Keyboard monitor failed to start. Use the tray menu → 'Start "
            "Dictation' to test manually. Check the X11 session (XInput2, XTest) and restart the "
            "app for hotkey support.");
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
            self->m_reminders->handleGlobalKeyDown(event, self->status(),
                                                   self->m_ctx->keyboardMonitor->pushToTalkKeyCode());
    };
    m_ctx->appDetector->onAppChanged = [self](const ActiveAppInfo& info) {
        if (self) self->m_reminders->handleActiveAppChanged(info);
    };
}

void DictationPipeline::installTransportCallbacks() {
    QPointer<DictationPipeline> self(this);
    m_ctx->streamingLink->onPartialResult = [self](const QString& text) {
        if (self) self->m_ctx->publisher.setStreamingPartialText(text);
    };
    m_ctx->streamingLink->onFinalResult = [self](const QString& raw, const QString& formatted,
                                                 const QJsonObject& message) {
        if (self) self->m_streamingRoad->handleResult(raw, formatted, message);
    };
    // Errors may come from the transport's own threads.
    m_ctx->streamingLink->onError = m_engine->streamingErrorHandler();
    m_ctx->streamingLink->onDisconnect = [self] {
        if (self)
            self->m_streamingRoad->fallBackToBatch(
                QStringLiteral("WebSocket lost during session — falling back to batch"));
    };
}

void DictationPipeline::setAccountSignedIn(bool signedIn) {
    if (signedIn != m_ctx->signedOut) return;
    m_ctx->signedOut = !signedIn;
    if (m_ctx->signedOut) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Signed out — streaming connection closed");
        m_ctx->streamingLink->disconnect();
        // The closed connection will not answer a dictation that waits for it.
        m_streamingRoad->fallBackToBatch(
            QStringLiteral("Signed out while waiting for the server — falling back to batch"));
        return;
    }
    if (m_setupStarted && m_ctx->streamingLink->state() == AbstractStreamingLink::State::disconnected)
        m_ctx->streamingLink->connect();
}

void DictationPipeline::teardown() {
    m_ctx->keyboardMonitor->stop();
    m_ctx->appDetector->stop();
    m_ctx->audio->stopRecording();
    VLOG_INFO(lcPipeline) << QStringLiteral("Teardown complete");
}

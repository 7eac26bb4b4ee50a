#include "Core/Pipeline/DictationPipeline.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Learning/OutcomeTracker.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Foundation/Logger.h"

#include <QUuid>

// The pipeline's construction, set-up and settings. The rest of it lives beside this file: the
// published state (PublishedState.cpp), the session engine (SessionEngine.cpp, HotkeyModes.cpp),
// the two roads (StreamingRoad.cpp, BatchRoad.cpp) and their completion (Completion.cpp,
// Telemetry.cpp).

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
      m_localFormatter(m_formatter),
      m_ruleFormatter(std::make_shared<RuleBasedFormatter>()),
      m_streamingLink(std::move(c.streamingLink)),
      m_history(std::move(c.history)),
      m_services(c.services ? std::move(c.services) : std::make_unique<PipelineServices>()),
      m_sleeper(c.sleeper ? std::move(c.sleeper) : std::make_unique<TimerPipelineSleeper>()),
      m_makeContextEngine(std::move(c.makeContextEngine)),
      m_makeScreenCaptureEngine(std::move(c.makeScreenCaptureEngine)),
      m_probeCloudFormatter(std::move(c.probeCloudFormatter)),
      m_capture(std::make_shared<CaptureState>()) {
    Q_ASSERT(m_audio && m_keyboardMonitor && m_textInserter && m_contextReader && m_appDetector && m_recognizer &&
             m_batch && m_formatter && m_streamingLink && m_history);
    m_capture->receiver = this;

    m_store->onChanged = [this](const VantroseSettings& old) { handleSettingsChanged(old); };
    m_store->onHotkeysChanged = [this](const VantroseSettings& current) { applyHotkeys(current); };

    makeTypingReminders(c.delayedCall);
    makeLearning(std::move(c.delayedCall));
}

void DictationPipeline::makeTypingReminders(const DelayedCall& delayedCall) {
    TypingReminderController::Hooks hooks;
    hooks.track = [this](const QString& event, const QVariantMap& properties) { m_services->track(event, properties); };
    hooks.frontmostApp = [this]() -> std::optional<ActiveAppInfo> {
        m_appDetector->updateActiveApp();
        return m_appDetector->activeApp();
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
    hooks.dictionary = [this] { return m_history->dictionaryEntries(); };
    hooks.addWord = [this](const QString& word) { m_history->addWord(word, std::nullopt, false); };
    hooks.settings = [this] { return m_store->settings(); };
    hooks.updateSettings = [this](const std::function<void(VantroseSettings&)>& change) { updateSettings(change); };
    hooks.learnsWords = [this] { return learnsWords(); };
    hooks.saveOutcomeSnapshot = [this](const QString& traceID, const QString& sessionID,
                                       const DictationOutcomeSnapshot& snapshot) {
        m_history->saveOutcomeSnapshot(traceID, sessionID, snapshot);
    };
    hooks.saveEvent = [this](const QString& traceID, const QString& sessionID, const QString& event,
                             const QString& appBundleID, const QString& fieldType, const QVariantMap& payload) {
        m_history->saveEvent(traceID, sessionID, event, appBundleID, fieldType, payload);
    };
    m_learning = std::make_unique<DictationLearning>(*m_contextReader, std::move(hooks), std::move(delayedCall));
}

DictationPipeline::~DictationPipeline() {
    // The capture thread must not call into a pipeline that is going away.
    {
        std::lock_guard<std::mutex> lock(m_capture->receiverLock);
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

const QString& DictationPipeline::currentTraceID() const {
    static const QString none;
    return m_session ? m_session->traceID : none;
}

float DictationPipeline::rawAudioLevel() const { return m_capture->rawLevel.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------
// Settings and typing reminders

void DictationPipeline::setSettings(const VantroseSettings& settings) { m_store->updateSettings(settings); }

void DictationPipeline::updateSettings(const std::function<void(VantroseSettings&)>& change) {
    m_store->updateSettings(change);
}

void DictationPipeline::handleSettingsChanged(const VantroseSettings& old) {
    // The stored microphone is the one in use, whoever changed it (the tray, the settings, a sync).
    if (old.selectedMicUID != settings().selectedMicUID) m_audio->setSelectedDeviceUID(settings().selectedMicUID);
    m_reminders->applySettingsChange(old, settings());
    Q_EMIT settingsChanged();
}

bool DictationPipeline::switchedOn(const QString& flag, bool setting) const {
    return m_services->flagSetting(flag).value_or(setting);
}

bool DictationPipeline::playsSounds() const {
    return switchedOn(QStringLiteral("sound-effects"), settings().soundsEnabled);
}

bool DictationPipeline::learnsWords() const {
    return switchedOn(QStringLiteral("auto-learn-words"), settings().autoLearnWords);
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
    m_polishEngine =
        std::make_unique<PolishEngine>(m_history->historyStore(), settings().ollamaEndpoint, settings().ollamaModel);
    m_commandMode = std::make_unique<CommandMode>(m_polishEngine.get());
    Q_EMIT polishStateChanged();
    VLOG(QStringLiteral("Pipeline: Mic permission: ") +
         (m_services->microphoneAuthorized() ? QStringLiteral("true") : QStringLiteral("false")));
    m_services->warmUpServer(settings().cloudServerURL);
    m_appDetector->start();
    m_batch->registerTiers(settings());

    if (!co_await adoptCloudFormatter()) co_return;

    applyHotkeys(settings());
    installKeyboardCallbacks();
    startKeyboardMonitor();

    m_textInserter->setClipboardRestoreDelay(settings().clipboardRestoreDelay);
    // The microphone chosen earlier records from the first dictation on; while it is not
    // connected the system default records, and the choice stays for when it returns.
    if (settings().selectedMicUID) setMicDevice(settings().selectedMicUID);
    m_audio->prewarm();
    if (!m_signedOut && m_streamingLink->state() == PipelineStreamingLink::State::disconnected)
        m_streamingLink->connect();
    installTransportCallbacks();
    // Fire and forget: set-up does not wait for the server.
    m_store->pullSettingsFromServer();

    m_history->initialize();
    loadDashboard();

    co_await m_services->refreshFlags();
    if (!self) co_return;
    VLOG(QStringLiteral("Pipeline: Setup complete — flags: %1 enabled").arg(m_services->enabledFlagCount()));
}

// Answers false when the pipeline went away while the server was asked.
QCoro::Task<bool> DictationPipeline::adoptCloudFormatter() {
    QPointer<DictationPipeline> self(this);
    std::shared_ptr<TextFormatterProtocol> cloudFormatter;
    if (m_probeCloudFormatter) {
        cloudFormatter = co_await m_probeCloudFormatter(settings());
        if (!self) co_return false;
    }
    useFormatter(std::move(cloudFormatter));
    co_return true;
}

void DictationPipeline::useFormatter(std::shared_ptr<TextFormatterProtocol> cloudFormatter) {
    if (cloudFormatter) {
        m_formatter = std::move(cloudFormatter);
        VLOG(QStringLiteral("Pipeline: Cloud LLM formatter available — hybrid mode (on-device ASR + cloud LLM)"));
    } else {
        m_formatter = m_localFormatter;
        VLOG(QStringLiteral("Pipeline: Cloud LLM not available — using on-device only (rule-based formatting)"));
    }
}

void DictationPipeline::startKeyboardMonitor() {
    const bool listening = m_keyboardMonitor->start();
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
            self->m_reminders->handleGlobalKeyDown(event, self->m_state.status,
                                                   self->m_keyboardMonitor->pushToTalkKeyCode());
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
        if (const auto state = weak.lock())
            state->post([](DictationPipeline& pipeline) { pipeline.fallBackToBatch(QString()); });
    };
    m_streamingLink->onDisconnect = [self] {
        if (self)
            self->fallBackToBatch(QStringLiteral("Pipeline: WebSocket lost during session — falling back to batch"));
    };
}

void DictationPipeline::setAccountSignedIn(bool signedIn) {
    if (signedIn != m_signedOut) return;
    m_signedOut = !signedIn;
    if (m_signedOut) {
        VLOG(QStringLiteral("Pipeline: Signed out — streaming connection closed"));
        m_streamingLink->disconnect();
        // The closed connection will not answer a dictation that waits for it.
        fallBackToBatch(QStringLiteral("Pipeline: Signed out while waiting for the server — falling back to batch"));
        return;
    }
    if (m_setupStarted && m_streamingLink->state() == PipelineStreamingLink::State::disconnected)
        m_streamingLink->connect();
}

void DictationPipeline::teardown() {
    m_keyboardMonitor->stop();
    m_appDetector->stop();
    m_audio->stopRecording();
    VLOG(QStringLiteral("Pipeline: Teardown complete"));
}

#pragma once

#include "Core/Learning/TypingReminderController.h"
#include "Core/Pipeline/CommandMode.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PolishEngine.h"
#include "Core/Pipeline/PublishedState.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/DelayedCall.h"
#include "Foundation/PendingValue.h"
#include "Models/DictationStatus.h"
#include "Models/Hotkey.h"
#include "Models/PasteOutcome.h"
#include "Models/ScreenCaptureResult.h"
#include "Models/TranscriptionContext.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class AbstractAppDetector;
class AbstractContextEngine;
class AbstractContextReader;
class AbstractKeyboardMonitor;
class AbstractScreenCaptureEngine;
class AbstractTextInserter;
class DictationLearning;
class RuleBasedFormatter;
class TextFormatterProtocol;
struct ActiveAppInfo;
struct KeyEvent;

Q_DECLARE_METATYPE(DictationStatus)
Q_DECLARE_METATYPE(PipelineStep)

// Runs one dictation at a time from hotkey press to pasted text, and publishes its state to the
// interface. Lives on the main thread; only the chunk path runs on the capture thread.
//
// Each dictation is a session of its own. Every asynchronous step holds its session and, after
// each suspension, goes on only while that session is still the current one, so a road that
// belongs to a cancelled or replaced dictation stops without touching the new one.
class DictationPipeline : public QObject {
    Q_OBJECT
    Q_PROPERTY(DictationStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(PipelineStep pipelineStep READ pipelineStep NOTIFY pipelineStepChanged)
    Q_PROPERTY(float currentVolume READ currentVolume NOTIFY levelChanged)
    Q_PROPERTY(QString streamingText READ streamingText NOTIFY streamingTextChanged)
    Q_PROPERTY(qint64 totalDictations READ totalDictations NOTIFY totalsChanged)
    Q_PROPERTY(qint64 totalWords READ totalWords NOTIFY totalsChanged)
    Q_PROPERTY(bool isPersistentMode READ isPersistentMode NOTIFY persistentModeChanged)
    Q_PROPERTY(QVariant typingSuggestion READ typingSuggestionValue NOTIFY typingSuggestionChanged)
    Q_PROPERTY(PolishEngine* polishEngine READ polishEngine NOTIFY polishStateChanged)
    Q_PROPERTY(CommandMode* commandMode READ commandMode NOTIFY polishStateChanged)

public:
    // Everything the pipeline drives. The first ten are required; the others have defaults:
    // no context engine (empty contexts), no screen reading, no cloud formatter, the process-wide services
    // and real timers.
    struct Collaborators {
        std::unique_ptr<PipelineAudioSource> audio;
        std::unique_ptr<AbstractKeyboardMonitor> keyboardMonitor;
        std::unique_ptr<AbstractTextInserter> textInserter;
        std::unique_ptr<AbstractContextReader> contextReader;
        std::unique_ptr<AbstractAppDetector> appDetector;
        std::unique_ptr<PipelineLiveRecognizer> recognizer;
        std::unique_ptr<PipelineBatchRecognizer> batchRecognizer;
        std::shared_ptr<TextFormatterProtocol> formatter;
        std::unique_ptr<PipelineStreamingLink> streamingLink;
        std::unique_ptr<PipelineHistory> history;

        std::unique_ptr<PipelineServices> services;
        std::unique_ptr<PipelineSleeper> sleeper;
        std::function<std::unique_ptr<AbstractContextEngine>(AbstractAppDetector&, AbstractContextReader&)>
            makeContextEngine;
        std::function<std::unique_ptr<AbstractScreenCaptureEngine>()> makeScreenCaptureEngine;
        // Answers the server's formatter when the server reports one available. Asked at set-up,
        // and again by the dictation after the server's formatter failed.
        std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> probeCloudFormatter;
        // Where the settings copy is pushed and pulled (default: the signed-in account).
        SettingsStore::Hooks settingsHooks;
        // The delayed work of the learning and the typing reminders (the end of the edit watch,
        // the outcome snapshots, a suggestion's lifetime); none: real timers.
        DelayedCall delayedCall;
    };

    // How long a status that shows something stays before it is reverted.
    struct Timings {
        double dismissedSeconds = 1.0;
        double retryingSeconds = 0.5;
        double errorSeconds = 3.0;
        double stepResetSeconds = 0.5;  // pipelineStep back to idle after a completion
        // How long a road waits for a background task of its dictation before it goes on
        // without that task's result.
        double contextDeadlineSeconds = 2.0;
        double screenTextDeadlineSeconds = 3.0;
        double pingDeadlineSeconds = 2.0;
        // How long formatting waits for the server's answer whether its formatter is back.
        double formatterProbeDeadlineSeconds = 2.0;
    };

    static constexpr double chunkSeconds = 0.04;
    static constexpr double doubleTapWindowSeconds = 0.5;
    static constexpr double levelPublishIntervalSeconds = 0.033;
    static constexpr int maxRecentResults = 100;

    DictationPipeline(VantroseSettings settings, Collaborators collaborators, QObject* parent = nullptr);
    ~DictationPipeline() override;

    // Wires the collaborators, starts the hotkeys and the streaming connection and fills the
    // dashboard. A second call does nothing.
    QCoro::Task<> setup();
    void teardown();

    // The account signed out or in again. Signed out, nothing that carries the account is used:
    // the streaming connection is closed (a dictation waiting for its answer finishes on this
    // computer) and stays closed, and dictations take the batch road, until the next sign-in.
    void setAccountSignedIn(bool signedIn);

    // Recording session.
    void startDictation();
    void stopDictation();
    void cancelDictation();
    void setMicDevice(const std::optional<QString>& uid);

    // Hotkey modes.
    void handlePushToTalkDown();
    void handlePushToTalkUp();
    void handleLockHotkey();
    QCoro::Task<> pasteLastTranscript();
    void startPersistentDictation();
    void pauseDictation();
    void resumeDictation();
    void finishPersistentDictation();
    void updateHotkey(const Hotkey& hotkey, HotkeyAction action);

    // Published state.
    DictationStatus status() const { return m_state.status; }
    PipelineStep pipelineStep() const { return m_state.pipelineStep; }
    float currentVolume() const { return m_state.currentVolume; }
    const std::vector<float>& frequencyBands() const { return m_state.frequencyBands; }
    const QString& streamingText() const { return m_state.streamingText; }
    const std::optional<QString>& streamingPartialText() const { return m_state.streamingPartialText; }
    const std::optional<TranscriptionResult>& lastResult() const { return m_state.lastResult; }
    const QList<TranscriptionResult>& recentResults() const { return m_state.recentResults; }
    qint64 totalDictations() const { return m_state.totalDictations; }
    qint64 totalWords() const { return m_state.totalWords; }
    const std::optional<QString>& errorMessage() const { return m_state.errorMessage; }
    bool isPersistentMode() const { return m_state.isPersistentMode; }
    bool isContinuousDictationLatched() const { return m_state.isContinuousDictationLatched; }
    const VantroseSettings& settings() const { return m_store->settings(); }
    // Every assignment writes the settings file, pushes the copy and runs the settings-change
    // handling with the previous value.
    void setSettings(const VantroseSettings& settings);
    void updateSettings(const std::function<void(VantroseSettings&)>& change);
    SettingsStore& settingsStore() { return *m_store; }

    // The typing reminder the pill shows, if any.
    const std::optional<TypingReminderEngine::Suggestion>& typingSuggestion() const;
    QVariant typingSuggestionValue() const;
    void acceptTypingSuggestion(TypingReminderController::AcceptTrigger trigger);
    void dismissTypingSuggestion(bool suppress);
    TypingReminderController& typingReminders() { return *m_reminders; }

    // Level of the latest chunk, written by the capture thread for every chunk; read directly
    // by the overlay's animation at its own ticks.
    float rawAudioLevel() const;

    // Collaborators, for the shell and the tests.
    AbstractKeyboardMonitor& keyboardMonitor() { return *m_keyboardMonitor; }
    AbstractTextInserter& textInserter() { return *m_textInserter; }
    AbstractAppDetector& appDetector() { return *m_appDetector; }
    AbstractContextEngine* contextEngine() { return m_contextEngine.get(); }
    // The polish state and the command mode around it; none until set-up.
    PolishEngine* polishEngine() const { return m_polishEngine.get(); }
    CommandMode* commandMode() const { return m_commandMode.get(); }
    PipelineStreamingLink& streamingLink() { return *m_streamingLink; }
    PipelineHistory& history() { return *m_history; }
    TextFormatterProtocol& formatter() { return *m_formatter; }
    const QString& currentTraceID() const;
    // The chunks recorded so far by the current dictation, in both buffers.
    int recordedChunkCount() const;

    void setTimings(const Timings& timings) { m_timings = timings; }

    // One metrics event: the metrics log and the history's event table.
    void emitTelemetryEvent(const QString& event, const QVariantMap& payload);

    // Exposed for tests: the share of distinct words that formatting changed.
    static float computeDivergence(const QString& raw, const QString& formatted);

Q_SIGNALS:
    void statusChanged(DictationStatus status);
    void pipelineStepChanged(PipelineStep step);
    void levelChanged();
    void streamingTextChanged();
    void streamingPartialTextChanged();
    void lastResultChanged();
    void recentResultsChanged();
    void totalsChanged();
    void errorMessageChanged();
    void persistentModeChanged();
    void continuousDictationLatchedChanged();
    void settingsChanged();
    void typingSuggestionChanged();
    void polishStateChanged();

private:
    enum class Road { none, webSocket, batch };
    // Defined in PipelineSession.h, which only the pipeline's sources include.
    struct Session;
    struct CaptureState;
    struct BatchOutcome;
    struct StreamingOutcome;
    using SessionPtr = std::shared_ptr<Session>;

    // Published state (PublishedState.cpp): each setter announces a change.
    void setStatus(DictationStatus status);
    void setPipelineStep(PipelineStep step);
    void setStreamingText(const QString& text);
    void setStreamingPartialText(const std::optional<QString>& text);
    void setErrorMessage(const std::optional<QString>& message);
    void setPersistentMode(bool on);
    void setContinuousDictationLatched(bool on);
    void setLevel(float volume, std::vector<float> bands);
    void loadDashboard();
    void addRecord(const TranscriptionResult& record);
    void startTimedRevert(DictationStatus shown, double seconds, std::function<void()> revert);

    // Construction, set-up and settings (DictationPipeline.cpp).
    void makeTypingReminders(const DelayedCall& delayedCall);
    void makeLearning(DelayedCall delayedCall);
    void handleSettingsChanged(const VantroseSettings& old);
    // A behaviour the settings pane switches; its feature switch, where Vantrose.conf sets it, wins.
    bool switchedOn(const QString& flag, bool setting) const;
    bool playsSounds() const;
    bool learnsWords() const;
    void applyHotkeys(const VantroseSettings& settings);
    QCoro::Task<bool> adoptCloudFormatter();
    // The server's formatter when it gives one, else the pipeline's own.
    void useFormatter(std::shared_ptr<TextFormatterProtocol> cloudFormatter);
    void startKeyboardMonitor();
    void installTransportCallbacks();
    void installKeyboardCallbacks();

    // Session engine (SessionEngine.cpp): sessions, the chunk path and recording.
    bool isCurrent(const SessionPtr& session) const { return session && session == m_session; }
    static double now();
    // A fresh session replaces the current one; roads of the old one stop at their next check.
    SessionPtr beginSession();
    // Detaches the current dictation: its roads stop at their next check, and its late chunks
    // are dropped. Answers the detached session.
    SessionPtr endCurrentSession();
    void drainAudioChunks();
    void clearAllAudioChunks();
    void releaseTasks(Session& session);
    void cancelTasks(Session& session);
    void installChunkHandler(bool withFirstChunkAndRecognizer);
    // Starts the microphone; answers the failure's description, empty when it started.
    QString startRecordingOrDescribeFailure();
    void noteFirstChunk(quint64 generation, double timeToFirstChunkMs, double firstChunkLatencyMs);
    QCoro::Task<> endLiveRecognition(SessionPtr session);
    void endLiveRecognitionDetached(const SessionPtr& session);
    void resetCaptureForNewSession();
    void emitStartEvent(const std::optional<ActiveAppInfo>& app);
    void startBackgroundTasks(Session& session);
    void failStart(Session& session, const QString& failure);
    void startLiveText(Session& session);
    void announceListening(const Session& session, const std::optional<ActiveAppInfo>& app);

    // Hotkey modes (HotkeyModes.cpp).
    void resetForPersistentRestart();

    // Streaming road (StreamingRoad.cpp).
    QCoro::Task<> commitOverWebSocket(SessionPtr session);
    void fallBackToBatch(const QString& reason);
    void handleStreamingResult(const QString& asrText, const QString& llmText, const QJsonObject& metrics);
    void dropStreamingResult(Session& session, bool clearPartialText);
    void streamingReset(bool clearPartialText);

    // Batch road (BatchRoad.cpp).
    QCoro::Task<> processAudio(SessionPtr session);
    bool dropTooShortAudio(const SessionPtr& session, double duration);
    QCoro::Task<bool> awaitBatchContext(SessionPtr session);
    void prepareRecognizer(Session& session);
    QCoro::Task<std::optional<PipelineTranscription>> transcribe(SessionPtr session);
    bool acceptTranscript(const Session& session, double duration, const BatchOutcome& outcome);
    QCoro::Task<bool> formatTranscript(SessionPtr session, bool serverFormatted, BatchOutcome& outcome);
    // Waits (bounded) for the probe a dictation started after the server's formatter failed, and
    // takes its answer. Answers false when the pipeline went away.
    QCoro::Task<bool> settleFormatterProbe();
    bool prepareFinalText(Session& session, BatchOutcome& outcome);
    QCoro::Task<> failBatchRoad(SessionPtr session, QString description);
    QCoro::Task<> keepPartlyRecognisedRecording(SessionPtr session, BatchOutcome& outcome);
    void showPartialRecognitionNotice(const BatchOutcome& outcome);

    // Completion and telemetry (Completion.cpp, Telemetry.cpp).
    QCoro::Task<PasteOutcome> pasteSerialised(QString text);
    void startLearning(const Session& session, const QString& pastedText, const QString& asrText);
    QCoro::Task<> completeBatch(SessionPtr session, BatchOutcome outcome);
    QCoro::Task<std::optional<double>> awaitPing(SessionPtr session);
    void reportPasteOutcome(const Session& session, const PasteOutcome& paste);
    DictationLatencyMetrics batchLatency(const Session& session, const BatchOutcome& outcome) const;
    TranscriptionResult batchRecord(const Session& session, const BatchOutcome& outcome, double e2eMs,
                                    const DictationLatencyMetrics& latency) const;
    void reportBatchCompletion(const Session& session, const BatchOutcome& outcome, const TranscriptionResult& record,
                               const QVariantMap& latencyProperties);
    void logBatchCompletion(const Session& session, const BatchOutcome& outcome, const TranscriptionResult& record,
                            const DictationLatencyMetrics& latency, double e2eMs);
    void returnToIdleAfterBatch(Session& session);
    QCoro::Task<> completeStreaming(SessionPtr session, StreamingOutcome outcome);
    DictationLatencyMetrics streamingLatency(const Session& session, const StreamingOutcome& outcome,
                                             const PasteOutcome& paste, double audioSeconds) const;
    TranscriptionResult streamingRecord(const Session& session, const StreamingOutcome& outcome,
                                        const PasteOutcome& paste, double audioSeconds, double e2eMs,
                                        const DictationLatencyMetrics& latency) const;
    void emitSessionEvent(const Session& session, const QString& event, const QVariantMap& payload);
    void emitLatencyWarnings(const Session& session, const DictationLatencyMetrics& metrics);

    std::unique_ptr<SettingsStore> m_store;
    Timings m_timings;

    // The collaborators.
    std::unique_ptr<PipelineAudioSource> m_audio;
    std::unique_ptr<AbstractKeyboardMonitor> m_keyboardMonitor;
    std::unique_ptr<AbstractTextInserter> m_textInserter;
    std::unique_ptr<AbstractContextReader> m_contextReader;
    std::unique_ptr<AbstractAppDetector> m_appDetector;
    std::unique_ptr<PipelineLiveRecognizer> m_recognizer;
    std::unique_ptr<PipelineBatchRecognizer> m_batch;
    std::shared_ptr<TextFormatterProtocol> m_formatter;       // the one formatting now
    std::shared_ptr<TextFormatterProtocol> m_localFormatter;  // the pipeline's own (given at construction)
    std::shared_ptr<RuleBasedFormatter> m_ruleFormatter;      // formats while AI formatting is off
    std::unique_ptr<PipelineStreamingLink> m_streamingLink;
    std::unique_ptr<PipelineHistory> m_history;
    std::unique_ptr<PipelineServices> m_services;
    std::unique_ptr<PipelineSleeper> m_sleeper;
    std::function<std::unique_ptr<AbstractContextEngine>(AbstractAppDetector&, AbstractContextReader&)>
        m_makeContextEngine;
    std::function<std::unique_ptr<AbstractScreenCaptureEngine>()> m_makeScreenCaptureEngine;
    std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> m_probeCloudFormatter;

    // After the server's formatter failed, the next dictation asks the server again.
    bool m_reprobeFormatter = false;
    std::shared_ptr<PendingValue<std::shared_ptr<TextFormatterProtocol>>> m_formatterProbe;

    // Made at set-up or construction from the collaborators.
    std::unique_ptr<AbstractContextEngine> m_contextEngine;
    std::unique_ptr<PolishEngine> m_polishEngine;
    std::unique_ptr<CommandMode> m_commandMode;  // refers to the polish engine: destroyed before it
    std::unique_ptr<TypingReminderController> m_reminders;
    std::unique_ptr<DictationLearning> m_learning;

    // The session engine.
    std::shared_ptr<CaptureState> m_capture;
    SessionPtr m_session;
    quint64 m_nextGeneration = 0;
    bool m_setupStarted = false;
    bool m_signedOut = false;
    // Long ago: the first press can never look like the second half of a double tap.
    double m_lastKeyDownTime = -1e9;
    double m_lastKeyUpTime = -1e9;

    // Pastes run one at a time, so the user's clipboard is saved and restored around each.
    bool m_pasteBusy = false;
    WakeList m_pasteReleased;

    PublishedState m_state;
    quint64 m_statusEpoch = 0;  // counts status writes, so a timed revert knows when it is stale
};

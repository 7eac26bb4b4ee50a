#pragma once

#include "Core/Pipeline/CommandMode.h"
#include "Foundation/DelayedCall.h"
#include "Foundation/PendingValue.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PolishEngine.h"
#include "Core/Services/SettingsStore.h"
#include "Core/Learning/TypingReminderController.h"
#include "Core/VAD/VoiceActivityDetector.h"
#include "Models/DictationStatus.h"
#include "Models/Hotkey.h"
#include "Models/PasteOutcome.h"
#include "Models/ScreenCaptureResult.h"
#include "Models/TranscriptionContext.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QCoro/QCoroTask>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class AbstractAppDetector;
class AbstractContextEngine;
class AbstractContextReader;
class AbstractKeyboardMonitor;
class AbstractScreenCaptureEngine;
class AbstractTextInserter;
class DictationLearning;
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
        // Answers the server's formatter when the server reports one available.
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
    DictationStatus status() const { return m_status; }
    PipelineStep pipelineStep() const { return m_pipelineStep; }
    float currentVolume() const { return m_currentVolume; }
    const std::vector<float>& frequencyBands() const { return m_frequencyBands; }
    const QString& streamingText() const { return m_streamingText; }
    const std::optional<QString>& streamingPartialText() const { return m_streamingPartialText; }
    const std::optional<TranscriptionResult>& lastResult() const { return m_lastResult; }
    const QList<TranscriptionResult>& recentResults() const { return m_recentResults; }
    qint64 totalDictations() const { return m_totalDictations; }
    qint64 totalWords() const { return m_totalWords; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    bool isPersistentMode() const { return m_isPersistentMode; }
    bool isContinuousDictationLatched() const { return m_isContinuousDictationLatched; }
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
    float rawAudioLevel() const { return m_capture->rawLevel.load(std::memory_order_relaxed); }

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

    // State of one dictation, kept by every road that works for it.
    struct Session {
        quint64 generation = 0;
        QString traceID;
        double sessionStartTime = 0;
        double audioCaptureStartTime = 0;
        std::vector<AudioChunk> audioChunks;  // drained from the capture buffer
        std::optional<TranscriptionContext> transcriptionContext;
        bool detectedPlaceholder = false;
        std::shared_ptr<PendingValue<TranscriptionContext>> contextTask;
        std::shared_ptr<PendingValue<std::optional<double>>> backendPingTask;
        std::shared_ptr<PendingValue<std::optional<ScreenCaptureResult>>> screenCaptureTask;
        std::optional<double> timeToFirstChunkMs;
        std::optional<double> firstAudioChunkLatencyMs;
        std::optional<double> ocrCaptureTimeMs;
        double micAcquisitionTimeMs = 0;
        double mediaStreamSetupMs = 0;
        double contextGatherTimeMs = 0;
        double asrTimeMs = 0;
        double formatTimeMs = 0;
        double insertTimeMs = 0;
        Road road = Road::none;
        bool batchStarted = false;
        bool liveRecognition = false;  // an on-device streaming session is open
    };
    using SessionPtr = std::shared_ptr<Session>;

    // What another thread hands to the main thread: through a locked outbox and a queued call
    // by name, so no data of ours crosses threads outside our own lock.
    struct OutboxMessage {
        enum class Kind { firstChunk, level, liveText, streamingError };
        Kind kind = Kind::level;
        quint64 generation = 0;
        double timeToFirstChunkMs = 0;
        double firstChunkLatencyMs = 0;
        float level = 0;
        std::vector<float> bands;
        QString text;
    };

    // What the capture thread shares with the main thread.
    struct CaptureState {
        // Queues a message and, when the outbox was empty, asks the main thread to drain it.
        void post(OutboxMessage message);

        std::mutex outboxLock;  // guards the two fields below
        std::vector<OutboxMessage> outbox;
        QObject* receiver = nullptr;  // cleared when the pipeline goes away

        std::mutex chunksLock;  // guards lockedChunks only
        std::vector<AudioChunk> lockedChunks;
        std::atomic<quint64> generation{0};  // chunks of another dictation are dropped
        std::atomic<bool> feedRecognizer{false};
        std::atomic<bool> firstChunkSeen{false};
        std::atomic<float> rawLevel{0};
        std::atomic<double> lastVolumeUpdate{0};
        std::atomic<double> sessionStartTime{0};
        std::atomic<double> audioCaptureStartTime{0};
        VoiceActivityDetector vad;
    };

    // Values the batch road hands to its completion.
    struct BatchOutcome {
        double processingStart = 0;
        int chunkCount = 0;
        int voicedFrames = 0;
        QString asrText;
        QString tierLabel;
        QString tier;
        float confidence = 0;
        QString formattedText;
        QString formatterLabel;
        QString postProcessedText;
        QString finalText;
        double insertStart = 0;
        PasteOutcome paste;
    };

    Q_INVOKABLE void drainOutbox();
    bool isCurrent(const SessionPtr& session) const { return session && session == m_session; }
    static double now();

    void setStatus(DictationStatus status);
    void setPipelineStep(PipelineStep step);
    void setStreamingText(const QString& text);
    void setStreamingPartialText(const std::optional<QString>& text);
    void setErrorMessage(const std::optional<QString>& message);
    void setPersistentMode(bool on);
    void setContinuousDictationLatched(bool on);
    void setLevel(float volume, std::vector<float> bands);
    void handleSettingsChanged(const VantroseSettings& old);

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
    void resetForPersistentRestart();
    void startTimedRevert(DictationStatus shown, double seconds, std::function<void()> revert);

    QCoro::Task<> commitOverWebSocket(SessionPtr session);
    void fallBackToBatch(const QString& reason);
    QCoro::Task<> processAudio(SessionPtr session);
    QCoro::Task<> failBatchRoad(SessionPtr session, QString description);
    QCoro::Task<> completeBatch(SessionPtr session, BatchOutcome outcome);
    QCoro::Task<PasteOutcome> pasteSerialised(QString text);
    void emitSessionEvent(const Session& session, const QString& event, const QVariantMap& payload);
    void emitLatencyWarnings(const Session& session, const DictationLatencyMetrics& metrics);
    void installTransportCallbacks();
    void installKeyboardCallbacks();
    void handleStreamingResult(const QString& asrText, const QString& llmText, const QJsonObject& metrics);
    QCoro::Task<> completeStreaming(SessionPtr session, QString pastedText, QString postProcessed,
                                    QString asrText, QString resultText, QString llmText,
                                    double asrMs, double llmMs, QString asrProvider, QString llmProvider);
    void streamingReset(bool clearPartialText);
    void addRecord(const TranscriptionResult& record);
    void applyHotkeys(const VantroseSettings& settings);
    void startLearning(const Session& session, const QString& pastedText, const QString& asrText);

    std::unique_ptr<SettingsStore> m_store;
    Timings m_timings;

    std::unique_ptr<PipelineAudioSource> m_audio;
    std::unique_ptr<AbstractKeyboardMonitor> m_keyboardMonitor;
    std::unique_ptr<AbstractTextInserter> m_textInserter;
    std::unique_ptr<AbstractContextReader> m_contextReader;
    std::unique_ptr<AbstractAppDetector> m_appDetector;
    std::unique_ptr<PipelineLiveRecognizer> m_recognizer;
    std::unique_ptr<PipelineBatchRecognizer> m_batch;
    std::shared_ptr<TextFormatterProtocol> m_formatter;
    std::unique_ptr<PipelineStreamingLink> m_streamingLink;
    std::unique_ptr<PipelineHistory> m_history;
    std::unique_ptr<PipelineServices> m_services;
    std::unique_ptr<PipelineSleeper> m_sleeper;
    std::function<std::unique_ptr<AbstractContextEngine>(AbstractAppDetector&, AbstractContextReader&)>
        m_makeContextEngine;
    std::function<std::unique_ptr<AbstractScreenCaptureEngine>()> m_makeScreenCaptureEngine;
    std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> m_probeCloudFormatter;
    std::unique_ptr<AbstractContextEngine> m_contextEngine;
    std::unique_ptr<PolishEngine> m_polishEngine;
    std::unique_ptr<CommandMode> m_commandMode;  // refers to the polish engine: destroyed before it
    std::unique_ptr<TypingReminderController> m_reminders;
    std::unique_ptr<DictationLearning> m_learning;

    std::shared_ptr<CaptureState> m_capture = std::make_shared<CaptureState>();
    SessionPtr m_session;
    quint64 m_nextGeneration = 0;
    bool m_setupStarted = false;
    quint64 m_statusEpoch = 0;  // counts status writes, so a timed revert knows when it is stale

    // Pastes run one at a time, so the user's clipboard is saved and restored around each.
    bool m_pasteBusy = false;
    WakeList m_pasteReleased;

    DictationStatus m_status = DictationStatus::idle;
    PipelineStep m_pipelineStep = PipelineStep::idle;
    float m_currentVolume = 0;
    std::vector<float> m_frequencyBands = std::vector<float>(AudioEngine::kBandCount, 0.0f);
    QString m_streamingText;
    std::optional<QString> m_streamingPartialText;
    std::optional<TranscriptionResult> m_lastResult;
    QList<TranscriptionResult> m_recentResults;
    qint64 m_totalDictations = 0;
    qint64 m_totalWords = 0;
    std::optional<QString> m_errorMessage;
    bool m_isPersistentMode = false;
    bool m_isContinuousDictationLatched = false;
    // Long ago: the first press can never look like the second half of a double tap.
    double m_lastKeyDownTime = -1e9;
    double m_lastKeyUpTime = -1e9;
};

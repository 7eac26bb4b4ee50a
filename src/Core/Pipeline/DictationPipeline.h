#pragma once

#include "Core/Learning/TypingReminderController.h"
#include "Core/Pipeline/CommandMode.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PolishEngine.h"
#include "Core/Pipeline/PublishedState.h"
#include "Core/Services/SettingsStore.h"
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

#include <chrono>
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
class BatchRoad;
class DictationLearning;
class DictationRecorder;
class HotkeyModes;
class SessionEngine;
class StreamingRoad;
class TextFormatterProtocol;
struct ActiveAppInfo;
struct KeyEvent;
struct PipelineContext;

Q_DECLARE_METATYPE(DictationStatus)
Q_DECLARE_METATYPE(PipelineStep)

// Runs one dictation at a time from hotkey press to pasted text, and publishes its state to the
// interface. Lives on the main thread; only the chunk path runs on the capture thread.
//
// The facade over the parts a dictation goes through, each a class over the dictation's session
// and the shared context (PipelineContext): the SessionEngine driven by the HotkeyModes, the
// StreamingRoad and the BatchRoad, and the DictationRecorder where both end. This class builds and
// wires them and hands its public calls to them.
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
    // no context engine (empty contexts), no screen reading, no cloud formatter and the
    // process-wide services. Time (waits, deadlines, the learning's and the reminders' delayed
    // work) is the process clock's (Clock::current()).
    struct Collaborators {
        std::unique_ptr<AbstractAudioSource> audio;
        std::unique_ptr<AbstractKeyboardMonitor> keyboardMonitor;
        std::unique_ptr<AbstractTextInserter> textInserter;
        std::unique_ptr<AbstractContextReader> contextReader;
        std::unique_ptr<AbstractAppDetector> appDetector;
        std::unique_ptr<AbstractLiveRecognizer> recognizer;
        std::unique_ptr<AbstractBatchRecognizer> batchRecognizer;
        std::shared_ptr<TextFormatterProtocol> formatter;
        std::unique_ptr<AbstractStreamingLink> streamingLink;
        std::unique_ptr<AbstractPipelineHistory> history;

        std::unique_ptr<PipelineServices> services;
        std::function<std::unique_ptr<AbstractContextEngine>(AbstractAppDetector&, AbstractContextReader&)>
            makeContextEngine;
        std::function<std::unique_ptr<AbstractScreenCaptureEngine>()> makeScreenCaptureEngine;
        // Answers the server's formatter when the server reports one available. Asked at set-up,
        // and again by the dictation after the server's formatter failed.
        std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> probeCloudFormatter;
        // Where the settings copy is pushed and pulled (default: the signed-in account).
        SettingsStore::Hooks settingsHooks;
    };

    // How long a status that shows something stays before it is reverted.
    struct Timings {
        std::chrono::milliseconds dismissed = std::chrono::seconds(1);
        std::chrono::milliseconds retrying{500};
        std::chrono::milliseconds error = std::chrono::seconds(3);
        std::chrono::milliseconds stepReset{500};  // pipelineStep back to idle after a completion
        // How long a road waits for a background task of its dictation before it goes on
        // without that task's result.
        std::chrono::milliseconds contextDeadline = std::chrono::seconds(2);
        std::chrono::milliseconds screenTextDeadline = std::chrono::seconds(3);
        std::chrono::milliseconds pingDeadline = std::chrono::seconds(2);
        // How long formatting waits for the server's answer whether its formatter is back.
        std::chrono::milliseconds formatterProbeDeadline = std::chrono::seconds(2);
    };

    static constexpr auto chunkDuration = std::chrono::milliseconds(40);
    static constexpr auto doubleTapWindow = std::chrono::milliseconds(500);
    static constexpr auto levelPublishInterval = std::chrono::milliseconds(33);
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
    DictationStatus status() const;
    PipelineStep pipelineStep() const;
    float currentVolume() const;
    const std::vector<float>& frequencyBands() const;
    const QString& streamingText() const;
    const std::optional<QString>& streamingPartialText() const;
    const std::optional<TranscriptionResult>& lastResult() const;
    const QList<TranscriptionResult>& recentResults() const;
    qint64 totalDictations() const;
    qint64 totalWords() const;
    const std::optional<QString>& errorMessage() const;
    bool isPersistentMode() const;
    bool isContinuousDictationLatched() const;
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
    AbstractKeyboardMonitor& keyboardMonitor();
    AbstractTextInserter& textInserter();
    AbstractAppDetector& appDetector();
    AbstractContextEngine* contextEngine();
    // The polish state and the command mode around it; none until set-up.
    PolishEngine* polishEngine() const { return m_polishEngine.get(); }
    CommandMode* commandMode() const { return m_commandMode.get(); }
    AbstractStreamingLink& streamingLink();
    AbstractPipelineHistory& history();
    TextFormatterProtocol& formatter();
    const QString& currentTraceID() const;
    // The chunks recorded so far by the current dictation, in both buffers.
    int recordedChunkCount() const;

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
    const PublishedState& state() const;

    void forwardPublishedSignals();
    void makeTypingReminders();
    void makeLearning();
    void makeParts();
    void handleSettingsChanged(const VantroseSettings& old);
    void applyHotkeys(const VantroseSettings& settings);
    QCoro::Task<bool> adoptCloudFormatter();
    void startKeyboardMonitor();
    void installTransportCallbacks();
    void installKeyboardCallbacks();

    std::unique_ptr<SettingsStore> m_store;
    // The collaborators, the formatter choice, the paste queue and the published state.
    std::unique_ptr<PipelineContext> m_ctx;

    // Made at set-up or construction from the collaborators.
    std::unique_ptr<PolishEngine> m_polishEngine;
    std::unique_ptr<CommandMode> m_commandMode;  // refers to the polish engine: destroyed before it
    std::unique_ptr<TypingReminderController> m_reminders;
    std::unique_ptr<DictationLearning> m_learning;

    // The parts a dictation goes through, each over the context (PipelineContext).
    std::unique_ptr<DictationRecorder> m_recorder;
    std::unique_ptr<SessionEngine> m_engine;
    std::unique_ptr<BatchRoad> m_batchRoad;
    std::unique_ptr<StreamingRoad> m_streamingRoad;
    std::unique_ptr<HotkeyModes> m_hotkeys;

    bool m_setupStarted = false;
};

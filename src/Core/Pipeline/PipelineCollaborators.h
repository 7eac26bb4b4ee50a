#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Core/Desktop/AbstractDictionarySource.h"
#include "Models/DictationMetrics.h"
#include "Models/StreamingState.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class HistoryStore;
class SerialQueue;

// The seams through which DictationPipeline reaches the engines it drives. Each is as narrow as
// the pipeline's use of the engine, so the pipeline can be run against fakes and each engine can
// be adapted without the pipeline knowing its concrete class.

// The microphone. startRecording/stopRecording/prewarm run on the main thread; the chunk
// handler runs on the capture thread and is only replaced while capture is off.
class AbstractAudioSource {
public:
    using ChunkHandler = std::function<void(const AudioChunk& chunk)>;
    virtual ~AbstractAudioSource() = default;

    virtual void setChunkHandler(ChunkHandler handler) = 0;
    // Throws (for example AudioEngineError) when the microphone cannot start.
    virtual void startRecording() = 0;
    // Harmless when not recording.
    virtual void stopRecording() = 0;
    virtual void prewarm() = 0;
    // The ten band levels of the latest chunk; safe from any thread.
    virtual std::vector<float> currentFrequencyBands() const = 0;
    // Used from the next start of recording on; nullopt = the system default input.
    virtual void setSelectedDeviceUID(const std::optional<QString>& uid) = 0;
    virtual std::vector<AudioDeviceInfo> listInputDevices() const = 0;
    // The device a start would open now: the chosen one while it is connected; none when
    // recording goes to the system default (nothing chosen, or the chosen device is absent).
    virtual std::optional<QString> deviceForNextStart() const { return std::nullopt; }
    // The chosen device when the latest start opened it; none when it recorded from the default.
    virtual std::optional<QString> deviceInUse() const { return std::nullopt; }
};

// The on-device recogniser as the live text uses it.
class AbstractLiveRecognizer {
public:
    using PartialResultCallback = std::function<void(const QString& textSoFar)>;
    virtual ~AbstractLiveRecognizer() = default;

    virtual bool supportsStreaming() const = 0;
    // Throws when no session can begin (for example no model for the language). The callback
    // may run on any thread.
    virtual void startStreaming(PartialResultCallback onPartialResult) = 0;
    // Capture thread; never blocks on decoding.
    virtual void feedAudioChunk(const AudioChunk& chunk) = 0;
    // Ends the session; may throw, and its result is not used by the pipeline.
    virtual QCoro::Task<> stopStreaming() = 0;
    // Names and jargon for sessions started afterwards.
    virtual void setVocabularyHints(const QStringList& hints) = 0;
};

// Timings of the latest cloud batch request, in milliseconds.
struct PipelineCloudMetrics {
    double prepareRequestMs = 0;
    double uploadRequestMs = 0;
    double remoteLatencyMs = 0;
    double serverProcessingTimeMs = 0;
    double asrTimeMs = 0;
    double llmTimeMs = 0;
    std::optional<double> backendCommitAckTimeMs;
};

// What the tiered batch recognition answers.
struct PipelineTranscription {
    QString text;
    QString tier = QStringLiteral("primary");  // "primary", "secondary", "cloud" or "raw"
    bool serverFormatted = false;
    QString unformattedText;  // with serverFormatted: the server's recognition before it formatted it
    float confidence = 0;
    bool partial = false;  // the recogniser stopped at its deadline: the start of the recording only
};

// The tiered batch recognition: the cloud recogniser first, then the on-device ones.
class AbstractBatchRecognizer {
public:
    virtual ~AbstractBatchRecognizer() = default;

    // Builds the cloud recogniser for the settings' server and registers every tier.
    virtual void registerTiers(const VantroseSettings& settings) = 0;
    // Throws when no tier produced a result.
    virtual QCoro::Task<PipelineTranscription> transcribe(std::vector<float> samples) = 0;
    // Raw value of the tier of the latest success ("primary" before any).
    virtual QString lastTierUsed() const = 0;
    virtual std::optional<QString> raceWinner() const = 0;
    virtual bool hasCloudRecognizer() const = 0;
    // The context object the cloud recogniser sends with its next request.
    virtual void setCloudContext(const QJsonObject& context) = 0;
    virtual std::optional<PipelineCloudMetrics> lastCloudMetrics() const = 0;
};

// The streaming connection to the vendor's server. State, chunk count and sendAudioChunk are
// safe from any thread; everything else belongs to the main thread. The callbacks are called
// on the main thread, except onError, which may come from any thread.
class AbstractStreamingLink {
public:
    using State = StreamingState;

    virtual ~AbstractStreamingLink() = default;

    virtual State state() const = 0;
    virtual int chunksSent() const = 0;
    virtual void connect() = 0;
    // Closes the connection; no callback is called.
    virtual void disconnect() = 0;
    virtual void beginNewSession() = 0;
    // Forgets the session's audio; a streaming or committed connection becomes connected.
    virtual void resetSession() = 0;
    virtual void sendAudioChunk(const AudioChunk& chunk) = 0;
    virtual void commit(const QJsonObject& context, const QString& language) = 0;
    // Milliseconds from the latest commit to its result.
    virtual double commitToResultMs() const = 0;

    std::function<void(const QString& text)> onPartialResult;
    std::function<void(const QString& rawText, const QString& formattedText, const QJsonObject& message)> onFinalResult;
    std::function<void(const QString& message)> onError;
    std::function<void()> onDisconnect;
};

// The history database as the pipeline uses it.
class AbstractPipelineHistory : public AbstractDictionarySource {
public:
    struct Totals {
        qint64 dictations = 0;
        qint64 words = 0;
    };
    // Opens the store; the caller waits. Failures only reach the log.
    virtual void initialize() = 0;
    // Newest first.
    virtual QList<TranscriptionResult> recentHistory() const = 0;
    virtual Totals loadTotals() const = 0;
    virtual void save(const TranscriptionResult& result) = 0;
    virtual void saveEvent(const QString& traceID, const QString& sessionID, const QString& event,
                           const QString& appBundleID, const QString& fieldType, const QVariantMap& payload) = 0;
    virtual void saveOutcomeSnapshot(const QString& traceID, const QString& sessionID,
                                     const DictationOutcomeSnapshot& snapshot) = 0;
    // Adds a learned word to the personal dictionary.
    virtual void addWord(const QString& word, const std::optional<QString>& replacement, bool isSnippet) = 0;
    // The database behind this seam, for the polish state; none when it is not a history store.
    virtual HistoryStore* historyStore() { return nullptr; }
};

// Process-wide services the pipeline reports to. Every call is fire-and-forget. This class is
// the program's own: the shared feature flags, metrics log, analytics client, feedback sounds,
// HTTP session and microphone timings; the evaluation statistics come from a subclass at the
// composition root. Tests override what they watch.
class PipelineServices {
public:
    PipelineServices();
    virtual ~PipelineServices();  // lets the recordings still being written finish

    virtual bool isFlagEnabled(const QString& key) const;
    // The flag's value when someone set it (Vantrose.conf); none while it has its default.
    virtual std::optional<bool> flagSetting(const QString& key) const;
    virtual QCoro::Task<> refreshFlags();
    virtual int enabledFlagCount() const;

    // The metrics log: one line per event, under the launch's session identifier.
    virtual void emitMetric(const QString& event, const QString& traceID, const QVariantMap& payload);
    virtual QString metricsSessionID() const;

    // Queued on the shared analytics client.
    virtual void track(const QString& event, const QVariantMap& properties);
    // The "dictation_completed" analytics event of a finished record.
    virtual void trackDictationCompleted(const TranscriptionResult& result);
    // Plays one of the feedback sounds through the desktop's audio output.
    virtual void playSound(const QString& name, const QString& extension);

    virtual bool microphoneAuthorized() const;
    // Opens the shared HTTP session's connection to the server; returns at once.
    virtual void warmUpServer(const QString& serverURL);
    // Round trip to the server in milliseconds; nothing when it cannot be reached.
    virtual QCoro::Task<std::optional<double>> pingServer(QString serverURL);

    // Keeps a recording the recognisers could not finish, so none of it is lost: a WAV file in
    // the data folder's "Recordings", the user's alone. Its path; nothing when it could not be
    // written. The writing happens off the calling thread.
    virtual QCoro::Task<std::optional<QString>> keepRecording(std::vector<float> samples);

    virtual std::optional<double> predictMicStartMs(const std::optional<QString>& deviceUID);
    virtual void recordMicStart(const std::optional<QString>& deviceUID, double durationMs,
                                std::optional<double> prediction);

    // Latency statistics since launch. The program's composition root keeps them; here they
    // are not kept (none recorded, no report).
    virtual void recordEvaluation(const TranscriptionResult& result) {}
    virtual int evaluatedDictations() const { return 0; }
    virtual void printEvaluationReport() {}

private:
    std::unique_ptr<SerialQueue> m_recordings;  // keepRecording's writer, made at its first use
};

// AudioEngine behind the audio seam.
class AudioEnginePipelineSource final : public AbstractAudioSource {
public:
    AudioEnginePipelineSource();
    ~AudioEnginePipelineSource() override;

    void setChunkHandler(ChunkHandler handler) override;
    void startRecording() override;
    void stopRecording() override;
    void prewarm() override;
    std::vector<float> currentFrequencyBands() const override;
    void setSelectedDeviceUID(const std::optional<QString>& uid) override;
    std::vector<AudioDeviceInfo> listInputDevices() const override;
    std::optional<QString> deviceForNextStart() const override { return m_engine->resolvedDeviceUID(); }
    std::optional<QString> deviceInUse() const override { return m_engine->openedChosenDeviceUID(); }

    AudioEngine& engine() { return *m_engine; }

private:
    std::unique_ptr<AudioEngine> m_engine;
};

// The readable description of a failure thrown by an engine, a formatter or the microphone.
QString describeFailure(const std::exception& error);
QString describeFailure(std::exception_ptr error);

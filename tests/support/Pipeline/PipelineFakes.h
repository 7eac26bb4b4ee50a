#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Foundation/Clock.h"
#include "Foundation/PendingValue.h"

#include <QList>
#include <QObject>
#include <QVariantMap>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

// A door a fake's answer waits behind until the test opens it.
class FakeGate {
public:
    QCoro::Task<> wait();
    void open();
    bool isOpen() const { return m_open; }
    int waiting() const { return m_waiting; }

private:
    std::shared_ptr<PendingValue<bool>> m_pending = std::make_shared<PendingValue<bool>>();
    bool m_open = false;
    int m_waiting = 0;
};

// A microphone the test feeds by hand, from any thread.
class FakePipelineAudio final : public AbstractAudioSource {
public:
    std::optional<QString> startFailure;  // startRecording throws this while set
    std::atomic<int> startCalls{0};
    std::atomic<int> stopCalls{0};
    std::atomic<bool> recording{false};
    int prewarmCalls = 0;
    std::optional<QString> selectedDeviceUID;
    std::vector<AudioDeviceInfo> devices;

    void setChunkHandler(ChunkHandler handler) override;
    void startRecording() override;
    void stopRecording() override;
    void prewarm() override { ++prewarmCalls; }
    std::vector<float> currentFrequencyBands() const override { return std::vector<float>(10, 0.25f); }
    void setSelectedDeviceUID(const std::optional<QString>& uid) override { selectedDeviceUID = uid; }
    std::vector<AudioDeviceInfo> listInputDevices() const override { return devices; }
    // As the real engine: the chosen device while it is among `devices`, else the system default.
    std::optional<QString> deviceForNextStart() const override;
    std::optional<QString> deviceInUse() const override { return openedDevice; }
    std::optional<QString> openedDevice;  // set by each start

    // Delivers `count` chunks of the given amplitude to the installed handler (while recording).
    void feed(int count, float amplitude = 0.2f);
    // Delivers `samples` as whole chunks (a last part chunk is left out).
    void feedSamples(const std::vector<float>& samples);

private:
    mutable std::mutex m_handlerLock;
    ChunkHandler m_handler;
};

class FakeLiveRecognizer final : public AbstractLiveRecognizer {
public:
    bool streaming = true;
    std::optional<QString> startFailure;
    int startCalls = 0;
    int stopCalls = 0;
    bool open = false;  // a session is running
    std::atomic<int> fedChunks{0};
    QStringList hints;
    PartialResultCallback onPartial;

    bool supportsStreaming() const override { return streaming; }
    void startStreaming(PartialResultCallback onPartialResult) override;
    void feedAudioChunk(const AudioChunk&) override { ++fedChunks; }
    QCoro::Task<> stopStreaming() override;
    void setVocabularyHints(const QStringList& h) override { hints = h; }
};

// Tiered recognition that answers scripted results, or fails with scripted messages.
class FakeBatchRecognizer final : public AbstractBatchRecognizer {
public:
    struct Answer {
        PipelineTranscription transcription;
        std::optional<QString> failure;
    };
    std::deque<Answer> answers;      // default when empty: "hello world" from primary
    std::shared_ptr<FakeGate> gate;  // when set, every answer waits for it
    int registerCalls = 0;
    int transcribeCalls = 0;
    std::vector<std::size_t> sampleCounts;
    bool hasCloud = true;
    std::optional<QJsonObject> cloudContext;
    std::optional<PipelineCloudMetrics> cloudMetrics;
    QString lastTier = QStringLiteral("primary");

    void registerTiers(const VantroseSettings&) override { ++registerCalls; }
    QCoro::Task<PipelineTranscription> transcribe(std::vector<float> samples) override;
    QString lastTierUsed() const override { return lastTier; }
    std::optional<QString> raceWinner() const override { return std::nullopt; }
    bool hasCloudRecognizer() const override { return hasCloud; }
    void setCloudContext(const QJsonObject& context) override { cloudContext = context; }
    std::optional<PipelineCloudMetrics> lastCloudMetrics() const override { return cloudMetrics; }

    static Answer text(const QString& text, const QString& tier = QStringLiteral("primary"),
                       bool serverFormatted = false, float confidence = 0.9f);
    static Answer failing(const QString& message);
};

class FakeStreamingLink final : public AbstractStreamingLink {
public:
    struct Commit {
        QJsonObject context;
        QString language;
    };
    std::atomic<State> linkState{State::disconnected};
    std::atomic<int> sent{0};
    bool serverReachable = false;  // connect() reaches connected only when set
    int connectCalls = 0;
    int disconnectCalls = 0;
    int beginCalls = 0;
    int resetCalls = 0;
    QList<Commit> commits;

    State state() const override { return linkState.load(); }
    int chunksSent() const override { return sent.load(); }
    void connect() override;
    void disconnect() override {
        ++disconnectCalls;
        linkState = State::disconnected;
    }
    void beginNewSession() override;
    void resetSession() override;
    void sendAudioChunk(const AudioChunk&) override { ++sent; }
    void commit(const QJsonObject& context, const QString& language) override;
    double commitToResultMs() const override { return 12; }
};

class FakePipelineHistory final : public AbstractPipelineHistory {
public:
    struct Event {
        QString traceID;
        QString event;
        QString appBundleID;
        QString fieldType;
        QVariantMap payload;
    };
    int initializeCalls = 0;
    QList<TranscriptionResult> stored;  // newest last
    QList<TranscriptionResult> preloaded;
    Totals totals;
    QList<Event> events;
    QList<DictionaryEntry> entries;
    QList<DictationOutcomeSnapshot> snapshots;
    QStringList addedWords;

    void initialize() override { ++initializeCalls; }
    QList<TranscriptionResult> recentHistory() const override { return preloaded; }
    Totals loadTotals() const override { return totals; }
    void save(const TranscriptionResult& result) override { stored.append(result); }
    void saveEvent(const QString& traceID, const QString&, const QString& event, const QString& appBundleID,
                   const QString& fieldType, const QVariantMap& payload) override {
        events.append({traceID, event, appBundleID, fieldType, payload});
    }
    void saveOutcomeSnapshot(const QString&, const QString&, const DictationOutcomeSnapshot& snapshot) override {
        snapshots.append(snapshot);
    }
    void addWord(const QString& word, const std::optional<QString>&, bool) override { addedWords.append(word); }
    QList<DictionaryEntry> dictionaryEntries() const override { return entries; }
    QStringList eventNames() const;
};

class RecordingPipelineServices final : public PipelineServices {
public:
    struct Tracked {
        QString event;
        QVariantMap properties;
    };
    QSet<QString> enabledFlags;
    QMap<QString, bool> flagSettings;  // feature switches set in Vantrose.conf
    QList<Tracked> tracked;
    QStringList sounds;
    QList<TranscriptionResult> completed;
    QList<TranscriptionResult> evaluated;
    int reports = 0;
    int refreshCalls = 0;
    std::optional<double> pingAnswer;
    std::optional<QString> pingFailure;  // the ping throws this
    std::shared_ptr<FakeGate> pingGate;  // when set, the ping answers only once it opens
    std::optional<double> micPrediction;
    QList<double> micStarts;
    QList<std::optional<QString>> micPredictionDevices;  // the device each prediction was asked for
    QList<std::optional<QString>> micStartDevices;       // the device each start-up was filed under
    QStringList metrics;                                 // events written to the metrics log
    QStringList warmUps;                                 // servers the set-up warmed

    bool isFlagEnabled(const QString& key) const override { return enabledFlags.contains(key); }
    std::optional<bool> flagSetting(const QString& key) const override {
        return flagSettings.contains(key) ? std::optional<bool>(flagSettings.value(key)) : std::nullopt;
    }
    QCoro::Task<> refreshFlags() override;
    int enabledFlagCount() const override { return static_cast<int>(enabledFlags.size()); }
    void emitMetric(const QString& event, const QString&, const QVariantMap&) override { metrics.append(event); }
    QString metricsSessionID() const override { return QStringLiteral("SESSION-1"); }
    void track(const QString& event, const QVariantMap& properties) override { tracked.append({event, properties}); }
    void trackDictationCompleted(const TranscriptionResult& result) override { completed.append(result); }
    void playSound(const QString& name, const QString& extension) override { sounds.append(name + '.' + extension); }
    bool microphoneAuthorized() const override { return true; }
    QCoro::Task<std::optional<double>> pingServer(QString) override;
    void warmUpServer(const QString& serverURL) override { warmUps.append(serverURL); }
    std::optional<double> predictMicStartMs(const std::optional<QString>& device) override {
        micPredictionDevices.append(device);
        return micPrediction;
    }
    void recordMicStart(const std::optional<QString>& device, double durationMs, std::optional<double>) override {
        micStarts.append(durationMs);
        micStartDevices.append(device);
    }
    void recordEvaluation(const TranscriptionResult& result) override { evaluated.append(result); }
    int evaluatedDictations() const override { return static_cast<int>(evaluated.size()); }
    void printEvaluationReport() override { ++reports; }
    QStringList trackedEvents() const;
};

// A formatter with a scripted answer, an optional failure and an optional gate.
class FakeFormatter final : public TextFormatterProtocol {
public:
    QString name = QStringLiteral("RuleBased");
    std::optional<QString> answer;  // default: the raw text with a capital and a full stop
    std::optional<QString> failure;
    std::shared_ptr<FakeGate> gate;
    int calls = 0;
    QStringList rawTexts;
    QList<AppContext> contexts;

    QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) override;
    QString formatterName() const override { return name; }
};

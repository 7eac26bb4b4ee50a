#pragma once

#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PipelineSession.h"
#include "Foundation/Clock.h"
#include "Models/DictationMetrics.h"
#include "Models/PasteOutcome.h"
#include "Models/TranscriptionResult.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <optional>

class DictationLearning;
struct PipelineContext;

// Where both roads end once their text is pasted: the record of the dictation with its metrics,
// saved to the history, published and reported; the learning from what the user does with the
// text; and every metrics event of a dictation. Main thread only.
class DictationRecorder {
public:
    // What the batch road hands over once its text is pasted.
    struct BatchOutcome {
        Clock::TimePoint processingStart;
        int chunkCount = 0;
        int voicedFrames = 0;
        QString asrText;
        QString tierLabel;
        QString tier;
        float confidence = 0;
        QString formattedText;
        QString formatterLabel;
        bool usedFallbackFormatting = false;  // the formatter failed; the rules formatted the text
        QString postProcessedText;
        QString finalText;
        Clock::TimePoint insertStart;
        PasteOutcome paste;
        // Gathered by the recorder once the text is pasted.
        std::optional<double> ping;
        std::optional<PipelineCloudMetrics> cloud;
        std::optional<QString> raceWinner;
        // Only the start of the recording was recognised; the whole of it was kept here (nothing
        // when it could not be written).
        bool partial = false;
        std::optional<QString> keptRecording;
    };

    // What the streaming road hands over once its text is pasted.
    struct StreamingOutcome {
        QString pastedText;
        QString postProcessed;
        QString asrText;
        QString resultText;
        QString llmText;
        double asrMs = 0;
        double llmMs = 0;
        QString asrProvider;
        QString llmProvider;
        std::chrono::milliseconds audio{0};  // of the recording, as sent to the server
        PasteOutcome paste;
    };

    DictationRecorder(PipelineContext& context, DictationLearning& learning);

    // Records a batch dictation whose text was pasted, once the server's ping (measured while the
    // user spoke) is in or its deadline passed. The text has reached the user's field: it is
    // recorded even when a newer dictation began meanwhile.
    QCoro::Task<> recordBatch(PipelineSessionPtr session, BatchOutcome outcome);
    // Records a streaming dictation whose text was pasted.
    void recordStreaming(const PipelineSession& session, const StreamingOutcome& outcome);

    // One metrics event of `session`: the metrics log and the history's event table.
    void emitEvent(const PipelineSession& session, const QString& event, const QVariantMap& payload);

    // The share of distinct words that formatting changed.
    static float computeDivergence(const QString& raw, const QString& formatted);

private:
    QCoro::Task<std::optional<double>> awaitPing(PipelineSessionPtr session);
    void publishRecord(const TranscriptionResult& record);
    void startLearning(const PipelineSession& session, const QString& pastedText, const QString& asrText);
    void reportPasteOutcome(const PipelineSession& session, const PasteOutcome& paste);
    DictationLatencyMetrics batchLatency(const PipelineSession& session, const BatchOutcome& outcome) const;
    TranscriptionResult batchRecord(const PipelineSession& session, const BatchOutcome& outcome, double e2eMs,
                                    const DictationLatencyMetrics& latency) const;
    void reportBatchCompletion(const PipelineSession& session, const BatchOutcome& outcome,
                               const TranscriptionResult& record, const QVariantMap& latencyProperties);
    void logBatchCompletion(const PipelineSession& session, const BatchOutcome& outcome,
                            const TranscriptionResult& record, const DictationLatencyMetrics& latency, double e2eMs);
    DictationLatencyMetrics streamingLatency(const PipelineSession& session, const StreamingOutcome& outcome) const;
    TranscriptionResult streamingRecord(const PipelineSession& session, const StreamingOutcome& outcome, double e2eMs,
                                        const DictationLatencyMetrics& latency) const;
    void emitLatencyWarnings(const PipelineSession& session, const DictationLatencyMetrics& metrics);

    PipelineContext& m_ctx;
    DictationLearning& m_learning;
};

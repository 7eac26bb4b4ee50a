#pragma once

// The pipeline's own records of a dictation and of what the capture thread shares with the main
// thread. Only the pipeline's sources include this.

#include "Core/Pipeline/DictationPipeline.h"
#include "Core/VAD/VoiceActivityDetector.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// State of one dictation, kept by every road that works for it.
struct DictationPipeline::Session {
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

// What the capture thread shares with the main thread.
struct DictationPipeline::CaptureState {
    // Hands `job` to the main thread (runOnMain), where it runs with the pipeline unless the
    // pipeline has gone by then. Any thread.
    void post(std::function<void(DictationPipeline&)> job);

    std::mutex receiverLock;                // guards receiver
    DictationPipeline* receiver = nullptr;  // cleared when the pipeline goes away

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
struct DictationPipeline::BatchOutcome {
    double processingStart = 0;
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
    double insertStart = 0;
    PasteOutcome paste;
    // Gathered by the completion once the text is pasted.
    std::optional<double> ping;
    std::optional<PipelineCloudMetrics> cloud;
    std::optional<QString> raceWinner;
    // Only the start of the recording was recognised; the whole of it was kept here (nothing
    // when it could not be written).
    bool partial = false;
    std::optional<QString> keptRecording;
};

// What the streaming road hands to its completion.
struct DictationPipeline::StreamingOutcome {
    QString pastedText;
    QString postProcessed;
    QString asrText;
    QString resultText;
    QString llmText;
    double asrMs = 0;
    double llmMs = 0;
    QString asrProvider;
    QString llmProvider;
};

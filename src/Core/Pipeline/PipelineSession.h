#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Foundation/Clock.h"
#include "Foundation/PendingValue.h"
#include "Models/ScreenCaptureResult.h"
#include "Models/TranscriptionContext.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

// The pipeline's record of one dictation, kept by every road that works for it. Only the
// pipeline's sources include this. Main thread only.
struct PipelineSession {
    // The road that finishes the dictation; none before the user stops, and once a road ended it.
    enum class Road { none, webSocket, batch };

    // Drops the background tasks without cancelling them: a late answer is simply not used.
    void releaseTasks();
    // Settles every background task at once with no result, so a road waiting for one goes on.
    void cancelTasks();

    quint64 generation = 0;
    QString traceID;
    Clock::TimePoint sessionStartTime;
    Clock::TimePoint audioCaptureStartTime;
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

using PipelineSessionPtr = std::shared_ptr<PipelineSession>;

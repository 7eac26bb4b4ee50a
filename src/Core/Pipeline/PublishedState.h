#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Models/DictationStatus.h"
#include "Models/TranscriptionResult.h"

#include <QList>
#include <QString>

#include <optional>
#include <vector>

// What the views read of the pipeline. Only StatusPublisher writes it, each field through a setter
// that announces the change.
struct PublishedState {
    DictationStatus status = DictationStatus::idle;
    PipelineStep pipelineStep = PipelineStep::idle;
    float currentVolume = 0;
    std::vector<float> frequencyBands = std::vector<float>(AudioEngine::kBandCount, 0.0f);
    QString streamingText;
    std::optional<QString> streamingPartialText;
    std::optional<TranscriptionResult> lastResult;
    QList<TranscriptionResult> recentResults;
    qint64 totalDictations = 0;
    qint64 totalWords = 0;
    std::optional<QString> errorMessage;
    bool isPersistentMode = false;
    bool isContinuousDictationLatched = false;
};

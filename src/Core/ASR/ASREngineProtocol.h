#pragma once

#include "Core/ASR/ASRError.h"
#include "Core/ASR/ASRResult.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <vector>

// Every speech recogniser stands behind this interface. Coroutines run on the main thread and
// fail by throwing ASRError.
class ASREngineProtocol {
public:
    using PartialResultCallback = std::function<void(const QString& textSoFar)>;

    virtual ~ASREngineProtocol() = default;

    // A whole recording (16 kHz mono float samples).
    virtual QCoro::Task<ASRResult> transcribe(std::vector<float> samples) = 0;
    // Begins a streaming session; the callback receives the whole text so far each time it
    // changes, on the engine's own thread.
    virtual void startStreaming(PartialResultCallback onPartialResult) = 0;
    // Adds one 640-sample chunk; called on the capture thread and must never block on decoding.
    virtual void feedAudioChunk(const std::vector<float>& chunk) = 0;
    // Ends the session and gives its final result.
    virtual QCoro::Task<ASRResult> stopStreaming() = 0;

    virtual QString engineName() const = 0;
    virtual bool supportsStreaming() const = 0;
};

#pragma once

#include "Core/Audio/AudioEngine.h"

#include <functional>
#include <mutex>

// The detector's answer for one chunk: its 0..1 level, published as the live input level.
struct VADResult {
    float volume = 0.0f;
};

// Energy-threshold voice detector run over every captured chunk. processChunk() runs on the
// capture thread and reset() on the main thread, so the counters sit behind one mutex; the
// callbacks are called outside it.
class VoiceActivityDetector {
public:
    // Tuning, set before use.
    float speechThreshold = 0.015f;  // a chunk whose level is above this is voiced
    int silenceFramesForEnd = 25;    // silent chunks in a row that end speech (1 s)
    int minSpeechFrames = 3;         // voiced chunks needed before speech starts

    // Installed before capture starts; called on the thread that runs processChunk().
    std::function<void()> onSpeechStart;
    std::function<void()> onSpeechEnd;
    std::function<void(float level, bool voiced)> onVolumeUpdate;

    VADResult processChunk(const AudioChunk& chunk);
    void reset();

    int numVoicedFrames() const;
    int numConsecutiveSilentFrames() const;
    bool isSpeaking() const;

private:
    mutable std::mutex m_mutex;
    int m_numVoicedFrames = 0;
    int m_numConsecutiveSilentFrames = 0;
    bool m_isSpeaking = false;
};

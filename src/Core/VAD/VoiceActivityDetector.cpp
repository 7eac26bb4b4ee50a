#include "Core/VAD/VoiceActivityDetector.h"

VADResult VoiceActivityDetector::processChunk(const AudioChunk& chunk) {
    const float level = AudioEngine::computeRMS(chunk);
    const bool voiced = level > speechThreshold;
    bool started = false;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        if (voiced) {
            m_numVoicedFrames += 1;
            m_numConsecutiveSilentFrames = 0;
            // Voiced chunks need not be consecutive: the count runs until reset().
            if (!m_isSpeaking && m_numVoicedFrames >= minSpeechFrames) {
                m_isSpeaking = true;
                started = true;
            }
        } else if (m_isSpeaking) {
            m_numConsecutiveSilentFrames += 1;
            if (m_numConsecutiveSilentFrames >= silenceFramesForEnd) {
                m_isSpeaking = false;
                ended = true;
            }
        }
    }
    if (started && onSpeechStart) onSpeechStart();
    if (ended && onSpeechEnd) onSpeechEnd();
    if (onVolumeUpdate) onVolumeUpdate(level, voiced);
    return VADResult{level};
}

void VoiceActivityDetector::reset() {
    std::lock_guard lock(m_mutex);
    m_numVoicedFrames = 0;
    m_numConsecutiveSilentFrames = 0;
    m_isSpeaking = false;
}

int VoiceActivityDetector::numVoicedFrames() const {
    std::lock_guard lock(m_mutex);
    return m_numVoicedFrames;
}

int VoiceActivityDetector::numConsecutiveSilentFrames() const {
    std::lock_guard lock(m_mutex);
    return m_numConsecutiveSilentFrames;
}

bool VoiceActivityDetector::isSpeaking() const {
    std::lock_guard lock(m_mutex);
    return m_isSpeaking;
}

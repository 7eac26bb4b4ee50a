#include "Core/VAD/VoiceActivityDetector.h"

#include <gtest/gtest.h>

namespace {

const AudioChunk kVoiced(640, 0.1f);  // level 0.67
const AudioChunk kSilent(640, 0.0f);

struct Recorder {
    int starts = 0;
    int ends = 0;
    std::vector<std::pair<float, bool>> volumes;
    void attach(VoiceActivityDetector& vad) {
        vad.onSpeechStart = [this] { ++starts; };
        vad.onSpeechEnd = [this] { ++ends; };
        vad.onVolumeUpdate = [this](float level, bool voiced) { volumes.emplace_back(level, voiced); };
    }
};

}  // namespace

TEST(VoiceActivityDetectorTest, SpeechStartsOnTheThirdVoicedChunkEvenAfterAPause) {
    VoiceActivityDetector vad;
    Recorder rec;
    rec.attach(vad);
    vad.processChunk(kVoiced);
    vad.processChunk(kVoiced);
    for (int i = 0; i < 40; ++i) vad.processChunk(kSilent);
    EXPECT_FALSE(vad.isSpeaking());
    EXPECT_EQ(rec.starts, 0);
    vad.processChunk(kVoiced);
    EXPECT_TRUE(vad.isSpeaking());
    EXPECT_EQ(rec.starts, 1);
    EXPECT_EQ(vad.numVoicedFrames(), 3);
}

TEST(VoiceActivityDetectorTest, TwentyFiveSilentChunksInARowEndSpeech) {
    VoiceActivityDetector vad;
    Recorder rec;
    rec.attach(vad);
    for (int i = 0; i < 3; ++i) vad.processChunk(kVoiced);
    for (int i = 0; i < 24; ++i) vad.processChunk(kSilent);
    EXPECT_TRUE(vad.isSpeaking());
    vad.processChunk(kVoiced);  // a voiced chunk restarts the silence count
    for (int i = 0; i < 24; ++i) vad.processChunk(kSilent);
    EXPECT_TRUE(vad.isSpeaking());
    EXPECT_EQ(vad.numConsecutiveSilentFrames(), 24);
    vad.processChunk(kSilent);
    EXPECT_FALSE(vad.isSpeaking());
    EXPECT_EQ(rec.ends, 1);

    // The voiced count survives the end, so speech resumes at the next voiced chunk.
    EXPECT_EQ(vad.numVoicedFrames(), 4);
    vad.processChunk(kVoiced);
    EXPECT_TRUE(vad.isSpeaking());
    EXPECT_EQ(rec.starts, 2);
}

TEST(VoiceActivityDetectorTest, ALevelEqualToTheThresholdIsNotVoiced) {
    VoiceActivityDetector vad;
    Recorder rec;
    rec.attach(vad);
    const AudioChunk quiet(640, 0.0012f);
    const float level = AudioEngine::computeRMS(quiet);
    ASSERT_GT(level, 0.0f);
    vad.speechThreshold = level;
    const VADResult result = vad.processChunk(quiet);
    EXPECT_EQ(result.volume, level);
    EXPECT_EQ(vad.numVoicedFrames(), 0);
    ASSERT_EQ(rec.volumes.size(), 1u);
    EXPECT_FALSE(rec.volumes[0].second);

    vad.speechThreshold = std::nextafter(level, 0.0f);
    vad.processChunk(quiet);
    EXPECT_EQ(vad.numVoicedFrames(), 1);
    EXPECT_TRUE(rec.volumes[1].second);
}

TEST(VoiceActivityDetectorTest, ResetReturnsToQuietWithZeroCounters) {
    VoiceActivityDetector vad;
    for (int i = 0; i < 5; ++i) vad.processChunk(kVoiced);
    vad.processChunk(kSilent);
    vad.reset();
    EXPECT_FALSE(vad.isSpeaking());
    EXPECT_EQ(vad.numVoicedFrames(), 0);
    EXPECT_EQ(vad.numConsecutiveSilentFrames(), 0);
}

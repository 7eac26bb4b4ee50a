#include "Core/VAD/VoiceActivityDetector.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

// The capture thread runs the detector while the main thread resets it and reads its counters.
TEST(VoiceActivityThreadedTest, ChunksFromAnotherThreadRaceNeitherResetNorReads) {
    VoiceActivityDetector vad;
    std::atomic<int> starts{0};
    vad.onSpeechStart = [&] { starts++; };
    std::atomic<bool> done{false};
    std::thread capture([&] {
        const AudioChunk voiced(640, 0.2f), silent(640, 0.0f);
        for (int i = 0; i < 20000; ++i) vad.processChunk(i % 7 ? voiced : silent);
        done = true;
    });
    int resets = 0;
    while (!done) {
        const int voiced = vad.numVoicedFrames();
        EXPECT_GE(voiced, 0);
        (void)vad.isSpeaking();
        if (++resets % 50 == 0) vad.reset();
    }
    capture.join();
    EXPECT_GT(starts.load(), 0);
}

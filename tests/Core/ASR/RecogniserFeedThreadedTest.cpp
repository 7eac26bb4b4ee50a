#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Audio/AudioEngine.h"
#include "support/AwaitTask.h"
#include "support/SpeechFixture.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

// A capture-like thread feeds chunks while the main thread starts and stops streams and changes
// the hints; partial text arrives on the recogniser's worker. Nothing may race or be lost.
TEST(RecogniserFeedThreadedTest, ChunksFromTheCaptureThreadWhileTheMainThreadDrivesStreams) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().at(3));
    speech.resize(speech.size() / 640 * 640);
    PocketSphinxASR engine;
    ASSERT_TRUE(engine.waitUntilIdle());

    std::mutex mutex;
    QStringList partials;
    std::atomic<bool> stop{false};
    std::thread capture([&] {
        std::size_t offset = 0;
        while (!stop) {
            engine.feedAudioChunk(
                std::vector<float>(speech.begin() + long(offset), speech.begin() + long(offset + 640)));
            offset = (offset + 640) % speech.size();
            // A microphone delivers a chunk every 40 ms; a few times faster keeps the decoder busy.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (int round = 0; round < 3; ++round) {
        engine.setVocabularyHints(round % 2 ? QStringList{"eggs", "store"} : QStringList{});
        engine.startStreaming([&](const QString& text) {
            std::lock_guard lock(mutex);
            partials << text;
        });
        ASSERT_TRUE(waitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return !partials.isEmpty();
            },
            std::chrono::seconds(20)));
        const ASRResult result = AwaitTask::run(engine.stopStreaming());
        EXPECT_FALSE(result.text.isEmpty());
        std::lock_guard lock(mutex);
        partials.clear();
    }
    stop = true;
    capture.join();
    engine.waitUntilIdle();
}

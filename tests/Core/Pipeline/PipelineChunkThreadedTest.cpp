#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

// The capture thread delivers chunks while the main thread reads the level, publishes it and
// counts the buffered chunks.
TEST(PipelineChunkThreadedTest, ChunksFromTheCaptureThreadRaceNoReader) {
    PipelineHarness h;
    h.setUp();
    auto& p = *h.pipeline;
    p.startPersistentDictation();
    ASSERT_EQ(p.status(), DictationStatus::listening);

    constexpr int chunks = 400;
    std::atomic<bool> done{false};
    std::thread capture([&] {
        for (int i = 0; i < chunks; ++i) {
            h.audio->feed(1, i % 2 ? 0.3f : 0.05f);
            if (i % 10 == 0) h.clock.advance(std::chrono::milliseconds(40));  // lets the level publish now and then
        }
        done = true;
    });
    float highest = 0;
    int levelUpdates = 0;
    QObject::connect(&p, &DictationPipeline::levelChanged, [&] { ++levelUpdates; });
    while (!done) {
        highest = std::max(highest, p.rawAudioLevel());
        EXPECT_LE(p.recordedChunkCount(), chunks);
        QCoreApplication::processEvents();
    }
    capture.join();
    highest = std::max(highest, p.rawAudioLevel());
    EXPECT_TRUE(waitUntil([&] { return levelUpdates > 0; }));
    QCoreApplication::processEvents();

    EXPECT_GT(highest, 0.0f);
    EXPECT_LT(levelUpdates, chunks);  // throttled: never one publication per chunk
    EXPECT_EQ(p.recordedChunkCount(), chunks);
    EXPECT_EQ(h.link->chunksSent(), chunks);
    EXPECT_EQ(h.recognizer->fedChunks.load(), chunks);

    // A pause stops the microphone; every chunk stays buffered for the end of the dictation.
    p.pauseDictation();
    EXPECT_EQ(p.recordedChunkCount(), chunks);
    p.cancelDictation();
    EXPECT_EQ(p.recordedChunkCount(), 0);
}

// Chunks still arriving from a cancelled recording never reach the next one.
TEST(PipelineChunkThreadedTest, LateChunksOfAnEndedDictationAreDropped) {
    PipelineHarness h;
    h.setUp();
    auto& p = *h.pipeline;
    p.startDictation();
    std::atomic<bool> stop{false};
    std::thread capture([&] {
        while (!stop) h.audio->feed(1);
    });
    waitUntil([&] { return p.recordedChunkCount() > 20; });
    p.cancelDictation();
    p.cancelDictation();
    h.audio->recording = false;
    stop = true;
    capture.join();
    EXPECT_EQ(p.recordedChunkCount(), 0);
}

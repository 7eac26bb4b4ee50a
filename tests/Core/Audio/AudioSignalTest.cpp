#include "Core/Audio/AudioEngine.h"

#include <cmath>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

namespace {

AudioChunk sine(double hz, float amplitude, std::size_t n = 640) {
    AudioChunk out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = amplitude * float(std::sin(2 * M_PI * hz * double(i) / 16000.0));
    return out;
}

}  // namespace

// Buffers of random sizes, as the audio server slices them, come out as exact 640-sample chunks
// holding every sample in order; the remainder waits for the next buffer.
TEST(AudioChunkerTest, RandomBufferSizesGiveExactChunksInOrder) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<std::size_t> size(0, 3000);
    AudioChunker chunker;
    std::vector<AudioChunk> chunks;
    float next = 0;
    std::size_t fed = 0;
    for (int round = 0; round < 500; ++round) {
        std::vector<float> buffer(size(rng));
        for (float& s : buffer) s = next++;
        fed += buffer.size();
        chunker.push(buffer.data(), buffer.size(), [&](AudioChunk&& c) { chunks.push_back(std::move(c)); });
        EXPECT_LT(chunker.pendingCount(), 640u);
    }
    ASSERT_EQ(chunks.size(), fed / 640);
    EXPECT_EQ(chunker.pendingCount(), fed % 640);
    float expected = 0;
    for (const AudioChunk& c : chunks) {
        ASSERT_EQ(c.size(), 640u);
        for (float s : c) ASSERT_EQ(s, expected++);
    }
}

// 160 ms of 16 kHz audio is four whole chunks; 100 ms leaves a remainder carried to the next call.
TEST(AudioChunkerTest, TapSizedBuffers) {
    struct Case {
        std::size_t buffer;
        std::vector<std::size_t> chunksPerCall;
    };
    for (const Case& c : {Case{2560, {4, 4, 4}}, Case{1600, {2, 3, 2}}, Case{639, {0, 1, 1}}}) {
        AudioChunker chunker;
        std::vector<float> buffer(c.buffer, 0.25f);
        for (std::size_t expected : c.chunksPerCall) {
            std::size_t got = 0;
            chunker.push(buffer.data(), buffer.size(), [&](AudioChunk&& chunk) {
                EXPECT_EQ(chunk.size(), 640u);
                ++got;
            });
            EXPECT_EQ(got, expected) << "buffer " << c.buffer;
        }
    }
}

TEST(AudioLevelTest, LevelMapsMinus60dBToZeroAndFullScaleToOne) {
    EXPECT_EQ(AudioEngine::computeRMS(AudioChunk{}), 0.0f);
    EXPECT_EQ(AudioEngine::computeRMS(AudioChunk(640, 0.0f)), 0.0f);
    AudioChunk square(640);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 20) % 2 ? 1.0f : -1.0f;
    EXPECT_FLOAT_EQ(AudioEngine::computeRMS(square), 1.0f);
    EXPECT_NEAR(AudioEngine::computeRMS(AudioChunk(640, 0.1f)), 40.0f / 60.0f, 1e-4);  // -20 dBFS
    EXPECT_EQ(AudioEngine::computeRMS(AudioChunk(640, 0.0005f)), 0.0f);                // below -60 dBFS
}

TEST(AudioLevelTest, BandsFollowTheTone) {
    const std::vector<float> silent = AudioEngine::computeFrequencyBands(AudioChunk(640, 0.0f), 10);
    EXPECT_EQ(silent, std::vector<float>(10, 0.0f));
    EXPECT_EQ(AudioEngine::computeFrequencyBands(AudioChunk{}, 10), std::vector<float>(10, 0.0f));

    // A tone at a band's centre lights that band more than any band far from it.
    const std::vector<float> bands = AudioEngine::computeFrequencyBands(sine(1034, 0.01f), 10);
    ASSERT_EQ(bands.size(), 10u);
    const auto loudest = std::max_element(bands.begin(), bands.end()) - bands.begin();
    EXPECT_EQ(loudest, 5);
    for (float b : bands) {
        EXPECT_GE(b, 0.0f);
        EXPECT_LE(b, 1.0f);
    }
    // Full-scale tones are capped at 1.
    const std::vector<float> loud = AudioEngine::computeFrequencyBands(sine(103, 1.0f), 10);
    EXPECT_EQ(loud[0], 1.0f);
}

TEST(AudioLevelTest, ConcatenateJoinsInOrder) {
    const AudioChunk joined = AudioEngine::concatenate({{1, 2}, {}, {3}, {4, 5, 6}});
    EXPECT_EQ(joined, (AudioChunk{1, 2, 3, 4, 5, 6}));
}

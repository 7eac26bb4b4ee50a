#include "Core/Cloud/WavEncoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

std::uint32_t u32At(const QByteArray& b, int offset) {
    return static_cast<std::uint8_t>(b[offset]) | static_cast<std::uint8_t>(b[offset + 1]) << 8 |
           static_cast<std::uint8_t>(b[offset + 2]) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[offset + 3])) << 24;
}

std::int16_t i16At(const QByteArray& b, int offset) {
    return static_cast<std::int16_t>(static_cast<std::uint8_t>(b[offset]) | static_cast<std::uint8_t>(b[offset + 1])
                                                                                << 8);
}

// The 44-byte header written out by hand, byte for byte.
QByteArray expectedHeader(std::uint32_t dataSize, std::uint32_t rate) {
    auto le32 = [](std::uint32_t v) {
        const char bytes[] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
        return QByteArray(bytes, 4);
    };
    QByteArray h;
    h += "RIFF";
    h += le32(36 + dataSize);
    h += "WAVE";
    h += "fmt ";
    h += QByteArray("\x10\x00\x00\x00", 4);  // format chunk size 16
    h += QByteArray("\x01\x00", 2);          // PCM
    h += QByteArray("\x01\x00", 2);          // mono
    h += le32(rate);
    h += le32(rate * 2);
    h += QByteArray("\x02\x00", 2);  // block align
    h += QByteArray("\x10\x00", 2);  // 16 bits
    h += "data";
    h += le32(dataSize);
    return h;
}

}  // namespace

TEST(WavEncodingTest, EmptyRecordingIsABareHeader) {
    const QByteArray wav = WavEncoding::wav({});
    ASSERT_EQ(wav.size(), 44);
    EXPECT_EQ(wav, expectedHeader(0, 16000));
    EXPECT_EQ(u32At(wav, 4), 36u);
}

TEST(WavEncodingTest, HeaderAndSamplesMatchByteForByte) {
    const std::vector<float> samples{0.0f, 0.25f, -0.25f};
    const QByteArray wav = WavEncoding::wav(samples, 16000);
    QByteArray expected = expectedHeader(6, 16000);
    // 0 -> 0x0000; 0.25*32767 = 8191.75 -> 8191 = 0x1fff; -8191 = 0xe001
    expected += QByteArray("\x00\x00\xff\x1f\x01\xe0", 6);
    EXPECT_EQ(wav, expected);
}

TEST(WavEncodingTest, OtherSampleRatesChangeRateAndByteRate) {
    const QByteArray wav = WavEncoding::wav(std::vector<float>(10, 0.0f), 8000);
    EXPECT_EQ(wav.left(44), expectedHeader(20, 8000));
    EXPECT_EQ(u32At(wav, 28), 16000u);
}

TEST(WavEncodingTest, SamplesAreClampedAndTruncatedTowardZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float in;
        std::int16_t out;
    };
    const Case cases[] = {
        {1.5f, 32767}, {1.0f, 32767}, {-1.0f, -32767}, {-2.0f, -32767}, {0.5f, 16383},     {-0.5f, -16383}, {0.0f, 0},
        {-0.0f, 0},    {nan, 32767},  {inf, 32767},    {-inf, -32767},  {0.99999f, 32766}, {1e-6f, 0},      {-1e-6f, 0},
    };
    std::vector<float> samples;
    for (const Case& c : cases) samples.push_back(c.in);
    const QByteArray wav = WavEncoding::wav(samples);
    const QByteArray pcm = WavEncoding::int16Data(samples);
    ASSERT_EQ(wav.size(), 44 + 2 * static_cast<int>(samples.size()));
    ASSERT_EQ(pcm, wav.mid(44));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "sample " << cases[i].in);
        EXPECT_EQ(WavEncoding::toInt16(cases[i].in), cases[i].out);
        EXPECT_EQ(i16At(pcm, static_cast<int>(2 * i)), cases[i].out);
    }
}

TEST(WavEncodingTest, FullChunkIsTwiceItsSampleCount) {
    const std::vector<float> chunk(640, 0.1f);
    EXPECT_EQ(WavEncoding::int16Data(chunk).size(), 1280);
}

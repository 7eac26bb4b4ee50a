#include "Core/Cloud/WavEncoding.h"

#include <algorithm>
#include <cmath>

namespace WavEncoding {

namespace {

void putU32(char* out, std::uint32_t v) {
    out[0] = static_cast<char>(v & 0xff);
    out[1] = static_cast<char>((v >> 8) & 0xff);
    out[2] = static_cast<char>((v >> 16) & 0xff);
    out[3] = static_cast<char>((v >> 24) & 0xff);
}

void putU16(char* out, std::uint16_t v) {
    out[0] = static_cast<char>(v & 0xff);
    out[1] = static_cast<char>((v >> 8) & 0xff);
}

void writeSamples(char* out, const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) putU16(out + 2 * i, static_cast<std::uint16_t>(toInt16(samples[i])));
}

}  // namespace

std::int16_t toInt16(float sample) {
    if (std::isnan(sample) || sample >= 1.0f) return 32767;
    const float scaled = std::max(sample, -1.0f) * 32767.0f;
    return static_cast<std::int16_t>(scaled);  // conversion truncates toward zero
}

QByteArray int16Data(const float* samples, std::size_t count) {
    QByteArray out(static_cast<qsizetype>(count * 2), Qt::Uninitialized);
    writeSamples(out.data(), samples, count);
    return out;
}

QByteArray int16Data(const std::vector<float>& samples) { return int16Data(samples.data(), samples.size()); }

QByteArray wav(const std::vector<float>& samples, int sampleRate) {
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * 2);
    QByteArray out(kHeaderSize + static_cast<qsizetype>(dataSize), Qt::Uninitialized);
    char* h = out.data();
    std::copy_n("RIFF", 4, h);
    putU32(h + 4, 36 + dataSize);
    std::copy_n("WAVE", 4, h + 8);
    std::copy_n("fmt ", 4, h + 12);
    putU32(h + 16, 16);  // format chunk size
    putU16(h + 20, 1);   // PCM
    putU16(h + 22, 1);   // mono
    putU32(h + 24, static_cast<std::uint32_t>(sampleRate));
    putU32(h + 28, static_cast<std::uint32_t>(sampleRate) * 2);  // byte rate
    putU16(h + 32, 2);                                           // block align
    putU16(h + 34, 16);                                          // bits per sample
    std::copy_n("data", 4, h + 36);
    putU32(h + 40, dataSize);
    writeSamples(h + kHeaderSize, samples.data(), samples.size());
    return out;
}

}  // namespace WavEncoding

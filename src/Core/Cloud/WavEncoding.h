#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

// Audio that leaves the process: signed 16-bit little-endian PCM, alone (WebSocket frames) or
// inside a 44-byte RIFF/WAVE header (the batch upload).
namespace WavEncoding {

inline constexpr int kSampleRate = 16000;
inline constexpr int kHeaderSize = 44;

// One float sample as 16-bit PCM: 1 and above give 32767; anything else is raised to at least
// -1, scaled by 32767 and truncated toward zero, so -1 gives -32767 (never -32768). A NaN gives
// 32767: it must not reach the float-to-integer conversion, which is undefined for it.
std::int16_t toInt16(float sample);

// The samples as 16-bit little-endian PCM, 2 bytes each, no header.
QByteArray int16Data(const float* samples, std::size_t count);
QByteArray int16Data(const std::vector<float>& samples);

// A mono 16-bit PCM WAV file: the 44-byte header followed by the samples.
QByteArray wav(const std::vector<float>& samples, int sampleRate = kSampleRate);

}  // namespace WavEncoding

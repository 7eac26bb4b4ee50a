#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

// The server addresses, endpoint paths, scheme texts and header names every network client
// uses. They are kept XOR-scrambled in the binary so they do not show up in a plain `strings`
// listing, and each is unscrambled once, on its first read, from any thread. Every path of the
// vendor's server is here, read by the program's clients and by the local service's routes alike.
namespace StringShield {

const QString& apiBase();     // vendor server; paths are appended by plain concatenation
const QString& ollamaBase();  // local Ollama server
const QString& pathTranscribe();
const QString& pathFormat();
const QString& pathEvents();
const QString& pathHealth();
const QString& pathWSTranscribe();
const QString& schemeHTTPS();  // replaced by schemeWSS in the server base for the WebSocket URL
const QString& schemeHTTP();   // replaced by schemeWS after the secure one
const QString& schemeWSS();
const QString& schemeWS();
const QString& hdrAuth();
const QString& hdrBearer();  // ends in one space: header value = hdrBearer() + token
const QString& hdrDeviceID();
const QString& hdrContentType();
const QString& mimeJSON();
const QString& hdrConnection();
const QString& valKeepAlive();
const QString& pathAuthCallback();  // the OAuth redirect URI is the server base followed by this
const QString& pathAuthToken();
const QString& pathAuthRefresh();
const QString& pathAuthLogout();
const QString& pathSettings();  // the account's settings copy
const QString& googleClientID();
const QString& googleAuthBase();

namespace detail {

using Key = std::array<std::uint8_t, 16>;

inline constexpr Key kKey{0x5a, 0xc3, 0x17, 0x8e, 0x21, 0xf4, 0x6b, 0x90,
                          0x3d, 0xa8, 0x72, 0x0f, 0xe6, 0x49, 0xb5, 0x1c};

// Runs only in the compiler, so the plain text never reaches the object file.
template <std::size_t N>
consteval std::array<std::uint8_t, N - 1> scramble(const char (&text)[N], const Key& key = kKey) {
    std::array<std::uint8_t, N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i)
        out[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ key[i % key.size()]);
    return out;
}

enum class Suffix { None, Space };

// The inverse of scramble(): XOR with the repeating key, read as UTF-8. Bytes that are not
// valid UTF-8 give the empty string (then a Space suffix gives a single space).
QString unscramble(const std::uint8_t* bytes, std::size_t size, const Key& key, Suffix suffix);

}  // namespace detail
}  // namespace StringShield

#include "Foundation/StringShield.h"

#include "Foundation/BuildConfig.h"

#include <QStringDecoder>

namespace StringShield {
namespace detail {

QString unscramble(const std::uint8_t* bytes, std::size_t size, const Key& key, Suffix suffix) {
    QByteArray plain(static_cast<qsizetype>(size), Qt::Uninitialized);
    for (std::size_t i = 0; i < size; ++i)
        plain[static_cast<qsizetype>(i)] = static_cast<char>(bytes[i] ^ key[i % key.size()]);

    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(plain);
    if (decoder.hasError()) text.clear();
    if (suffix == Suffix::Space) text.append(QLatin1Char(' '));
    return text;
}

}  // namespace detail

namespace {

template <std::size_t N>
QString reveal(const std::array<std::uint8_t, N>& stored, detail::Suffix suffix = detail::Suffix::None) {
    return detail::unscramble(stored.data(), N, detail::kKey, suffix);
}

}  // namespace

// Each accessor holds its scrambled bytes as a compile-time constant and its plain value in a
// function-local static, which C++ initialises exactly once even when first read concurrently.
#define VANTROSE_SHIELDED(name, value, ...)                                                                            \
    const QString& name() {                                                                                            \
        static constexpr auto stored = detail::scramble(value);                                                        \
        static const QString plain = reveal(stored __VA_OPT__(, ) __VA_ARGS__);                                        \
        return plain;                                                                                                  \
    }

VANTROSE_SHIELDED(apiBase, VANTROSE_CFG_SERVER_BASE)
VANTROSE_SHIELDED(ollamaBase, VANTROSE_CFG_OLLAMA_BASE)
VANTROSE_SHIELDED(pathTranscribe, "/v1/transcribe")
VANTROSE_SHIELDED(pathFormat, "/v1/format")
VANTROSE_SHIELDED(pathEvents, "/v1/events")
VANTROSE_SHIELDED(pathHealth, "/health")
VANTROSE_SHIELDED(pathWSTranscribe, "/v1/ws/transcribe")
// Full "scheme://" prefixes, so replacing them cannot touch a host name that contains "http".
VANTROSE_SHIELDED(schemeHTTPS, "https://")
VANTROSE_SHIELDED(schemeHTTP, "http://")
VANTROSE_SHIELDED(schemeWSS, "wss://")
VANTROSE_SHIELDED(schemeWS, "ws://")
VANTROSE_SHIELDED(hdrAuth, "Authorization")
VANTROSE_SHIELDED(hdrBearer, "Bearer", detail::Suffix::Space)
VANTROSE_SHIELDED(hdrDeviceID, "X-Device-ID")
VANTROSE_SHIELDED(hdrContentType, "Content-Type")
VANTROSE_SHIELDED(mimeJSON, "application/json")
VANTROSE_SHIELDED(hdrConnection, "Connection")
VANTROSE_SHIELDED(valKeepAlive, "keep-alive")
VANTROSE_SHIELDED(pathAuthCallback, "/auth/google/callback")
VANTROSE_SHIELDED(pathAuthToken, "/auth/token")
VANTROSE_SHIELDED(pathAuthRefresh, "/auth/refresh")
VANTROSE_SHIELDED(pathAuthLogout, "/auth/logout")
VANTROSE_SHIELDED(pathSettings, "/settings")
VANTROSE_SHIELDED(googleClientID, VANTROSE_CFG_OAUTH_CLIENT_ID)
VANTROSE_SHIELDED(googleAuthBase, VANTROSE_CFG_GOOGLE_AUTH_BASE)

#undef VANTROSE_SHIELDED

}  // namespace StringShield

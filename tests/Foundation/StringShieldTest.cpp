#include "Foundation/StringShield.h"
#include "Foundation/BuildConfig.h"
#include "Foundation/Config.h"

#include <QByteArray>
#include <QFile>
#include <QUrl>

#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace StringShield;

namespace {
template <std::size_t N>
QString roundTrip(const std::array<std::uint8_t, N>& stored, detail::Suffix suffix = detail::Suffix::None,
                  const detail::Key& key = detail::kKey) {
    return detail::unscramble(stored.data(), N, key, suffix);
}
}  // namespace

TEST(StringShieldTest, UnscrambleInvertsTheCompileTimeScramble) {
    static constexpr auto empty = detail::scramble("");
    static_assert(empty.size() == 0);
    EXPECT_EQ(roundTrip(empty), "");
    EXPECT_EQ(roundTrip(empty, detail::Suffix::Space), " ");

    // Longer than the key: positions 16 and 32 reuse key byte 0.
    static constexpr auto longer = detail::scramble("0123456789abcdef0123456789abcdef01");
    static_assert(longer[0] == (std::uint8_t('0') ^ detail::kKey[0]));
    static_assert(longer[16] == (std::uint8_t('0') ^ detail::kKey[0]));
    static_assert(longer[33] == (std::uint8_t('1') ^ detail::kKey[1]));
    EXPECT_EQ(roundTrip(longer), "0123456789abcdef0123456789abcdef01");

    static constexpr auto accented = detail::scramble("Grüße, 東京");
    EXPECT_EQ(roundTrip(accented), QString::fromUtf8("Grüße, 東京"));
    EXPECT_EQ(roundTrip(detail::scramble("Bearer"), detail::Suffix::Space), "Bearer ");

    // A different key gives different bytes but the same text back.
    static constexpr detail::Key other{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static constexpr auto withOther = detail::scramble("http://127.0.0.1", other);
    EXPECT_NE(withOther, detail::scramble("http://127.0.0.1"));
    EXPECT_EQ(roundTrip(withOther, detail::Suffix::None, other), "http://127.0.0.1");
}

TEST(StringShieldTest, BytesThatAreNotUtf8ReadAsEmpty) {
    const std::vector<std::vector<std::uint8_t>> invalid = {
        {0xff},                        // never valid
        {'a', 0xc3},                   // truncated two-byte sequence
        {0xc0, 0xaf},                  // overlong encoding of '/'
        {'o', 'k', 0xed, 0xa0, 0x80},  // encoded surrogate
    };
    for (auto plain : invalid) {
        for (std::size_t i = 0; i < plain.size(); ++i) plain[i] ^= detail::kKey[i % 16];
        EXPECT_EQ(detail::unscramble(plain.data(), plain.size(), detail::kKey, detail::Suffix::None), "");
        EXPECT_EQ(detail::unscramble(plain.data(), plain.size(), detail::kKey, detail::Suffix::Space), " ");
    }
}

// Only Google's own authorisation page makes the sign-in one "with Google".
TEST(StringShieldTest, OnlyGooglesAuthorisationPageSignsInWithGoogle) {
    const std::pair<const char*, bool> pages[] = {
        {"https://accounts.google.com/o/oauth2/v2/auth", true},
        {"https://google.com/auth", true},
        {"http://127.0.0.1:8787/oauth/authorize", false},
        {"http://accounts.google.com/o/oauth2/v2/auth", false},  // not over https
        {"https://accounts.google.com.example.net/auth", false},
        {"https://notgoogle.com/auth", false},
        {"", false},
    };
    for (const auto& [page, google] : pages) EXPECT_EQ(Config::isGoogleAuthorizationPage(page), google) << page;
}

TEST(StringShieldTest, ConstantsCarryTheConfiguredValues) {
    EXPECT_EQ(apiBase(), VANTROSE_CFG_SERVER_BASE);
    EXPECT_EQ(ollamaBase(), VANTROSE_CFG_OLLAMA_BASE);
    EXPECT_EQ(googleClientID(), VANTROSE_CFG_OAUTH_CLIENT_ID);
    EXPECT_EQ(googleAuthBase(), VANTROSE_CFG_GOOGLE_AUTH_BASE);
    EXPECT_EQ(Config::defaultServerURL(), apiBase());
    EXPECT_EQ(Config::googleClientID(), googleClientID());
    EXPECT_EQ(Config::urlScheme(), VANTROSE_CFG_URL_SCHEME);

    EXPECT_EQ(hdrBearer(), "Bearer ");
    EXPECT_EQ(hdrBearer() + "tok", "Bearer tok");
    for (const QString* path :
         {&pathTranscribe(), &pathFormat(), &pathEvents(), &pathHealth(), &pathWSTranscribe(), &pathAuthCallback(),
          &pathAuthToken(), &pathAuthRefresh(), &pathAuthLogout(), &pathSettings()}) {
        EXPECT_TRUE(path->startsWith('/')) << path->toStdString();
        EXPECT_TRUE(QUrl(apiBase() + *path).isValid());
    }

    // The WebSocket URL is built by swapping scheme texts inside the server base.
    QString ws =
        QString("https://api.example.test").replace(schemeHTTPS(), schemeWSS()).replace(schemeHTTP(), schemeWS());
    EXPECT_EQ(ws, "wss://api.example.test");
    ws = QString("http://httpbin.test").replace(schemeHTTPS(), schemeWSS()).replace(schemeHTTP(), schemeWS());
    EXPECT_EQ(ws, "ws://httpbin.test");
}

TEST(StringShieldTest, FirstReadsFromManyThreadsAgree) {
    std::vector<const QString*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &hdrContentType(); });
    for (auto& t : threads) t.join();
    for (const QString* s : seen) {
        EXPECT_EQ(s, seen[0]);  // one object, initialised once
        EXPECT_EQ(*s, "Content-Type");
    }
}

TEST(StringShieldTest, PlainValuesAreNotInTheObjectFile) {
    QFile object(VANTROSE_BINARY_DIR "/src/CMakeFiles/vantrose_foundation.dir/Foundation/StringShield.cpp.o");
    ASSERT_TRUE(object.open(QIODevice::ReadOnly)) << object.fileName().toStdString();
    const QByteArray image = object.readAll();
    for (const char* plain : {"/auth/google/callback", "application/json", "Authorization", VANTROSE_CFG_SERVER_BASE,
                              VANTROSE_CFG_OAUTH_CLIENT_ID})
        EXPECT_FALSE(image.contains(plain)) << plain;
}

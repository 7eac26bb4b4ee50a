#include "Models/AppClassification.h"
#include "Foundation/Clock.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <set>
#include <string>

namespace {

std::string raw(AppType type) { return rawValue(type).toStdString(); }

TEST(AppTypeTest, RawValuesAreTheCaseNamesInDeclarationOrder) {
    const char* names[] = {"email",  "messaging", "coding", "browser", "document", "terminal",
                           "social", "ai",        "search", "media",   "general"};
    for (int i = 0; i < 11; ++i) {
        const AppType type(static_cast<AppType::Value>(i));
        EXPECT_EQ(raw(type), names[i]);
        EXPECT_EQ(fromRawValue<AppType>(QString::fromLatin1(names[i])), type);
    }
    EXPECT_FALSE(fromRawValue<AppType>(QStringLiteral("Email")).has_value());
    EXPECT_FALSE(fromRawValue<AppType>(QString()).has_value());
}

struct DetectCase {
    const char* bundleId;
    const char* appName;
    AppType::Value expected;
};

void PrintTo(const DetectCase& c, std::ostream* os) { *os << '"' << c.bundleId << "\" / \"" << c.appName << '"'; }

class AppTypeDetectTest : public testing::TestWithParam<DetectCase> {};

TEST_P(AppTypeDetectTest, Detects) {
    const DetectCase& c = GetParam();
    EXPECT_EQ(raw(AppType::detect(QString::fromUtf8(c.bundleId), QString::fromUtf8(c.appName))), raw(c.expected))
        << c.bundleId << " / " << c.appName;
}

INSTANTIATE_TEST_SUITE_P(
    MacIdentifiers, AppTypeDetectTest,
    testing::Values(DetectCase{"", "", AppType::general}, DetectCase{"com.apple.mail", "Mail", AppType::email},
                    DetectCase{"com.readdle.smartemail-Mac", "Spark", AppType::email},
                    DetectCase{"io.canarymail.mac", "Canary Mail", AppType::email},
                    DetectCase{"com.tinyspeck.slackmacgap", "Slack", AppType::messaging},
                    DetectCase{"us.zoom.xos", "zoom.us", AppType::messaging},
                    DetectCase{"", "Microsoft Teams", AppType::messaging},
                    // The Messages application: "mobilesms" is not on this list and neither is its name.
                    DetectCase{"com.apple.MobileSMS", "Messages", AppType::general},
                    DetectCase{"com.microsoft.VSCode", "Code", AppType::coding},
                    DetectCase{"com.todesktop.230313mzl4w4u92", "Cursor", AppType::coding},
                    DetectCase{"", "Visual Studio Code", AppType::coding},
                    DetectCase{"com.openai.chat", "ChatGPT", AppType::ai}, DetectCase{"", "Gemini", AppType::ai},
                    DetectCase{"com.atebits.Tweetie2", "Twitter", AppType::social},
                    DetectCase{"", "X", AppType::social}, DetectCase{"", "Box", AppType::general},
                    DetectCase{"com.spotify.client", "Spotify", AppType::media},
                    DetectCase{"com.raycast.macos", "Raycast", AppType::search},
                    DetectCase{"com.apple.Safari", "Safari", AppType::browser},
                    DetectCase{"com.microsoft.edgemac", "Microsoft Edge", AppType::browser},
                    DetectCase{"com.mitchellh.ghostty", "Ghostty", AppType::terminal},
                    DetectCase{"com.apple.Terminal", "Terminal", AppType::terminal},
                    DetectCase{"notion.id", "Notion", AppType::document},
                    DetectCase{"com.microsoft.Word", "Microsoft Word", AppType::document},
                    // Precedence: the messaging list wins over a coding name.
                    DetectCase{"com.tinyspeck.slackmacgap", "Cursor", AppType::messaging},
                    // Case does not matter.
                    DetectCase{"COM.APPLE.SAFARI", "SAFARI", AppType::browser}));

INSTANTIATE_TEST_SUITE_P(
    LinuxIdentifiers, AppTypeDetectTest,
    testing::Values(
        DetectCase{"code", "Visual Studio Code", AppType::coding},
        DetectCase{"com.visualstudio.code", "Code", AppType::coding}, DetectCase{"codium", "VSCodium", AppType::coding},
        DetectCase{"cursor", "", AppType::coding}, DetectCase{"dev.zed.Zed", "Zed", AppType::coding},
        DetectCase{"jetbrains-idea-ce", "IntelliJ IDEA", AppType::coding},
        DetectCase{"sublime_text", "Sublime Text", AppType::coding},
        DetectCase{"com.slack.Slack", "", AppType::messaging}, DetectCase{"im.riot.Riot", "", AppType::messaging},
        DetectCase{"element-desktop", "", AppType::messaging}, DetectCase{"us.zoom.Zoom", "", AppType::messaging},
        DetectCase{"org.telegram.desktop", "", AppType::messaging},
        DetectCase{"org.mozilla.thunderbird", "", AppType::email}, DetectCase{"org.gnome.Geary", "", AppType::email},
        DetectCase{"chromium", "Chromium", AppType::browser}, DetectCase{"org.chromium.Chromium", "", AppType::browser},
        DetectCase{"google-chrome", "", AppType::browser}, DetectCase{"org.mozilla.firefox", "", AppType::browser},
        DetectCase{"firefox-esr", "", AppType::browser}, DetectCase{"microsoft-edge", "", AppType::browser},
        DetectCase{"com.brave.Browser", "", AppType::browser}, DetectCase{"com.opera.Opera", "", AppType::browser},
        DetectCase{"konsole", "", AppType::terminal}, DetectCase{"org.gnome.Terminal", "", AppType::terminal},
        DetectCase{"gnome-terminal-server", "", AppType::terminal}, DetectCase{"xterm", "", AppType::terminal},
        DetectCase{"com.gexperts.Tilix", "", AppType::terminal},
        DetectCase{"org.wezfurlong.wezterm", "", AppType::terminal}, DetectCase{"foot", "", AppType::terminal},
        DetectCase{"org.gnome.Console", "", AppType::terminal}, DetectCase{"org.gnome.Ptyxis", "", AppType::terminal},
        DetectCase{"org.kde.yakuake", "", AppType::terminal}, DetectCase{"guake", "", AppType::terminal},
        DetectCase{"st-256color", "", AppType::terminal}, DetectCase{"st", "", AppType::terminal},
        DetectCase{"terminology", "", AppType::terminal}, DetectCase{"md.obsidian.Obsidian", "", AppType::document},
        DetectCase{"libreoffice-writer", "", AppType::document}, DetectCase{"org.videolan.VLC", "", AppType::media},
        DetectCase{"org.kde.krunner", "", AppType::search}));

// Short tokens hit only as a whole piece of the identifier, never inside another word.
INSTANTIATE_TEST_SUITE_P(
    WholeSegments, AppTypeDetectTest,
    testing::Values(
        DetectCase{"org.example.arc", "", AppType::browser}, DetectCase{"org.example.research", "", AppType::general},
        DetectCase{"com.example.knowledge", "", AppType::general},
        DetectCase{"org.example.edge-client", "", AppType::browser},
        DetectCase{"com.1password.1password", "1Password", AppType::general},
        DetectCase{"com.mojang.minecraft", "", AppType::general},
        DetectCase{"org.example.scenario", "", AppType::general}, DetectCase{"org.x.Warpinator", "", AppType::general},
        DetectCase{"dev.warp.Warp", "", AppType::terminal}, DetectCase{"org.example.canvas", "", AppType::general},
        DetectCase{"com.example.poetry", "", AppType::general},
        // "element" inside "elementary" is not the messenger; the editor is still found.
        DetectCase{"io.elementary.code", "Code", AppType::coding},
        // A browser's canary build is a browser, not the mail client of that name.
        DetectCase{"com.google.Chrome.canary", "Google Chrome Canary", AppType::browser}));

struct UrlCase {
    const char* url;
    AppType::Value expected;
};

void PrintTo(const UrlCase& c, std::ostream* os) { *os << '"' << c.url << '"'; }

class AppTypeFromUrlTest : public testing::TestWithParam<UrlCase> {};

TEST_P(AppTypeFromUrlTest, Detects) {
    EXPECT_EQ(raw(AppType::detectFromURL(QString::fromUtf8(GetParam().url))), raw(GetParam().expected))
        << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(Hosts, AppTypeFromUrlTest,
                         testing::Values(UrlCase{"", AppType::browser},
                                         UrlCase{"https://example.com/mail", AppType::browser},
                                         UrlCase{"https://mail.google.com/mail/u/0/#inbox", AppType::email},
                                         UrlCase{"outlook.office.com/mail", AppType::email},
                                         UrlCase{"https://app.slack.com/client/T1", AppType::messaging},
                                         UrlCase{"https://discord.com/channels/1", AppType::messaging},
                                         UrlCase{"https://teams.microsoft.com/", AppType::messaging},
                                         UrlCase{"https://web.whatsapp.com/", AppType::messaging},
                                         UrlCase{"https://web.telegram.org/k/", AppType::messaging},
                                         UrlCase{"https://www.messenger.com/t/1", AppType::messaging},
                                         UrlCase{"https://claude.ai/new", AppType::ai},
                                         UrlCase{"https://x.com/home", AppType::social},
                                         UrlCase{"https://mobile.x.com/home", AppType::social},
                                         UrlCase{"https://www.dropbox.com/home", AppType::browser},
                                         UrlCase{"https://github.com/org/repo", AppType::coding},
                                         UrlCase{"https://user@github.com:443/org", AppType::coding},
                                         UrlCase{"https://docs.google.com/document/d/1", AppType::document},
                                         UrlCase{"HTTPS://GITHUB.COM/ORG", AppType::coding}));

TEST(AppContextTest, BrowserTypeIsRefinedByTheAddress) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    const auto make = [](const char* bundleId, std::optional<QString> url) {
        return AppContext(QStringLiteral("App"), QString::fromUtf8(bundleId), std::move(url), QStringLiteral("before"),
                          QStringLiteral("after"), QString(), true, {});
    };
    EXPECT_EQ(raw(make("org.mozilla.firefox", QStringLiteral("https://web.whatsapp.com/")).appType), "messaging");
    EXPECT_EQ(raw(make("org.mozilla.firefox", QStringLiteral("HTTPS://GITHUB.COM/x")).appType), "coding");
    EXPECT_EQ(raw(make("org.mozilla.firefox", QStringLiteral("https://example.org/")).appType), "browser");
    EXPECT_EQ(raw(make("org.mozilla.firefox", QString()).appType), "browser");
    EXPECT_EQ(raw(make("org.mozilla.firefox", std::nullopt).appType), "browser");
    // Only a browser is refined.
    EXPECT_EQ(raw(make("com.slack.Slack", QStringLiteral("https://github.com/")).appType), "messaging");

    const AppContext context = make("code", std::nullopt);
    EXPECT_EQ(context.timestamp, clock.now());
    EXPECT_EQ(context.beforeText, QStringLiteral("before"));
    EXPECT_TRUE(context.isEditable);
    Clock::setCurrent(nullptr);
}

struct ClassifyCase {
    const char* bundleId;
    const char* appName;
    std::optional<const char*> url;
    AppType::Value type;
    std::set<std::string> flags;  // the flags that are true; every other one is false
};

std::set<std::string> trueFlags(const AppClassification& c) {
    std::set<std::string> out;
    const std::pair<const char*, bool> all[] = {
        {"isMessaging", c.isMessaging}, {"isEmail", c.isEmail},  {"isCoding", c.isCoding}, {"isBrowser", c.isBrowser},
        {"isAIChat", c.isAIChat},       {"isSlack", c.isSlack},  {"isVSCode", c.isVSCode}, {"isCursor", c.isCursor},
        {"isChrome", c.isChrome},       {"isSafari", c.isSafari}};
    for (const auto& [name, on] : all) {
        if (on) out.insert(name);
    }
    return out;
}

void PrintTo(const ClassifyCase& c, std::ostream* os) {
    *os << '"' << c.bundleId << "\" / \"" << c.appName << "\" / \"" << c.url.value_or("(none)") << '"';
}

class ClassifyTest : public testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, Classifies) {
    const ClassifyCase& c = GetParam();
    std::optional<QString> url;
    if (c.url) url = QString::fromUtf8(*c.url);
    const AppClassification result =
        AppClassification::classify(QString::fromUtf8(c.bundleId), QString::fromUtf8(c.appName), url);
    EXPECT_EQ(raw(result.type), raw(c.type)) << c.bundleId << " / " << c.appName;
    EXPECT_EQ(trueFlags(result), c.flags) << c.bundleId << " / " << c.appName;
}

const std::optional<const char*> none;

INSTANTIATE_TEST_SUITE_P(
    Applications, ClassifyTest,
    testing::Values(ClassifyCase{"", "", none, AppType::general, {}},
                    ClassifyCase{"com.tinyspeck.slackmacgap",
                                 "Cursor",
                                 none,
                                 AppType::messaging,
                                 {"isMessaging", "isCoding", "isSlack", "isCursor"}},
                    ClassifyCase{"COM.TINYSPECK.SLACKMACGAP",
                                 "CURSOR",
                                 none,
                                 AppType::messaging,
                                 {"isMessaging", "isCoding", "isSlack", "isCursor"}},
                    ClassifyCase{"com.slack.Slack", "Slack", none, AppType::messaging, {"isMessaging", "isSlack"}},
                    ClassifyCase{"slack", "", none, AppType::messaging, {"isMessaging", "isSlack"}},
                    ClassifyCase{"com.apple.MobileSMS", "Messages", none, AppType::messaging, {"isMessaging"}},
                    ClassifyCase{"com.hnc.Discord", "Discord", none, AppType::messaging, {"isMessaging"}},
                    ClassifyCase{"com.apple.mail", "Mail", none, AppType::email, {"isEmail"}},
                    ClassifyCase{"org.mozilla.thunderbird", "Thunderbird", none, AppType::email, {"isEmail"}},
                    ClassifyCase{"com.google.Chrome.canary", "", none, AppType::browser, {"isBrowser", "isChrome"}},
                    ClassifyCase{"com.microsoft.VSCode", "Code", none, AppType::coding, {"isCoding", "isVSCode"}},
                    ClassifyCase{"code", "Visual Studio Code", none, AppType::coding, {"isCoding", "isVSCode"}},
                    ClassifyCase{"io.elementary.code", "Code", none, AppType::coding, {"isCoding"}},
                    ClassifyCase{
                        "com.todesktop.230313mzl4w4u92", "Cursor", none, AppType::coding, {"isCoding", "isCursor"}},
                    ClassifyCase{"dev.zed.Zed", "Zed", none, AppType::coding, {"isCoding"}},
                    ClassifyCase{"com.openai.chat", "ChatGPT", none, AppType::ai, {"isAIChat"}},
                    ClassifyCase{"", "Claude", none, AppType::ai, {"isAIChat"}},
                    ClassifyCase{"com.spotify.client", "Spotify", none, AppType::media, {}},
                    ClassifyCase{"com.raycast.macos", "Raycast", none, AppType::search, {}},
                    ClassifyCase{"org.kde.krunner", "", none, AppType::search, {}},
                    ClassifyCase{"com.apple.Safari", "Safari", none, AppType::browser, {"isBrowser", "isSafari"}},
                    ClassifyCase{"org.mozilla.firefox", "Firefox", none, AppType::browser, {"isBrowser"}},
                    ClassifyCase{"chromium", "Chromium", none, AppType::browser, {"isBrowser", "isChrome"}},
                    ClassifyCase{"microsoft-edge", "", none, AppType::browser, {"isBrowser"}},
                    ClassifyCase{"org.kde.konsole", "Konsole", none, AppType::terminal, {}},
                    ClassifyCase{"org.gnome.Terminal", "", none, AppType::terminal, {}},
                    ClassifyCase{"foot", "", none, AppType::terminal, {}},
                    ClassifyCase{"org.gnome.Ptyxis", "", none, AppType::terminal, {}},
                    ClassifyCase{"org.kde.yakuake", "", none, AppType::terminal, {}},
                    ClassifyCase{"guake", "", none, AppType::terminal, {}},
                    ClassifyCase{"st-256color", "", none, AppType::terminal, {}},
                    ClassifyCase{"terminology", "", none, AppType::terminal, {}},
                    ClassifyCase{"org.x.Warpinator", "", none, AppType::general, {}},
                    ClassifyCase{"md.obsidian.Obsidian", "", none, AppType::document, {}},
                    ClassifyCase{"com.mojang.minecraft", "", none, AppType::general, {}}));

INSTANTIATE_TEST_SUITE_P(
    BrowserAddresses, ClassifyTest,
    testing::Values(
        ClassifyCase{"com.google.Chrome",
                     "",
                     "https://mail.google.com/mail/u/0",
                     AppType::email,
                     {"isEmail", "isBrowser", "isChrome"}},
        ClassifyCase{"com.google.Chrome",
                     "",
                     "https://docs.google.com/document/d/1",
                     AppType::document,
                     {"isBrowser", "isChrome"}},
        ClassifyCase{
            "org.chromium.Chromium", "", "https://github.com/org/repo", AppType::coding, {"isBrowser", "isChrome"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://bitbucket.org/x", AppType::coding, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://claude.ai/new", AppType::ai, {"isBrowser", "isAIChat"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://chat.mistral.ai/", AppType::ai, {"isBrowser", "isAIChat"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://huggingface.co/chat/", AppType::ai, {"isBrowser", "isAIChat"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://huggingface.co/models", AppType::browser, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://mastodon.social/home", AppType::social, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://x.com/home", AppType::social, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://www.dropbox.com/", AppType::browser, {"isBrowser"}},
        // Three team-chat hosts count for this classifier; the other messengers stay browser.
        ClassifyCase{"org.mozilla.firefox", "", "https://app.slack.com/client", AppType::messaging, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://web.whatsapp.com/", AppType::browser, {"isBrowser"}},
        ClassifyCase{
            "org.mozilla.firefox", "", "https://www.google.com/search?q=dictation", AppType::search, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://www.google.com/", AppType::browser, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "https://www.youtube.com/watch?v=1", AppType::media, {"isBrowser"}},
        ClassifyCase{"org.mozilla.firefox", "", "", AppType::browser, {"isBrowser"}}));

}  // namespace

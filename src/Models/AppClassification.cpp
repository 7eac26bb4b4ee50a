#include "Models/AppClassification.h"

#include "Foundation/Clock.h"

#include <array>

namespace {

using Kind = AppPattern::Kind;

constexpr AppPattern part(const char* text) { return {text, Kind::contains}; }
constexpr AppPattern word(const char* text) { return {text, Kind::segment}; }
constexpr AppPattern whole(const char* text) { return {text, Kind::equals}; }

bool isSeparator(QChar c) { return !c.isLetterOrNumber(); }

bool hasSegment(const QString& lowered, QLatin1StringView segment) {
    const qsizetype n = lowered.size();
    qsizetype start = 0;
    while (start <= n) {
        qsizetype end = start;
        while (end < n && !isSeparator(lowered.at(end))) ++end;
        if (QStringView(lowered).mid(start, end - start) == segment) return true;
        start = end + 1;
    }
    return false;
}

bool anyMatch(AppPatternList patterns, const QString& lowered) {
    for (const AppPattern& p : patterns) {
        if (p.matches(lowered)) return true;
    }
    return false;
}

// ---- Identifier tables of AppType::detect, tried in this order ----

constexpr AppPattern kDetectEmail[] = {
    part("mail"),
    part("outlook"),
    part("thunderbird"),
    part("spark"),
    part("airmail"),
    part("protonmail"),
    part("superhuman"),
    part("fastmail"),
    part("mimestream"),
    // The mail client of that name; a plain "canary" would also catch browsers' canary builds.
    part("canarymail"),
    // The desktop's own mail clients take the place of the system mail application.
    word("geary"),
    word("evolution"),
};

constexpr AppPattern kDetectMessaging[] = {
    part("slack"),
    part("discord"),
    part("telegram"),
    part("whatsapp"),
    part("messages"),
    part("signal"),
    part("teams"),
    part("messenger"),
    word("element"),
    part("us.zoom"),
    part("webex"),
    part("facetime"),
    word("loom"),
    word("around"),
    // Linux: Element's Flatpak id, Zoom's desktop id and window class.
    part("im.riot"),
    word("zoom"),
};
constexpr AppPattern kDetectMessagingNames[] = {part("slack"), part("discord"), part("teams")};

constexpr AppPattern kDetectCoding[] = {
    part("vscode"),
    part("visual-studio"),
    part("xcode"),
    part("sublime"),
    part("intellij"),
    part("jetbrains"),
    word("zed"),
    part("windsurf"),
    word("nova"),
    part("bbedit"),
    part("coteditor"),
    part("neovide"),
    whole("com.todesktop.230313mzl4w4u92"),
    // Linux: VS Code ("code", "com.visualstudio.code"), its open builds, Cursor's desktop id.
    word("code"),
    part("code-oss"),
    part("codium"),
    whole("cursor"),
};
constexpr AppPattern kDetectCodingNames[] = {part("cursor"), part("vs code"), part("visual studio code")};

constexpr AppPattern kDetectAI[] = {
    part("chatgpt"),    part("claude"), part("openai"),       part("anthropic"), part("copilot"),
    part("perplexity"), word("poe"),    part("ai.character"), part("ollama"),
};
constexpr AppPattern kDetectAINames[] = {
    part("chatgpt"), part("claude"), part("gemini"), part("perplexity"), part("grok"),
};

constexpr AppPattern kDetectSocial[] = {
    part("tweetie"), part("twitter"), part("tweetbot"),  word("ivory"),  part("mastodon"), part("linkedin"),
    part("reddit"),  word("apollo"),  part("instagram"), part("tiktok"), word("threads"),  part("bluesky"),
};
constexpr AppPattern kDetectSocialNames[] = {
    whole("x"),
    part("twitter"),
    part("linkedin"),
    part("reddit"),
};

constexpr AppPattern kDetectMedia[] = {
    part("spotify"), part("music"), part("podcast"), part("youtube"),
    part("netflix"), part("vlc"),   part("iina"),    word("plex"),
};
constexpr AppPattern kDetectMediaNames[] = {part("youtube"), part("spotify")};

// Linux launchers do the launcher's job of the macOS search tools.
constexpr AppPattern kLinuxLaunchers[] = {part("krunner"), part("ulauncher"), word("albert")};
constexpr AppPattern kDetectSearch[] = {
    part("spotlight"),  part("raycast"),    part("alfred"),     part("launchbar"),
    kLinuxLaunchers[0], kLinuxLaunchers[1], kLinuxLaunchers[2],
};

constexpr AppPattern kDetectBrowser[] = {
    part("safari"),
    part("chrome"),
    part("firefox"),
    word("arc"),
    part("brave"),
    word("edge"),
    part("com.microsoft.edgemac"),
    word("opera"),
    part("vivaldi"),
    word("orion"),
    part("zen-browser"),
    part("sigmaos"),
    // Linux: Chromium (no "chrome" in its ids), Zen's Flatpak id.
    part("chromium"),
    part("zen_browser"),
};

constexpr AppPattern kTerminals[] = {
    part("terminal"),
    part("iterm"),
    word("warp"),
    part("alacritty"),
    part("kitty"),
    word("hyper"),
    word("rio"),
    part("ghostty"),
    // Linux terminal emulators.
    part("konsole"),
    part("xterm"),
    part("tilix"),
    part("wezterm"),
    word("foot"),
    part("footclient"),
    part("terminator"),
    part("urxvt"),
    part("org.gnome.console"),
    whole("kgx"),
    part("ptyxis"),
    part("yakuake"),
    part("guake"),
    whole("st"),
    part("st-256color"),
    part("terminology"),
};

constexpr AppPattern kDetectDocument[] = {
    part("notion"),
    part("obsidian"),
    word("bear"),
    word("notes"),
    word("pages"),
    word("word"),
    word("docs"),
    word("linear"),
    word("craft"),
    part("ulysses"),
    part("ia-writer"),
    part("typora"),
    part("figma"),
    part("sketch"),
    word("canva"),
    part("keynote"),
    part("powerpoint"),
    word("numbers"),
    word("excel"),
    part("airtable"),
    word("coda"),
    // Linux: the office suite that stands in for the word processor, slides and sheets.
    part("libreoffice"),
    whole("soffice"),
};

struct DetectRule {
    AppType::Value type;
    AppPatternList bundle;
    AppPatternList name;
};

const std::array<DetectRule, 10> kDetectRules = {{
    {AppType::email, kDetectEmail, {}},
    {AppType::messaging, kDetectMessaging, kDetectMessagingNames},
    {AppType::coding, kDetectCoding, kDetectCodingNames},
    {AppType::ai, kDetectAI, kDetectAINames},
    {AppType::social, kDetectSocial, kDetectSocialNames},
    {AppType::media, kDetectMedia, kDetectMediaNames},
    {AppType::search, kDetectSearch, {}},
    {AppType::browser, kDetectBrowser, {}},
    {AppType::terminal, kTerminals, {}},
    {AppType::document, kDetectDocument, {}},
}};

// ---- Web addresses ----
//
// A host row matches the address's host or any subdomain of it ("x.com" matches
// "mobile.x.com" but not "dropbox.com"); a row with a path also needs the path to start with
// it at a segment boundary ("google.com/search").

struct Address {
    QString host;
    QString path;
};

Address parseAddress(const QString& lowered) {
    QStringView rest(lowered);
    if (const qsizetype scheme = rest.indexOf(u"://"); scheme >= 0) rest = rest.mid(scheme + 3);
    qsizetype end = 0;
    while (end < rest.size() && rest.at(end) != u'/' && rest.at(end) != u'?' && rest.at(end) != u'#') ++end;
    QStringView authority = rest.left(end);
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) authority = authority.mid(at + 1);
    if (const qsizetype colon = authority.indexOf(u':'); colon >= 0) authority = authority.left(colon);
    while (authority.endsWith(u'.')) authority.chop(1);
    QStringView path = rest.mid(end);
    if (const qsizetype q = path.indexOf(u'?'); q >= 0) path = path.left(q);
    if (const qsizetype h = path.indexOf(u'#'); h >= 0) path = path.left(h);
    return {authority.toString(), path.toString()};
}

bool addressMatches(const Address& address, QLatin1StringView row) {
    QLatin1StringView host = row;
    QLatin1StringView path;
    if (const qsizetype slash = row.indexOf(u'/'); slash >= 0) {
        host = row.left(slash);
        path = row.mid(slash);
    }
    const bool hostHit = address.host == host || (address.host.endsWith(host) && address.host.size() > host.size() &&
                                                  address.host.at(address.host.size() - host.size() - 1) == u'.');
    if (!hostHit) return false;
    if (path.isEmpty()) return true;
    return address.path == path || (address.path.startsWith(path) && address.path.at(path.size()) == u'/');
}

bool addressMatchesAny(const Address& address, std::span<const char* const> rows) {
    for (const char* row : rows) {
        if (addressMatches(address, QLatin1StringView(row))) return true;
    }
    return false;
}

constexpr const char* kWebMailHosts[] = {
    "mail.google.com", "outlook.live.com", "outlook.office.com", "outlook.office365.com",
    "mail.yahoo.com",  "mail.proton.me",   "app.fastmail.com",
};
constexpr const char* kChatHosts[] = {
    "app.slack.com", "discord.com", "teams.microsoft.com", "web.whatsapp.com", "web.telegram.org", "messenger.com",
};
constexpr const char* kAIHosts[] = {
    "chatgpt.com",
    "chat.openai.com",
    "claude.ai",
    "gemini.google.com",
    "perplexity.ai",
    "poe.com",
    "character.ai",
    "copilot.microsoft.com",
    // The assistant flag knows a few more.
    "grok.com",
    "chat.mistral.ai",
    "chat.deepseek.com",
    "huggingface.co/chat",
};
constexpr const char* kSocialHosts[] = {
    "x.com", "twitter.com", "linkedin.com", "reddit.com", "facebook.com", "instagram.com", "threads.net", "bsky.app",
};
constexpr const char* kCodeHosts[] = {
    "github.com",
    "gitlab.com",
    "stackoverflow.com",
    "codepen.io",
};
constexpr const char* kCodeHostsOfBrowsers[] = {
    "github.com", "gitlab.com", "bitbucket.org", "codepen.io", "codesandbox.io", "replit.com",
};
constexpr const char* kDocumentHosts[] = {
    "docs.google.com",
    "notion.so",
    "coda.io",
    "airtable.com",
};
constexpr const char* kMediaHosts[] = {
    "youtube.com", "netflix.com", "open.spotify.com", "twitch.tv", "youtu.be", "music.apple.com",
};
constexpr const char* kSearchHosts[] = {
    "google.com/search",
    "bing.com/search",
    "duckduckgo.com",
    "search.brave.com",
};

// ---- Tables of AppClassification::classify ----

constexpr AppPattern kMessagingBundles[] = {
    part("slackmacgap"),
    part("discord"),
    part("whatsapp"),
    part("signal"),
    part("mobilesms"),
    part("teams"),
    part("telegram"),
    part("messenger"),
    word("element"),
    part("us.zoom"),
    part("webex"),
    // Linux: Slack's Flatpak id and window class, Element's Flatpak id, Zoom's desktop id.
    part("com.slack.slack"),
    word("slack"),
    part("im.riot"),
    word("zoom"),
};
constexpr AppPattern kEmailBundles[] = {
    part("com.apple.mail"),
    part("microsoft.outlook"),
    part("readdle.smartemail"),
    part("protonmail"),
    part("superhuman"),
    part("mimestream"),
    part("canarymail"),
    part("thunderbird"),
    part("airmail"),
    part("fastmail"),
    // Linux: Proton Mail's desktop id; the desktop's own mail clients.
    part("proton-mail"),
    word("geary"),
    word("evolution"),
    part("kmail"),
};
constexpr AppPattern kVSCodeBundles[] = {
    part("vscode"), part("com.visualstudio.code"), whole("code"), part("code-oss"), part("codium"),
};
constexpr AppPattern kCodingBundles[] = {
    part("com.microsoft.vscode"),
    part("com.todesktop.230313mzl4w4u92"),
    part("com.exafunction.windsurf"),
    part("com.apple.dt.xcode"),
    part("dev.zed.zed"),
    part("sublimetext"),
    part("intellij"),
    part("jetbrains"),
    word("nova"),
    part("bbedit"),
    part("coteditor"),
    // Linux: VS Code and its open builds, Sublime Text's window class, Zed, Windsurf, Cursor.
    part("com.visualstudio.code"),
    word("code"),
    part("code-oss"),
    part("codium"),
    part("sublime_text"),
    part("sublime-text"),
    word("zed"),
    word("windsurf"),
    whole("cursor"),
};
constexpr AppPattern kBrowserBundles[] = {
    part("com.apple.safari"),
    part("com.google.chrome"),
    part("company.thebrowser.browser"),
    part("org.mozilla.firefox"),
    part("com.brave.browser"),
    part("com.microsoft.edgemac"),
    word("opera"),
    part("vivaldi"),
    word("orion"),
    // Linux: desktop ids and window classes of the same browsers.
    part("google-chrome"),
    part("chromium"),
    word("firefox"),
    part("brave-browser"),
    part("com.microsoft.edge"),
    part("microsoft-edge"),
};
constexpr AppPattern kAIBundles[] = {
    part("com.openai.chat"),
    part("com.anthropic.claudefordesktop"),
    part("copilot"),
    part("perplexity"),
    word("poe"),
    part("ai.character"),
    part("ollama"),
};
constexpr AppPattern kAINames[] = {
    part("chatgpt"), part("claude"), part("gemini"), part("perplexity"), part("grok"),
};
constexpr AppPattern kSocialBundles[] = {
    part("tweetie"), part("twitter"), part("tweetbot"),  word("ivory"),  part("mastodon"), part("linkedin"),
    part("reddit"),  word("apollo"),  part("instagram"), part("tiktok"), word("threads"),  part("bluesky"),
};
constexpr AppPattern kMediaBundles[] = {
    part("spotify"), part("youtube"), part("music"), part("podcast"), part("vlc"), part("iina"),
};
constexpr AppPattern kSearchBundles[] = {
    part("spotlight"), part("raycast"), part("alfred"), kLinuxLaunchers[0], kLinuxLaunchers[1], kLinuxLaunchers[2],
};
constexpr AppPattern kClassifyTerminals[] = {
    part("terminal"),    part("iterm"),       word("warp"),       part("alacritty"), part("kitty"),
    part("ghostty"),     part("konsole"),     part("xterm"),      part("tilix"),     part("wezterm"),
    word("foot"),        part("footclient"),  part("terminator"), part("urxvt"),     part("org.gnome.console"),
    whole("kgx"),        part("ptyxis"),      part("yakuake"),    part("guake"),     whole("st"),
    part("st-256color"), part("terminology"),
};
constexpr AppPattern kClassifyDocuments[] = {
    part("notion"), part("obsidian"), word("bear"), word("linear"), word("craft"), part("figma"),
};
constexpr AppPattern kSlackBundles[] = {part("slackmacgap"), part("com.slack.slack"), word("slack")};
constexpr AppPattern kChromeBundles[] = {part("chrome"), part("chromium")};

// The address rows of a browser, first hit decides.
struct BrowserRule {
    AppType::Value type;
    std::span<const char* const> rows;
};

const std::array<BrowserRule, 8> kBrowserRules = {{
    {AppType::email, std::span(kWebMailHosts).first(2)},
    {AppType::document, kDocumentHosts},
    {AppType::coding, kCodeHostsOfBrowsers},
    {AppType::ai, std::span(kAIHosts).first(8)},
    {AppType::social, kSocialHosts},
    {AppType::messaging, std::span(kChatHosts).first(3)},
    {AppType::media, std::span(kMediaHosts).first(4)},
    {AppType::search, std::span(kSearchHosts).first(3)},
}};

}  // namespace

bool AppPattern::matches(const QString& lowered) const {
    const QLatin1StringView t(text);
    switch (kind) {
    case Kind::contains: return lowered.contains(t);
    case Kind::segment: return hasSegment(lowered, t);
    case Kind::equals: return lowered == t;
    }
    return false;
}

AppType AppType::detect(const QString& bundleId, const QString& appName) {
    const QString b = bundleId.toLower();
    const QString n = appName.toLower();
    for (const DetectRule& rule : kDetectRules) {
        if (anyMatch(rule.bundle, b) || anyMatch(rule.name, n)) return rule.type;
    }
    return general;
}

AppType AppType::detectFromURL(const QString& url) {
    const Address address = parseAddress(url.toLower());
    const std::array<BrowserRule, 6> rules = {{
        {email, kWebMailHosts},
        {messaging, kChatHosts},
        {ai, std::span(kAIHosts).first(8)},
        {social, kSocialHosts},
        {coding, kCodeHosts},
        {document, kDocumentHosts},
    }};
    for (const BrowserRule& rule : rules) {
        if (addressMatchesAny(address, rule.rows)) return rule.type;
    }
    return browser;
}

AppContext::AppContext(QString appName, QString bundleId, std::optional<QString> appURL, QString beforeText,
                       QString afterText, QString selectedText, bool isEditable, QStringList ocrContext)
    : appName(std::move(appName)),
      bundleId(std::move(bundleId)),
      appURL(std::move(appURL)),
      appType(AppType::detect(this->bundleId, this->appName)),
      beforeText(std::move(beforeText)),
      afterText(std::move(afterText)),
      selectedText(std::move(selectedText)),
      isEditable(isEditable),
      ocrContext(std::move(ocrContext)),
      timestamp(Clock::current().now()) {
    if (appType == AppType::browser && this->appURL) {
        const QString lowered = this->appURL->toLower();
        if (!lowered.isEmpty()) appType = AppType::detectFromURL(lowered);
    }
}

const AppPatternList AppClassification::messagingBundlePatterns = kMessagingBundles;
const AppPatternList AppClassification::emailBundlePatterns = kEmailBundles;
const AppPatternList AppClassification::codingBundlePatterns = kCodingBundles;
const AppPatternList AppClassification::browserBundlePatterns = kBrowserBundles;
const AppPatternList AppClassification::aiBundlePatterns = kAIBundles;
const AppPatternList AppClassification::socialBundlePatterns = kSocialBundles;

AppClassification AppClassification::classify(const QString& bundleId, const QString& appName,
                                              const std::optional<QString>& url) {
    const QString b = bundleId.toLower();
    const QString n = appName.toLower();
    const QString u = url.value_or(QString()).toLower();
    const Address address = parseAddress(u);

    static constexpr AppPattern kMessagingNames[] = {part("slack"), part("discord")};
    static constexpr AppPattern kCodingNames[] = {part("cursor"), part("vs code")};

    AppClassification c;
    c.isMessaging = anyMatch(messagingBundlePatterns, b) || anyMatch(kMessagingNames, n);
    c.isEmail = anyMatch(emailBundlePatterns, b) || addressMatchesAny(address, std::span(kWebMailHosts).first(4));
    c.isCoding = anyMatch(codingBundlePatterns, b) || anyMatch(kCodingNames, n);
    c.isBrowser = anyMatch(browserBundlePatterns, b);
    c.isAIChat = anyMatch(aiBundlePatterns, b) || addressMatchesAny(address, kAIHosts) || anyMatch(kAINames, n);
    const bool isSocial = anyMatch(socialBundlePatterns, b) || addressMatchesAny(address, kSocialHosts) ||
                          u.contains(QLatin1StringView("mastodon"));
    const bool isMedia = anyMatch(kMediaBundles, b) || addressMatchesAny(address, kMediaHosts);
    const bool isSearch = anyMatch(kSearchBundles, b) || addressMatchesAny(address, kSearchHosts);

    if (c.isEmail) {
        c.type = AppType::email;
    } else if (c.isMessaging) {
        c.type = AppType::messaging;
    } else if (c.isCoding) {
        c.type = AppType::coding;
    } else if (c.isAIChat) {
        c.type = AppType::ai;
    } else if (isSocial) {
        c.type = AppType::social;
    } else if (isSearch) {
        c.type = AppType::search;
    } else if (isMedia) {
        c.type = AppType::media;
    } else if (c.isBrowser) {
        c.type = AppType::browser;
        for (const BrowserRule& rule : kBrowserRules) {
            if (addressMatchesAny(address, rule.rows)) {
                c.type = rule.type;
                break;
            }
        }
    } else if (anyMatch(kClassifyTerminals, b)) {
        c.type = AppType::terminal;
    } else if (anyMatch(kClassifyDocuments, b)) {
        c.type = AppType::document;
    }

    c.isSlack = anyMatch(kSlackBundles, b);
    c.isVSCode = anyMatch(kVSCodeBundles, b);
    c.isCursor = b.contains(QLatin1StringView("230313mzl4w4u92")) || whole("cursor").matches(b) ||
                 n.contains(QLatin1StringView("cursor"));
    c.isChrome = anyMatch(kChromeBundles, b);
    c.isSafari = b.contains(QLatin1StringView("safari"));
    return c;
}

#pragma once

#include "Models/RawValue.h"

#include <QDateTime>
#include <QHashFunctions>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

// The kind of application the user dictates into. Formatting, post-processing, typing
// reminders, telemetry and the history all key their behaviour on it; its raw value is the
// form in which the category is stored and reported.
//
// A small class around a plain enumeration, so the cases read as AppType::email, a value
// switches like an enum, and the category carries its own classifiers. Its text goes through
// RawValueTable like every enumeration's: rawValue(type), fromRawValue<AppType>(text).
class AppType {
public:
    enum Value : std::uint8_t {
        email,
        messaging,
        coding,
        browser,
        document,
        terminal,
        social,
        ai,
        search,
        media,
        general,
    };

    constexpr AppType() = default;  // general
    constexpr AppType(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }
    constexpr Value value() const { return m_value; }

    // The category from the application's identifier (macOS bundle identifier, or on Linux the
    // Flatpak/desktop-file id, GTK application id or WM_CLASS) and its display name.
    static AppType detect(const QString& bundleId, const QString& appName);
    // The category of a web address shown in a browser; browser when no list knows the site.
    static AppType detectFromURL(const QString& url);

private:
    Value m_value = general;
};

// The raw values are the case names.
template <>
struct RawValueTable<AppType> {
    static constexpr std::pair<AppType, const char*> cases[] = {
        {AppType::email, "email"},       {AppType::messaging, "messaging"},
        {AppType::coding, "coding"},     {AppType::browser, "browser"},
        {AppType::document, "document"}, {AppType::terminal, "terminal"},
        {AppType::social, "social"},     {AppType::ai, "ai"},
        {AppType::search, "search"},     {AppType::media, "media"},
        {AppType::general, "general"},
    };
};

inline size_t qHash(AppType type, size_t seed = 0) noexcept { return ::qHash(int(type.value()), seed); }

template <>
struct std::hash<AppType> {
    size_t operator()(AppType type) const noexcept { return std::hash<int>()(int(type.value())); }
};

// The focused application as the text formatters see it. Readers never change it.
struct AppContext {
    // Stores the fields; `appType` is the detected category, refined by the page address when
    // the application is a browser; `timestamp` is the time of construction.
    AppContext(QString appName, QString bundleId, std::optional<QString> appURL, QString beforeText, QString afterText,
               QString selectedText, bool isEditable, QStringList ocrContext);

    QString appName;
    QString bundleId;
    std::optional<QString> appURL;
    AppType appType;
    QString beforeText;
    QString afterText;
    QString selectedText;
    bool isEditable = false;
    QStringList ocrContext;  // words read from the screen
    QDateTime timestamp;
};

// One entry of an identifier table: either a plain substring of the lower-cased identifier,
// a whole segment of it (the pieces between '.', '-', '_', ' ' and other punctuation), or the
// whole identifier. Short tokens that are also pieces of ordinary words ("arc" in "search",
// "rio" in "scenario") are matched as segments so they cannot hit inside another word.
struct AppPattern {
    enum class Kind : std::uint8_t { contains, segment, equals };

    const char* text;  // lower case, Latin-1
    Kind kind = Kind::contains;

    // `lowered` must already be lower case.
    bool matches(const QString& lowered) const;
};

using AppPatternList = std::span<const AppPattern>;

// The category of an application plus the flags the context gathering needs, computed from
// the identifier, the name and the browser's address together.
struct AppClassification {
    AppType type = AppType::general;
    bool isMessaging = false;
    bool isEmail = false;
    bool isCoding = false;
    bool isBrowser = false;
    bool isAIChat = false;
    bool isSlack = false;
    bool isVSCode = false;
    bool isCursor = false;
    bool isChrome = false;
    bool isSafari = false;

    static AppClassification classify(const QString& bundleId, const QString& appName,
                                      const std::optional<QString>& url);

    // Identifier tables of the flags: the macOS bundle identifiers followed by the Linux
    // identifiers of the same applications.
    static const AppPatternList messagingBundlePatterns;
    static const AppPatternList emailBundlePatterns;
    static const AppPatternList codingBundlePatterns;
    static const AppPatternList browserBundlePatterns;
    static const AppPatternList aiBundlePatterns;
    static const AppPatternList socialBundlePatterns;

    friend bool operator==(const AppClassification&, const AppClassification&) = default;
};

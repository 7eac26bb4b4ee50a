#include "Core/Services/FeatureFlags.h"

#include "Core/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/UserDefaults.h"

#include <QVariantMap>

FeatureFlags& FeatureFlags::shared() {
    static FeatureFlags instance;
    return instance;
}

void FeatureFlags::reloadForTesting() {
    FeatureFlags& flags = shared();
    {
        std::lock_guard lock(flags.m_mutex);
        flags.m_flags.clear();
    }
    flags.loadOverrides();
    flags.registerBuiltIns();
}

FeatureFlags::FeatureFlags() {
    loadOverrides();
    registerBuiltIns();
}

QMap<QString, bool> FeatureFlags::parseOverrides(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap && stored.typeId() != QMetaType::QVariantHash) return {};
    const QVariantMap dictionary = stored.toMap();
    // A half-applied set of overrides would be harder to reason about than none.
    QMap<QString, bool> overrides;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        if (it.value().typeId() != QMetaType::Bool) return {};
        overrides.insert(it.key(), it.value().toBool());
    }
    return overrides;
}

QMap<QString, bool> FeatureFlags::parseOverrideSection(const QVariantMap& section) {
    QVariantMap booleans;
    for (auto it = section.cbegin(); it != section.cend(); ++it) {
        // The file holds text: "false" read back is a string, not a Boolean.
        if (it.value().typeId() == QMetaType::QString) {
            const QString text = it.value().toString().trimmed().toLower();
            if (text != QLatin1String("true") && text != QLatin1String("false")) return {};
            booleans.insert(it.key(), text == QLatin1String("true"));
        } else {
            booleans.insert(it.key(), it.value());
        }
    }
    return parseOverrides(booleans);
}

void FeatureFlags::loadOverrides() {
    const QString key = QString::fromLatin1(storageKey);
    UserDefaults& defaults = UserDefaults::shared();
    const QVariantMap section = defaults.section(key);
    const auto overrides = section.isEmpty() ? parseOverrides(defaults.value(key)) : parseOverrideSection(section);
    std::lock_guard lock(m_mutex);
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it)
        m_flags.insert(it.key(), FlagValue{it.key(), it.value(), QString(), FlagSource::Local});
}

void FeatureFlags::registerBuiltIns() {
    struct BuiltIn {
        const char* key;
        bool on;
        const char* description;
    };
    static constexpr BuiltIn builtIns[] = {
        {"use-whisper-cpp", false, "Use whisper.cpp instead of pocketsphinx"},
        {"use-moonshine", false, "Use Moonshine ASR engine"},
        {"use-opus", false, "Opus audio encoding"},
        {"asr-race-mode", false, "Race primary + secondary ASR"},
        {"use-llm-formatting", false, "Use Ollama LLM for formatting"},
        {"auto-cleanup-v0", true, "Auto cleanup feature"},
        {"style-detection", false, "Automatic writing style detection"},
        {"polish", true, "Polish (AI editing) feature"},
        {"command-mode", true, "Voice command mode"},
        {"glint", false, "Screen understanding (Glint)"},
        {"scratchpad", false, "Notepad feature"},
        {"should-ocr-screen-capture", false,
         "OCR screen capture for vocabulary context (replaced by AT-SPI tree walk)"},
        {"store-screen-capture-history", false, "Persist screenshots in history"},
        {"voice-profile-unlock", true, "Voice profile personalization"},
        {"email-signature", false, "Email signature injection"},
        {"slack-tagging", true, "Slack @mention recognition"},
        {"show-streaming-text", true, "Show real-time streaming preview"},
        {"show-overlay", true, "Show floating overlay indicator"},
        {"sound-effects", true, "Play feedback sounds"},
        {"cloud-fallback", false, "Enable cloud ASR fallback"},
        {"auto-learn-words", true, "Auto-add words to dictionary"},
        {"complex-textbox-extraction", false, "Advanced textbox content extraction"},
    };
    for (const BuiltIn& flag : builtIns)
        registerFlag(QString::fromLatin1(flag.key), flag.on, QString::fromLatin1(flag.description));
}

void FeatureFlags::registerFlag(const QString& key, bool defaultValue, const QString& description) {
    std::lock_guard lock(m_mutex);
    if (m_flags.contains(key)) return;
    m_flags.insert(key, FlagValue{key, defaultValue, description, FlagSource::Default});
}

bool FeatureFlags::isEnabled(const QString& key) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_flags.constFind(key);
    return it != m_flags.cend() && it->boolValue;
}

std::optional<bool> FeatureFlags::explicitValue(const QString& key) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_flags.constFind(key);
    if (it == m_flags.cend() || it->source == FlagSource::Default) return std::nullopt;
    return it->boolValue;
}

QList<FlagValue> FeatureFlags::allFlags() const {
    std::lock_guard lock(m_mutex);
    return m_flags.values();
}

QCoro::Task<> FeatureFlags::fetchRemoteFlags() {
    VLOG_INFO(lcFeatureFlags) << "Remote fetch not configured (using local flags)";
    co_return;
}

#pragma once

#include "Models/RawValue.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

#include <QCoro/QCoroTask>

#include <mutex>
#include <optional>

// Where a flag's value comes from. The raw values are "default", "local" and "remote" (a case
// named default would be the keyword).
enum class FlagSource { Default, Local, Remote };

template <>
struct RawValueTable<FlagSource> {
    static constexpr std::pair<FlagSource, const char*> cases[] = {
        {FlagSource::Default, "default"}, {FlagSource::Local, "local"}, {FlagSource::Remote, "remote"}};
};

struct FlagValue {
    QString key;
    bool boolValue = false;
    QString description;
    FlagSource source = FlagSource::Default;

    friend bool operator==(const FlagValue&, const FlagValue&) = default;
};

// The process-wide table of named on/off switches. A local override in the user defaults
// replaces a flag's built-in default; a key that is not in the table reads as off. The
// overrides are read once, at start-up, from the section "[vantrose_feature_flags]" of the
// user-defaults file, one "flag-key=true|false" line each, so a person can read and edit them;
// without that section, from a dictionary stored under the key of that name. Safe from any thread.
class FeatureFlags {
public:
    static FeatureFlags& shared();
    // Tests: builds the table afresh from the user defaults, as the next launch would.
    static void reloadForTesting();

    bool isEnabled(const QString& key) const;
    // The value a person (or the server) set for the flag; none while it keeps its built-in
    // default, and for a key that is not registered.
    std::optional<bool> explicitValue(const QString& key) const;
    // Adds a flag unless the key is already present (an override keeps its value).
    void registerFlag(const QString& key, bool defaultValue, const QString& description);
    // Every flag, sorted by key.
    QList<FlagValue> allFlags() const;
    // There is no remote flag source yet; this only says so in the log.
    QCoro::Task<> fetchRemoteFlags();

    static constexpr const char* storageKey = "vantrose_feature_flags";

    // The overrides a stored value holds: nothing unless it is a dictionary whose every value
    // is a Boolean (one value of another kind rejects the whole dictionary).
    static QMap<QString, bool> parseOverrides(const QVariant& stored);
    // The overrides of the file's section: nothing unless every value is a Boolean or the text
    // "true" or "false" (any case, surrounding blanks ignored).
    static QMap<QString, bool> parseOverrideSection(const QVariantMap& section);

private:
    FeatureFlags();
    void loadOverrides();
    void registerBuiltIns();

    mutable std::mutex m_mutex;
    QMap<QString, FlagValue> m_flags;  // ordered by key, which is the order allFlags() answers in
};

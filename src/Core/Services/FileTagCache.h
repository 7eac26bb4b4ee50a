#pragma once

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <mutex>
#include <optional>

// Remembers for a day the file names seen in code editors' windows, so later dictations get
// them as context too. In memory only; safe from any thread.
class FileTagCache {
public:
    struct CacheEntry {
        QString value;           // the name as last seen, with its letter case
        QDateTime lastAccessed;  // wall-clock time it was last seen
    };

    static constexpr int maxEntries = 100;
    static constexpr auto ttl = std::chrono::hours(24);

    static FileTagCache& shared();
    FileTagCache() = default;  // tests make their own; the system uses shared()

    // Application identifiers of the editors whose window words are searched.
    static const QSet<QString>& vsCodeLikeBundleIDs();
    static const QStringList& supportedExtensions();
    static const QSet<QString>& specialFilenames();

    // Stores the file names found in `axTexts` when `bundleId` names a supported editor.
    void extractAndCache(const QStringList& axTexts, const std::optional<QString>& bundleId);
    // Every stored name younger than a day, in no particular order.
    QStringList allFileNames();

private:
    static QStringList extractFileNames(const QStringList& texts);
    static void evictOverLimit(QHash<QString, CacheEntry>& entries, int max);
    void dropExpired(const QDateTime& now);  // with m_lock held

    QHash<QString, CacheEntry> m_fileNames;  // key: the name in lower case
    std::mutex m_lock;
};

#pragma once

#include "Core/Desktop/AbstractDictationHistory.h"
#include "Core/Desktop/AbstractDictionarySource.h"
#include "Models/DictationMetrics.h"
#include "Models/DictionaryEntry.h"
#include "Models/TranscriptionResult.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class SerialQueue;
namespace SQLite {
class Database;
}

// The one SQLite database of everything remembered across launches: finished dictations,
// telemetry events, outcome snapshots and the personal dictionary ("vantrose.sqlite" in the
// data folder). Every write runs on the store's own serial worker; callers never wait except
// for initialize(). Nothing here reports failure to its caller: problems become log lines.
//
// A database file that cannot be used (not SQLite, locked, read-only, or with tables laid out
// in a way the store cannot write) is left untouched on disk, and the store keeps this run's
// history in memory instead.
class HistoryStore : public QObject, public AbstractDictionarySource, public AbstractDictationHistory {
    Q_OBJECT

public:
    struct Totals {
        qint64 dictations = 0;
        qint64 words = 0;
    };

    static constexpr int maxCacheSize = 100;

    // Uses "vantrose.sqlite" in the data folder.
    explicit HistoryStore(QObject* parent = nullptr);
    explicit HistoryStore(QString dbPath, QObject* parent = nullptr);
    // Finishes every write already submitted, then closes the database.
    ~HistoryStore() override;

    // Opens the database and fills both caches; the caller waits. Call once, on the main thread.
    void initialize();

    void save(const TranscriptionResult& result);
    void saveEvent(const QString& traceID, const QString& sessionID, const QString& event, const QString& appBundleID,
                   const QString& fieldType, const QVariantMap& payload);
    void saveOutcomeSnapshot(const QString& traceID, const QString& sessionID,
                             const DictationOutcomeSnapshot& snapshot);
    // Writes the entry anew (replacing one with the same word), then reloads the dictionary.
    void addWord(const QString& word, const std::optional<QString>& replacement, bool isSnippet);
    // Empties the dictations, events and outcome snapshots; keeps the dictionary.
    void clearAll() override;

    // Dashboard totals, read directly on the caller's thread.
    Totals loadTotals() const;

    // Newest first, at most maxCacheSize records. Main thread only.
    const QList<TranscriptionResult>& recentHistory() const override { return m_recentHistory; }
    // The whole dictionary in ascending order of word. Any thread.
    QList<DictionaryEntry> dictionary() const;
    QList<DictionaryEntry> dictionaryEntries() const override { return dictionary(); }

    const QString& dbPath() const { return m_dbPath; }
    // True after initialize() when the file could not be used and history lives in memory.
    bool isInMemory() const;
    // Waits until every write submitted so far has run (tests and shut-down).
    void flush();

    // ISO-8601 in UTC to whole seconds, e.g. "2026-01-02T03:04:05Z".
    static QString formatTimestamp(const QDateTime& time);

private:
    // From the worker: a saved record to put in front of the cache, or none to empty it. Applied
    // on the main thread in order; a store destroyed before then drops it.
    void postCacheChange(std::optional<TranscriptionResult> saved);
    void applyCacheChange(std::optional<TranscriptionResult> change);  // main thread
    void openOnQueue();
    bool useDatabase(const QString& path);
    void openInMemory();
    std::optional<QString> unusableReason();
    std::optional<QString> schemaProblem(bool complete);

    bool execute(const QString& sql);
    void createTables();
    void addColumnIfNeeded(const QString& table, const QString& column, const QString& definition);
    bool columnExists(const QString& table, const QString& column);
    void loadRecentHistory();
    void loadDictionary();

    void saveOnQueue(const TranscriptionResult& result);
    void saveEventOnQueue(const QString& traceID, const QString& sessionID, const QString& event,
                          const QString& appBundleID, const QString& fieldType, const QByteArray& payloadJson);
    void saveOutcomeSnapshotOnQueue(const QString& traceID, const QString& sessionID,
                                    const DictationOutcomeSnapshot& snapshot);
    void addWordOnQueue(const QString& word, const std::optional<QString>& replacement, bool isSnippet);
    void clearAllOnQueue();

    QString m_dbPath;
    // Set only inside initialize() (on the queue while the caller waits), read afterwards.
    std::unique_ptr<SQLite::Database> m_db;
    bool m_inMemory = false;
    QList<TranscriptionResult> m_recentHistory;

    mutable std::mutex m_dictionaryMutex;
    QList<DictionaryEntry> m_dictionary;

    std::unique_ptr<SerialQueue> m_queue;
};

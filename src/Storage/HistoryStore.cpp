#include "Storage/HistoryStore.h"

#include "Foundation/AppPaths.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/SerialQueue.h"
#include "Models/JsonCoding.h"
#include "Storage/LogCategories.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QUuid>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// How long a statement waits for another process's lock before it fails. initialize() runs
// while the main thread waits, so this stays short.
constexpr auto kBusyTimeout = std::chrono::milliseconds(750);

struct ColumnSpec {
    const char* name;
    const char* declaration;
    bool migrated;  // added to older tables that lack it
};

// The `history` table in declaration order.
constexpr ColumnSpec kHistoryColumns[] = {
    {"id", "TEXT PRIMARY KEY", false},
    {"trace_id", "TEXT", true},
    {"session_id", "TEXT", true},
    {"asr_text", "TEXT NOT NULL", false},
    {"formatted_text", "TEXT NOT NULL", false},
    {"pasted_text", "TEXT NOT NULL", false},
    {"transcript_command", "TEXT DEFAULT 'dictation'", true},
    {"duration", "REAL NOT NULL DEFAULT 0", false},
    {"speech_duration_s", "REAL DEFAULT 0", true},
    {"recording_length_ms", "REAL DEFAULT 0", true},
    {"e2e_latency_ms", "REAL DEFAULT 0", true},
    {"client_network_latency_ms", "REAL", true},
    {"num_words", "INTEGER NOT NULL DEFAULT 0", false},
    {"average_log_prob", "REAL DEFAULT 0", true},
    {"language", "TEXT NOT NULL DEFAULT 'en'", false},
    {"detected_language", "TEXT DEFAULT 'en'", true},
    {"timestamp", "TEXT NOT NULL", false},
    {"app_name", "TEXT NOT NULL DEFAULT ''", false},
    {"app_bundle_id", "TEXT NOT NULL DEFAULT ''", false},
    {"app_url", "TEXT", false},
    {"field_type", "TEXT DEFAULT 'unknown'", true},
    {"asr_time_ms", "REAL DEFAULT 0", false},
    {"format_time_ms", "REAL DEFAULT 0", false},
    {"insert_time_ms", "REAL DEFAULT 0", false},
    {"total_time_ms", "REAL DEFAULT 0", false},
    {"used_fallback_asr", "INTEGER DEFAULT 0", true},
    {"used_fallback_formatting", "INTEGER DEFAULT 0", true},
    {"fallback_level", "INTEGER DEFAULT 0", true},
    {"fallback_reason", "TEXT", true},
    {"has_opus_chunks", "INTEGER DEFAULT 0", true},
    {"has_ax_text", "INTEGER DEFAULT 0", true},
    {"has_ax_html", "INTEGER DEFAULT 0", true},
    {"has_screenshot", "INTEGER DEFAULT 0", true},
    {"paste_success", "INTEGER DEFAULT 0", true},
    {"paste_time_ms", "REAL", true},
    {"focused_control_changed", "INTEGER DEFAULT 0", true},
    {"has_privilege_issues", "INTEGER DEFAULT 0", true},
    {"screenshot", "BLOB", true},
    {"latency_metrics_json", "TEXT", true},
    {"created_at", "TEXT NOT NULL DEFAULT (datetime('now'))", false},
};
// save() writes every column but the last.
constexpr int kHistoryInsertColumns = static_cast<int>(std::size(kHistoryColumns)) - 1;

const char* const kCreateEvents =
    "CREATE TABLE IF NOT EXISTS history_events ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "trace_id TEXT NOT NULL, "
    "session_id TEXT NOT NULL, "
    "ts TEXT NOT NULL, "
    "event TEXT NOT NULL, "
    "app_bundle_id TEXT DEFAULT '', "
    "field_type TEXT DEFAULT 'unknown', "
    "payload_json TEXT NOT NULL)";

const char* const kCreateOutcomes =
    "CREATE TABLE IF NOT EXISTS dictation_outcomes ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "trace_id TEXT NOT NULL, "
    "session_id TEXT NOT NULL, "
    "snapshot_seconds INTEGER NOT NULL, "
    "ts TEXT NOT NULL, "
    "initial_pasted_text_hash TEXT NOT NULL, "
    "final_text_hash TEXT NOT NULL, "
    "char_edit_distance INTEGER NOT NULL, "
    "word_edit_distance INTEGER NOT NULL, "
    "time_to_stable_text_ms REAL, "
    "manual_corrections_count INTEGER NOT NULL, "
    "manual_rewrite_fraction REAL NOT NULL, "
    "accepted_without_edits INTEGER NOT NULL, "
    "payload_json TEXT NOT NULL)";

const char* const kCreateDictionary =
    "CREATE TABLE IF NOT EXISTS dictionary ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "word TEXT NOT NULL UNIQUE, "
    "replacement TEXT, "
    "is_snippet INTEGER NOT NULL DEFAULT 0, "
    "frequency_used INTEGER NOT NULL DEFAULT 0, "
    "is_manual INTEGER NOT NULL DEFAULT 1, "
    "created_at TEXT NOT NULL DEFAULT (datetime('now')))";

const char* const kCreateSettings = "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL)";

const char* const kCreateIndexes[] = {
    "CREATE INDEX IF NOT EXISTS idx_history_timestamp ON history(timestamp DESC)",
    "CREATE INDEX IF NOT EXISTS idx_history_app ON history(app_bundle_id)",
    "CREATE INDEX IF NOT EXISTS idx_dictionary_word ON dictionary(word)",
};

// The columns each written table must have for the store's statements to work.
const char* const kEventColumns[] = {"trace_id",      "session_id", "ts",          "event",
                                     "app_bundle_id", "field_type", "payload_json"};
const char* const kOutcomeColumns[] = {"trace_id",
                                       "session_id",
                                       "snapshot_seconds",
                                       "ts",
                                       "initial_pasted_text_hash",
                                       "final_text_hash",
                                       "char_edit_distance",
                                       "word_edit_distance",
                                       "time_to_stable_text_ms",
                                       "manual_corrections_count",
                                       "manual_rewrite_fraction",
                                       "accepted_without_edits",
                                       "payload_json"};
const char* const kDictionaryColumns[] = {"word", "replacement", "is_snippet", "frequency_used", "is_manual"};

// Columns read back by loadRecentHistory(), in select order; the stored id comes last.
const char* const kRecentColumns[] = {"asr_text",
                                      "formatted_text",
                                      "pasted_text",
                                      "duration",
                                      "speech_duration_s",
                                      "language",
                                      "detected_language",
                                      "asr_time_ms",
                                      "format_time_ms",
                                      "insert_time_ms",
                                      "total_time_ms",
                                      "app_name",
                                      "app_bundle_id",
                                      "app_url",
                                      "field_type",
                                      "average_log_prob",
                                      "trace_id",
                                      "session_id",
                                      "transcript_command",
                                      "recording_length_ms",
                                      "e2e_latency_ms",
                                      "client_network_latency_ms",
                                      "fallback_level",
                                      "fallback_reason",
                                      "has_opus_chunks",
                                      "has_ax_text",
                                      "has_ax_html",
                                      "has_screenshot",
                                      "paste_success",
                                      "paste_time_ms",
                                      "focused_control_changed",
                                      "has_privilege_issues",
                                      "screenshot",
                                      "latency_metrics_json",
                                      "timestamp",
                                      "used_fallback_asr",
                                      "used_fallback_formatting",
                                      "id"};

std::string utf8(const QString& text) { return text.toStdString(); }

QString columnList(const char* const* names, std::size_t count) {
    QStringList list;
    for (std::size_t i = 0; i < count; ++i) list << QString::fromLatin1(names[i]);
    return list.join(QStringLiteral(", "));
}

QString placeholders(int count) {
    QStringList marks;
    for (int i = 0; i < count; ++i) marks << QStringLiteral("?");
    return marks.join(QStringLiteral(", "));
}

// NaN cannot be stored as a REAL (SQLite turns it into NULL), and infinities do not survive
// JSON; a measurement that went wrong is stored as NULL, or 0 where the column needs a value,
// so one bad number never costs the row.
void bindReal(SQLite::Statement& s, int index, double value) {
    if (std::isfinite(value))
        s.bind(index, value);
    else
        s.bind(index);
}

void bindRequiredReal(SQLite::Statement& s, int index, double value) {
    s.bind(index, std::isfinite(value) ? value : 0.0);
}

void bindOptionalReal(SQLite::Statement& s, int index, const std::optional<double>& value) {
    if (value)
        bindReal(s, index, *value);
    else
        s.bind(index);
}

void bindText(SQLite::Statement& s, int index, const QString& text) { s.bind(index, utf8(text)); }

void bindOptionalText(SQLite::Statement& s, int index, const std::optional<QString>& text) {
    if (text)
        bindText(s, index, *text);
    else
        s.bind(index);
}

void bindBool(SQLite::Statement& s, int index, bool value) { s.bind(index, value ? 1 : 0); }

QString readText(const SQLite::Statement& s, int index) {
    const SQLite::Column c = s.getColumn(index);
    if (c.isNull()) return {};
    return QString::fromUtf8(static_cast<const char*>(c.getBlob()), c.getBytes());
}

std::optional<QString> readOptionalText(const SQLite::Statement& s, int index) {
    if (s.isColumnNull(index)) return std::nullopt;
    return readText(s, index);
}

double readReal(const SQLite::Statement& s, int index) { return s.getColumn(index).getDouble(); }

std::optional<double> readOptionalReal(const SQLite::Statement& s, int index) {
    if (s.isColumnNull(index)) return std::nullopt;
    return readReal(s, index);
}

bool readBool(const SQLite::Statement& s, int index) { return s.getColumn(index).getInt64() == 1; }

// Runs a write whose failure only costs that row; a refusal is logged with SQLite's reason.
bool runWrite(SQLite::Database& db, SQLite::Statement& statement, const QString& what) {
    if (statement.tryExecuteStep() == SQLITE_DONE) return true;
    VLOG_WARNING(lcHistoryStore) << "Could not " << what << ": " << db.getErrorMsg();
    return false;
}

}  // namespace

HistoryStore::HistoryStore(QObject* parent)
    : HistoryStore(AppPaths::dataDir() + QStringLiteral("/vantrose.sqlite"), parent) {}

HistoryStore::HistoryStore(QString dbPath, QObject* parent)
    : QObject(parent),
      m_dbPath(std::move(dbPath)),
      m_queue(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.history-store"))) {
    // A failure shows up when the database is opened.
    QDir().mkpath(QFileInfo(m_dbPath).absolutePath());
}

HistoryStore::~HistoryStore() {
    // Let submitted writes reach the disk; their main-thread follow-ups die with this object.
    m_queue.reset();
    m_db.reset();
}

QString HistoryStore::formatTimestamp(const QDateTime& time) { return time.toUTC().toString(Qt::ISODate); }

bool HistoryStore::isInMemory() const { return m_inMemory; }

void HistoryStore::flush() { m_queue->drain(); }

QList<DictionaryEntry> HistoryStore::dictionary() const {
    std::lock_guard lock(m_dictionaryMutex);
    return m_dictionary;
}

// ---- opening ----

void HistoryStore::initialize() {
    m_queue->sync([this] { openOnQueue(); });
}

void HistoryStore::openOnQueue() {
    if (!useDatabase(m_dbPath)) openInMemory();
    loadRecentHistory();
    loadDictionary();
    if (m_inMemory)
        VLOG_INFO(lcHistoryStore) << "Initialized in memory";
    else
        VLOG_INFO(lcHistoryStore) << "Initialized at " << m_dbPath;
}

bool HistoryStore::useDatabase(const QString& path) {
    try {
        m_db = std::make_unique<SQLite::Database>(utf8(path),
                                                  SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX,
                                                  static_cast<int>(kBusyTimeout.count()));
    } catch (const std::exception&) {
        VLOG_WARNING(lcHistoryStore) << "Failed to open database at " << path;
        m_db.reset();
        return false;
    }
    if (std::optional<QString> reason = unusableReason()) {
        VLOG_WARNING(lcHistoryStore) << QStringLiteral(
                                            "Cannot use the database at %1 (%2); this run's history is kept in memory")
                                            .arg(path, *reason);
        m_db.reset();
        return false;
    }
    // Checked before anything is written, so a file the store rejects is left exactly as it was,
    // and again once the tables are made, for a migration that could not run.
    std::optional<QString> problem = schemaProblem(false);
    if (!problem) {
        execute(QStringLiteral("PRAGMA journal_mode=WAL"));
        createTables();
        problem = schemaProblem(true);
    }
    if (problem) {
        VLOG_WARNING(lcHistoryStore)
            << QStringLiteral("The database at %1 has an unexpected layout (%2); this run's history is kept in memory")
                   .arg(path, *problem);
        m_db.reset();
        return false;
    }
    return true;
}

// Whether the opened file can hold the history at all: it must be a readable SQLite database
// that nobody else has locked, and writable.
std::optional<QString> HistoryStore::unusableReason() {
    if (m_db->tryExec("SELECT count(*) FROM sqlite_master") != SQLITE_OK) return QString::fromUtf8(m_db->getErrorMsg());
    if (sqlite3_db_readonly(m_db->getHandle(), "main") == 1) return QStringLiteral("read-only");
    return std::nullopt;
}

// Whether every table the store writes has the columns its statements need, and no extra column
// that would refuse those statements (NOT NULL without a default). Before the tables are made
// (`complete` false) a missing table, or a missing column that migration adds, is no problem.
std::optional<QString> HistoryStore::schemaProblem(bool complete) {
    struct Expected {
        const char* table;
        QStringList required;  // must be present
        QStringList known;     // may be NOT NULL without a default: the store fills them
    };
    auto names = [](const char* const* list, std::size_t count) {
        QStringList out;
        for (std::size_t i = 0; i < count; ++i) out << QString::fromLatin1(list[i]);
        return out;
    };
    QStringList historyRequired, historyKnown;
    for (int i = 0; i < kHistoryInsertColumns; ++i)
        if (complete || !kHistoryColumns[i].migrated) historyRequired << QString::fromLatin1(kHistoryColumns[i].name);
    for (const ColumnSpec& c : kHistoryColumns) historyKnown << QString::fromLatin1(c.name);
    const QStringList events = names(kEventColumns, std::size(kEventColumns));
    const QStringList outcomes = names(kOutcomeColumns, std::size(kOutcomeColumns));
    const QStringList dictionary = names(kDictionaryColumns, std::size(kDictionaryColumns));
    const Expected expected[] = {
        {"history", historyRequired, historyKnown},
        {"history_events", events, events},
        {"dictation_outcomes", outcomes, outcomes},
        {"dictionary", dictionary, dictionary},
    };
    try {
        for (const Expected& e : expected) {
            QSet<QString> present;
            SQLite::Statement info(*m_db, std::string("PRAGMA table_info(") + e.table + ")");
            while (info.executeStep()) {
                const QString name = readText(info, 1).toLower();
                present.insert(name);
                const bool notNull = info.getColumn(3).getInt() != 0;
                const bool hasDefault = !info.isColumnNull(4);
                const bool primaryKey = info.getColumn(5).getInt() != 0;
                if (notNull && !hasDefault && !primaryKey && !e.known.contains(name))
                    return QStringLiteral("%1.%2 must be filled but is unknown").arg(e.table, name);
            }
            if (present.isEmpty()) {
                if (complete) return QStringLiteral("table %1 is missing").arg(e.table);
                continue;
            }
            for (const QString& column : e.required)
                if (!present.contains(column)) return QStringLiteral("%1 has no column %2").arg(e.table, column);
        }
    } catch (const std::exception& ex) {
        return QString::fromUtf8(ex.what());
    }
    return std::nullopt;
}

void HistoryStore::openInMemory() {
    try {
        m_db = std::make_unique<SQLite::Database>(":memory:", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE |
                                                                  SQLite::OPEN_FULLMUTEX);
        m_inMemory = true;
        createTables();
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Failed to open an in-memory database: " << QString::fromUtf8(ex.what());
        m_db.reset();
    }
}

bool HistoryStore::execute(const QString& sql) {
    if (!m_db) return false;
    if (m_db->tryExec(utf8(sql)) == SQLITE_OK) return true;
    const char* message = m_db->getErrorMsg();
    VLOG_WARNING(lcHistoryStore) << "SQL error: "
                                 << (message && *message ? QString::fromUtf8(message) : QStringLiteral("unknown"));
    return false;
}

void HistoryStore::createTables() {
    QStringList columns;
    for (const ColumnSpec& c : kHistoryColumns)
        columns << QStringLiteral("%1 %2").arg(QLatin1String(c.name), QLatin1String(c.declaration));
    execute(QStringLiteral("CREATE TABLE IF NOT EXISTS history (") + columns.join(QStringLiteral(", ")) + ")");
    for (const ColumnSpec& c : kHistoryColumns)
        if (c.migrated)
            addColumnIfNeeded(QStringLiteral("history"), QLatin1String(c.name), QLatin1String(c.declaration));
    for (const char* sql : {kCreateEvents, kCreateOutcomes, kCreateDictionary, kCreateSettings})
        execute(QLatin1String(sql));
    for (const char* sql : kCreateIndexes) execute(QLatin1String(sql));
}

void HistoryStore::addColumnIfNeeded(const QString& table, const QString& column, const QString& definition) {
    if (!columnExists(table, column))
        execute(QStringLiteral("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition);
}

bool HistoryStore::columnExists(const QString& table, const QString& column) {
    if (!m_db) return false;
    try {
        SQLite::Statement info(*m_db, utf8(QStringLiteral("PRAGMA table_info(") + table + ")"));
        while (info.executeStep()) {
            if (info.isColumnNull(1)) continue;
            if (readText(info, 1) == column) return true;
        }
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not read the columns of " << table << ": " << ex.what();
    }
    return false;
}

// ---- caches ----

void HistoryStore::loadRecentHistory() {
    if (!m_db) return;
    QList<TranscriptionResult> loaded;
    try {
        // Same-second rows come newest-written first: rowid breaks the tie.
        SQLite::Statement q(*m_db,
                            utf8(QStringLiteral("SELECT %1 FROM history ORDER BY timestamp DESC, rowid DESC LIMIT %2")
                                     .arg(columnList(kRecentColumns, std::size(kRecentColumns)))
                                     .arg(maxCacheSize)));
        while (q.executeStep()) {
            TranscriptionResult::Fields f;
            f.rawText = readText(q, 0);
            f.formattedText = readText(q, 1);
            f.pastedText = readText(q, 2);
            f.duration = readReal(q, 3);
            f.speechDuration = readReal(q, 4);
            f.language = readText(q, 5);
            f.detectedLanguage = readText(q, 6);
            f.asrTimeMs = readReal(q, 7);
            f.formatTimeMs = readReal(q, 8);
            f.insertTimeMs = readReal(q, 9);
            f.totalTimeMs = readReal(q, 10);
            f.appName = readText(q, 11);
            f.appBundleId = readText(q, 12);
            f.appURL = readOptionalText(q, 13);
            f.appType = readText(q, 14);
            f.averageLogProb = static_cast<float>(readReal(q, 15));

            DictationPersistenceMetrics& p = f.persistenceMetrics;
            p.traceID = readText(q, 16);
            p.sessionID = readText(q, 17);
            p.transcriptCommand = readText(q, 18);
            p.speechDurationS = f.speechDuration;
            p.recordingLengthMs = readReal(q, 19);
            p.e2eLatencyMs = readReal(q, 20);
            p.clientNetworkLatencyMs = readOptionalReal(q, 21);
            p.fallbackLevel = q.getColumn(22).getInt64();
            p.fallbackReason = readOptionalText(q, 23);
            p.hasOpusChunks = readBool(q, 24);
            p.hasAXText = readBool(q, 25);
            p.hasAXHTML = readBool(q, 26);
            p.hasScreenshot = readBool(q, 27);
            p.pasteSuccess = readBool(q, 28);
            p.pasteTimeMs = readOptionalReal(q, 29);
            p.focusedControlChanged = readBool(q, 30);
            p.hasPrivilegeIssues = readBool(q, 31);
            p.contextTokenCount = 0;
            p.fieldType = f.appType;

            if (!q.isColumnNull(32)) {
                const SQLite::Column blob = q.getColumn(32);
                f.screenshotData = QByteArray(static_cast<const char*>(blob.getBlob()), blob.getBytes());
            }
            if (!q.isColumnNull(33)) {
                if (auto latency = JsonCoding::decode<DictationLatencyMetrics>(readText(q, 33).toUtf8()))
                    f.latencyMetrics = *latency;
            }
            f.usedFallbackASR = readBool(q, 35);
            f.usedFallbackFormatting = readBool(q, 36);
            f.status = ResponseStatus::formatted;
            f.asrTierUsed = QStringLiteral("primary");

            TranscriptionResult result(std::move(f));
            const QDateTime stamp = QDateTime::fromString(readText(q, 34), Qt::ISODate);
            if (stamp.isValid()) result.timestamp = stamp;
            // A reloaded dictation keeps the identity it was saved with.
            const QUuid id = QUuid::fromString(readText(q, 37));
            if (!id.isNull()) result.id = id;
            loaded.append(std::move(result));
        }
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not load the history: " << ex.what();
        return;  // the cache stays as it is
    }
    m_recentHistory = std::move(loaded);
    VLOG_INFO(lcHistoryStore) << QStringLiteral("Loaded %1 history entries").arg(m_recentHistory.size());
}

void HistoryStore::loadDictionary() {
    if (!m_db) return;
    QList<DictionaryEntry> entries;
    try {
        SQLite::Statement q(*m_db,
                            "SELECT word, replacement, is_snippet, frequency_used FROM dictionary ORDER BY word");
        while (q.executeStep()) {
            DictionaryEntry e;
            e.word = readText(q, 0);
            e.replacement = readOptionalText(q, 1);
            e.isSnippet = readBool(q, 2);
            e.frequencyUsed = q.getColumn(3).getInt();
            entries.append(std::move(e));
        }
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not load the dictionary: " << ex.what();
        return;
    }
    std::lock_guard lock(m_dictionaryMutex);
    m_dictionary = std::move(entries);
}

HistoryStore::Totals HistoryStore::loadTotals() const {
    Totals totals;
    if (!m_db) return totals;
    try {
        SQLite::Statement q(*m_db, "SELECT COUNT(*), COALESCE(SUM(num_words), 0) FROM history");
        if (q.executeStep()) {
            totals.dictations = q.getColumn(0).getInt64();
            totals.words = q.getColumn(1).getInt64();
        }
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not count the dictations: " << ex.what();
        return {};
    }
    return totals;
}

// ---- writes ----

void HistoryStore::save(const TranscriptionResult& result) {
    m_queue->async([this, result] { saveOnQueue(result); });
}

void HistoryStore::saveOnQueue(const TranscriptionResult& r) {
    if (!m_db) {
        VLOG_WARNING(lcHistoryStore) << "save failed — database not initialized";
        return;
    }
    const QString id = r.id.toString(QUuid::WithoutBraces).toUpper();
    try {
        QStringList names;
        for (int i = 0; i < kHistoryInsertColumns; ++i) names << QLatin1String(kHistoryColumns[i].name);
        std::optional<SQLite::Statement> prepared;
        try {
            prepared.emplace(*m_db,
                             utf8(QStringLiteral("INSERT INTO history (%1) VALUES (%2)")
                                      .arg(names.join(QStringLiteral(", ")), placeholders(kHistoryInsertColumns))));
        } catch (const std::exception& ex) {
            VLOG_WARNING(lcHistoryStore) << "save prepare failed — " << QString::fromUtf8(ex.what());
            return;
        }
        SQLite::Statement& s = *prepared;
        const DictationPersistenceMetrics& p = r.persistenceMetrics;
        bindText(s, 1, id);
        bindText(s, 2, p.traceID);
        bindText(s, 3, p.sessionID);
        bindText(s, 4, r.rawText);
        bindText(s, 5, r.formattedText);
        bindText(s, 6, r.pastedText);
        bindText(s, 7, p.transcriptCommand);
        bindRequiredReal(s, 8, r.duration);
        bindReal(s, 9, r.speechDuration);
        bindReal(s, 10, p.recordingLengthMs);
        bindReal(s, 11, p.e2eLatencyMs);
        bindOptionalReal(s, 12, p.clientNetworkLatencyMs);
        s.bind(13, static_cast<int64_t>(r.wordCount));
        bindReal(s, 14, static_cast<double>(r.averageLogProb));
        bindText(s, 15, r.language);
        bindText(s, 16, r.detectedLanguage);
        bindText(s, 17, formatTimestamp(r.timestamp));
        bindText(s, 18, r.appName);
        bindText(s, 19, r.appBundleId);
        bindOptionalText(s, 20, r.appURL);
        bindText(s, 21, p.fieldType);
        bindReal(s, 22, r.asrTimeMs);
        bindReal(s, 23, r.formatTimeMs);
        bindReal(s, 24, r.insertTimeMs);
        bindReal(s, 25, r.totalTimeMs);
        bindBool(s, 26, r.usedFallbackASR);
        bindBool(s, 27, r.usedFallbackFormatting);
        s.bind(28, static_cast<int64_t>(p.fallbackLevel));
        bindOptionalText(s, 29, p.fallbackReason);
        bindBool(s, 30, p.hasOpusChunks);
        bindBool(s, 31, p.hasAXText);
        bindBool(s, 32, p.hasAXHTML);
        bindBool(s, 33, p.hasScreenshot);
        bindBool(s, 34, p.pasteSuccess);
        bindOptionalReal(s, 35, p.pasteTimeMs);
        bindBool(s, 36, p.focusedControlChanged);
        bindBool(s, 37, p.hasPrivilegeIssues);
        if (r.screenshotData)
            s.bind(38, r.screenshotData->constData(), static_cast<int>(r.screenshotData->size()));
        else
            s.bind(38);
        s.bind(39, JsonCoding::toBytes(r.latencyMetrics.toJson()).toStdString());

        if (s.tryExecuteStep() != SQLITE_DONE) {
            VLOG_WARNING(lcHistoryStore) << "save step failed — " << QString::fromUtf8(m_db->getErrorMsg());
            return;
        }
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "save step failed — " << QString::fromUtf8(ex.what());
        return;
    }
    VLOG_INFO(lcHistoryStore) << QStringLiteral("saved entry %1 — %2 words").arg(id.left(8)).arg(r.wordCount);
    postCacheChange(r);
}

void HistoryStore::saveEvent(const QString& traceID, const QString& sessionID, const QString& event,
                             const QString& appBundleID, const QString& fieldType, const QVariantMap& payload) {
    // Serialised now, so a caller changing its own data later cannot change the row. The
    // metrics log's sanitiser turns numbers that are not finite into null, as in that log.
    // Dates, byte arrays and the like have no JSON form; such a payload is not stored.
    const std::optional<QJsonValue> json = JsonCoding::fromVariant(payload, JsonCoding::VariantRule::lenient);
    if (!json || !json->isObject()) return;
    QByteArray bytes = JsonCoding::toBytes(json->toObject());
    m_queue->async([=, this] { saveEventOnQueue(traceID, sessionID, event, appBundleID, fieldType, bytes); });
}

void HistoryStore::saveEventOnQueue(const QString& traceID, const QString& sessionID, const QString& event,
                                    const QString& appBundleID, const QString& fieldType,
                                    const QByteArray& payloadJson) {
    if (!m_db) return;
    try {
        SQLite::Statement s(*m_db,
                            "INSERT INTO history_events (trace_id, session_id, ts, event, app_bundle_id, "
                            "field_type, payload_json) VALUES (?, ?, ?, ?, ?, ?, ?)");
        bindText(s, 1, traceID);
        bindText(s, 2, sessionID);
        bindText(s, 3, formatTimestamp(Clock::current().now()));
        bindText(s, 4, event);
        bindText(s, 5, appBundleID);
        bindText(s, 6, fieldType);
        s.bind(7, payloadJson.toStdString());
        runWrite(*m_db, s, QStringLiteral("save the event ") + event);
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not save the event " << event << ": " << ex.what();
    }
}

void HistoryStore::saveOutcomeSnapshot(const QString& traceID, const QString& sessionID,
                                       const DictationOutcomeSnapshot& snapshot) {
    m_queue->async([=, this] { saveOutcomeSnapshotOnQueue(traceID, sessionID, snapshot); });
}

void HistoryStore::saveOutcomeSnapshotOnQueue(const QString& traceID, const QString& sessionID,
                                              const DictationOutcomeSnapshot& o) {
    if (!m_db) return;
    try {
        SQLite::Statement s(*m_db, utf8(QStringLiteral("INSERT INTO dictation_outcomes (%1) VALUES (%2)")
                                            .arg(columnList(kOutcomeColumns, std::size(kOutcomeColumns)),
                                                 placeholders(static_cast<int>(std::size(kOutcomeColumns))))));
        bindText(s, 1, traceID);
        bindText(s, 2, sessionID);
        s.bind(3, static_cast<int64_t>(o.secondsAfterPaste));
        bindText(s, 4, formatTimestamp(Clock::current().now()));
        bindText(s, 5, o.initialPastedTextHash);
        bindText(s, 6, o.finalTextHash);
        s.bind(7, static_cast<int64_t>(o.charEditDistance));
        s.bind(8, static_cast<int64_t>(o.wordEditDistance));
        bindOptionalReal(s, 9, o.timeToStableTextMs);
        s.bind(10, static_cast<int64_t>(o.manualCorrectionsCount));
        bindRequiredReal(s, 11, o.manualRewriteFraction);
        bindBool(s, 12, o.acceptedWithoutEdits);
        s.bind(13, JsonCoding::toBytes(o.toJson()).toStdString());
        runWrite(*m_db, s, QStringLiteral("save the outcome of ") + traceID);
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not save the outcome of " << traceID << ": " << ex.what();
    }
}

void HistoryStore::addWord(const QString& word, const std::optional<QString>& replacement, bool isSnippet) {
    m_queue->async([=, this] { addWordOnQueue(word, replacement, isSnippet); });
}

void HistoryStore::addWordOnQueue(const QString& word, const std::optional<QString>& replacement, bool isSnippet) {
    if (!m_db) return;
    try {
        SQLite::Statement s(*m_db,
                            "INSERT OR REPLACE INTO dictionary (word, replacement, is_snippet, is_manual) "
                            "VALUES (?, ?, ?, 1)");
        bindText(s, 1, word);
        bindOptionalText(s, 2, replacement);
        bindBool(s, 3, isSnippet);
        if (!runWrite(*m_db, s, QStringLiteral("add a word to the dictionary"))) return;
    } catch (const std::exception& ex) {
        VLOG_WARNING(lcHistoryStore) << "Could not add a word to the dictionary: " << ex.what();
        return;
    }
    loadDictionary();
}

void HistoryStore::clearAll() {
    m_queue->async([this] { clearAllOnQueue(); });
}

void HistoryStore::clearAllOnQueue() {
    execute(QStringLiteral("DELETE FROM history"));
    execute(QStringLiteral("DELETE FROM history_events"));
    execute(QStringLiteral("DELETE FROM dictation_outcomes"));
    postCacheChange(std::nullopt);
}

void HistoryStore::postCacheChange(std::optional<TranscriptionResult> saved) {
    runOnMain(this, [this, saved = std::move(saved)]() mutable { applyCacheChange(std::move(saved)); });
}

void HistoryStore::applyCacheChange(std::optional<TranscriptionResult> change) {
    if (!change) {
        m_recentHistory.clear();
        return;
    }
    m_recentHistory.prepend(std::move(*change));
    while (m_recentHistory.size() > maxCacheSize) m_recentHistory.removeLast();
}

#include "HistoryStoreSupport.h"

#include "Core/Desktop/AbstractDictionarySource.h"
#include "Foundation/AppPaths.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

using namespace historytest;

namespace {

const char* const kMigratedColumns[] = {"trace_id",
                                        "session_id",
                                        "transcript_command",
                                        "speech_duration_s",
                                        "recording_length_ms",
                                        "e2e_latency_ms",
                                        "client_network_latency_ms",
                                        "average_log_prob",
                                        "detected_language",
                                        "field_type",
                                        "used_fallback_asr",
                                        "used_fallback_formatting",
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
                                        "latency_metrics_json"};

// The table as the first versions of the program made it.
const char* const kOriginalHistoryTable =
    "CREATE TABLE history (id TEXT PRIMARY KEY, asr_text TEXT NOT NULL, formatted_text TEXT NOT NULL, "
    "pasted_text TEXT NOT NULL, duration REAL NOT NULL DEFAULT 0, num_words INTEGER NOT NULL DEFAULT 0, "
    "language TEXT NOT NULL DEFAULT 'en', timestamp TEXT NOT NULL, app_name TEXT NOT NULL DEFAULT '', "
    "app_bundle_id TEXT NOT NULL DEFAULT '', app_url TEXT, asr_time_ms REAL DEFAULT 0, "
    "format_time_ms REAL DEFAULT 0, insert_time_ms REAL DEFAULT 0, total_time_ms REAL DEFAULT 0, "
    "created_at TEXT NOT NULL DEFAULT (datetime('now')))";

QStringList columnsOf(SQLite::Database& db, const std::string& table) {
    QStringList names;
    SQLite::Statement q(db, "PRAGMA table_info(" + table + ")");
    while (q.executeStep()) names << QString::fromStdString(q.getColumn(1).getString());
    return names;
}

int schemaVersion(SQLite::Database& db) {
    SQLite::Statement q(db, "PRAGMA schema_version");
    q.executeStep();
    return q.getColumn(0).getInt();
}

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeDatabase();
        Clock::setCurrent(&clock);
    }
    void TearDown() override {
        Clock::setCurrent(nullptr);
        removeDatabase();
    }

    // Every case starts without a database, whatever the one before it left at the path.
    void removeDatabase() {
        QDir(path).removeRecursively();
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(path + suffix);
    }

    std::unique_ptr<HistoryStore> open() {
        auto store = std::make_unique<HistoryStore>(path);
        store->initialize();
        return store;
    }

    // Saves and waits until the record has reached the cache.
    void saveAndWait(HistoryStore& store, const TranscriptionResult& r) {
        const QUuid id = r.id;
        store.save(r);
        ASSERT_TRUE(
            waitUntil([&] { return !store.recentHistory().isEmpty() && store.recentHistory().first().id == id; }));
    }

    ManualClock clock{QDateTime(QDate(2026, 5, 6), QTime(7, 8, 9, 450), Qt::UTC)};
    const QString path = AppPaths::dataDir() + "/vantrose.sqlite";
};

// ---- opening and migration ----

TEST_F(HistoryStoreTest, FirstStartCreatesTablesAndIndexesAndASecondStartAltersNothing) {
    auto store = open();
    EXPECT_EQ(store->dbPath(), path);
    EXPECT_FALSE(store->isInMemory());
    EXPECT_TRUE(store->recentHistory().isEmpty());
    EXPECT_TRUE(store->dictionary().isEmpty());
    EXPECT_EQ(store->loadTotals().dictations, 0);
    EXPECT_EQ(store->loadTotals().words, 0);
    EXPECT_TRUE(logText().contains("HistoryStore: Initialized at " + path));
    EXPECT_FALSE(logText().contains("SQL error"));

    SQLite::Database db = inspect(path);
    EXPECT_EQ(scalarText(db, "PRAGMA journal_mode"), "wal");
    QStringList objects;
    SQLite::Statement q(db,
                        "SELECT type || ':' || name FROM sqlite_master "
                        "WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name");
    while (q.executeStep()) objects << QString::fromStdString(q.getColumn(0).getString());
    EXPECT_EQ(objects, QStringList({"index:idx_dictionary_word", "index:idx_history_app", "index:idx_history_timestamp",
                                    "table:dictation_outcomes", "table:dictionary", "table:history",
                                    "table:history_events", "table:settings"}));
    EXPECT_EQ(columnsOf(db, "history").size(), 40);

    const int version = schemaVersion(db);
    store.reset();
    store = open();
    EXPECT_EQ(schemaVersion(db), version);  // no ALTER TABLE ran
}

TEST_F(HistoryStoreTest, OriginalTableGainsTheMigratedColumnsAndItsRowReadsTheirDefaults) {
    {
        SQLite::Database db(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec(kOriginalHistoryTable);
        db.exec(
            "INSERT INTO history (id, asr_text, formatted_text, pasted_text, duration, num_words, "
            "timestamp, app_name, app_bundle_id) VALUES ('0B5C1E9A-7D3F-4E2A-9C11-5A6B7C8D9E0F', "
            "'old words here', 'Old words here.', '', 2.5, 3, '2025-01-02T03:04:05Z', 'Editor', 'org.editor')");
    }
    auto store = open();

    SQLite::Database db = inspect(path);
    const QStringList columns = columnsOf(db, "history");
    ASSERT_EQ(columns.size(), 40);
    QStringList migrated;
    for (const char* c : kMigratedColumns) migrated << c;
    EXPECT_EQ(columns.mid(16), migrated);

    ASSERT_EQ(store->recentHistory().size(), 1);
    const TranscriptionResult& r = store->recentHistory().first();
    EXPECT_EQ(r.id, QUuid::fromString(QStringLiteral("0B5C1E9A-7D3F-4E2A-9C11-5A6B7C8D9E0F")));
    EXPECT_EQ(r.formattedText, "Old words here.");
    EXPECT_EQ(r.pastedText, "Old words here.");  // stored empty
    EXPECT_EQ(r.wordCount, 3);
    EXPECT_EQ(r.duration, 2.5);
    EXPECT_EQ(r.timestamp, QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5), Qt::UTC));
    EXPECT_EQ(r.appName, "Editor");
    EXPECT_EQ(r.detectedLanguage, "en");
    EXPECT_EQ(r.appType, "unknown");
    EXPECT_EQ(r.persistenceMetrics.fieldType, "unknown");
    EXPECT_EQ(r.persistenceMetrics.transcriptCommand, "dictation");
    EXPECT_FALSE(r.persistenceMetrics.fallbackReason.has_value());
    EXPECT_FALSE(r.persistenceMetrics.pasteTimeMs.has_value());
    EXPECT_FALSE(r.screenshotData.has_value());
    EXPECT_EQ(r.latencyMetrics, DictationLatencyMetrics{});
    EXPECT_EQ(store->loadTotals().dictations, 1);
    EXPECT_EQ(store->loadTotals().words, 3);
}

// A file the store cannot use is left alone, and the run still keeps its history in memory.
TEST_F(HistoryStoreTest, UnusableDatabaseFileFallsBackToMemoryAndIsKept) {
    struct Case {
        const char* name;
        std::function<void()> prepare;  // makes `path` unusable
        const char* logLine;
        std::function<void()> release = [] {};
    };
    std::unique_ptr<SQLite::Database> locker;
    const Case cases[] = {
        {"not sqlite",
         [&] {
             QFile f(path);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
             f.write(QByteArray(4096, '\x5a'));
         },
         "HistoryStore: Cannot use the database at "},
        {"locked by another process",
         [&] {
             locker =
                 std::make_unique<SQLite::Database>(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
             locker->exec("CREATE TABLE keep (x INTEGER)");
             locker->exec("BEGIN EXCLUSIVE");
             locker->exec("INSERT INTO keep VALUES (1)");
         },
         "HistoryStore: Cannot use the database at ", [&] { locker.reset(); }},
        {"table with unexpected columns",
         [&] {
             SQLite::Database db(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
             db.exec(
                 "CREATE TABLE dictionary (id INTEGER PRIMARY KEY, word TEXT NOT NULL UNIQUE, "
                 "meaning TEXT NOT NULL)");
         },
         "HistoryStore: The database at "},
        {"a folder in its place", [&] { ASSERT_TRUE(QDir().mkpath(path)); },
         "HistoryStore: Failed to open database at "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(path).removeRecursively();
        QFile::remove(path);
        c.prepare();
        const QByteArray before = [&] {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        {
            auto store = open();
            EXPECT_TRUE(store->isInMemory());
            EXPECT_TRUE(logText().contains(c.logLine + path));
            EXPECT_TRUE(logText().contains("HistoryStore: Initialized in memory"));

            saveAndWait(*store, record(QStringLiteral("Still works.")));
            store->addWord(QStringLiteral("Vantrose"), std::nullopt, false);
            store->flush();
            EXPECT_EQ(store->dictionary().size(), 1);
            EXPECT_EQ(store->loadTotals().dictations, 1);
        }
        c.release();
        ASSERT_TRUE(QFileInfo::exists(path));
        if (QFileInfo(path).isFile()) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), before);
        }
    }
}

// ---- saving and reloading ----

TranscriptionResult fullRecord() {
    TranscriptionResult::Fields f;
    f.rawText = QStringLiteral("send the report to anna");
    f.formattedText = QStringLiteral("Send the report to Anna.");
    f.pastedText = QStringLiteral("Send the report to Anna!");
    f.duration = 3.25;
    f.speechDuration = 2.5;
    f.language = QStringLiteral("en");
    f.detectedLanguage = QStringLiteral("de");
    f.micAcquisitionTimeMs = 12;
    f.asrTimeMs = 210.5;
    f.formatTimeMs = 80.25;
    f.insertTimeMs = 41;
    f.totalTimeMs = 3600;
    f.contextGatherTimeMs = 33;
    f.averageLogProb = -0.375f;
    f.asrTierUsed = QStringLiteral("cloud");
    f.usedFallbackASR = true;
    f.usedFallbackFormatting = true;
    f.appName = QStringLiteral("Mail — Inbox");
    f.appBundleId = QStringLiteral("org.gnome.Evolution");
    f.appURL = QStringLiteral("https://mail.example.org/#inbox");
    f.appType = QStringLiteral("email");
    f.ocrContext = {QStringLiteral("Inbox")};
    f.formatterUsed = QStringLiteral("cloud");
    f.formattingDivergenceScore = 0.25f;
    f.hasRevertedAI = true;
    f.screenshotData = QByteArray("\x89PNG\0\x01\x02", 7);
    f.latencyMetrics.recordingLengthMs = 3250;
    f.latencyMetrics.timeToFirstChunkMs = 95.5;
    f.latencyMetrics.remoteLatencyMs = 400;
    f.latencyMetrics.heartbeatLagSamples = {HeartbeatLagSample{1.0, 1.5, 0.5}};
    DictationPersistenceMetrics& p = f.persistenceMetrics;
    p.traceID = QStringLiteral("trace-7");
    p.sessionID = QStringLiteral("SESSION-1");
    p.transcriptCommand = QStringLiteral("dictation");
    p.speechDurationS = 2.5;
    p.recordingLengthMs = 3250;
    p.e2eLatencyMs = 3700;
    p.clientNetworkLatencyMs = 48.5;
    p.fallbackLevel = 2;
    p.fallbackReason = QStringLiteral("timeout");
    p.hasOpusChunks = true;
    p.hasAXText = true;
    p.hasAXHTML = true;
    p.hasScreenshot = true;
    p.pasteSuccess = true;
    p.pasteTimeMs = 17.5;
    p.focusedControlChanged = true;
    p.hasPrivilegeIssues = true;
    p.contextTokenCount = 99;
    p.fieldType = QStringLiteral("email");
    return TranscriptionResult(std::move(f));
}

// What a record looks like once it has been stored and read back.
void expectReloaded(const TranscriptionResult& got, const TranscriptionResult& saved) {
    EXPECT_EQ(got.id, saved.id);
    EXPECT_EQ(got.rawText, saved.rawText);
    EXPECT_EQ(got.formattedText, saved.formattedText);
    EXPECT_EQ(got.pastedText, saved.pastedText);
    EXPECT_EQ(got.duration, saved.duration);
    EXPECT_EQ(got.speechDuration, saved.speechDuration);
    EXPECT_EQ(got.wordCount, saved.wordCount);
    EXPECT_EQ(got.language, saved.language);
    EXPECT_EQ(got.detectedLanguage, saved.detectedLanguage);
    EXPECT_EQ(got.timestamp.toSecsSinceEpoch(), saved.timestamp.toSecsSinceEpoch());
    EXPECT_EQ(got.timestamp.time().msec(), 0);
    EXPECT_EQ(got.asrTimeMs, saved.asrTimeMs);
    EXPECT_EQ(got.formatTimeMs, saved.formatTimeMs);
    EXPECT_EQ(got.insertTimeMs, saved.insertTimeMs);
    EXPECT_EQ(got.totalTimeMs, saved.totalTimeMs);
    EXPECT_EQ(got.averageLogProb, saved.averageLogProb);
    EXPECT_EQ(got.usedFallbackASR, saved.usedFallbackASR);
    EXPECT_EQ(got.usedFallbackFormatting, saved.usedFallbackFormatting);
    EXPECT_EQ(got.appName, saved.appName);
    EXPECT_EQ(got.appBundleId, saved.appBundleId);
    EXPECT_EQ(got.appURL, saved.appURL);
    EXPECT_EQ(got.appType, saved.persistenceMetrics.fieldType);
    EXPECT_EQ(got.screenshotData, saved.screenshotData);
    EXPECT_EQ(got.latencyMetrics, saved.latencyMetrics);
    DictationPersistenceMetrics expected = saved.persistenceMetrics;
    expected.speechDurationS = saved.speechDuration;
    expected.contextTokenCount = 0;
    EXPECT_EQ(got.persistenceMetrics, expected);
    // Never stored: the reload's own values.
    EXPECT_EQ(got.status, ResponseStatus::formatted);
    EXPECT_EQ(got.micAcquisitionTimeMs, 0);
    EXPECT_EQ(got.contextGatherTimeMs, 0);
    EXPECT_EQ(got.asrTierUsed, "primary");
    EXPECT_TRUE(got.ocrContext.isEmpty());
    EXPECT_TRUE(got.formatterUsed.isEmpty());
    EXPECT_EQ(got.formattingDivergenceScore, 0.0f);
    EXPECT_FALSE(got.hasRevertedAI);
}

TEST_F(HistoryStoreTest, EveryColumnKindSurvivesAReload) {
    TranscriptionResult minimal = record(QStringLiteral("Short note."));
    minimal.pastedText.clear();  // an empty pasted text reads back as the formatted text
    const TranscriptionResult full = fullRecord();
    {
        auto store = open();
        saveAndWait(*store, minimal);
        clock.advance(2);
        saveAndWait(*store, full);
        // The cached copy is the record as given.
        EXPECT_EQ(store->recentHistory().first().ocrContext, full.ocrContext);
        EXPECT_TRUE(logText().contains("HistoryStore: saved entry " +
                                       full.id.toString(QUuid::WithoutBraces).toUpper().left(8) + " — 5 words"));
    }
    SQLite::Database db = inspect(path);
    const std::string minimalRow = "FROM history WHERE formatted_text = 'Short note.'";
    for (const char* column :
         {"app_url", "screenshot", "fallback_reason", "paste_time_ms", "client_network_latency_ms"})
        EXPECT_EQ(scalarText(db, std::string("SELECT ") + column + " " + minimalRow), "<null>") << column;
    EXPECT_EQ(scalarText(db, "SELECT pasted_text " + minimalRow), "");
    EXPECT_EQ(scalarText(db, "SELECT timestamp " + minimalRow), "2026-05-06T07:08:09Z");
    EXPECT_EQ(scalarText(db, "SELECT has_ax_html || used_fallback_asr FROM history WHERE id = '" +
                                 full.id.toString(QUuid::WithoutBraces).toUpper().toStdString() + "'"),
              "11");

    auto store = open();
    ASSERT_EQ(store->recentHistory().size(), 2);
    expectReloaded(store->recentHistory().at(0), full);
    TranscriptionResult minimalAsStored = minimal;
    minimalAsStored.pastedText = minimal.formattedText;
    expectReloaded(store->recentHistory().at(1), minimalAsStored);
    EXPECT_EQ(store->loadTotals().dictations, 2);
    EXPECT_EQ(store->loadTotals().words, 2 + 5);
}

TEST_F(HistoryStoreTest, ALatencyRecordWithBadNumbersSurvivesAReload) {
    TranscriptionResult r = fullRecord();
    r.latencyMetrics.recordingLengthMs = std::numeric_limits<double>::quiet_NaN();
    r.latencyMetrics.remoteLatencyMs = std::numeric_limits<double>::infinity();
    r.latencyMetrics.heartbeatLagSamples[0].lagSec = -std::numeric_limits<double>::infinity();
    {
        auto store = open();
        saveAndWait(*store, r);
    }
    auto store = open();
    ASSERT_EQ(store->recentHistory().size(), 1);
    const DictationLatencyMetrics& got = store->recentHistory().at(0).latencyMetrics;
    EXPECT_EQ(got.recordingLengthMs, 0);
    EXPECT_FALSE(got.remoteLatencyMs.has_value());
    EXPECT_EQ(got.timeToFirstChunkMs, r.latencyMetrics.timeToFirstChunkMs);  // the rest is kept
    ASSERT_EQ(got.heartbeatLagSamples.size(), 1);
    EXPECT_EQ(got.heartbeatLagSamples[0], (HeartbeatLagSample{1.0, 1.5, 0}));
}

TEST_F(HistoryStoreTest, DictationsOfOneSecondReloadNewestWrittenFirst) {
    std::vector<QUuid> ids;
    {
        auto store = open();
        for (int i = 0; i < 6; ++i) {
            TranscriptionResult r = record(QStringLiteral("Same second %1.").arg(i));
            ids.push_back(r.id);
            saveAndWait(*store, r);
        }
    }
    for (int run = 0; run < 2; ++run) {
        auto store = open();
        ASSERT_EQ(store->recentHistory().size(), 6);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(store->recentHistory().at(i).id, ids[5 - i]) << i;
    }
}

TEST_F(HistoryStoreTest, StoredValuesThatDoNotParseGetTheReloadDefaults) {
    { auto store = open(); }
    {
        SQLite::Database db = inspect(path);
        db.exec(
            "INSERT INTO history (id, asr_text, formatted_text, pasted_text, timestamp, "
            "latency_metrics_json, transcript_command, used_fallback_asr) "
            "VALUES ('not-a-uuid', 'a', 'A b', 'A b', 'yesterday', '{\"recordingLengthMs\": \"x\"}', NULL, 2)");
    }
    auto store = open();
    ASSERT_EQ(store->recentHistory().size(), 1);
    const TranscriptionResult& r = store->recentHistory().first();
    EXPECT_FALSE(r.id.isNull());
    EXPECT_EQ(r.timestamp, clock.now());
    EXPECT_EQ(r.latencyMetrics, DictationLatencyMetrics{});
    EXPECT_EQ(r.persistenceMetrics.transcriptCommand, "");
    EXPECT_FALSE(r.usedFallbackASR);  // true only for 1
    EXPECT_EQ(r.wordCount, 2);
}

TEST_F(HistoryStoreTest, CacheKeepsTheNewestHundredAndAFailedSaveChangesNothing) {
    auto store = open();
    std::vector<QUuid> ids;
    for (int i = 0; i < HistoryStore::maxCacheSize; ++i) {
        TranscriptionResult r = record(QStringLiteral("Entry %1.").arg(i));
        ids.push_back(r.id);
        store->save(r);
        clock.advance(1);
    }
    ASSERT_TRUE(waitUntil([&] { return store->recentHistory().size() == HistoryStore::maxCacheSize; }));
    EXPECT_EQ(store->recentHistory().first().id, ids.back());
    EXPECT_EQ(store->recentHistory().last().id, ids.front());

    const TranscriptionResult newest = record(QStringLiteral("One more."));
    saveAndWait(*store, newest);
    EXPECT_EQ(store->recentHistory().size(), HistoryStore::maxCacheSize);
    EXPECT_EQ(store->recentHistory().last().id, ids[1]);

    store->save(newest);  // same id: the primary key refuses it
    store->flush();
    QCoreApplication::processEvents();
    EXPECT_TRUE(logText().contains("HistoryStore: save step failed — "));
    EXPECT_EQ(store->recentHistory().size(), HistoryStore::maxCacheSize);
    EXPECT_EQ(store->recentHistory().first().id, newest.id);
    EXPECT_EQ(store->recentHistory().at(1).id, ids.back());
    EXPECT_EQ(store->loadTotals().dictations, HistoryStore::maxCacheSize + 1);

    store.reset();
    store = open();
    ASSERT_EQ(store->recentHistory().size(), HistoryStore::maxCacheSize);
    EXPECT_EQ(store->recentHistory().first().id, newest.id);
    EXPECT_EQ(store->recentHistory().last().id, ids[1]);
}

TEST_F(HistoryStoreTest, WritesBeforeInitializeStoreNothing) {
    HistoryStore store(path);
    store.save(record(QStringLiteral("Too early.")));
    store.saveEvent("t", "s", "early", "", "unknown", {});
    store.addWord(QStringLiteral("early"), std::nullopt, false);
    store.flush();
    QCoreApplication::processEvents();
    EXPECT_TRUE(logText().contains("HistoryStore: save failed — database not initialized"));
    EXPECT_TRUE(store.recentHistory().isEmpty());
    EXPECT_TRUE(store.dictionary().isEmpty());
    EXPECT_EQ(store.loadTotals().dictations, 0);
    EXPECT_FALSE(QFile::exists(path));
}

// ---- events and outcome snapshots ----

TEST_F(HistoryStoreTest, EventsAreStoredAsCompactJsonAndBadNumbersBecomeNull) {
    auto store = open();
    store->saveEvent("trace-1", "SESSION", "paste_completed", "org.editor", "coding",
                     {{"ms", 12.5},
                      {"ratio", std::numeric_limits<double>::quiet_NaN()},
                      {"nested", QVariantMap{{"inf", std::numeric_limits<double>::infinity()},
                                             {"list", QVariantList{1, "two", true}}}}});
    store->saveEvent("trace-2", "SESSION", "bad_payload", "", "unknown", {{"when", QDateTime::currentDateTimeUtc()}});
    store->flush();  // the time stamp is the time of the write
    clock.advance(1);
    store->saveEvent("trace-3", "SESSION", "empty", "", "unknown", {});
    store->flush();

    SQLite::Database db = inspect(path);
    SQLite::Statement q(db,
                        "SELECT trace_id, session_id, ts, event, app_bundle_id, field_type, payload_json "
                        "FROM history_events ORDER BY id");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getString(), "trace-1");
    EXPECT_EQ(q.getColumn(1).getString(), "SESSION");
    EXPECT_EQ(q.getColumn(2).getString(), "2026-05-06T07:08:09Z");
    EXPECT_EQ(q.getColumn(3).getString(), "paste_completed");
    EXPECT_EQ(q.getColumn(4).getString(), "org.editor");
    EXPECT_EQ(q.getColumn(5).getString(), "coding");
    EXPECT_EQ(q.getColumn(6).getString(), R"({"ms":12.5,"nested":{"inf":null,"list":[1,"two",true]},"ratio":null})");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getString(), "trace-3");
    EXPECT_EQ(q.getColumn(2).getString(), "2026-05-06T07:08:10Z");
    EXPECT_EQ(q.getColumn(6).getString(), "{}");
    EXPECT_FALSE(q.executeStep());
}

TEST_F(HistoryStoreTest, OutcomeSnapshotsFillEveryColumn) {
    auto store = open();
    DictationOutcomeSnapshot edited;
    edited.secondsAfterPaste = 30;
    edited.initialPastedTextHash = QStringLiteral("aaa");
    edited.finalTextHash = QStringLiteral("bbb");
    edited.charEditDistance = 4;
    edited.wordEditDistance = 1;
    edited.timeToStableTextMs = 1500;
    edited.manualCorrectionsCount = 2;
    edited.manualRewriteFraction = 0.125;
    DictationOutcomeSnapshot untouched;
    untouched.secondsAfterPaste = 5;
    untouched.acceptedWithoutEdits = true;
    untouched.manualRewriteFraction = std::numeric_limits<double>::quiet_NaN();
    store->saveOutcomeSnapshot("trace-1", "SESSION", edited);
    store->saveOutcomeSnapshot("trace-2", "SESSION", untouched);
    store->flush();

    SQLite::Database db = inspect(path);
    SQLite::Statement q(db,
                        "SELECT trace_id, session_id, snapshot_seconds, ts, initial_pasted_text_hash, "
                        "final_text_hash, char_edit_distance, word_edit_distance, time_to_stable_text_ms, "
                        "manual_corrections_count, manual_rewrite_fraction, accepted_without_edits, "
                        "payload_json FROM dictation_outcomes ORDER BY id");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getString(), "trace-1");
    EXPECT_EQ(q.getColumn(1).getString(), "SESSION");
    EXPECT_EQ(q.getColumn(2).getInt(), 30);
    EXPECT_EQ(q.getColumn(3).getString(), "2026-05-06T07:08:09Z");
    EXPECT_EQ(q.getColumn(4).getString(), "aaa");
    EXPECT_EQ(q.getColumn(5).getString(), "bbb");
    EXPECT_EQ(q.getColumn(6).getInt(), 4);
    EXPECT_EQ(q.getColumn(7).getInt(), 1);
    EXPECT_EQ(q.getColumn(8).getDouble(), 1500);
    EXPECT_EQ(q.getColumn(9).getInt(), 2);
    EXPECT_EQ(q.getColumn(10).getDouble(), 0.125);
    EXPECT_EQ(q.getColumn(11).getInt(), 0);
    const auto decoded =
        JsonCoding::decode<DictationOutcomeSnapshot>(QByteArray::fromStdString(q.getColumn(12).getString()));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, edited);

    ASSERT_TRUE(q.executeStep());  // the bad fraction did not cost the row
    EXPECT_EQ(q.getColumn(0).getString(), "trace-2");
    EXPECT_TRUE(q.isColumnNull(8));
    EXPECT_EQ(q.getColumn(10).getDouble(), 0);
    EXPECT_EQ(q.getColumn(11).getInt(), 1);
    EXPECT_FALSE(q.executeStep());
}

// ---- failures ----

// A write or read that the database refuses leaves a warning with the reason in the text log, and
// the store goes on with what it had.
TEST_F(HistoryStoreTest, RefusedReadsAndWritesAreLoggedAndChangeNothing) {
    struct Case {
        const char* table;  // dropped behind the store's back, so its statements fail
        std::function<void(HistoryStore&)> act;
        QString warning;
    };
    const Case cases[] = {
        {"history_events", [](HistoryStore& s) { s.saveEvent("t", "s", "paste_completed", "", "unknown", {}); },
         "HistoryStore: Could not save the event paste_completed: no such table: history_events"},
        {"dictation_outcomes", [](HistoryStore& s) { s.saveOutcomeSnapshot("trace-9", "s", {}); },
         "HistoryStore: Could not save the outcome of trace-9: no such table: dictation_outcomes"},
        {"dictionary", [](HistoryStore& s) { s.addWord(QStringLiteral("word"), std::nullopt, false); },
         "HistoryStore: Could not add a word to the dictionary: no such table: dictionary"},
        {"history", [](HistoryStore& s) { EXPECT_EQ(s.loadTotals().dictations, 0); },
         "HistoryStore: Could not count the dictations: no such table: history"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        removeDatabase();
        auto store = open();
        store->addWord(QStringLiteral("kept"), std::nullopt, false);
        store->flush();
        inspect(path).exec(std::string("DROP TABLE ") + c.table);
        const qsizetype mark = logText().size();
        c.act(*store);
        store->flush();
        EXPECT_TRUE(logText().mid(mark).contains(c.warning)) << logText().mid(mark).toStdString();
        EXPECT_EQ(store->dictionary().size(), 1);
    }
}

// ---- dictionary and clearing ----

TEST_F(HistoryStoreTest, AddWordReplacesTheEntryAndKeepsTheListSorted) {
    auto store = open();
    const AbstractDictionarySource& source = *store;
    store->addWord(QStringLiteral("vantrose"), std::nullopt, false);
    store->addWord(QStringLiteral("Qt"), QStringLiteral("Qt 6"), false);
    store->addWord(QStringLiteral("addr"), QStringLiteral("1 Main Street"), true);
    store->flush();
    {
        SQLite::Database db = inspect(path);
        db.exec("UPDATE dictionary SET frequency_used = 7, is_manual = 0 WHERE word = 'Qt'");
    }
    store->addWord(QStringLiteral("Qt"), std::nullopt, true);
    store->flush();

    const QList<DictionaryEntry> expected = {
        {QStringLiteral("Qt"), std::nullopt, true, 0},
        {QStringLiteral("addr"), QStringLiteral("1 Main Street"), true, 0},
        {QStringLiteral("vantrose"), std::nullopt, false, 0},
    };
    EXPECT_EQ(source.dictionaryEntries(), expected);
    SQLite::Database db = inspect(path);
    EXPECT_EQ(scalarText(db, "SELECT count(*) FROM dictionary"), "3");
    EXPECT_EQ(
        scalarText(
            db, "SELECT is_manual || frequency_used || coalesce(replacement, '-') FROM dictionary WHERE word = 'Qt'"),
        "10-");

    store.reset();
    store = open();
    EXPECT_EQ(store->dictionary(), expected);
}

TEST_F(HistoryStoreTest, ClearAllEmptiesHistoryButKeepsTheDictionary) {
    auto store = open();
    saveAndWait(*store, record(QStringLiteral("Forget me.")));
    store->saveEvent("t", "s", "e", "", "unknown", {{"a", 1}});
    store->saveOutcomeSnapshot("t", "s", DictationOutcomeSnapshot{});
    store->addWord(QStringLiteral("keep"), std::nullopt, false);
    store->clearAll();
    ASSERT_TRUE(waitUntil([&] { return store->recentHistory().isEmpty(); }));

    SQLite::Database db = inspect(path);
    for (const char* table : {"history", "history_events", "dictation_outcomes"})
        EXPECT_EQ(scalarText(db, std::string("SELECT count(*) FROM ") + table), "0") << table;
    EXPECT_EQ(scalarText(db, "SELECT count(*) FROM dictionary"), "1");
    EXPECT_EQ(store->dictionary().size(), 1);
    EXPECT_EQ(store->loadTotals().dictations, 0);
}

}  // namespace

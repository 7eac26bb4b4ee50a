// History store timings: saving one dictation, and opening a database of 100,000 dictations
// and reloading the newest 100 of them. Each should stay under 10 ms.
#include "Models/TranscriptionResult.h"
#include "Storage/HistoryStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kRows = 100'000;

TranscriptionResult sampleRecord(int i) {
    TranscriptionResult::Fields f;
    f.rawText = QStringLiteral("please send the quarterly numbers to the finance team by friday %1").arg(i);
    f.formattedText = QStringLiteral("Please send the quarterly numbers to the finance team by Friday. %1").arg(i);
    f.duration = 4.2;
    f.speechDuration = 3.8;
    f.language = QStringLiteral("en");
    f.detectedLanguage = QStringLiteral("en");
    f.asrTimeMs = 180;
    f.formatTimeMs = 90;
    f.insertTimeMs = 40;
    f.totalTimeMs = 4500;
    f.asrTierUsed = QStringLiteral("primary");
    f.appName = QStringLiteral("Mail");
    f.appBundleId = QStringLiteral("org.gnome.Evolution");
    f.appURL = QStringLiteral("https://mail.example.org/");
    f.appType = QStringLiteral("email");
    f.latencyMetrics.recordingLengthMs = 4200;
    f.latencyMetrics.timeToFirstChunkMs = 95;
    f.persistenceMetrics.traceID = QStringLiteral("trace-%1").arg(i);
    f.persistenceMetrics.sessionID = QStringLiteral("SESSION");
    f.persistenceMetrics.transcriptCommand = QStringLiteral("dictation");
    f.persistenceMetrics.fieldType = QStringLiteral("email");
    return TranscriptionResult(std::move(f));
}

// A database holding kRows dictations, one minute apart, written in one transaction.
class Fixture {
public:
    Fixture() : m_path(m_dir.path() + "/vantrose.sqlite") {
        HistoryStore(m_path).initialize();  // the schema
        SQLite::Database db(m_path.toStdString(), SQLite::OPEN_READWRITE);
        SQLite::Transaction tx(db);
        SQLite::Statement insert(db,
                                 "INSERT INTO history (id, trace_id, session_id, asr_text, formatted_text, "
                                 "pasted_text, num_words, timestamp, app_name, app_bundle_id, field_type, "
                                 "latency_metrics_json) VALUES (?, ?, 'SESSION', ?, ?, ?, 11, ?, 'Mail', "
                                 "'org.gnome.Evolution', 'email', '{\"recordingLengthMs\":4200}')");
        const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
        for (int i = 0; i < kRows; ++i) {
            const TranscriptionResult r = sampleRecord(i);
            insert.bind(1, r.id.toString(QUuid::WithoutBraces).toUpper().toStdString());
            insert.bind(2, r.persistenceMetrics.traceID.toStdString());
            insert.bind(3, r.rawText.toStdString());
            insert.bind(4, r.formattedText.toStdString());
            insert.bind(5, r.pastedText.toStdString());
            insert.bind(6, HistoryStore::formatTimestamp(start.addSecs(60LL * i)).toStdString());
            insert.exec();
            insert.reset();
        }
        tx.commit();
    }
    const QString& path() const { return m_path; }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_SaveDictation(benchmark::State& state) {
    HistoryStore store(fixture().path());
    store.initialize();
    int i = 0;
    for (auto _ : state) {
        store.save(sampleRecord(kRows + i++));
        store.flush();  // until the row is written
        state.PauseTiming();
        QCoreApplication::processEvents();  // the cache update on the main thread
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SaveDictation)->Unit(benchmark::kMillisecond);

// Opening the database and reading the newest 100 rows; making the store's worker thread and
// closing the store are not counted.
void BM_OpenAndReloadNewest100(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<HistoryStore>(fixture().path());
        store->flush();  // the worker is up
        state.ResumeTiming();
        store->initialize();
        state.PauseTiming();
        if (store->recentHistory().size() != HistoryStore::maxCacheSize) state.SkipWithError("short reload");
        store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OpenAndReloadNewest100)->Unit(benchmark::kMillisecond);

}  // namespace

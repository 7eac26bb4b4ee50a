#include "Eval/EvalHarness.h"

#include "Foundation/Logger.h"
#include "Models/TranscriptionResult.h"

#include <QFile>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct Sample {
    double mic, context, asr, format, insert, total, duration;
    const char* text;
    const char* tier;
    float divergence;
    std::optional<double> firstChunk, prepare, remote, commitAck;
};

TranscriptionResult make(const Sample& s) {
    TranscriptionResult::Fields f;
    f.formattedText = QString::fromUtf8(s.text);
    f.micAcquisitionTimeMs = s.mic;
    f.contextGatherTimeMs = s.context;
    f.asrTimeMs = s.asr;
    f.formatTimeMs = s.format;
    f.insertTimeMs = s.insert;
    f.totalTimeMs = s.total;
    f.duration = s.duration;
    f.asrTierUsed = QString::fromUtf8(s.tier);
    f.formattingDivergenceScore = s.divergence;
    f.latencyMetrics.timeToFirstChunkMs = s.firstChunk;
    f.latencyMetrics.prepareRequestMs = s.prepare;
    f.latencyMetrics.remoteLatencyMs = s.remote;
    f.latencyMetrics.backendCommitAckTimeMs = s.commitAck;
    return TranscriptionResult(std::move(f));
}

// Two ASR times too long for their cells, a half that printf rounds to even, a dictation with
// no recording time (no words per minute) and optional timings present in only some records.
const Sample kFive[] = {
    {10, 20, 100, 50, 30, 2000, 2, "one two three four", "primary", 0.1f, 80, 5, 300, 200},
    {12, 25, 150, 60, 35, 2500, 3, "one two three four five six", "primary", 0.2f, 90, std::nullopt, 350, std::nullopt},
    {8, 15, 123456789, 95, 40, 3000, 0, "one two three four", "cloud", 0.3f, std::nullopt, std::nullopt, std::nullopt,
     std::nullopt},
    {20, 30, 987654321, 70, 45, 4000, 4, "one two three four five six seven eight", "primary", 0.0f, 100, std::nullopt,
     std::nullopt, std::nullopt},
    {15, 18, 210.5, 80, 50, 3500, 5, "one two three four five six seven eight nine", "local", 0.4f, 110, 7,
     std::nullopt, std::nullopt},
};

const char* const kGolden = R"(
╔══════════════════════════════════════════════════════════════╗
║                 VANTROSE EVAL REPORT                        ║
╠══════════════════════════════════════════════════════════════╣
║  Dictations: 5 total, 100% success                       ║
╠══════════════════════════════════════════════════════════════╣
║  LATENCY (ms)          P50        P95       Vantrose P50      ║
║  ─────────────────────────────────────────────────────────  ║
║  Mic acquisition    12         -          -              ║
║  Context gather     20         -          -              ║
║  ASR                210        12345678   200            ║
║  Formatting         70         80         95             ║
║  Text insertion     40         45         ~50            ║
║  First chunk        90         100        218            ║
║  Prepare request    5          5          9              ║
║  Remote latency     300        300        614            ║
║  Commit ACK         200        200        259            ║
║  ─────────────────────────────────────────────────────────  ║
║  POST-RECORDING     340        12345692   550            ║
║  (key-up → pasted)                                         ║
║  ─────────────────────────────────────────────────────────  ║
║  E2E (incl. speech) 3000       -          620            ║
╠══════════════════════════════════════════════════════════════╣
║  ACCURACY                                                   ║
║  Avg WPM:           117                                         ║
║  Avg word count:    6                                           ║
║  Format divergence: 0.20                                        ║
║  ASR tiers used:    primary:3, cloud:1, local:1                 ║
╚══════════════════════════════════════════════════════════════╝)";

QString logText() {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

TEST(EvalHarnessTest, ReportOfFiveDictationsMatchesTheLayout) {
    EvalHarness harness;
    for (const Sample& s : kFive) harness.record(make(s));
    EXPECT_EQ(harness.totalDictations(), 5);
    EXPECT_EQ(EvalHarness::renderReport(harness.generateReport()).toStdString(), std::string(kGolden));
}

TEST(EvalHarnessTest, PrintReportWritesTheTextToStandardOutputAndTheLog) {
    EvalHarness harness;
    for (const Sample& s : kFive) harness.record(make(s));
    testing::internal::CaptureStdout();
    harness.printReport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kGolden) + "\n");
    const QString log = logText();
    EXPECT_TRUE(log.contains(QStringLiteral("Eval: Recorded dictation #1 — post-rec: 180ms\n")));
    EXPECT_TRUE(log.contains(QStringLiteral("Eval: Recorded dictation #5 — post-rec: 340ms\n")));
    // The entry's first line is the prefix alone: the report begins with a line break.
    EXPECT_TRUE(log.contains(QStringLiteral("] \n") + QString::fromUtf8(kGolden).mid(1) + "\n"));
}

TEST(EvalHarnessTest, EmptyStatisticsReportZeros) {
    const EvalReport report = EvalHarness().generateReport();
    EXPECT_EQ(report.totalDictations, 0);
    EXPECT_EQ(report.successRate, 0);
    EXPECT_EQ(report.asrP95, 0);
    EXPECT_EQ(report.avgWordsPerMinute, 0);
    EXPECT_EQ(report.avgFormatterDivergence, 0);
    const QStringList lines = EvalHarness::renderReport(report).split('\n');
    EXPECT_EQ(lines[4], QStringLiteral("║  Dictations: 0 total, 0% success") + QString(25, ' ') + "║");
    EXPECT_EQ(lines[10], QStringLiteral("║  ASR                0          0          200            ║"));
    EXPECT_EQ(lines[27], QStringLiteral("║  ASR tiers used:    ") + QString(44, ' ') + "║");
}

TEST(EvalHarnessTest, OptionalTimingsAndZeroDurationsAddOnlyWhatIsThere) {
    EvalHarness harness;
    harness.record(
        make({1, 1, 100, 1, 1, 1, 0, "a b", "primary", 0, std::nullopt, std::nullopt, std::nullopt, std::nullopt}));
    harness.record(
        make({1, 1, 300, 1, 1, 1, 0, "a b c d", "primary", 0, 40, std::nullopt, std::nullopt, std::nullopt}));
    const EvalReport r = harness.generateReport();
    EXPECT_EQ(r.totalDictations, 2);
    EXPECT_EQ(r.successRate, 1);
    EXPECT_EQ(r.asrP50, 100);
    EXPECT_EQ(r.firstChunkP50, 40);     // the record without one added nothing
    EXPECT_EQ(r.avgWordsPerMinute, 0);  // no recording time, no words per minute
    EXPECT_EQ(r.avgWordCount, 3);
    EXPECT_EQ(r.asrTiersUsed, (QList<QPair<QString, int>>{{QStringLiteral("primary"), 2}}));
}

TEST(EvalHarnessTest, PercentileTakesTheTruncatedIndexOfTheSortedValues) {
    struct Case {
        std::vector<double> values;
        double p50, p95;
    };
    const Case cases[] = {
        {{}, 0, 0}, {{7}, 7, 7}, {{9, 4}, 4, 4}, {{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 5, 9}, {{3, 1, 2}, 2, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EvalHarness::percentile(c.values, 0.5), c.p50) << c.values.size();
        EXPECT_EQ(EvalHarness::percentile(c.values, 0.95), c.p95) << c.values.size();
    }
}

}  // namespace

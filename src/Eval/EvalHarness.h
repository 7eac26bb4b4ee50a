#pragma once

#include "Models/TranscriptionResult.h"

#include <QList>
#include <QPair>
#include <QString>

#include <vector>

// The statistics a report shows: medians (P50) and 95th percentiles (P95) in milliseconds,
// the accuracy means, and the reference figures printed beside them.
struct EvalReport {
    int totalDictations = 0;
    double successRate = 0;  // 0 to 1

    double micP50 = 0;
    double contextP50 = 0;
    double asrP50 = 0, asrP95 = 0;
    double formatP50 = 0, formatP95 = 0;
    double insertP50 = 0, insertP95 = 0;
    double firstChunkP50 = 0, firstChunkP95 = 0;
    double prepareRequestP50 = 0, prepareRequestP95 = 0;
    double remoteP50 = 0, remoteP95 = 0;
    double commitAckP50 = 0, commitAckP95 = 0;
    double postRecordingP50 = 0, postRecordingP95 = 0;
    double e2eP50 = 0;

    double avgWordsPerMinute = 0;
    double avgWordCount = 0;
    float avgFormatterDivergence = 0;
    // Dictations per recogniser tier, in the order the tiers were first seen.
    QList<QPair<QString, int>> asrTiersUsed;

    double referenceAsrP50 = 200;
    double referenceFormatP50 = 95;
    double referencePostRecordingP50 = 550;
    double referenceE2EP50 = 620;
};

// Latency and accuracy statistics of this run's dictations, kept in memory only. The batch
// road records each dictation it completes and prints the report after every fifth one.
// Used on the main thread only.
class EvalHarness {
public:
    static EvalHarness& shared();

    EvalHarness() = default;

    // Adds the dictation and logs one line about it.
    void record(const TranscriptionResult& result);
    // Writes the report to the text log and to standard output.
    void printReport() const;
    EvalReport generateReport() const;

    int totalDictations() const { return m_totalDictations; }

    // The element at index min(n - 1, floor((n - 1) * fraction)) of the sorted values; 0 when empty.
    static double percentile(std::vector<double> values, double fraction);
    // The report's text: it starts with a line break and has none at the end.
    static QString renderReport(const EvalReport& report);

private:
    int m_totalDictations = 0;
    int m_successfulDictations = 0;
    std::vector<double> m_micLatencies;
    std::vector<double> m_contextLatencies;
    std::vector<double> m_asrLatencies;
    std::vector<double> m_formatLatencies;
    std::vector<double> m_insertLatencies;
    std::vector<double> m_e2eLatencies;
    std::vector<double> m_firstChunkLatencies;
    std::vector<double> m_prepareRequestLatencies;
    std::vector<double> m_remoteLatencies;
    std::vector<double> m_commitAckLatencies;
    std::vector<double> m_postRecordingLatencies;
    std::vector<qint64> m_wordCounts;
    std::vector<double> m_wordsPerMinute;
    QList<QPair<QString, int>> m_asrTiersUsed;
    std::vector<float> m_formatterDivergences;
};

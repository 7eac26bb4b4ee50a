#include "Eval/EvalHarness.h"

#include "Eval/LogCategories.h"
#include "Foundation/Logger.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace {

// printf's own rounding, so the figures read as they would from any C tool.
QString format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return QString::fromLatin1(buffer);
}

// Left-aligned in exactly `width` characters: padded on the right, or cut.
QString cell(const QString& text, int width) { return text.left(width).leftJustified(width, QLatin1Char(' ')); }

QString ms(double value) { return cell(format("%.0f", value), 8); }

QString repeated(const char* piece, int count) { return QString::fromUtf8(piece).repeated(count); }

double mean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

}  // namespace

EvalHarness& EvalHarness::shared() {
    static EvalHarness instance;
    return instance;
}

void EvalHarness::record(const TranscriptionResult& r) {
    ++m_totalDictations;
    ++m_successfulDictations;

    m_micLatencies.push_back(r.micAcquisitionTimeMs);
    m_contextLatencies.push_back(r.contextGatherTimeMs);
    m_asrLatencies.push_back(r.asrTimeMs);
    m_formatLatencies.push_back(r.formatTimeMs);
    m_insertLatencies.push_back(r.insertTimeMs);
    m_e2eLatencies.push_back(r.totalTimeMs);
    const DictationLatencyMetrics& l = r.latencyMetrics;
    if (l.timeToFirstChunkMs) m_firstChunkLatencies.push_back(*l.timeToFirstChunkMs);
    if (l.prepareRequestMs) m_prepareRequestLatencies.push_back(*l.prepareRequestMs);
    if (l.remoteLatencyMs) m_remoteLatencies.push_back(*l.remoteLatencyMs);
    if (l.backendCommitAckTimeMs) m_commitAckLatencies.push_back(*l.backendCommitAckTimeMs);
    const double postRecording = r.asrTimeMs + r.formatTimeMs + r.insertTimeMs;
    m_postRecordingLatencies.push_back(postRecording);
    m_wordCounts.push_back(r.wordCount);
    if (r.duration > 0) m_wordsPerMinute.push_back(static_cast<double>(r.wordCount) / r.duration * 60.0);

    auto tier = std::find_if(m_asrTiersUsed.begin(), m_asrTiersUsed.end(),
                             [&](const auto& entry) { return entry.first == r.asrTierUsed; });
    if (tier == m_asrTiersUsed.end())
        m_asrTiersUsed.append({r.asrTierUsed, 1});
    else
        ++tier->second;
    m_formatterDivergences.push_back(r.formattingDivergenceScore);

    VLOG_INFO(lcEval) << QStringLiteral("Recorded dictation #%1 — post-rec: %2ms")
                             .arg(m_totalDictations)
                             .arg(format("%.0f", postRecording));
}

double EvalHarness::percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto last = values.size() - 1;
    const auto index = static_cast<std::size_t>(static_cast<double>(last) * fraction);
    return values[std::min(last, index)];
}

EvalReport EvalHarness::generateReport() const {
    EvalReport report;
    report.totalDictations = m_totalDictations;
    report.successRate = m_totalDictations > 0 ? static_cast<double>(m_successfulDictations) / m_totalDictations : 0;
    report.micP50 = percentile(m_micLatencies, 0.5);
    report.contextP50 = percentile(m_contextLatencies, 0.5);
    report.asrP50 = percentile(m_asrLatencies, 0.5);
    report.asrP95 = percentile(m_asrLatencies, 0.95);
    report.formatP50 = percentile(m_formatLatencies, 0.5);
    report.formatP95 = percentile(m_formatLatencies, 0.95);
    report.insertP50 = percentile(m_insertLatencies, 0.5);
    report.insertP95 = percentile(m_insertLatencies, 0.95);
    report.firstChunkP50 = percentile(m_firstChunkLatencies, 0.5);
    report.firstChunkP95 = percentile(m_firstChunkLatencies, 0.95);
    report.prepareRequestP50 = percentile(m_prepareRequestLatencies, 0.5);
    report.prepareRequestP95 = percentile(m_prepareRequestLatencies, 0.95);
    report.remoteP50 = percentile(m_remoteLatencies, 0.5);
    report.remoteP95 = percentile(m_remoteLatencies, 0.95);
    report.commitAckP50 = percentile(m_commitAckLatencies, 0.5);
    report.commitAckP95 = percentile(m_commitAckLatencies, 0.95);
    report.postRecordingP50 = percentile(m_postRecordingLatencies, 0.5);
    report.postRecordingP95 = percentile(m_postRecordingLatencies, 0.95);
    report.e2eP50 = percentile(m_e2eLatencies, 0.5);

    report.avgWordsPerMinute = mean(m_wordsPerMinute);
    report.avgWordCount =
        m_wordCounts.empty()
            ? 0
            : static_cast<double>(std::accumulate(m_wordCounts.begin(), m_wordCounts.end(), qint64{0})) /
                  static_cast<double>(m_wordCounts.size());
    if (!m_formatterDivergences.empty()) {
        const float sum = std::accumulate(m_formatterDivergences.begin(), m_formatterDivergences.end(), 0.0f);
        report.avgFormatterDivergence = sum / static_cast<float>(m_formatterDivergences.size());
    }
    report.asrTiersUsed = m_asrTiersUsed;
    return report;
}

QString EvalHarness::renderReport(const EvalReport& r) {
    const QString rule = QStringLiteral("║  ") + repeated("─", 57) + QStringLiteral("  ║");
    const QString divider = QStringLiteral("╠") + repeated("═", 62) + QStringLiteral("╣");
    QStringList tiers;
    for (const auto& [tier, count] : r.asrTiersUsed) tiers << QStringLiteral("%1:%2").arg(tier).arg(count);
    const QString dictations =
        QStringLiteral("%1 total, %2 success").arg(r.totalDictations).arg(format("%.0f%%", r.successRate * 100));

    const QStringList lines = {
        QString(),
        QStringLiteral("╔") + repeated("═", 62) + QStringLiteral("╗"),
        QStringLiteral("║") + repeated(" ", 17) + QStringLiteral("VANTROSE EVAL REPORT") + repeated(" ", 24) +
            QStringLiteral("║"),
        divider,
        QStringLiteral("║  Dictations: ") + cell(dictations, 44) + QStringLiteral("║"),
        divider,
        QStringLiteral("║  LATENCY (ms)") + repeated(" ", 10) + QStringLiteral("P50") + repeated(" ", 8) +
            QStringLiteral("P95") + repeated(" ", 7) + QStringLiteral("Vantrose P50") + repeated(" ", 6) +
            QStringLiteral("║"),
        rule,
        QStringLiteral("║  Mic acquisition    ") + ms(r.micP50) + "   " + cell("-", 8) +
            QStringLiteral("   -              ║"),
        QStringLiteral("║  Context gather     ") + ms(r.contextP50) + "   " + cell("-", 8) +
            QStringLiteral("   -              ║"),
        QStringLiteral("║  ASR                ") + ms(r.asrP50) + "   " + ms(r.asrP95) + "   " + ms(r.referenceAsrP50) +
            QStringLiteral("       ║"),
        QStringLiteral("║  Formatting         ") + ms(r.formatP50) + "   " + ms(r.formatP95) + "   " +
            ms(r.referenceFormatP50) + QStringLiteral("       ║"),
        QStringLiteral("║  Text insertion     ") + ms(r.insertP50) + "   " + ms(r.insertP95) +
            QStringLiteral("   ~50            ║"),
        QStringLiteral("║  First chunk        ") + ms(r.firstChunkP50) + "   " + ms(r.firstChunkP95) +
            QStringLiteral("   218            ║"),
        QStringLiteral("║  Prepare request    ") + ms(r.prepareRequestP50) + "   " + ms(r.prepareRequestP95) +
            QStringLiteral("   9              ║"),
        QStringLiteral("║  Remote latency     ") + ms(r.remoteP50) + "   " + ms(r.remoteP95) +
            QStringLiteral("   614            ║"),
        QStringLiteral("║  Commit ACK         ") + ms(r.commitAckP50) + "   " + ms(r.commitAckP95) +
            QStringLiteral("   259            ║"),
        rule,
        QStringLiteral("║  POST-RECORDING     ") + ms(r.postRecordingP50) + "   " + ms(r.postRecordingP95) + "   " +
            ms(r.referencePostRecordingP50) + QStringLiteral("       ║"),
        QStringLiteral("║  (key-up → pasted)") + repeated(" ", 41) + QStringLiteral("║"),
        rule,
        QStringLiteral("║  E2E (incl. speech) ") + ms(r.e2eP50) + "   " + cell("-", 8) + "   " + ms(r.referenceE2EP50) +
            QStringLiteral("       ║"),
        divider,
        QStringLiteral("║  ACCURACY") + repeated(" ", 51) + QStringLiteral("║"),
        QStringLiteral("║  Avg WPM:           ") + cell(format("%.0f", r.avgWordsPerMinute), 44) + QStringLiteral("║"),
        QStringLiteral("║  Avg word count:    ") + cell(format("%.0f", r.avgWordCount), 44) + QStringLiteral("║"),
        QStringLiteral("║  Format divergence: ") + cell(format("%.2f", r.avgFormatterDivergence), 44) +
            QStringLiteral("║"),
        QStringLiteral("║  ASR tiers used:    ") + cell(tiers.join(QStringLiteral(", ")), 44) + QStringLiteral("║"),
        QStringLiteral("╚") + repeated("═", 62) + QStringLiteral("╝"),
    };
    return lines.join(QLatin1Char('\n'));
}

void EvalHarness::printReport() const {
    const QString text = renderReport(generateReport());
    Logger::log(text);
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

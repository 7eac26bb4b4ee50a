#include "UI/Hub/HubRules.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>

const std::array<HubTabInfo, 5>& hubTabs() {
    static const std::array<HubTabInfo, 5> tabs{{
        {HubTab::home, QStringLiteral("Home"), QStringLiteral("house")},
        {HubTab::history, QStringLiteral("History"), QStringLiteral("clock")},
        {HubTab::instructions, QStringLiteral("Instructions"), QStringLiteral("text.bubble")},
        {HubTab::replacements, QStringLiteral("Replacements"), QStringLiteral("arrow.left.arrow.right")},
        {HubTab::settings, QStringLiteral("Settings"), QStringLiteral("gearshape")},
    }};
    return tabs;
}

const HubTabInfo& hubTabInfo(HubTab tab) { return hubTabs()[std::size_t(tab)]; }

std::vector<std::uint8_t> filmGrainBytes(double width, double height) {
    std::vector<std::uint8_t> bytes;
    if (!(width >= 1) || !(height >= 1)) return bytes;
    const auto w = std::int64_t(std::min(width, 1.0e6));
    const auto h = std::int64_t(std::min(height, 1.0e6));
    bytes.reserve(std::size_t(((w + 2) / 3) * ((h + 2) / 3)));
    std::uint64_t s = 0x5851F42D4C957F2DULL;
    for (std::int64_t y = 0; y < h; y += filmGrainStep) {
        for (std::int64_t x = 0; x < w; x += filmGrainStep) {
            std::uint64_t t = s ^ (s << 13);
            t ^= t >> 7;
            s = t ^ (t << 17);
            bytes.push_back(std::uint8_t(s & 255));
        }
    }
    return bytes;
}

QString statsPeriodLabel(StatsPeriod period) {
    switch (period) {
    case StatsPeriod::thirtyDays: return QStringLiteral("30d");
    case StatsPeriod::threeMonths: return QStringLiteral("3m");
    case StatsPeriod::oneYear: return QStringLiteral("1y");
    case StatsPeriod::allTime: return QStringLiteral("All");
    }
    return {};
}

QString homeTitle(bool axGranted, bool micGranted) {
    return (axGranted && micGranted) ? QStringLiteral("Dashboard") : QStringLiteral("Almost there");
}

QString encouragementText(std::int64_t t) {
    if (t <= 0) return QStringLiteral("Start dictating to see your stats here.");
    if (t <= 99) return QStringLiteral("You\u2019re getting started. Keep going!");
    if (t <= 499) return QStringLiteral("Nice progress. Your voice is faster than typing.");
    if (t <= 1999)
        return QStringLiteral("You\u2019re a regular. ") + formatTimeSaved(t) + QStringLiteral(" saved so far.");
    return QStringLiteral("Power user. ") + formatTimeSaved(t) + QStringLiteral(" saved. Your fingers thank you.");
}

QString formatTimeSaved(std::int64_t words) {
    const double minutes = double(words) * 0.018333333333333333;
    if (minutes < 1) return QStringLiteral("<1m");
    if (minutes < 60) return QString::number(std::int64_t(minutes)) + QLatin1Char('m');
    return QString::asprintf("%.1fh", minutes / 60);
}

int avgWPM(const QList<TranscriptionResult>& results) {
    if (results.isEmpty()) return 0;
    std::int64_t words = 0;
    double minutes = 0;
    for (const TranscriptionResult& r : results) {
        words += r.wordCount;
        minutes += r.totalTimeMs / 60000.0;
    }
    if (!(minutes > 0) || !std::isfinite(minutes)) return 0;
    const double wpm = double(words) / minutes;
    // A result with a near-zero time must not overflow the figure.
    if (wpm >= double(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    return int(wpm);
}

QList<AppSource> topSources(const QList<TranscriptionResult>& results) {
    QList<AppSource> sources;
    QHash<QString, qsizetype> indexByName;
    for (const TranscriptionResult& r : results) {
        const QString name = r.appName.isEmpty() ? QStringLiteral("Unknown") : r.appName;
        auto it = indexByName.find(name);
        if (it == indexByName.end()) {
            indexByName.insert(name, sources.size());
            sources.append({name, r.appBundleId, r.wordCount});
        } else {
            AppSource& source = sources[*it];
            source.words += r.wordCount;
            source.bundleId = r.appBundleId;
        }
    }
    std::stable_sort(sources.begin(), sources.end(),
                     [](const AppSource& a, const AppSource& b) { return a.words > b.words; });
    return sources;
}

std::vector<std::vector<int>> buildActivityGrid(const QList<TranscriptionResult>& results, int numWeeks, int numDays,
                                                const QDate& today) {
    numWeeks = std::max(0, numWeeks);
    numDays = std::max(0, numDays);
    std::vector<std::vector<int>> grid(std::size_t(numWeeks), std::vector<int>(std::size_t(numDays), 0));
    if (!today.isValid()) return grid;
    // dayOfWeek: 1 = Monday … 7 = Sunday; the weeks here start on Sunday.
    const QDate weekStart = today.addDays(-(today.dayOfWeek() % 7));
    const QDate firstDay = weekStart.addDays(-qint64(numWeeks - 1) * 7);
    if (!weekStart.isValid() || !firstDay.isValid()) return grid;
    QHash<QDate, int> counts;
    for (const TranscriptionResult& r : results) {
        if (r.timestamp.isValid()) ++counts[r.timestamp.toLocalTime().date()];
    }
    for (int w = 0; w < numWeeks; ++w) {
        for (int d = 0; d < numDays; ++d) {
            const QDate date = firstDay.addDays(qint64(w) * 7 + d);
            if (!date.isValid() || date > today) continue;
            grid[std::size_t(w)][std::size_t(d)] = counts.value(date, 0);
        }
    }
    return grid;
}

double heatCellOpacity(int count) {
    if (count <= 0) return 0.04;
    if (count <= 2) return 0.12;
    if (count <= 5) return 0.25;
    if (count <= 10) return 0.4;
    return 0.6;
}

QString homeEmptyHint(const QString& hotkeyName) {
    return QStringLiteral("Hold ") + hotkeyName + QStringLiteral(" to begin");
}

QString historyEmptyHint(const QString& hotkeyName) {
    return QStringLiteral("Hold ") + hotkeyName + QStringLiteral(" and start speaking");
}

QList<PermissionRowSpec> permissionRows(bool axGranted, bool micGranted, const QString& axNotice,
                                        const SessionInputTexts& session) {
    QList<PermissionRowSpec> rows;
    if (!axGranted)
        rows.append({PermissionKind::accessibility, QStringLiteral("hand.raised"), QStringLiteral("Accessibility"),
                     session.needs.isEmpty() ? QStringLiteral("Detect hotkey & paste text") : session.needs});
    else if (!session.notice.isEmpty())
        rows.append({PermissionKind::hotkey, QStringLiteral("hand.raised"), QStringLiteral("Hotkey"), session.notice});
    if (axGranted && !axNotice.isEmpty())
        rows.append({PermissionKind::accessibility, QStringLiteral("hand.raised"), QStringLiteral("Accessibility bus"),
                     axNotice});
    if (!micGranted)
        rows.append({PermissionKind::microphone, QStringLiteral("mic"), QStringLiteral("Microphone"),
                     QStringLiteral("Capture your voice")});
    return rows;
}

QList<TranscriptionResult> filterHistory(const QList<TranscriptionResult>& results, const QString& searchText) {
    if (searchText.isEmpty()) return results;
    QList<TranscriptionResult> kept;
    for (const TranscriptionResult& r : results) {
        if (r.pastedText.contains(searchText, Qt::CaseInsensitive) ||
            r.rawText.contains(searchText, Qt::CaseInsensitive) || r.appName.contains(searchText, Qt::CaseInsensitive))
            kept.append(r);
    }
    return kept;
}

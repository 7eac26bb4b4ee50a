#include "UI/Common/RowLabels.h"

#include <algorithm>
#include <cmath>

QString wordCountText(std::int64_t words) { return QString::number(words) + QStringLiteral(" words"); }

QString historyCountText(qsizetype entries) { return QString::number(entries) + QStringLiteral(" entries"); }

QString durationText(double seconds) { return QString::asprintf("%.1fs", seconds); }

QString totalTimeText(double milliseconds) {
    // A value that is not a number or beyond the integer range has no whole-millisecond form.
    if (!std::isfinite(milliseconds) || std::abs(milliseconds) >= 9.0e18) return QStringLiteral("\u2014ms");
    return QString::number(std::int64_t(milliseconds)) + QStringLiteral("ms");
}

QString relativeAgeText(const QDateTime& time, const QDateTime& now) {
    if (!time.isValid() || !now.isValid()) return {};
    const qint64 seconds = std::max<qint64>(0, time.secsTo(now));
    if (seconds < 1) return QStringLiteral("now");
    if (seconds < 60) return QString::number(seconds) + QStringLiteral(" sec");
    const qint64 minutes = seconds / 60;
    if (minutes < 60) return QString::number(minutes) + QStringLiteral(" min");
    const qint64 hours = minutes / 60;
    if (hours < 24) return QString::number(hours) + QStringLiteral(" hr");
    const qint64 days = hours / 24;
    if (days < 7) return QString::number(days) + (days == 1 ? QStringLiteral(" day") : QStringLiteral(" days"));
    const qint64 weeks = days / 7;
    if (days < 30) return QString::number(weeks) + (weeks == 1 ? QStringLiteral(" week") : QStringLiteral(" weeks"));
    const qint64 months = days / 30;
    if (days < 365)
        return QString::number(months) + (months == 1 ? QStringLiteral(" month") : QStringLiteral(" months"));
    const qint64 years = days / 365;
    return QString::number(years) + (years == 1 ? QStringLiteral(" year") : QStringLiteral(" years"));
}

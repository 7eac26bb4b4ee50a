#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

// The labels of a transcript row, shared by the hub's history and the instructions' samples.
QString wordCountText(std::int64_t words);    // "12 words"
QString historyCountText(qsizetype entries);  // "3 entries"
QString durationText(double seconds);         // "2.5s"
QString totalTimeText(double milliseconds);   // "1830ms"
// How long ago `time` was, relative to `now`: "now", "42 sec", "5 min", "3 hr", "2 days", ...
QString relativeAgeText(const QDateTime& time, const QDateTime& now);

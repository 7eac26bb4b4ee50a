#pragma once

#include <QString>

// Text offsets as accessibility back-ends report them. AT-SPI defines offsets in characters
// (Unicode code points) and GTK follows that; Qt's bridge reports UTF-16 code units instead.
// QString indexes UTF-16, so every offset is normalised to a UTF-16 index before slicing.
namespace TextOffsets {

enum class Unit { CodePoints, Utf16 };

int codePointCount(const QString& text);

// UTF-16 index of the code-point offset `offset`, clamped to [0, text.size()].
int utf16IndexFromCodePoints(const QString& text, qint64 offset);

// Code-point offset of the UTF-16 index `index`, clamped to the text. An index inside a
// surrogate pair counts the pair as one character.
int codePointsFromUtf16Index(const QString& text, qint64 index);

// Which unit a toolkit used, judged from the character count it reported for `text`.
// When both units agree (no characters outside the Basic Multilingual Plane) either works.
Unit unitForReportedCount(const QString& text, qint64 reportedCount, bool toolkitIsQt);

// An offset in `unit` turned into a UTF-16 index, clamped to the text; negative means 0.
int toUtf16Index(const QString& text, qint64 offset, Unit unit);

// The selected range from what a text interface reports: the caret, the number of selections,
// and the first selection's bounds (negative when unreadable). GTK reports "nothing selected" as
// no selections or as one whose start equals its end (not necessarily at the caret); either
// way the range is empty at the caret. Returns {start, end}, start <= end; {-1, -1} when
// neither caret nor selection could be read.
struct Range {
    int start = -1;
    int end = -1;
};
Range selectedRange(int caret, int selectionCount, int selectionStart, int selectionEnd);

// User-perceived characters (grapheme clusters).
int graphemeCount(const QString& text);
QString firstGraphemes(const QString& text, int count);
QString lastGraphemes(const QString& text, int count);

}  // namespace TextOffsets

#include "Platform/Atspi/TextOffsets.h"

#include <algorithm>

#include <QList>
#include <QTextBoundaryFinder>

namespace TextOffsets {

int codePointCount(const QString& text) {
    int count = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
        ++count;
    }
    return count;
}

int utf16IndexFromCodePoints(const QString& text, qint64 offset) {
    if (offset <= 0) return 0;
    int index = 0;
    qint64 seen = 0;
    while (index < text.size() && seen < offset) {
        if (text.at(index).isHighSurrogate() && index + 1 < text.size() && text.at(index + 1).isLowSurrogate())
            index += 2;
        else
            index += 1;
        ++seen;
    }
    return index;
}

int codePointsFromUtf16Index(const QString& text, qint64 index) {
    if (index <= 0) return 0;
    const int end = index >= text.size() ? int(text.size()) : int(index);
    int count = 0;
    for (int i = 0; i < end; ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
        ++count;
    }
    return count;
}

Unit unitForReportedCount(const QString& text, qint64 reportedCount, bool toolkitIsQt) {
    const int points = codePointCount(text);
    if (points == text.size()) return Unit::CodePoints;
    if (reportedCount == text.size()) return Unit::Utf16;
    if (reportedCount == points) return Unit::CodePoints;
    return toolkitIsQt ? Unit::Utf16 : Unit::CodePoints;
}

int toUtf16Index(const QString& text, qint64 offset, Unit unit) {
    if (offset <= 0) return 0;
    if (unit == Unit::CodePoints) return utf16IndexFromCodePoints(text, offset);
    if (offset >= text.size()) return int(text.size());
    int index = int(offset);
    // Never split a surrogate pair: an index between its halves moves past the pair.
    if (index > 0 && text.at(index - 1).isHighSurrogate() && text.at(index).isLowSurrogate()) ++index;
    return index;
}

namespace {
// UTF-16 boundaries of grapheme clusters, including 0 and text.size().
QList<int> graphemeBoundaries(const QString& text) {
    QList<int> bounds;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toStart();
    bounds.append(0);
    while (finder.toNextBoundary() != -1) {
        const int pos = int(finder.position());
        if (pos > bounds.last()) bounds.append(pos);
    }
    if (bounds.last() != text.size()) bounds.append(int(text.size()));
    return bounds;
}
}  // namespace

int graphemeCount(const QString& text) {
    if (text.isEmpty()) return 0;
    return int(graphemeBoundaries(text).size()) - 1;
}

QString firstGraphemes(const QString& text, int count) {
    if (count <= 0) return {};
    if (text.size() <= count) return text;  // never more graphemes than code units
    const QList<int> bounds = graphemeBoundaries(text);
    if (bounds.size() - 1 <= count) return text;
    return text.left(bounds.at(count));
}

QString lastGraphemes(const QString& text, int count) {
    if (count <= 0) return {};
    if (text.size() <= count) return text;
    const QList<int> bounds = graphemeBoundaries(text);
    const int clusters = int(bounds.size()) - 1;
    if (clusters <= count) return text;
    return text.mid(bounds.at(clusters - count));
}

Range selectedRange(int caret, int selectionCount, int selectionStart, int selectionEnd) {
    if (selectionCount > 0 && selectionStart >= 0 && selectionEnd >= 0 && selectionStart != selectionEnd)
        return {std::min(selectionStart, selectionEnd), std::max(selectionStart, selectionEnd)};
    if (caret >= 0) return {caret, caret};
    return {};
}

}  // namespace TextOffsets

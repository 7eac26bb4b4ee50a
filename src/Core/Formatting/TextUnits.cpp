#include "Core/Formatting/TextUnits.h"

#include <QStringList>
#include <QTextBoundaryFinder>

namespace {

// Position where the last `count` characters begin (0 when the text has fewer).
qsizetype startOfLast(const QString& text, qsizetype count) {
    if (count <= 0) return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype seen = 0;
    qsizetype position = text.size();
    while (seen < count) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous < 0) return 0;
        position = previous;
        ++seen;
    }
    return position;
}

// Position where the text after its first `count` characters begins.
qsizetype endOfFirst(const QString& text, qsizetype count) {
    if (count <= 0) return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    qsizetype position = 0;
    while (seen < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) return text.size();
        position = next;
        ++seen;
    }
    return position;
}

}  // namespace

qsizetype TextUnits::characterCount(QStringView text) {
    if (text.isEmpty()) return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0) ++count;
    return count;
}

QString TextUnits::lastCharacters(const QString& text, qsizetype count) { return text.mid(startOfLast(text, count)); }

QString TextUnits::firstCharacters(const QString& text, qsizetype count) { return text.left(endOfFirst(text, count)); }

QStringView TextUnits::firstCharacter(QStringView text) {
    if (text.isEmpty()) return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    const qsizetype end = finder.toNextBoundary();
    return text.left(end < 0 ? text.size() : end);
}

QStringView TextUnits::lastCharacter(QStringView text) {
    if (text.isEmpty()) return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    finder.toEnd();
    const qsizetype start = finder.toPreviousBoundary();
    return text.mid(start < 0 ? 0 : start);
}

char32_t TextUnits::firstCodePoint(QStringView text) {
    if (text.isEmpty()) return 0;
    const QChar first = text.front();
    if (first.isHighSurrogate() && text.size() > 1 && text[1].isLowSurrogate())
        return QChar::surrogateToUcs4(first, text[1]);
    return first.unicode();
}

bool TextUnits::isLetter(QStringView character) {
    return !character.isEmpty() && QChar::isLetter(firstCodePoint(character));
}

bool TextUnits::isNumber(QStringView character) {
    return !character.isEmpty() && QChar::isNumber(firstCodePoint(character));
}

bool TextUnits::isUppercaseLetter(QStringView character) {
    return !character.isEmpty() && QChar::isUpper(firstCodePoint(character));
}

QString TextUnits::trimPunctuation(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto codePointBefore = [&](qsizetype at, qsizetype& width) -> char32_t {
        const QChar last = text[at - 1];
        if (last.isLowSurrogate() && at >= 2 && text[at - 2].isHighSurrogate()) {
            width = 2;
            return QChar::surrogateToUcs4(text[at - 2], last);
        }
        width = 1;
        return last.unicode();
    };
    while (begin < end) {
        const char32_t cp = firstCodePoint(QStringView(text).mid(begin, end - begin));
        if (!QChar::isPunct(cp)) break;
        begin += QChar::requiresSurrogates(cp) ? 2 : 1;
    }
    while (end > begin) {
        qsizetype width = 1;
        const char32_t cp = codePointBefore(end, width);
        if (!QChar::isPunct(cp)) break;
        end -= width;
    }
    return text.mid(begin, end - begin);
}

QStringList TextUnits::splitAtSpaces(const QString& text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

bool TextUnits::codePointLess(const QString& a, const QString& b) {
    const QList<uint> ua = a.toUcs4();
    const QList<uint> ub = b.toUcs4();
    return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
}

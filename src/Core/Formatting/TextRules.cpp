#include "Core/Formatting/TextRules.h"

#include "Core/Formatting/TextUnits.h"

#include <algorithm>
#include <limits>

namespace {

bool isWordCharacter(char32_t cp) {
    // What \w matches with Unicode properties: letters, numbers and the underscore.
    return QChar::isLetterOrNumber(cp) || cp == U'_';
}

char32_t lastCodePoint(const QString& text) {
    if (text.isEmpty()) return 0;
    const QChar last = text.back();
    if (last.isLowSurrogate() && text.size() > 1 && text[text.size() - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(text[text.size() - 2], last);
    return last.unicode();
}

}  // namespace

QRegularExpression TextRules::compile(const QString& pattern, bool caseInsensitive) {
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (caseInsensitive) options |= QRegularExpression::CaseInsensitiveOption;
    return QRegularExpression(pattern, options);
}

QString TextRules::escape(const QString& literal) {
    QString pattern;
    pattern.reserve(literal.size() * 2);
    const QString valid = withValidSurrogates(literal);
    for (const char32_t cp : valid.toUcs4()) {
        const bool plain = (cp >= U'a' && cp <= U'z') || (cp >= U'A' && cp <= U'Z') || (cp >= U'0' && cp <= U'9');
        if (plain)
            pattern += QChar(char16_t(cp));
        else
            pattern += QStringLiteral("\\x{%1}").arg(uint(cp), 0, 16);
    }
    return pattern;
}

QString TextRules::withValidSurrogates(const QString& text) {
    const qsizetype size = text.size();
    qsizetype i = 0;
    auto pairedAt = [&text, size](qsizetype k) {
        return text[k].isHighSurrogate() && k + 1 < size && text[k + 1].isLowSurrogate();
    };
    while (i < size && !text[i].isSurrogate()) ++i;
    if (i == size) return text;  // the common case: no copy
    QString result = text;
    while (i < size) {
        if (pairedAt(i)) {
            i += 2;
        } else {
            if (result[i].isSurrogate()) result[i] = QChar::ReplacementCharacter;
            ++i;
        }
    }
    return result;
}

qsizetype TextRules::growthLimit(qsizetype inputLength) {
    constexpr qsizetype kFactor = 8;
    constexpr qsizetype kRoom = 10'000;  // a snippet may expand a short trigger into a letter
    constexpr qsizetype kAbsolute = 200'000;
    return std::max(inputLength, std::min(kAbsolute, std::max(inputLength * kFactor, inputLength + kRoom)));
}

QString TextRules::wholeWord(const QString& escapedPattern, const QString& term) {
    return wholeWord(escapedPattern, term, term);
}

QString TextRules::wholeWord(const QString& escapedPattern, const QString& firstTerm, const QString& lastTerm) {
    const bool wordStart = isWordCharacter(TextUnits::firstCodePoint(firstTerm));
    const bool wordEnd = isWordCharacter(lastCodePoint(lastTerm));
    return (wordStart ? QStringLiteral("\\b") : QStringLiteral("(?<!\\w)")) + escapedPattern +
           (wordEnd ? QStringLiteral("\\b") : QStringLiteral("(?!\\w)"));
}

QString TextRules::replaceAll(const QString& text, const QRegularExpression& pattern, const QString& literal) {
    return replaceAll(text, pattern, [&literal](const QRegularExpressionMatch&) { return literal; });
}

namespace {

std::optional<QString> replaceMatches(const QString& original, const QRegularExpression& pattern,
                                      const std::function<QString(const QRegularExpressionMatch&)>& replacement,
                                      qsizetype maxLength) {
    if (!pattern.isValid()) return original;
    const QString text = TextRules::withValidSurrogates(original);
    auto matches = pattern.globalMatch(text);
    if (!matches.hasNext()) return text;
    QString result;
    qsizetype copied = 0;
    result.reserve(text.size() + 16);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        result += QStringView(text).mid(copied, match.capturedStart() - copied);
        result += replacement(match);
        copied = match.capturedEnd();
        if (result.size() > maxLength) return std::nullopt;
    }
    result += QStringView(text).mid(copied);
    if (result.size() > maxLength) return std::nullopt;
    return result;
}

}  // namespace

QString TextRules::replaceAll(const QString& text, const QRegularExpression& pattern,
                              const std::function<QString(const QRegularExpressionMatch&)>& replacement) {
    return *replaceMatches(text, pattern, replacement, std::numeric_limits<qsizetype>::max());
}

std::optional<QString> TextRules::replaceAllWithin(const QString& text, const QRegularExpression& pattern,
                                                   const QString& literal, qsizetype maxLength) {
    return replaceMatches(
        text, pattern, [&literal](const QRegularExpressionMatch&) { return literal; }, maxLength);
}

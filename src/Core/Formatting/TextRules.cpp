#include "Core/Formatting/TextRules.h"

#include "Core/TextUnits.h"

namespace {

bool isWordCharacter(char32_t cp) {
    // What \w matches with Unicode properties: letters, numbers and the underscore.
    return QChar::isLetterOrNumber(cp) || cp == U'_';
}

char32_t lastCodePoint(const QString& text) {
    if (text.isEmpty())
        return 0;
    const QChar last = text.back();
    if (last.isLowSurrogate() && text.size() > 1 && text[text.size() - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(text[text.size() - 2], last);
    return last.unicode();
}

}  // namespace

QRegularExpression TextRules::compile(const QString& pattern, bool caseInsensitive) {
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (caseInsensitive)
        options |= QRegularExpression::CaseInsensitiveOption;
    return QRegularExpression(pattern, options);
}

QString TextRules::wholeWord(const QString& escapedPattern, const QString& term) {
    return wholeWord(escapedPattern, term, term);
}

QString TextRules::wholeWord(const QString& escapedPattern, const QString& firstTerm, const QString& lastTerm) {
    const bool wordStart = isWordCharacter(TextUnits::firstCodePoint(firstTerm));
    const bool wordEnd = isWordCharacter(lastCodePoint(lastTerm));
    return (wordStart ? QStringLiteral("\\b") : QStringLiteral("(?<!\\w)")) + escapedPattern
           + (wordEnd ? QStringLiteral("\\b") : QStringLiteral("(?!\\w)"));
}

QString TextRules::replaceAll(const QString& text, const QRegularExpression& pattern, const QString& literal) {
    return replaceAll(text, pattern, [&literal](const QRegularExpressionMatch&) { return literal; });
}

QString TextRules::replaceAll(const QString& text, const QRegularExpression& pattern,
                              const std::function<QString(const QRegularExpressionMatch&)>& replacement) {
    if (!pattern.isValid())
        return text;
    QString result;
    qsizetype copied = 0;
    auto matches = pattern.globalMatch(text);
    if (!matches.hasNext())
        return text;
    result.reserve(text.size() + 16);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        result += QStringView(text).mid(copied, match.capturedStart() - copied);
        result += replacement(match);
        copied = match.capturedEnd();
    }
    result += QStringView(text).mid(copied);
    return result;
}

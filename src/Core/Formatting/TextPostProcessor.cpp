#include "Core/Formatting/TextPostProcessor.h"

#include "Core/Formatting/TextUnits.h"

#include <QStringList>

#include <array>

namespace {

// Marks after which a dictation needs a separating space.
const QString kSpaceAfterMarks = QStringLiteral(".!?)]\"',;:");
// After these a capital stays.
const QString kSentenceEnds = QStringLiteral(".!?\n\r:");
// After these (and after letters and numbers) the dictation continues a sentence.
const QString kContinuationMarks = QStringLiteral(",;-\u2013\u2014([");

constexpr std::array<const char*, 27> kPlaceholderPrompts = {
    "type something",
    "type here",
    "type a message",
    "write something",
    "write here",
    "write a message",
    "message #",
    "message @",
    "type / to",
    "type /",
    "reply",
    "reply...",
    "add a comment",
    "leave a comment",
    "search",
    "search...",
    "search or type a url",
    "what's on your mind",
    "what's happening",
    "start a new message",
    "new message",
    "jot something down",
    "take a note",
    "enter text",
    "enter a description",
    "say something",
    "compose",
};

struct LetterCase {
    int count = 0;
    int upper = 0;
    int lower = 0;
};

LetterCase letterCase(const QString& text) {
    LetterCase result;
    for (const uint cp : text.toUcs4()) {
        if (!QChar::isLetter(char32_t(cp))) continue;
        ++result.count;
        result.upper += QChar::isUpper(char32_t(cp)) ? 1 : 0;
        result.lower += QChar::isLower(char32_t(cp)) ? 1 : 0;
    }
    return result;
}

bool isOneOf(QStringView character, const QString& marks) {
    // Classified by the character's first code point ("\r\n" is one character).
    const char32_t cp = TextUnits::firstCodePoint(character);
    return cp != 0 && !QChar::requiresSurrogates(cp) && marks.contains(QChar(char16_t(cp)));
}

QString trimSpacesAndTabs(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    return text.mid(begin, end - begin);
}

QString lowerFirstCharacter(const QString& text) {
    const QStringView first = TextUnits::firstCharacter(text);
    return first.toString().toLower() + text.mid(first.size());
}

// "I", "I'm", "I'll" and acronyms such as "NASA" keep their capitals wherever they stand.
bool startsWithFixedCapitals(const QString& text) {
    qsizetype end = 0;
    while (end < text.size() && !text[end].isSpace()) ++end;
    const QString word = TextUnits::trimPunctuation(text.left(end));
    if (word == QLatin1String("I") || word.startsWith(QLatin1String("I'")) ||
        word.startsWith(QStringLiteral("I\u2019")))
        return true;
    const LetterCase letters = letterCase(word);
    return letters.count >= 2 && letters.upper == letters.count;
}

}  // namespace

QString TextPostProcessor::adjustLeadingSpace(const QString& text, const QString& beforeText,
                                              const QString& selectedText) {
    if (!selectedText.isEmpty() || beforeText.isEmpty()) return text;
    if (text.isEmpty() || text.front() == QLatin1Char(' ') || text.front() == QLatin1Char('\n') ||
        text.front() == QLatin1Char('\t'))
        return text;
    if (beforeText.back() == QLatin1Char('\n') || beforeText.back() == QLatin1Char('\r')) return text;
    const QStringView last = TextUnits::lastCharacter(beforeText);
    if (TextUnits::isLetter(last) || TextUnits::isNumber(last) || isOneOf(last, kSpaceAfterMarks))
        return QLatin1Char(' ') + text;
    return text;
}

QString TextPostProcessor::adjustCasing(const QString& text, const QString& beforeText, AppType appType) {
    if (text.isEmpty() || !TextUnits::isUppercaseLetter(TextUnits::firstCharacter(text))) return text;
    const QString before = trimSpacesAndTabs(beforeText);
    if (before.isEmpty()) return text;
    const QStringView last = TextUnits::lastCharacter(before);
    if (isOneOf(last, kSentenceEnds)) return text;

    bool lower = false;
    if (TextUnits::isLetter(last) || TextUnits::isNumber(last) || isOneOf(last, kContinuationMarks)) {
        lower = true;
    } else {
        const bool casualApp = appType == AppType::messaging || appType == AppType::social;
        const QStringList pieces = TextUnits::splitAtSpaces(before);
        const bool mention = !pieces.isEmpty() && pieces.back().endsWith(QLatin1Char('@'));
        lower = (casualApp && isAllLowercase(TextUnits::lastCharacters(before, 100))) || mention;
    }
    if (!lower || startsWithFixedCapitals(text)) return text;
    return lowerFirstCharacter(text);
}

QString TextPostProcessor::adjustTrailingPunctuation(const QString& text, AppType appType) {
    if (appType != AppType::messaging && appType != AppType::social) return text;
    const QString trimmed = text.trimmed();
    const bool shortWithOnePeriod = TextUnits::characterCount(trimmed) < 60 && trimmed.endsWith(QLatin1Char('.')) &&
                                    trimmed.count(QLatin1Char('.')) == 1;
    if (!shortWithOnePeriod) return text;
    const QStringList pieces = TextUnits::splitAtSpaces(trimmed);
    if (!pieces.isEmpty() && TextUnits::characterCount(pieces.back()) <= 2) return trimmed.chopped(1);
    return text;
}

bool TextPostProcessor::isPlaceholderText(const QString& fieldText, const QString& beforeText, const QString& afterText,
                                          AppType) {
    const QString trimmed = fieldText.trimmed();
    if (trimmed.isEmpty() || !beforeText.isEmpty() || !afterText.isEmpty()) return false;
    const QStringList pieces = TextUnits::splitAtSpaces(trimmed);
    if (trimmed.endsWith(QLatin1String("...")) && pieces.size() < 5) return true;
    const QString lowered = trimmed.toLower();
    for (const char* prompt : kPlaceholderPrompts) {
        if (lowered.startsWith(QLatin1String(prompt))) return true;
    }
    return pieces.size() <= 2 && TextUnits::characterCount(trimmed) < 30;
}

bool TextPostProcessor::isAllLowercase(const QString& text) {
    // A letter without case (as in many scripts) makes the text not all lower case.
    const LetterCase letters = letterCase(text);
    return letters.count > 0 && letters.lower == letters.count;
}

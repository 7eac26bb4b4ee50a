#pragma once

#include <QString>
#include <QStringView>

// Character-level helpers for text rules. A "character" is a user-perceived character
// (a grapheme cluster), so counts and cuts never split a surrogate pair, an emoji
// sequence or a letter from its combining marks.
class TextUnits {
public:
    // Number of characters in the text.
    static qsizetype characterCount(QStringView text);
    // The last / first `count` characters (the whole text when it has fewer).
    static QString lastCharacters(const QString& text, qsizetype count);
    static QString firstCharacters(const QString& text, qsizetype count);
    // The first / last character as a view into `text` (empty for an empty text).
    static QStringView firstCharacter(QStringView text);
    static QStringView lastCharacter(QStringView text);
    // The first code point of the text, or 0 for an empty text; classifying a character
    // by its first code point keeps "é" (e + combining accent) a letter.
    static char32_t firstCodePoint(QStringView text);

    static bool isLetter(QStringView character);
    static bool isNumber(QStringView character);
    static bool isUppercaseLetter(QStringView character);

    // Trims Unicode punctuation (general category P) from both ends.
    static QString trimPunctuation(const QString& text);
    // Splits at every ' ' and drops empty pieces.
    static QStringList splitAtSpaces(const QString& text);
    // Orders strings by code point (UTF-16 order differs above the surrogate range).
    static bool codePointLess(const QString& a, const QString& b);
};

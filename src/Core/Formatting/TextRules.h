#pragma once

#include <QRegularExpression>
#include <QString>

#include <functional>
#include <optional>

// Shared machinery of the text rules: Unicode-aware patterns (so \b and \w know every
// script), whole-word anchors, and one-pass replacement that inserts the user's text
// literally ("$1" and backslashes in a replacement are never template syntax).
class TextRules {
public:
    // Unicode properties on; case-insensitive unless asked otherwise.
    static QRegularExpression compile(const QString& pattern, bool caseInsensitive = true);

    // A pattern that matches `literal` exactly: every character outside ASCII letters and digits
    // is written as a code-point escape, so nothing in it (NUL before a digit included) can read
    // as pattern syntax. Case-insensitive patterns then fold character by character, never
    // changing lengths (as lower-casing "İ" would).
    static QString escape(const QString& literal);

    // The text with every unpaired surrogate replaced by U+FFFD. Patterns never match inside
    // malformed UTF-16, so without this one stray surrogate would switch off every rule.
    static QString withValidSurrogates(const QString& text);

    // How far a chain of user rules (each applied to the output of the one before) may grow the
    // text it started from: a multiple of its length with some room for short triggers, and
    // never past an absolute size. Chained expansions otherwise multiply without bound.
    static qsizetype growthLimit(qsizetype inputLength);

    // Anchors an already escaped pattern so it matches only as a whole word. `term` is the
    // unescaped text: an end that is a word character gets a boundary; an end that is not
    // (as in "c++") must not touch a word character on that side instead, so such terms can
    // still match at the end of a sentence.
    static QString wholeWord(const QString& escapedPattern, const QString& term);
    // Same, when the pattern's two ends are the first and last characters of two terms.
    static QString wholeWord(const QString& escapedPattern, const QString& firstTerm, const QString& lastTerm);

    // Replaces every match (found in one pass over the original text) with `literal`.
    // An invalid pattern leaves the text unchanged.
    static QString replaceAll(const QString& text, const QRegularExpression& pattern, const QString& literal);
    // Same, giving nothing (and stopping early) when the result would be longer than maxLength.
    static std::optional<QString> replaceAllWithin(const QString& text, const QRegularExpression& pattern,
                                                   const QString& literal, qsizetype maxLength);
    // Replaces every match with what `replacement` gives for it.
    static QString replaceAll(const QString& text, const QRegularExpression& pattern,
                              const std::function<QString(const QRegularExpressionMatch&)>& replacement);
};

#pragma once

#include <QRegularExpression>
#include <QString>

#include <functional>

// Shared machinery of the text rules: Unicode-aware patterns (so \b and \w know every
// script), whole-word anchors, and one-pass replacement that inserts the user's text
// literally ("$1" and backslashes in a replacement are never template syntax).
class TextRules {
public:
    // Unicode properties on; case-insensitive unless asked otherwise.
    static QRegularExpression compile(const QString& pattern, bool caseInsensitive = true);

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
    // Replaces every match with what `replacement` gives for it.
    static QString replaceAll(const QString& text, const QRegularExpression& pattern,
                              const std::function<QString(const QRegularExpressionMatch&)>& replacement);
};

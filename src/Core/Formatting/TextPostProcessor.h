#pragma once

#include "Models/AppClassification.h"

#include <QString>

// Fits formatted text to the place where it lands: a leading space after a word, a lower-case
// first letter when the dictation continues a sentence, no closing period on a short chat
// message. Also tells a field's placeholder from real content. Pure; any thread.
class TextPostProcessor {
public:
    static QString adjustLeadingSpace(const QString& text, const QString& beforeText, const QString& selectedText);
    static QString adjustCasing(const QString& text, const QString& beforeText, AppType appType);
    static QString adjustTrailingPunctuation(const QString& text, AppType appType);
    // The application type is accepted for the callers' convenience but not consulted.
    static bool isPlaceholderText(const QString& fieldText, const QString& beforeText, const QString& afterText,
                                  AppType appType);

private:
    static bool isAllLowercase(const QString& text);
};

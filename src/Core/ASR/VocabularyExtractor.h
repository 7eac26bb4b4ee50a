#pragma once

#include <QString>
#include <QStringList>

// Gathers vocabulary hints (names, jargon) for the on-device recogniser. Pure; any thread.
class VocabularyExtractor {
public:
    static constexpr qsizetype maximumHints = 500;

    // Capitalised words that do not open a sentence, distinct and sorted.
    static QStringList extractProperNouns(const QString& text);

    // At most `maximumHints` distinct hints from all sources; which ones survive a cut is
    // not defined beyond: custom words first, then dictionary words, text-box names,
    // context words.
    static QStringList buildVocabularyHints(const QString& textboxContent, const QStringList& dictionaryWords,
                                            const QStringList& customWords, const QStringList& contextWords);
};

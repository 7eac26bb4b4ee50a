#include "Core/ASR/VocabularyExtractor.h"

#include "Core/Formatting/TextUnits.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>

QStringList VocabularyExtractor::extractProperNouns(const QString& text) {
    static const QRegularExpression sentenceEnds(QStringLiteral("[.!?\\n]"));
    QSet<QString> seen;
    QStringList found;
    for (const QString& sentence : text.split(sentenceEnds)) {
        // Every white-space character separates, so runs of spaces leave empty positions.
        const QString trimmed = sentence.trimmed();
        QStringList words;
        QString current;
        for (QChar c : trimmed) {
            if (c.isSpace()) {
                words << current;
                current.clear();
            } else {
                current += c;
            }
        }
        words << current;
        for (qsizetype position = 1; position < words.size(); ++position) {
            const QString word = TextUnits::trimPunctuation(words[position]);
            if (word.size() < 2 || TextUnits::characterCount(word) < 2) continue;
            const QList<uint> codePoints = word.toUcs4();
            const bool hasCapital =
                std::any_of(codePoints.begin(), codePoints.end(), [](uint cp) { return QChar::isUpper(char32_t(cp)); });
            if (hasCapital && !seen.contains(word)) {
                seen.insert(word);
                found << word;
            }
        }
    }
    std::sort(found.begin(), found.end(), TextUnits::codePointLess);
    return found;
}

QStringList VocabularyExtractor::buildVocabularyHints(const QString& textboxContent, const QStringList& dictionaryWords,
                                                      const QStringList& customWords, const QStringList& contextWords) {
    QSet<QString> seen;
    QStringList hints;
    auto add = [&](const QStringList& words) {
        for (const QString& word : words) {
            if (hints.size() >= maximumHints) return;
            if (!seen.contains(word)) {
                seen.insert(word);
                hints << word;
            }
        }
    };
    add(customWords);
    add(dictionaryWords);
    add(extractProperNouns(textboxContent));
    add(contextWords);
    return hints;
}

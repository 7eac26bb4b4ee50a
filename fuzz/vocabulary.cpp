// Vocabulary extraction on arbitrary text and word lists (fields split at 0x1F: the text box,
// then dictionary, custom and context words, one a line).
#include "FuzzSupport.h"

#include "Core/ASR/VocabularyExtractor.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 4);
    const QStringList nouns = VocabularyExtractor::extractProperNouns(parts[0]);
    Fuzz::check(QSet<QString>(nouns.begin(), nouns.end()).size() == nouns.size(), "proper nouns are distinct");
    const QStringList hints =
        VocabularyExtractor::buildVocabularyHints(parts[0], parts[1].split(QLatin1Char('\n')),
                                                  parts[2].split(QLatin1Char('\n')), parts[3].split(QLatin1Char('\n')));
    Fuzz::check(hints.size() <= VocabularyExtractor::maximumHints, "hints stay within the maximum");
    Fuzz::check(QSet<QString>(hints.begin(), hints.end()).size() == hints.size(), "hints are distinct");
    return 0;
}

#include "Core/ASR/SensibilityScorer.h"

#include "Core/Formatting/TextUnits.h"
#include "Foundation/Clock.h"

#include <QHash>

#include <algorithm>
#include <array>

namespace {

// Texts that are nothing but one of these are what recognisers produce from silence.
constexpr std::array<const char*, 16> kWholeTextPhrases = {
    "thank you", "thanks", "bye",  "bye bye", "bye-bye", "goodbye", "you", "the end",
    "silence",   "so",     "okay", "oh",      "hmm",     "uh",      "um",  "huh",
};

// Subtitle credits and sound captions that leak from recognisers' training material.
constexpr std::array<const char*, 15> kContainedPhrases = {
    "thank you for watching",
    "thanks for watching",
    "subscribe to the channel",
    "please subscribe",
    "like and subscribe",
    "amara.org",
    "subtitles by",
    "transcribed by",
    "translated by",
    "mooji.org",
    "music playing",
    "\u266A",
    "[music]",
    "[applause]",
    "[laughter]",
};

}  // namespace

bool SensibilityScorer::containsHallucination(const QString& text) {
    const QString lowered = text.toLower().trimmed();
    const QString bare = TextUnits::trimPunctuation(lowered);
    for (const char* phrase : kWholeTextPhrases) {
        if (bare == QString::fromUtf8(phrase)) return true;
    }
    for (const char* phrase : kContainedPhrases) {
        if (lowered.contains(QString::fromUtf8(phrase))) return true;
    }
    return false;
}

SensibilityScorer::Score SensibilityScorer::score(const QString& text, std::chrono::milliseconds audioLength) {
    const double audioDuration = toSeconds(audioLength);
    Score result;
    float value = 1.0f;
    const QStringList words = TextUnits::splitAtSpaces(text);
    const auto n = static_cast<double>(words.size());
    const double expected = 2.5 * audioDuration;

    if (n > 2.0 * expected) {
        result.flags << QStringLiteral("too_many_words");
        value -= 0.3f;
    }
    if (n < 0.1 * expected && audioDuration > 3.0) {
        result.flags << QStringLiteral("too_few_words");
        value -= 0.3f;
    }
    if (!words.isEmpty()) {
        QHash<QString, int> counts;
        int most = 0;
        for (const QString& word : words) most = std::max(most, ++counts[word.toLower()]);
        if (most >= 6 && static_cast<float>(most) / static_cast<float>(words.size()) > 0.3f) {
            result.flags << QStringLiteral("excessive_repetition");
            value -= 0.4f;
        }
    }
    const bool tooShortForLength = audioDuration > 10.0 && words.size() <= 2;
    if (containsHallucination(text)) {
        result.flags << QStringLiteral("hallucination_detected");
        value = 0.0f;
        if (tooShortForLength) result.flags << QStringLiteral("suspiciously_short");
    } else if (tooShortForLength) {
        result.flags << QStringLiteral("suspiciously_short");
        value -= 0.3f;
    }
    result.score = std::clamp(value, 0.0f, 1.0f);
    return result;
}

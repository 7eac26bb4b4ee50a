#include "Core/ASR/SensibilityScorer.h"
#include "Foundation/Clock.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

struct HallucinationCase {
    const char* text;
    bool expected;
};

TEST(HallucinationTest, RecognisesInventedPhrases) {
    const HallucinationCase cases[] = {HallucinationCase{"Thank you.", true},
                                       HallucinationCase{"thank you!", true},
                                       HallucinationCase{"  Bye-bye...\n", true},
                                       HallucinationCase{"Um", true},
                                       HallucinationCase{"Thank you for the update", false},
                                       HallucinationCase{"Subtitles by the community", true},
                                       HallucinationCase{"and then [Music] started", true},
                                       HallucinationCase{"\u266A la la", true},
                                       HallucinationCase{"So we shipped it", false},
                                       HallucinationCase{"", false},
                                       HallucinationCase{"you know what", false}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(SensibilityScorer::containsHallucination(QString::fromUtf8(c.text)), c.expected) << c.text;
    }
}

struct ScoreCase {
    const char* name;
    QString text;
    double duration;
    float expectedScore;
    QStringList expectedFlags;
};

QString words(int count, const QString& repeated = {}, int repeats = 0) {
    QStringList list;
    for (int i = 0; i < repeats; ++i) list << repeated;
    for (int i = static_cast<int>(list.size()); i < count; ++i) list << QStringLiteral("word%1").arg(i);
    return list.join(' ');
}

TEST(ScoreTest, ScoresAndFlags) {
    const ScoreCase cases[] = {
        ScoreCase{"plausible", words(5), 2.0, 1.0f, {}},
        ScoreCase{"too many words", words(10), 1.0, 0.7f, {"too_many_words"}},
        ScoreCase{
            "one word, long recording", QStringLiteral("hello"), 12.0, 0.4f, {"too_few_words", "suspiciously_short"}},
        ScoreCase{
            "repetition ignores case", QStringLiteral("go Go GO go go go stop"), 3.0, 0.6f, {"excessive_repetition"}},
        ScoreCase{"five repeats is fine", QStringLiteral("go go go go go stop now"), 3.0, 1.0f, {}},
        ScoreCase{"hallucination", QStringLiteral("thank you"), 2.0, 0.0f, {"hallucination_detected"}},
        ScoreCase{"hallucination, long recording",
                  QStringLiteral("thank you"),
                  12.0,
                  0.0f,
                  {"too_few_words", "hallucination_detected", "suspiciously_short"}},
        ScoreCase{"empty, short", QString(), 2.0, 1.0f, {}},
        ScoreCase{"empty, long", QString(), 12.0, 0.4f, {"too_few_words", "suspiciously_short"}},
        ScoreCase{"rate and repetition", words(12, "go", 6), 1.0, 0.3f, {"too_many_words", "excessive_repetition"}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        const auto result = SensibilityScorer::score(c.text, fromSeconds(c.duration));
        EXPECT_FLOAT_EQ(result.score, c.expectedScore) << c.name;
        EXPECT_EQ(result.flags, c.expectedFlags) << c.name;
    }
}

TEST(SensibilityScorer, RateFlagWithRepetitionFallsJustBelowTheThreshold) {
    const float value = SensibilityScorer::score(words(12, "go", 6), std::chrono::seconds(1)).score;
    EXPECT_FLOAT_EQ(value, 0.3f);
    EXPECT_LT(value, SensibilityScorer::minimumScore);
}

}  // namespace

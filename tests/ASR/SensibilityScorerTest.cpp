#include "Core/ASR/SensibilityScorer.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

struct HallucinationCase {
    const char* text;
    bool expected;
};

class HallucinationTest : public ::testing::TestWithParam<HallucinationCase> {};

TEST_P(HallucinationTest, RecognisesInventedPhrases) {
    const auto& c = GetParam();
    EXPECT_EQ(SensibilityScorer::containsHallucination(QString::fromUtf8(c.text)), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Phrases, HallucinationTest, ::testing::Values(
    HallucinationCase{"Thank you.", true},
    HallucinationCase{"thank you!", true},
    HallucinationCase{"  Bye-bye...\n", true},
    HallucinationCase{"Um", true},
    HallucinationCase{"Thank you for the update", false},
    HallucinationCase{"Subtitles by the community", true},
    HallucinationCase{"and then [Music] started", true},
    HallucinationCase{"\u266A la la", true},
    HallucinationCase{"So we shipped it", false},
    HallucinationCase{"", false},
    HallucinationCase{"you know what", false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

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

class ScoreTest : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreTest, ScoresAndFlags) {
    const auto& c = GetParam();
    const auto result = SensibilityScorer::score(c.text, c.duration);
    // Exact single-precision results: the threshold comparison depends on them.
    EXPECT_EQ(result.score, c.expectedScore) << c.name;
    EXPECT_EQ(result.flags, c.expectedFlags) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Rules, ScoreTest, ::testing::Values(
    ScoreCase{"plausible", words(5), 2.0, 1.0f, {}},
    ScoreCase{"too many words", words(10), 1.0, 0.7f, {"too_many_words"}},
    ScoreCase{"one word, long recording", QStringLiteral("hello"), 12.0, 1.0f - 0.3f - 0.3f,
              {"too_few_words", "suspiciously_short"}},
    ScoreCase{"repetition ignores case", QStringLiteral("go Go GO go go go stop"), 3.0, 0.6f,
              {"excessive_repetition"}},
    ScoreCase{"five repeats is fine", QStringLiteral("go go go go go stop now"), 3.0, 1.0f, {}},
    ScoreCase{"hallucination", QStringLiteral("thank you"), 2.0, 0.0f, {"hallucination_detected"}},
    ScoreCase{"hallucination, long recording", QStringLiteral("thank you"), 12.0, 0.0f,
              {"too_few_words", "hallucination_detected", "suspiciously_short"}},
    ScoreCase{"empty, short", QString(), 2.0, 1.0f, {}},
    ScoreCase{"empty, long", QString(), 12.0, 1.0f - 0.3f - 0.3f, {"too_few_words", "suspiciously_short"}},
    ScoreCase{"rate and repetition", words(12, "go", 6), 1.0, 1.0f - 0.3f - 0.4f,
              {"too_many_words", "excessive_repetition"}}),
    [](const auto& info) {
        QString name = QString::fromUtf8(info.param.name);
        name.replace(QRegularExpression("[^A-Za-z0-9]"), "_");
        return name.toStdString();
    });

TEST(SensibilityScorer, RateFlagWithRepetitionFallsJustBelowTheThreshold) {
    const float value = SensibilityScorer::score(words(12, "go", 6), 1.0).score;
    EXPECT_FLOAT_EQ(value, 0.3f);
    EXPECT_LT(value, SensibilityScorer::minimumScore);
}

}  // namespace

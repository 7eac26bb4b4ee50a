#include "Core/ASR/EditAligner.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using Action = EditAligner::Action;
using Step = EditAligner::AlignmentStep;
using Correction = EditAligner::Correction;

struct AlignCase {
    const char* name;
    const char* original;
    const char* edited;
    QList<Step> steps;
    QList<Correction> corrections;
};

TEST(AlignTest, AlignsWordsAndTakesIsolatedSubstitutions) {
    const AlignCase cases[] = {
        AlignCase{
            "one substitution",
            "send the file",
            "send a file",
            {{Action::match, "send", "send"}, {Action::substitution, "the", "a"}, {Action::match, "file", "file"}},
            {{"the", "a"}}},
        AlignCase{"case is ignored",
                  "hello world",
                  "Hello world",
                  {{Action::match, "hello", "Hello"}, {Action::match, "world", "world"}},
                  {}},
        AlignCase{"empty original", "", "hello", {}, {}}, AlignCase{"empty edited", "hello", "   ", {}, {}},
        AlignCase{"neighbouring substitutions",
                  "red car",
                  "blue bus",
                  {{Action::substitution, "red", "blue"}, {Action::substitution, "car", "bus"}},
                  {}},
        AlignCase{"substitution at the end",
                  "call jon",
                  "call john",
                  {{Action::match, "call", "call"}, {Action::substitution, "jon", "john"}},
                  {{"jon", "john"}}},
        // Words typed before the pasted text: the trace runs along the table's top edge.
        AlignCase{"words added before",
                  "send file",
                  "please now send file",
                  {{Action::insertion, "", "please"},
                   {Action::insertion, "", "now"},
                   {Action::match, "send", "send"},
                   {Action::match, "file", "file"}},
                  {}},
        AlignCase{"words removed before",
                  "um so send file",
                  "send file",
                  {{Action::deletion, "um", ""},
                   {Action::deletion, "so", ""},
                   {Action::match, "send", "send"},
                   {Action::match, "file", "file"}},
                  {}},
        AlignCase{"substitution next to an insertion",
                  "meet at noon",
                  "meet them at 12",
                  {{Action::match, "meet", "meet"},
                   {Action::insertion, "", "them"},
                   {Action::match, "at", "at"},
                   {Action::substitution, "noon", "12"}},
                  {{"noon", "12"}}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        const auto steps = EditAligner::align(QString::fromUtf8(c.original), QString::fromUtf8(c.edited));
        ASSERT_EQ(steps.size(), c.steps.size()) << c.name;
        for (qsizetype k = 0; k < steps.size(); ++k) {
            EXPECT_EQ(rawValue(steps[k].action), rawValue(c.steps[k].action)) << c.name << " step " << k;
            EXPECT_EQ(steps[k].originalWord, c.steps[k].originalWord) << c.name << " step " << k;
            EXPECT_EQ(steps[k].editedWord, c.steps[k].editedWord) << c.name << " step " << k;
        }
        EXPECT_EQ(EditAligner::extractCorrections(steps), c.corrections) << c.name;
    }
}

// An alignment spells out both texts word by word, and its matches are equal words.
void expectConsistent(const QList<Step>& steps, const QString& original, const QString& edited) {
    QStringList a, b;
    for (const Step& step : steps) {
        if (step.action != Action::insertion) a << step.originalWord;
        if (step.action != Action::deletion) b << step.editedWord;
        if (step.action == Action::match) {
            EXPECT_EQ(step.originalWord.toLower(), step.editedWord.toLower());
        }
    }
    EXPECT_EQ(a.join(' '), original.simplified());
    EXPECT_EQ(b.join(' '), edited.simplified());
}

TEST(EditAligner, LongTextsAlignOnlyBetweenTheirSharedEnds) {
    // 3,000 words each side: a full table would hold 9 million cells.
    QStringList words;
    for (int i = 0; i < 3000; ++i) words << QStringLiteral("w%1").arg(i % 97);
    const QString original = words.join(' ');
    QStringList changed = words;
    changed[1500] = QStringLiteral("corrected");
    const QString edited = changed.join(' ');

    const auto steps = EditAligner::align(original, edited);
    expectConsistent(steps, original, edited);
    EXPECT_EQ(EditAligner::extractCorrections(steps), (QList<Correction>{{words[1500], "corrected"}}));

    // Nothing shared and too large to align: given as deleted and inserted words, nothing learned.
    QStringList other;
    for (int i = 0; i < 3000; ++i) other << QStringLiteral("x%1").arg(i);
    const auto unrelated = EditAligner::align(original, other.join(' '));
    expectConsistent(unrelated, original, other.join(' '));
    EXPECT_TRUE(EditAligner::extractCorrections(unrelated).isEmpty());
}

TEST(EditAligner, ActionRawValuesRoundTrip) {
    for (Action action : {Action::match, Action::substitution, Action::insertion, Action::deletion})
        EXPECT_EQ(fromRawValue<EditAligner::Action>(rawValue(action)), action);
    EXPECT_EQ(rawValue(Action::substitution), "S");
    EXPECT_FALSE(fromRawValue<EditAligner::Action>("X").has_value());
    EXPECT_FALSE(fromRawValue<EditAligner::Action>("m").has_value());
}

}  // namespace

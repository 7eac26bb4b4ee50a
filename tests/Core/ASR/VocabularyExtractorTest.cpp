#include "Core/ASR/VocabularyExtractor.h"

#include <QSet>

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

struct ProperNounCase {
    const char* text;
    QStringList expected;
};

TEST(ProperNounTest, KeepsCapitalisedWordsThatDoNotOpenASentence) {
    const ProperNounCase cases[] = {
        ProperNounCase{"We met Alice and bob. Then Bob left", {"Alice", "Bob"}},
        ProperNounCase{"Bob. Alice met nobody", {}}, ProperNounCase{"Bob met Alice. Alice met nobody", {"Alice"}},
        ProperNounCase{"I use iPhone daily", {"iPhone"}}, ProperNounCase{"I saw A.", {}},
        ProperNounCase{"Ask (Zoe), \"Yan\" and Zoe!", {"Yan", "Zoe"}},
        // Each sentence is trimmed before splitting; runs of spaces inside it are empty positions.
        ProperNounCase{"  Hello   World\nNext Line", {"Line", "World"}},
        ProperNounCase{"meet \u00C9mile today", {"\u00C9mile"}}, ProperNounCase{"", {}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(VocabularyExtractor::extractProperNouns(QString::fromUtf8(c.text)), c.expected) << c.text;
    }
}

TEST(VocabularyExtractor, HintsAreDistinctAndCapped) {
    QStringList custom, dictionary, context;
    for (int i = 0; i < 300; ++i) custom << QStringLiteral("custom%1").arg(i);
    for (int i = 0; i < 300; ++i) context << QStringLiteral("context%1").arg(i);
    dictionary << QStringLiteral("custom0") << QStringLiteral("Alice");

    const QStringList hints =
        VocabularyExtractor::buildVocabularyHints(QStringLiteral("We met Alice and Bob"), dictionary, custom, context);
    EXPECT_EQ(hints.size(), 500);
    EXPECT_EQ(QSet<QString>(hints.begin(), hints.end()).size(), hints.size());
}

TEST(VocabularyExtractor, HintsGatherEverySource) {
    const QStringList hints = VocabularyExtractor::buildVocabularyHints(
        QStringLiteral("Say hi to Bob"), {QStringLiteral("kubectl")},
        {QStringLiteral("Vantrose"), QStringLiteral("kubectl")}, {QStringLiteral("README")});
    EXPECT_EQ(QSet<QString>(hints.begin(), hints.end()), (QSet<QString>{"Vantrose", "kubectl", "Bob", "README"}));
    EXPECT_EQ(hints.size(), 4);
}

}  // namespace

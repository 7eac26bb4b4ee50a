#include "Core/Formatting/TextUnits.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QString kThumbsUp = QString::fromUtf8("\U0001F44D");                                // one surrogate pair
const QString kFamily = QString::fromUtf8("\U0001F468\u200D\U0001F469\u200D\U0001F467");  // one character
const QString kAccentedE = QString::fromUtf8("e\u0301");                                  // e + combining acute

TEST(TextUnits, CutsNeverSplitACharacter) {
    const QString text = QStringLiteral("ab") + kThumbsUp + kFamily + kAccentedE;
    EXPECT_EQ(TextUnits::characterCount(text), 5);
    EXPECT_EQ(TextUnits::lastCharacters(text, 3), kThumbsUp + kFamily + kAccentedE);
    EXPECT_EQ(TextUnits::lastCharacters(text, 1), kAccentedE);
    EXPECT_EQ(TextUnits::firstCharacters(text, 3), QStringLiteral("ab") + kThumbsUp);
    EXPECT_EQ(TextUnits::lastCharacters(text, 99), text);
    EXPECT_EQ(TextUnits::firstCharacters(text, 0), QString());
    EXPECT_EQ(TextUnits::lastCharacter(text).toString(), kAccentedE);
    EXPECT_EQ(TextUnits::firstCharacter(kFamily + QStringLiteral("x")).toString(), kFamily);
    EXPECT_TRUE(TextUnits::lastCharacter(QString()).isEmpty());
}

TEST(TextUnits, ClassifiesByFirstCodePoint) {
    EXPECT_TRUE(TextUnits::isLetter(kAccentedE));
    EXPECT_FALSE(TextUnits::isLetter(kThumbsUp));
    EXPECT_TRUE(TextUnits::isUppercaseLetter(QString::fromUtf8("\U0001D400")));  // mathematical bold A
    EXPECT_TRUE(TextUnits::isNumber(QStringLiteral("7")));
    EXPECT_FALSE(TextUnits::isUppercaseLetter(QStringLiteral("a")));
}

TEST(TextUnits, TrimsPunctuationOnlyAtTheEnds) {
    EXPECT_EQ(TextUnits::trimPunctuation(QStringLiteral("\"(it's)\"!")), QStringLiteral("it's"));
    EXPECT_EQ(TextUnits::trimPunctuation(QStringLiteral("...")), QString());
    EXPECT_EQ(TextUnits::trimPunctuation(QString::fromUtf8("\u00ABoui\u00BB")), QStringLiteral("oui"));
}

}  // namespace

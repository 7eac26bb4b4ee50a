#include "Core/Formatting/TextRules.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

QString replaceWord(const QString& text, const QString& term, const QString& literal) {
    const auto pattern = TextRules::compile(TextRules::wholeWord(QRegularExpression::escape(term), term));
    return TextRules::replaceAll(text, pattern, literal);
}

struct WholeWordCase {
    const char* text;
    const char* term;
    const char* literal;
    const char* expected;
};

TEST(WholeWordTest, ReplacesWholeWordsLiterallyInOnePass) {
    const WholeWordCase cases[] = {
        WholeWordCase{"asap and ASAP but asaps", "asap", "soon", "soon and soon but asaps"},
        WholeWordCase{"one plus 1+1 is", "1+1", "2", "one plus 2 is"},
        WholeWordCase{"costs $1 \\1", "costs", "$1 \\1 $0", "$1 \\1 $0 $1 \\1"},
        // One pass: a replacement that contains its own term is not replaced again.
        WholeWordCase{"go go", "go", "go go", "go go go go"},
        // Word boundaries know accented letters: "café" is not "caf" + boundary.
        WholeWordCase{"caf\u00E9 caf", "caf", "X", "caf\u00E9 X"},
        WholeWordCase{"\u00C9COLE \u00E9cole", "\u00E9cole", "school", "school school"},
        // Terms that end in a mark match at the end of a sentence, not inside a longer token.
        WholeWordCase{"I like c++", "c++", "C++", "I like C++"}, WholeWordCase{"c++x", "c++", "C++", "c++x"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(replaceWord(QString::fromUtf8(c.text), QString::fromUtf8(c.term), QString::fromUtf8(c.literal)),
                  QString::fromUtf8(c.expected));
    }
}

TEST(TextRules, InvalidPatternLeavesTextUnchanged) {
    const auto pattern = TextRules::compile(QStringLiteral("(unclosed"));
    EXPECT_EQ(TextRules::replaceAll(QStringLiteral("keep (unclosed"), pattern, QStringLiteral("x")),
              QStringLiteral("keep (unclosed"));
}

}  // namespace

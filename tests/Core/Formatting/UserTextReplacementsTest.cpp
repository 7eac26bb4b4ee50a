#include "Core/Formatting/UserTextReplacements.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

struct ReplacementCase {
    QString text;
    QList<TextReplacement> rules;
    QString expected;
};

TEST(UserTextReplacements, ReplacesWholeTriggersLiterallyInOrder) {
    const QList<TextReplacement> btw = {{"by the way", "btw"}};
    const ReplacementCase cases[] = {
        {"By the way, by-the-way by_the_way bytheway by. the, way", btw, "btw, btw btw btw btw"},
        {"BY  THE\tWAY", btw, "btw"},
        {"asap or asaps", {{"asap", "now"}}, "now or asaps"},
        {"the deal", {{"deal", "50% off \\1 $1 $0"}}, "the 50% off \\1 $1 $0"},
        // Multi-word triggers match whole words only.
        {"button items", {{"on it", "done"}}, "button items"},
        {"I am on it.", {{"on it", "done"}}, "I am done."},
        {"standby the wayside", btw, "standby the wayside"},
        // In order, each on the result of the one before.
        {"omw", {{"omw", "on my way"}, {"on my way", "coming"}}, "coming"},
        {"keep", {{"", "x"}, {"   ", "y"}}, "keep"},
        {"\u00e9t\u00e9 \u00c9T\u00c9 t\u00e9", {{"\u00e9t\u00e9", "summer"}}, "summer summer t\u00e9"},
        {"a c++ b", {{"c++", "C plus plus"}}, "a C plus plus b"},
        {"(1+1)", {{"1+1", "2"}}, "(2)"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << cases[i].text.toStdString());
        EXPECT_EQ(UserTextReplacements::apply(cases[i].text, cases[i].rules), cases[i].expected);
    }
}

}  // namespace

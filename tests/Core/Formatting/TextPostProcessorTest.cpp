#include "Core/Formatting/TextPostProcessor.h"

#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

struct LeadingSpaceCase {
    QString text;
    QString before;
    QString selected;
    QString expected;
};

TEST(LeadingSpaceTest, AddsASpaceOnlyAfterAWordOrMark) {
    const LeadingSpaceCase cases[] = {LeadingSpaceCase{"world", "hello", "", " world"},
                                      LeadingSpaceCase{"world", "hello ", "", "world"},
                                      LeadingSpaceCase{"world", "hello\n", "", "world"},
                                      LeadingSpaceCase{"world", "hello\r", "", "world"},
                                      LeadingSpaceCase{"world", "hello", "sel", "world"},
                                      LeadingSpaceCase{"world", "", "", "world"},
                                      LeadingSpaceCase{"\tworld", "hello", "", "\tworld"},
                                      LeadingSpaceCase{"", "hello", "", ""},
                                      LeadingSpaceCase{"next", "Done.", "", " next"},
                                      LeadingSpaceCase{"next", "(see 3)", "", " next"},
                                      LeadingSpaceCase{"next", "caf\u00E9", "", " next"},
                                      LeadingSpaceCase{"next", "cafe\u0301", "", " next"},  // letter + combining accent
                                      LeadingSpaceCase{"next", "ok \U0001F44D", "", "next"},  // emoji is neither
                                      LeadingSpaceCase{"next", "a-", "", "next"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(TextPostProcessor::adjustLeadingSpace(c.text, c.before, c.selected), c.expected)
            << c.text.toStdString() << " after " << c.before.toStdString();
    }
}

struct CasingCase {
    QString text;
    QString before;
    AppType appType;
    QString expected;
};

TEST(CasingTest, LowersTheFirstLetterOnlyWhenASentenceContinues) {
    const CasingCase cases[] = {CasingCase{"World", "I said,", AppType::general, "world"},
                                CasingCase{"World", "Done.", AppType::general, "World"},
                                CasingCase{"World", "Note:", AppType::general, "World"},
                                CasingCase{"World", "hello \t", AppType::general, "world"},
                                CasingCase{"World", "line\n", AppType::general, "World"},
                                CasingCase{" World", "hello", AppType::general, " World"},
                                CasingCase{"World", " \t ", AppType::general, "World"},
                                CasingCase{"World", "range \u2014", AppType::general, "world"},
                                CasingCase{"Sure", "lol \U0001F602", AppType::messaging, "sure"},
                                CasingCase{"Sure", "LOL \U0001F602", AppType::messaging, "Sure"},
                                CasingCase{"Sure", "lol \U0001F602", AppType::email, "Sure"},
                                CasingCase{"Sure", "lol \U0001F602", AppType::social, "sure"},
                                CasingCase{"Sure", "\U0001F602", AppType::messaging, "Sure"},
                                CasingCase{"Alex", "thanks @", AppType::general, "alex"},
                                CasingCase{"\u00C9mile", "with", AppType::general, "\u00E9mile"},
                                // Words that keep their capitals wherever they stand.
                                CasingCase{"I think so", "and", AppType::general, "I think so"},
                                CasingCase{"I'm in", "so,", AppType::general, "I'm in"},
                                CasingCase{"I\u2019ll go", "then", AppType::general, "I\u2019ll go"},
                                CasingCase{"NASA launched it", "yesterday", AppType::general, "NASA launched it"},
                                CasingCase{"API, please", "the", AppType::general, "API, please"},
                                CasingCase{"It works", "and", AppType::general, "it works"},
                                CasingCase{"world", "hello", AppType::general, "world"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(TextPostProcessor::adjustCasing(c.text, c.before, c.appType), c.expected)
            << c.text.toStdString() << " after " << c.before.toStdString();
    }
}

struct TrailingCase {
    QString text;
    AppType appType;
    QString expected;
};

TEST(TrailingPunctuationTest, DropsThePeriodOfShortChatMessagesEndingInATinyWord) {
    const TrailingCase cases[] = {
        TrailingCase{"Ok.", AppType::messaging, "Ok."},
        TrailingCase{"I am in a.", AppType::messaging, "I am in a"},
        TrailingCase{"Call me at 5 I.", AppType::social, "Call me at 5 I"},
        TrailingCase{" Ok a. ", AppType::messaging, "Ok a"},
        TrailingCase{"See you soon.", AppType::messaging, "See you soon."},
        TrailingCase{"Yes. Ok.", AppType::messaging, "Yes. Ok."},
        TrailingCase{QString(57, 'x') + " a.", AppType::messaging, QString(57, 'x') + " a."},  // 60 characters
        TrailingCase{QString(56, 'x') + " a.", AppType::messaging, QString(56, 'x') + " a"},
        TrailingCase{"I am in a.", AppType::email, "I am in a."},
        TrailingCase{"Go", AppType::messaging, "Go"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(TextPostProcessor::adjustTrailingPunctuation(c.text, c.appType), c.expected) << c.text.toStdString();
    }
}

struct PlaceholderCase {
    QString field;
    QString before;
    QString after;
    bool expected;
};

TEST(PlaceholderTest, RecognisesPromptsAndShortLabels) {
    const PlaceholderCase cases[] = {PlaceholderCase{"Search or type a URL", "", "", true},
                                     PlaceholderCase{"Loading...", "", "", true},
                                     PlaceholderCase{"Hello world", "", "", true},
                                     PlaceholderCase{"This is my note", "", "", false},
                                     PlaceholderCase{"Message #general and the rest of it", "", "", true},
                                     PlaceholderCase{"What's on your mind, Ada?", "", "", true},
                                     PlaceholderCase{"one two three four five...", "", "", false},
                                     PlaceholderCase{"   \n", "", "", false},
                                     PlaceholderCase{"Search", "x", "", false},
                                     PlaceholderCase{"Search", "", "x", false}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(TextPostProcessor::isPlaceholderText(c.field, c.before, c.after, AppType::general), c.expected)
            << c.field.toStdString();
    }
}

}  // namespace

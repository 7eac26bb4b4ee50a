// The text rules' properties over the shortest inputs that broke them and over seeded random
// triggers and texts.
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextRules.h"
#include "Core/Formatting/UserTextReplacements.h"

#include "support/TextRuleProperties.h"
#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

#include <random>

namespace {

QString units(std::initializer_list<char16_t> codeUnits) {
    QString text;
    for (char16_t u : codeUnits) text += QChar(u);
    return text;
}

TEST(TextRuleProperties, TriggerReplacesItself) {
    const QString triggers[] = {
        units({0x130}),  // "İ": lower case is two code units
        QStringLiteral("\u0130stanbul"),
        units({0, 0, u'1'}),  // NUL before a digit read as an octal escape
        units({0, u' ', u'7'}),
        QStringLiteral("c++"),
        QStringLiteral("$1"),
        QStringLiteral("\\E("),
        QStringLiteral("a\\Qb"),
        QStringLiteral("(?i)x"),
        QStringLiteral("[a-z]"),
        QStringLiteral("x{2}"),
        QStringLiteral("\\1"),
        QStringLiteral("stra\u00dfe"),
        QStringLiteral("\u01c5"),
        QStringLiteral("\ufb00"),
        QStringLiteral("\u03a3\u03c2"),
        units({0xD800}),  // a stray surrogate half
        units({u'x', 0xDC00, u'y'}),
        QStringLiteral("\U0001F600 smile"),
    };
    for (const QString& trigger : triggers) {
        const auto broken = TextRuleProperties::triggerReplacesItself(trigger, QStringLiteral("value"));
        EXPECT_FALSE(broken) << *broken;
    }
}

TEST(TextRuleProperties, TriggerReplacesItselfForSeededRandomTriggers) {
    // Characters the pattern syntax, case folding or UTF-16 make special.
    const char16_t pool[] = {0,      u'1',  u'0',   u'a',   u'Z',   u'\\',  u'E',   u'Q', u'(',   u')',  u'[',
                             u']',   u'{',  u'}',   u'|',   u'^',   u'$',   u'.',   u'*', u'+',   u'?',  u'-',
                             u'#',   u'_',  u',',   u'\t',  u'\n',  0x130,  0x131,  0xDF, 0x3A3,  0x3C2, 0x1C5,
                             0xFB00, 0x301, 0xD83D, 0xDE00, 0xD800, 0xDFFF, 0xFFFD, u' ', 0x2028, 0x200B};
    std::mt19937 random(1210);
    for (int round = 0; round < 2000; ++round) {
        QString trigger;
        const int length = 1 + int(random() % 6);
        for (int i = 0; i < length; ++i) trigger += QChar(pool[random() % std::size(pool)]);
        const auto broken = TextRuleProperties::triggerReplacesItself(trigger, QStringLiteral("v"));
        ASSERT_FALSE(broken) << "round " << round << ": " << *broken;
    }
}

struct ChainCase {
    const char* name;
    QString text;
    QMap<QString, QString> replacements;
    QMap<QString, QString> snippets;
    QList<TextReplacement> userRules;
};

TEST(TextRuleProperties, ChainedRulesStayBounded) {
    const ChainCase cases[] = {
        {"Snippets",
         "a",
         {},
         {{"a", QString("b").repeated(1000)}, {"b", QString("c").repeated(1000)}, {"c", QString("d").repeated(1000)}},
         {}},
        {"Replacements",
         "a",
         {{"a", QString("b ").repeated(500)}, {"b", QString("c ").repeated(500)}, {"c", QString("d ").repeated(200)}},
         {},
         {}},
        {"UserRules",
         "x",
         {},
         {},
         {{"x", QString("a ").repeated(1000)},
          {"a", QString("b ").repeated(1000)},
          {"b", QString("c ").repeated(1000)}}},
        {"OneRuleOnALongText",
         QString("a ").repeated(2000),
         {{"a", QString("b").repeated(100)}},
         {{"a", QString("b").repeated(100)}},
         {{"a", QString("b").repeated(100)}}},
    };
    for (const ChainCase& c : cases) {
        VantroseSettings settings;
        settings.replacements = c.replacements;
        settings.snippets = c.snippets;
        settings.textReplacements = c.userRules;
        const auto broken = TextRuleProperties::chainsStayBounded(c.text, settings);
        EXPECT_FALSE(broken) << c.name << ": " << *broken;
    }
}

TEST(TextRuleProperties, ChainingGoesOnUntilTheLimitThenStops) {
    // The first expansion fits and stays; the next would not, so it and the rest are skipped.
    const QString bs = QString("b").repeated(1000);
    EXPECT_EQ(RuleBasedFormatter::applySnippets("a", {{"a", bs}, {"b", QString("c").repeated(1000)}, {"c", "never"}}),
              bs);
    EXPECT_EQ(UserTextReplacements::apply("x", {{"x", "a b"}, {"a", "1"}, {"b", "2"}}), "1 2");
    const QList<TextReplacement> growing{
        {"x", QString("a ").repeated(1000)}, {"a", QString("b ").repeated(1000)}, {"b", "never"}};
    EXPECT_EQ(UserTextReplacements::apply("x", growing), QString("a ").repeated(1000));

    // Formatting skips the snippets once the replacements reached the limit.
    VantroseSettings settings;
    settings.replacements = {{"a", QString("b ").repeated(500)}, {"b", QString("c ").repeated(500)}};
    settings.snippets = {{"b", "snippet"}};
    const AppContext context(QStringLiteral("Chat"), QStringLiteral("org.example.chat"), std::nullopt, {}, {}, {}, true,
                             {});
    const QString formatted = RuleBasedFormatter().formatNow("a", context, settings).text;
    EXPECT_FALSE(formatted.contains("snippet"));
    EXPECT_TRUE(formatted.startsWith("B b b"));
}

TEST(TextRuleProperties, StraySurrogateKeepsEveryRule) {
    VantroseSettings settings;
    settings.replacements = {{"gonna", "going to"}};
    settings.textReplacements = {{"btw", "by the way"}};
    const QString texts[] = {
        QStringLiteral("i think we're gonna win") + units({0xD800}),
        units({0xDC00}) + QStringLiteral(" btw i said new line"),
        units({0xD83D, u' ', 0xDE00}) + QStringLiteral(" monday period"),
    };
    for (const QString& text : texts) {
        const auto broken = TextRuleProperties::strayHalvesChangeNothingElse(text, settings);
        EXPECT_FALSE(broken) << *broken;
    }
    const AppContext context(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), std::nullopt, {}, {}, {},
                             true, {});
    EXPECT_EQ(RuleBasedFormatter().formatNow(texts[0], context, settings).text,
              QStringLiteral("I think we're going to win\ufffd."));
    EXPECT_EQ(UserTextReplacements::apply(units({u'b', u't', u'w', 0xDC00}), settings.textReplacements),
              QStringLiteral("by the way\ufffd"));
}

}  // namespace

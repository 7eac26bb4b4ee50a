#include "Core/Formatting/RuleBasedFormatter.h"

#include "support/text/QtPrinters.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

namespace {

AppContext contextOfType(AppType type) {
    AppContext context(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), std::nullopt, {}, {}, {}, true,
                       {});
    context.appType = type;
    return context;
}

struct FormatCase {
    QString raw;
    QString expected;
    AppType appType = AppType::general;
};

TEST(RuleBasedFormatter, FormatsTranscripts) {
    const FormatCase cases[] = {
        {"hello world", "Hello world."},
        {"hello world", "Hello world", AppType::messaging},
        {"  yes i think so \n", "Yes I think so."},
        {"this is it", "This is it."},
        {"i'm sure i said i would", "I'm sure I said I would."},
        {"meeting on monday in may", "Meeting on Monday in May."},
        {"push it to github with javascript", "Push it to GitHub with JavaScript."},
        {"learn golang on my iphone and imac", "Learn Go on my iPhone and iMac."},
        {"hello period how are you", "Hello. how are you."},
        {"one comma two", "One, two."},
        {"is it done question mark", "Is it done?"},
        {"wow exclamation point", "Wow!"},
        {"first new paragraph second", "First \n\n second."},
        {"first new line second newline third", "First \n second \n third."},
        {"PERIOD periods", ". periods."},
        // Capitals only after a sentence end followed by white space.
        {"open file.txt now", "Open file.txt now."},
        {"visit example.com today", "Visit example.com today."},
        {"version 2.5 is out", "Version 2.5 is out."},
        {"see e.g.the list", "See e.g.the list."},
        {"done. next! really? yes", "Done. Next! Really? Yes."},
        {"it works\u2026 \u00e9t\u00e9", "It works\u2026 \u00e9t\u00e9."},
        {"is it (done)", "Is it (done)"},
        {"he said \"ok\"", "He said \"ok\""},
        {"note: 'fine'", "Note: 'fine'"},
        {"a  lot   of    space , ok", "A lot of space, ok."},
        {"\u00fcber alles", "\u00dcber alles."},
    };
    RuleBasedFormatter formatter;
    VantroseSettings settings;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << cases[i].raw.toStdString());
        const auto result = formatter.formatNow(cases[i].raw, contextOfType(cases[i].appType), settings);
        EXPECT_EQ(result.text, cases[i].expected);
        EXPECT_EQ(result.formatterName, "RuleBased");
    }
}

TEST(RuleBasedFormatter, BlankInputGivesEmptyTextWithoutLatency) {
    RuleBasedFormatter formatter;
    const auto result =
        QCoro::waitFor(formatter.format(QStringLiteral(" \n\t \n"), contextOfType(AppType::general), {}));
    EXPECT_EQ(result, (FormattingResult{QString(), 0.0, QStringLiteral("RuleBased")}));
    EXPECT_EQ(formatter.formatterName(), "RuleBased");
}

struct UserRuleCase {
    QString raw;
    QMap<QString, QString> replacements;
    QMap<QString, QString> snippets;
    QStringList customWords;
    QString expected;
};

TEST(RuleBasedFormatter, AppliesTheUsersWordsLiterally) {
    const UserRuleCase cases[] = {
        {"is 1+1 two", {{"1+1", "2"}}, {}, {}, "Is 2 two."},
        {"the promo", {{"promo", "50% off $1 \\1"}}, {}, {}, "The 50% off $1 \\1."},
        {"asap and asaps", {{"ASAP", "soon"}}, {}, {}, "Soon and asaps."},
        {"the c++ book", {{"c++", "C++"}}, {}, {}, "The C++ book."},
        {"i like c++", {{"c++", "C++"}}, {}, {}, "I like C++."},
        {"sign it sig1 please", {}, {{"SIG1", "Best, Ada"}}, {}, "Sign it Best, Ada please."},
        {"xsig1x", {}, {{"sig1", "[$0]"}}, {}, "X[$0]x."},
        {"use openapi here", {}, {}, {"OpenAPI"}, "Use OpenAPI here."},
        {"openapis stay", {}, {}, {"OpenAPI"}, "Openapis stay."},
        {"ask $dollar\\1 now", {}, {}, {"$Dollar\\1"}, "Ask $Dollar\\1 now."},
        {"pay kubectl", {}, {}, {"", "kubectl"}, "Pay kubectl."},
    };
    RuleBasedFormatter formatter;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << cases[i].raw.toStdString());
        VantroseSettings settings;
        settings.replacements = cases[i].replacements;
        settings.snippets = cases[i].snippets;
        settings.customWords = cases[i].customWords;
        EXPECT_EQ(formatter.formatNow(cases[i].raw, contextOfType(AppType::general), settings).text, cases[i].expected);
    }
}

}  // namespace

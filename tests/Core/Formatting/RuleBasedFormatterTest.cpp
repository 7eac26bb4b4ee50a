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
        {"hello period how are you", "Hello. how are you?"},
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

// A question gets a question mark; a statement that merely opens like one keeps its period.
TEST(RuleBasedFormatter, EndsAQuestionWithAQuestionMark) {
    const FormatCase cases[] = {
        {"can you send me the report", "Can you send me the report?"},
        {"what time is the meeting", "What time is the meeting?"},
        {"is it ready", "Is it ready?"},
        {"do we ship on friday", "Do we ship on Friday?"},
        {"how many are left", "How many are left?"},
        {"where are the keys", "Where are the keys?"},
        {"the build is green period can the team review it", "The build is green. can the team review it?"},
        {"what a day", "What a day."},
        {"do the dishes", "Do the dishes."},
        {"have a nice day", "Have a nice day."},
        {"when i get home i will call", "When I get home I will call."},
        {"i can do it", "I can do it."},
        {"can you send it", "Can you send it", AppType::messaging},
    };
    RuleBasedFormatter formatter;
    for (const FormatCase& row : cases) {
        SCOPED_TRACE(row.raw.toStdString());
        EXPECT_EQ(formatter.formatNow(row.raw, contextOfType(row.appType), VantroseSettings()).text, row.expected);
    }
}

// The voice style the user chose for the application shapes the text; another application, or
// an instruction of the user's own words, keeps the usual formatting.
TEST(RuleBasedFormatter, FollowsTheVoiceStyleOfTheApplicationInFront) {
    const struct {
        VoiceStyle style;
        const char* before;
        const char* raw;
        AppType appType;
        const char* expected;
    } cases[] = {
        {VoiceStyle::natural, "see you there", "sounds good", AppType::general, "Sounds good."},
        {VoiceStyle::casual, "see you there", "sounds good see you on friday", AppType::general,
         "sounds good see you on Friday"},
        {VoiceStyle::casual, "See you there.", "sounds good", AppType::general, "Sounds good"},
        {VoiceStyle::casual, "", "can you make it", AppType::general, "Can you make it?"},
        {VoiceStyle::casual, "",
         "this line is long enough that it reads as a message that wants its full stop at the end", AppType::general,
         "This line is long enough that it reads as a message that wants its full stop at the end."},
        {VoiceStyle::professional, "", "sounds good", AppType::messaging, "Sounds good."},
        {VoiceStyle::technical, "", "restart the server", AppType::messaging, "Restart the server."},
        {VoiceStyle::notes, "", "buy milk period call ana period ship on friday", AppType::general,
         "Buy milk.\ncall ana.\nship on Friday."},
        {VoiceStyle::notes, "", "first point. second point? third", AppType::general,
         "First point.\nSecond point?\nThird."},
    };
    RuleBasedFormatter formatter;
    for (const auto& row : cases) {
        SCOPED_TRACE(testing::Message() << rawValue(row.style).toStdString() << ": " << row.raw);
        VantroseSettings settings;
        settings.appInstructions = {
            AppInstruction{QStringLiteral("org.example.other"), QStringLiteral("Other"),
                           VoiceStyles::instruction(VoiceStyle::notes)},
            AppInstruction{QStringLiteral("org.example.editor"), QStringLiteral("Editor"),
                           VoiceStyles::instruction(row.style)},
        };
        AppContext context = contextOfType(row.appType);
        context.beforeText = QString::fromUtf8(row.before);
        EXPECT_EQ(formatter.formatNow(QString::fromUtf8(row.raw), context, settings).text,
                  QString::fromUtf8(row.expected));

        settings.appInstructions.last().instruction = QStringLiteral("Write like a pirate.");
        context.beforeText.clear();
        EXPECT_EQ(formatter.formatNow(QStringLiteral("sounds good"), context, settings).text,
                  row.appType == AppType::messaging ? QStringLiteral("Sounds good") : QStringLiteral("Sounds good."));
    }
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

#include "Platform/ContextReader.h"
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Atspi/TextOffsets.h"

#include <gtest/gtest.h>

namespace {

AtspiFieldInfo fieldWith(const QString& value, std::optional<std::pair<int, int>> selection) {
    AtspiFieldInfo field;
    field.value = value;
    field.role = QStringLiteral("text");
    if (selection) {
        field.hasSelectionRange = true;
        field.selectionStart = selection->first;
        field.selectionEnd = selection->second;
        field.selectedText = value.mid(selection->first, selection->second - selection->first);
    }
    return field;
}

}  // namespace

TEST(ContextReaderSplit, SplitsValueAtTheSelection) {
    struct Case {
        const char* name;
        QString value;
        std::optional<std::pair<int, int>> selection;
        QString before, after;
    };
    const QString v = QStringLiteral("hello brave world");
    const Case cases[] = {
        {"caret in the middle", v, std::pair{6, 6}, QStringLiteral("hello "), QStringLiteral("brave world")},
        {"selection", v, std::pair{6, 11}, QStringLiteral("hello "), QStringLiteral(" world")},
        {"no selection range: nothing before, all after", v, std::nullopt, QString(), v},
        {"caret at start", v, std::pair{0, 0}, QString(), v},
        {"caret at end", v, std::pair{int(v.size()), int(v.size())}, v, QString()},
        {"location beyond the value", v, std::pair{500, 500}, v, QString()},
        {"end beyond the value is clamped", v, std::pair{6, std::numeric_limits<int>::max()}, QStringLiteral("hello "),
         QString()},
    };
    for (const Case& c : cases) {
        const TextFieldContext context = ContextReader::makeTextFieldContext(fieldWith(c.value, c.selection));
        EXPECT_EQ(context.beforeText, c.before) << c.name;
        EXPECT_EQ(context.afterText, c.after) << c.name;
        EXPECT_EQ(context.value, c.value) << c.name;
    }
}

// The selection a text interface reports, as GTK and Qt report it.
TEST(ContextReaderSplit, SelectedRangeFromWhatTheToolkitReports) {
    const struct {
        const char* name;
        int caret, count, start, end;
        int wantStart, wantEnd;
    } cases[] = {
        {"no selections: empty at the caret", 15, 0, -1, -1, 15, 15},
        {"one empty selection away from the caret (GTK)", 15, 1, 0, 0, 15, 15},
        {"one empty selection at the caret", 15, 1, 15, 15, 15, 15},
        {"a real selection", 15, 1, 6, 11, 6, 11},
        {"a selection made backwards", 6, 1, 11, 6, 6, 11},
        {"unreadable selection", 4, 1, -1, -1, 4, 4},
        {"no caret, a selection", -1, 1, 2, 5, 2, 5},
        {"nothing readable", -1, 0, -1, -1, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TextOffsets::Range r = TextOffsets::selectedRange(c.caret, c.count, c.start, c.end);
        EXPECT_EQ(r.start, c.wantStart);
        EXPECT_EQ(r.end, c.wantEnd);
    }
}

TEST(ContextReaderSplit, TruncatesByUserPerceivedCharacters) {
    // 2500 emoji with skin tone (four UTF-16 units each) before the caret, 2500 after.
    const QString unit = QStringLiteral("👍🏽");
    const QString half = unit.repeated(2500);
    AtspiFieldInfo field = fieldWith(half + half, std::pair{int(half.size()), int(half.size())});
    field.selectedText = QStringLiteral("x").repeated(1500);
    const TextFieldContext context = ContextReader::makeTextFieldContext(field);
    EXPECT_EQ(TextOffsets::graphemeCount(context.beforeText), 2000);
    EXPECT_EQ(context.beforeText, unit.repeated(2000));
    EXPECT_EQ(context.afterText, unit.repeated(2000));
    EXPECT_EQ(context.value, unit.repeated(4000));
    EXPECT_EQ(context.selectedText.size(), 1000);
}

TEST(ContextReaderSplit, RoleAndFlags) {
    AtspiFieldInfo field = fieldWith(QStringLiteral("x"), std::nullopt);
    field.role.clear();
    field.isEditable = true;
    field.description = QStringLiteral("Message body");
    TextFieldContext context = ContextReader::makeTextFieldContext(field);
    EXPECT_EQ(context.role, QStringLiteral("unknown"));
    EXPECT_FALSE(context.isTextInputRole);
    EXPECT_TRUE(context.isEditable);
    EXPECT_EQ(context.elementDescription, QStringLiteral("Message body"));
    EXPECT_EQ(context.selectionLocation, 0);
}

TEST(ContextReaderWords, ContextWordsAreDistinctInOrderAndCapped) {
    ContextReader reader;
    TextFieldContext field;
    field.beforeText = QStringLiteral("alpha beta\nalpha  gamma");
    field.afterText = QStringLiteral("beta delta\t");
    EXPECT_EQ(reader.parseContextWords(field), (QStringList{"alpha", "beta", "gamma", "delta"}));

    QStringList many;
    for (int i = 0; i < 300; ++i) many << QStringLiteral("w%1").arg(i);
    field.beforeText = many.join(' ');
    field.afterText.clear();
    const QStringList words = reader.parseContextWords(field);
    ASSERT_EQ(words.size(), 200);
    EXPECT_EQ(words.first(), QStringLiteral("w0"));
    EXPECT_EQ(words.last(), QStringLiteral("w199"));
}

TEST(ContextReaderWords, ProperNounFilter) {
    struct Case {
        const char* word;
        bool kept;
    };
    const Case cases[] = {
        {"iPhone", true},  {"snake_case", true}, {"e-mail", true},    {"mp3", true},     {"x86", true},
        {"node.js", true}, {"Marguerite", true}, {"1,234.5", false},  {"ab", false},     {"hello", false},
        {"-flag", false},  {"Search", false},    {"Settings", false}, {"search", false}, {"The", false},
        {"Zürich", true},  {"42", false},
    };
    for (const Case& c : cases) {
        const QStringList kept = ContextReader::filterForProperNouns({QString::fromUtf8(c.word)});
        EXPECT_EQ(!kept.isEmpty(), c.kept) << c.word;
    }
    EXPECT_EQ(ContextReader::filterForProperNouns({"Zeta", "hello", "Alpha"}), (QStringList{"Zeta", "Alpha"}));
}

TEST(ContextReaderWords, WindowWordsKeepLengthLimitsAndFirstOccurrence) {
    const QString tooLong = QStringLiteral("A") + QStringLiteral("b").repeated(60);
    const QStringList words = ContextReader::windowWordsFromTexts({QStringLiteral("Project Zephyr notes"),
                                                                   QStringLiteral("Zephyr by Marguerite X"), tooLong,
                                                                   QStringLiteral("Owner:\nKubernetes")});
    EXPECT_EQ(words, (QStringList{"Project", "Zephyr", "Marguerite", "Owner:", "Kubernetes"}));
}

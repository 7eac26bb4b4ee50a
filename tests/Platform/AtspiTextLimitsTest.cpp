#include "Platform/Atspi/AtspiTextLimits.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace AtspiTextLimits;

namespace {

constexpr qint64 kHuge = 100'000'000;  // a field an application could expose

}  // namespace

TEST(AtspiTextLimits, CaretWindowReadsSmallTextsWholeAndHugeOnesAroundTheCaret) {
    struct Case {
        const char* name;
        qint64 count, selectionStart, selectionEnd;
        qint64 start, end;
    };
    const Case cases[] = {
        {"empty", 0, 0, 0, 0, 0},
        {"unreadable count", -1, 0, 0, 0, 0},
        {"at the cap: whole", kWholeText, 150000, 150000, 0, kWholeText},
        {"one over: around the caret", kWholeText + 1, 150000, 150000, 150000 - kCaretContext, 150000 + kCaretContext},
        {"caret near the start", kHuge, 100, 100, 0, 100 + kCaretContext},
        {"caret at the end", kHuge, kHuge, kHuge, kHuge - kCaretContext, kHuge},
        {"no caret known", kHuge, -1, -1, 0, kCaretContext},
        {"short selection kept whole", kHuge, 5000000, 5000010, 5000000 - kCaretContext, 5000010 + kCaretContext},
        {"select all: only the selection's start", kHuge, 0, kHuge, 0, kSelection + kCaretContext},
        {"caret past the reported end", kHuge, 2 * kHuge, 2 * kHuge, kHuge - kCaretContext, kHuge},
        {"selection reported backwards", kHuge, 5000, 10, 0, 5000 + kCaretContext},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Window window = caretWindow(c.count, c.selectionStart, c.selectionEnd);
        EXPECT_EQ(window.start, c.start);
        EXPECT_EQ(window.end, c.end);
        EXPECT_LE(window.length(), std::max<qint64>(kWholeText, 2 * kCaretContext + kSelection));
    }
}

TEST(AtspiTextLimits, BoundedUtf8KeepsWholeCharactersUpToTheCap) {
    struct Case {
        const char* name;
        const char* text;
        qint64 cap;
        QString expected;
    };
    const Case cases[] = {
        {"null", nullptr, 10, QString()},
        {"zero cap", "hello", 0, QString()},
        {"shorter than the cap", "hello", 10, QStringLiteral("hello")},
        {"exactly the cap", "hello", 5, QStringLiteral("hello")},
        {"cut", "hello", 3, QStringLiteral("hel")},
        {"two-byte characters count once", "h\xC3\xA9llo", 2, QStringLiteral("hé")},
        {"an emoji counts once",
         "a\xF0\x9F\x98\x80"
         "b",
         2, QStringLiteral("a😀")},
        {"a cut sequence is one broken character",
         "a\xE2\x82"
         "b",
         2, QStringLiteral("a\uFFFD")},
        // Invalid sequences that look whole decode to a replacement character per byte.
        {"overlong sequences stay within the cap", "\xF0\x80\x80\x80\xF0\x80\x80\x80\xF0\x80\x80\x80", 3,
         QString(3, QChar(0xFFFD))},
        {"encoded surrogates stay within the cap", "\xED\xA0\x80\xED\xA0\x80", 2, QString(2, QChar(0xFFFD))},
        {"an emoji after a broken byte", "\xFF\xF0\x9F\x98\x80", 2, QStringLiteral("\uFFFD😀")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(boundedUtf8(c.text, c.cap), c.expected);
    }
}

// Nothing past the kept bytes is read, so a huge text costs only the cap: the buffer below has
// no terminator, and a look past the cap is an out-of-bounds read the sanitizer reports.
TEST(AtspiTextLimits, BoundedUtf8ReadsNoFurtherThanTheCap) {
    const qint64 cap = 64;
    auto unterminated = std::make_unique<char[]>(cap);
    std::memset(unterminated.get(), 'x', cap);
    EXPECT_EQ(boundedUtf8(unterminated.get(), cap), QString(cap, QLatin1Char('x')));
}

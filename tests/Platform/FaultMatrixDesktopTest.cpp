// The paste target goes away around the paste: the paste ends (no hang), the user's clipboard
// comes back, and the next paste into a new field works.
#include "Platform/TextInserter.h"

#include "support/FixtureApp.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using namespace std::chrono_literals;

QByteArray clipboardText() { return runTool("xclip", {"-selection", "clipboard", "-o", "-t", "UTF8_STRING"}); }

TEST(FaultMatrixDesktop, PasteTargetClosingAroundThePaste) {
    const struct {
        const char* name;
        bool closeBeforePaste;  // else: once the dictated text is on the clipboard
    } table[] = {
        {"closed before the paste", true},
        {"closed while the paste is under way", false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TextInserter inserter;
        inserter.setClipboardRestoreDelay(std::chrono::milliseconds(500));
        auto target = std::make_unique<FixtureApp>(QStringLiteral("PasteTarget"), QStringLiteral("paste target"));
        ASSERT_TRUE(target->start());
        auto xclip = startTool("xclip", {"-selection", "clipboard", "-i"}, "user text");
        ASSERT_TRUE(waitUntil([] { return clipboardText() == "user text"; }));

        if (row.closeBeforePaste) target.reset();
        std::optional<PasteOutcome> outcome;
        auto task = [&]() -> QCoro::Task<> {
            outcome = co_await inserter.insertText(QStringLiteral("dictated words"));
        };
        task();
        if (!row.closeBeforePaste) {
            ASSERT_TRUE(waitUntil([] { return clipboardText() == "dictated words"; }, 10s));
            target.reset();
        }
        ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 10s));
        ASSERT_TRUE(waitUntil(
            [&] { return inserter.lastPasteOutcome() && inserter.lastPasteOutcome()->clipboardRestored; }, 10s));
        EXPECT_EQ(clipboardText(), "user text");

        // The next dictation's paste lands in a new field, and the clipboard comes back again.
        FixtureApp next(QStringLiteral("PasteTarget"), QStringLiteral("paste target"));
        ASSERT_TRUE(next.start());
        std::optional<PasteOutcome> again;
        auto second = [&]() -> QCoro::Task<> { again = co_await inserter.insertText(QStringLiteral("next words")); };
        second();
        EXPECT_TRUE(next.waitForText(QStringLiteral("next words")));
        ASSERT_TRUE(waitUntil([&] { return again.has_value(); }, 10s));
        EXPECT_TRUE(again->success);
        ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 10s));
        EXPECT_EQ(clipboardText(), "user text");
    }
}

}  // namespace

// Pasting into the fixture window through the CLIPBOARD and XTest, and giving the user's
// clipboard back.
#include "Foundation/Logger.h"
#include "Models/Hotkey.h"
#include "Platform/TextInserter.h"
#include "Platform/X11/X11ClipboardService.h"
#include "Platform/X11/X11KeySource.h"

#include "support/FixtureApp.h"
#include "support/KeyEventLog.h"
#include "support/TestEnvironment.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace std::chrono_literals;

QByteArray clipboardOut(const QString& target = "UTF8_STRING", bool* ok = nullptr) {
    return runTool("xclip", {"-selection", "clipboard", "-o", "-t", target}, {}, ok);
}

QByteArray pngBytes() {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool logContains(const QString& line) {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    return f.open(QIODevice::ReadOnly) && QString::fromUtf8(f.readAll()).contains(line);
}

// Runs the coroutine to its end while the event loop turns.
PasteOutcome paste(TextInserter& inserter, const QString& text) {
    std::optional<PasteOutcome> outcome;
    auto task = [&]() -> QCoro::Task<> { outcome = co_await inserter.insertText(text); };
    task();
    EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }, 10s));
    return outcome.value_or(PasteOutcome{});
}

class TextInserterDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fixture.start());
        inserter.setClipboardRestoreDelay(0.5);
    }
    FixtureApp fixture{"PasteTarget", "paste target"};
    TextInserter inserter;
};

TEST_F(TextInserterDesktopTest, PastesTheTextAndGivesTheUsersTextBack) {
    auto xclip = startTool("xclip", {"-selection", "clipboard", "-i"}, "user text");
    ASSERT_TRUE(waitUntil([] { return clipboardOut() == "user text"; }));

    const PasteOutcome o = paste(inserter, QStringLiteral("dictated wörds"));
    EXPECT_TRUE(fixture.waitForText("dictated wörds"));
    EXPECT_TRUE(o.success);
    EXPECT_TRUE(o.clipboardSaved);
    EXPECT_TRUE(o.clipboardWritten);
    EXPECT_TRUE(o.pasteSimulated);
    EXPECT_FALSE(o.clipboardRestored);
    EXPECT_FALSE(o.hasPrivilegeIssues);
    EXPECT_FALSE(o.focusedControlChanged);
    EXPECT_EQ(o.clipboardLengthBefore, 9);
    EXPECT_EQ(o.clipboardLengthAfter, 14);
    EXPECT_EQ(o.textLength, 14);
    EXPECT_EQ(o.helperPasteProcessingMs, o.pasteOutcomeMs);
    EXPECT_EQ(o.totalTimeMs, o.pasteOutcomeMs);

    EXPECT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    EXPECT_EQ(clipboardOut(), "user text");
}

struct SavedClipboardCase {
    const char* name;
    std::vector<ClipboardItem> items;
};

void PrintTo(const SavedClipboardCase& c, std::ostream* os) { *os << c.name; }

class RestoresEveryTargetTest : public TextInserterDesktopTest,
                                public ::testing::WithParamInterface<SavedClipboardCase> {};

TEST_P(RestoresEveryTargetTest, TheUsersTargetsComeBack) {
    // Another client owns the clipboard with these targets, as an application would.
    X11ClipboardService user;
    ASSERT_TRUE(user.start());
    ASSERT_NE(user.setContents(GetParam().items), 0u);

    paste(inserter, QStringLiteral("abc"));
    EXPECT_TRUE(fixture.waitForText("abc"));
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    for (const ClipboardItem& item : GetParam().items) {
        SCOPED_TRACE(item.target.constData());
        EXPECT_EQ(clipboardOut(QString::fromLatin1(item.target)), item.data);
    }
}

INSTANTIATE_TEST_SUITE_P(Clipboards, RestoresEveryTargetTest,
                         ::testing::Values(SavedClipboardCase{"TextAndImage",
                                                              {{"UTF8_STRING", "UTF8_STRING", 8, "caption"},
                                                               {"image/png", "image/png", 8, pngBytes()}}},
                                           SavedClipboardCase{"ImageOnly",
                                                              {{"image/png", "image/png", 8, pngBytes()}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TextInserterDesktopTest, ATargetOverTheSaveCapIsLeftOutAndTheUsersTextComesBack) {
    X11ClipboardService user;
    ASSERT_TRUE(user.start());
    const QByteArray bitmap(TextInserter::maxSavedTargetBytes + 1, 'b');
    ASSERT_NE(user.setContents({{"UTF8_STRING", "UTF8_STRING", 8, "caption"}, {"image/bmp", "image/bmp", 8, bitmap}}),
              0u);

    const PasteOutcome o = paste(inserter, QStringLiteral("abc"));
    EXPECT_TRUE(fixture.waitForText("abc"));
    EXPECT_FALSE(o.clipboardSaved);  // not all of it
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    EXPECT_EQ(clipboardOut(), "caption");
    bool bitmapServed = true;
    clipboardOut("image/bmp", &bitmapServed);
    EXPECT_FALSE(bitmapServed);
}

TEST_F(TextInserterDesktopTest, ImageCopiedWithXclipComesBack) {
    const QByteArray png = pngBytes();
    auto xclip = startTool("xclip", {"-selection", "clipboard", "-t", "image/png", "-i"}, png);
    ASSERT_TRUE(waitUntil([&] { return clipboardOut("image/png") == png; }));
    const PasteOutcome o = paste(inserter, QStringLiteral("caption"));
    EXPECT_EQ(o.clipboardLengthBefore, 0);
    EXPECT_TRUE(fixture.waitForText("caption"));
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    EXPECT_EQ(clipboardOut("image/png"), png);
}

TEST_F(TextInserterDesktopTest, ACopyMadeDuringTheDelaySurvives) {
    auto before = startTool("xclip", {"-selection", "clipboard", "-i"}, "old");
    ASSERT_TRUE(waitUntil([] { return clipboardOut() == "old"; }));
    paste(inserter, QStringLiteral("pasted"));
    EXPECT_TRUE(fixture.waitForText("pasted"));

    auto during = startTool("xclip", {"-selection", "clipboard", "-i"}, "copied meanwhile");
    ASSERT_TRUE(waitUntil([] { return clipboardOut() == "copied meanwhile"; }));
    ASSERT_TRUE(waitUntil([] { return logContains("TextInserter: Clipboard changed since the paste"); }, 5s));
    EXPECT_EQ(clipboardOut(), "copied meanwhile");
    EXPECT_FALSE(inserter.lastPasteOutcome()->clipboardRestored);
}

TEST_F(TextInserterDesktopTest, OverlappingPastesKeepTheFirstSavedClipboard) {
    auto xclip = startTool("xclip", {"-selection", "clipboard", "-i"}, "original");
    ASSERT_TRUE(waitUntil([] { return clipboardOut() == "original"; }));
    const PasteOutcome first = paste(inserter, QStringLiteral("one "));
    EXPECT_TRUE(fixture.waitForText("one "));
    const PasteOutcome second = paste(inserter, QStringLiteral("two"));
    EXPECT_TRUE(fixture.waitForText("one two"));
    EXPECT_EQ(first.clipboardLengthBefore, 8);
    EXPECT_EQ(second.clipboardLengthBefore, 4);  // the first text, still on the clipboard
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    EXPECT_EQ(clipboardOut(), "original");
}

TEST_F(TextInserterDesktopTest, AConcealedClipboardIsClearedNotRestored) {
    X11ClipboardService passwordManager;
    ASSERT_TRUE(passwordManager.start());
    ASSERT_NE(passwordManager.setContents(X11ClipboardService::textItems("hunter2", /*concealed=*/true)), 0u);
    paste(inserter, QStringLiteral("note"));
    EXPECT_TRUE(fixture.waitForText("note"));
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }, 5s));
    bool readable = true;
    clipboardOut("UTF8_STRING", &readable);
    EXPECT_FALSE(readable);  // nobody owns the clipboard
}

TEST(TextInserterTerminalDesktopTest, TerminalsGetControlShiftV) {
    FixtureApp terminal("xterm", "terminal");
    ASSERT_TRUE(terminal.start());
    X11KeySource keys;
    KeyEventLog seen;
    ASSERT_TRUE(keys.start(seen.handler()));
    TextInserter inserter;
    EXPECT_TRUE(paste(inserter, QStringLiteral("ls")).pasteSimulated);
    auto vDown = [&]() -> std::optional<KeySourceEvent> {
        for (const auto& e : seen.events())
            if (e.type == KeySourceEvent::Type::KeyDown && e.keyCode == 9) return e;
        return std::nullopt;
    };
    ASSERT_TRUE(waitUntil([&] { return vDown().has_value(); }, 5s));
    EXPECT_EQ(vDown()->flags, Hotkey::controlFlag | Hotkey::shiftFlag);
}

}  // namespace

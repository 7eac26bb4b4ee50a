// Pasting into the fixture window through the CLIPBOARD and XTest, and giving the user's
// clipboard back.
#include "Foundation/Logger.h"
#include "Models/Hotkey.h"
#include "Platform/TextInserter.h"
#include "Platform/X11/X11ClipboardService.h"
#include "Platform/X11/X11KeyInjector.h"
#include "Platform/X11/X11KeySource.h"

#include "support/FixtureApp.h"
#include "support/KeyEventLog.h"
#include "support/LogText.h"
#include "support/TestEnvironment.h"
#include "support/text/QtPrinters.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTimer>

#include <X11/keysym.h>

#include <QCoro/QCoroTask>

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
        inserter.setClipboardRestoreDelay(std::chrono::milliseconds(500));
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

// Paste-last pressed as Ctrl+Super+V: the paste starts while the user still holds the chord.
// It waits (bounded) for the user's keys to come up, so the field gets Ctrl+V and nothing else;
// keys still held at the bound mean no paste, reported as a failure.
TEST_F(TextInserterDesktopTest, WaitsForTheUsersChordToComeUpAndFailsWhenItStaysDown) {
    const struct {
        const char* name;
        int modifiersUpAfterMs;
        int vUpAfterMs;
        bool pasted;
    } table[] = {
        {"a quick chord", 30, 20, true},
        {"V let go last", 0, 300, true},  // before the keyboard repeats it
        {"Ctrl and Super let go last", 1200, 0, true},
        {"Ctrl and Super held on", 3000, 0, false},
    };
    X11KeyInjector user;
    const uint8_t ctrl = user.keycodeForKeysym(XK_Control_L), super = user.keycodeForKeysym(XK_Super_L),
                  v = user.keycodeForKeysym(XK_v);
    ASSERT_TRUE(ctrl && super && v);
    QString field;
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const QString text = QStringLiteral("[%1]").arg(QString::fromUtf8(row.name));
        for (const uint8_t key : {ctrl, super, v}) ASSERT_TRUE(user.sendKey(key, true));
        QTimer::singleShot(row.vUpAfterMs, [&] { user.sendKey(v, false); });
        QTimer::singleShot(row.modifiersUpAfterMs, [&] {
            user.sendKey(super, false);
            user.sendKey(ctrl, false);
        });
        const qsizetype mark = loggedText().size();
        const PasteOutcome outcome = paste(inserter, text);
        ASSERT_TRUE(waitUntil([&] { return !user.modifierKeyHeld({v}); }, 10s));
        EXPECT_EQ(outcome.success, row.pasted);
        EXPECT_EQ(outcome.pasteSimulated, row.pasted);
        if (row.pasted) {
            field += text;
            EXPECT_TRUE(fixture.waitForText(field, 5s)) << fixture.text().toStdString();
            EXPECT_TRUE(loggedTextSince(mark).contains(QStringLiteral("TextInserter: Pasted in")));
        } else {
            EXPECT_TRUE(loggedTextSince(mark).contains(
                QStringLiteral("TextInserter: Keys still held after 2000ms; the paste keys were not sent")));
            EXPECT_TRUE(loggedTextSince(mark).contains(QStringLiteral("TextInserter: Paste failed after")));
            EXPECT_FALSE(loggedTextSince(mark).contains(QStringLiteral("TextInserter: Pasted in")));
            // The chord never went out, also not once the user let go.
            EXPECT_FALSE(fixture.waitForText(field + text, 1s));
            EXPECT_EQ(fixture.text(), field);
        }
    }
}

}  // namespace

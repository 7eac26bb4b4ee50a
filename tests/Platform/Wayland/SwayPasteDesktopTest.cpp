// The paste on Sway (headless, run as a user of the test's own): the clipboard through
// data-control, the chord through the virtual keyboard, into a native Wayland GTK field.
#include "Platform/Wayland/DataControlClipboard.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandPaster.h"
#include "Platform/Wayland/WaylandVirtualKeyboard.h"

#include "support/LogText.h"
#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

QByteArray pngBytes() {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

class SwayPasteDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sway.start()) {
            if (!sway.skipReason().isEmpty()) GTEST_SKIP() << sway.skipReason().toStdString();
            FAIL() << "Sway did not start:\n" << sway.log().toStdString();
        }
    }

    // The clipboard's every type with its content.
    std::map<QString, QByteArray> clipboardContents() {
        std::map<QString, QByteArray> contents;
        for (const QString& type : waylandClipboardTypes(sway.socket()))
            contents[type] = waylandClipboard(sway.socket(), type).value_or("<unreadable>");
        return contents;
    }

    // Puts something on the clipboard the way another program does, and waits until it is there.
    std::unique_ptr<WaylandCopy> userCopies(const QByteArray& data, const QString& mimeType = {}) {
        auto copy = std::make_unique<WaylandCopy>(sway.socket(), data, mimeType);
        const QString probe = mimeType.isEmpty() ? QStringLiteral("text/plain") : mimeType;
        EXPECT_TRUE(waitUntil([&] { return waylandClipboard(sway.socket(), probe) == data; }));
        return copy;
    }

    // A keyboard of the test's own, for the keys a user would press.
    bool press(uint32_t keysym) {
        if (!keys) {
            keysConnection = std::make_shared<WaylandConnection>(QStringLiteral("test-keys"));
            if (!keysConnection->connect(sway.socket())) return false;
            keys = std::make_unique<WaylandVirtualKeyboard>(keysConnection);
        }
        return keys->pressKeys({}, keysym);
    }

    SwayCompositor sway;
    std::shared_ptr<WaylandConnection> keysConnection;
    std::unique_ptr<WaylandVirtualKeyboard> keys;
};

TEST_F(SwayPasteDesktopTest, PastesIntoTheNativeFieldAndGivesTheUsersClipboardBack) {
    auto copy = userCopies("user text");
    const auto before = clipboardContents();
    ASSERT_GE(before.size(), 2u);  // wl-copy offers a text under several names

    WaylandGtkEntry entry(sway.socket(), "Vantrose paste target");
    ASSERT_TRUE(sway.waitForFocus(entry.pid())) << "the field never took the focus";

    WaylandPaster paster(sway.socket());
    const WaylandPaster::Result result = paster.paste(QStringLiteral("dictated wörds"));
    EXPECT_EQ(paster.clipboardWay(), "data-control");
    EXPECT_TRUE(paster.canSendKeys());
    const PasteOutcome& o = result.outcome;
    EXPECT_TRUE(o.success);
    EXPECT_TRUE(o.userNotice.isEmpty()) << o.userNotice.toStdString();
    EXPECT_TRUE(o.clipboardSaved);
    EXPECT_TRUE(o.clipboardWritten);
    EXPECT_TRUE(o.pasteSimulated);
    EXPECT_FALSE(o.hasPrivilegeIssues);
    EXPECT_FALSE(o.clipboardRestored);
    EXPECT_EQ(o.clipboardLengthBefore, 9);
    EXPECT_EQ(o.clipboardLengthAfter, 14);
    ASSERT_TRUE(result.scheduleRestore);

    // Until the restore the clipboard holds the text, marked for clipboard managers as a secret.
    EXPECT_EQ(waylandClipboard(sway.socket(), "text/plain;charset=utf-8"), QStringLiteral("dictated wörds").toUtf8());
    EXPECT_EQ(waylandClipboard(sway.socket(), PasteClipboard::kConcealedFormat), "secret");

    ASSERT_TRUE(press(XKB_KEY_Return));
    EXPECT_EQ(entry.waitForPrintedText(), QStringLiteral("dictated wörds"));

    paster.restore(result.generation);
    EXPECT_EQ(clipboardContents(), before);
    ASSERT_TRUE(paster.lastOutcome());
    EXPECT_TRUE(paster.lastOutcome()->clipboardRestored);
}

// What happens to the user's clipboard: given back, left empty, or the copy made meanwhile kept.
TEST_F(SwayPasteDesktopTest, RestoreGivesBackOnlyWhatShouldComeBack) {
    enum class Expect { TheUsersCopy, Empty, TheNewerCopy };
    struct Case {
        const char* name;
        QByteArray data;  // what the user copied; nothing when empty
        QString mimeType;
        bool byPasswordManager;  // copied with the concealed mark
        bool copiesMeanwhile;    // the user copies again before the restore
        Expect expect;
    };
    const Case cases[] = {
        {"text under several names", "user text", {}, false, false, Expect::TheUsersCopy},
        {"an image, byte for byte", pngBytes(), "image/png", false, false, Expect::TheUsersCopy},
        {"an empty clipboard stays empty", {}, {}, false, false, Expect::Empty},
        {"a password manager's copy is not brought back", "hunter2", {}, true, false, Expect::Empty},
        {"a copy made after the paste stays", "user text", {}, false, true, Expect::TheNewerCopy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<WaylandCopy> copy;
        auto managerConnection = std::make_shared<WaylandConnection>(QStringLiteral("test-manager"));
        std::unique_ptr<DataControlClipboard> passwordManager;
        if (c.byPasswordManager) {
            ASSERT_TRUE(managerConnection->connect(sway.socket()));
            passwordManager = std::make_unique<DataControlClipboard>(managerConnection);
            ASSERT_TRUE(passwordManager->start());
            ASSERT_TRUE(passwordManager->write(QString::fromUtf8(c.data), std::nullopt));
        } else if (!c.data.isEmpty()) {
            copy = userCopies(c.data, c.mimeType);
        }
        const auto before = clipboardContents();
        EXPECT_EQ(before.empty(), c.data.isEmpty());

        WaylandPaster paster(sway.socket());
        const auto result = paster.paste(QStringLiteral("dictated"));
        ASSERT_TRUE(result.scheduleRestore);
        std::unique_ptr<WaylandCopy> newer;
        if (c.copiesMeanwhile) newer = userCopies("newer copy");
        paster.restore(result.generation);

        switch (c.expect) {
        case Expect::TheUsersCopy: EXPECT_EQ(clipboardContents(), before); break;
        case Expect::Empty: EXPECT_TRUE(waylandClipboardTypes(sway.socket()).isEmpty()); break;
        case Expect::TheNewerCopy:
            EXPECT_EQ(waylandClipboard(sway.socket(), "text/plain"), "newer copy");
            EXPECT_FALSE(paster.lastOutcome()->clipboardRestored);
            break;
        }
    }
}

TEST_F(SwayPasteDesktopTest, ASecondPasteBeforeTheRestoreStillGivesTheUsersCopyBack) {
    auto copy = userCopies("user text");
    const auto before = clipboardContents();
    WaylandPaster paster(sway.socket());
    const auto first = paster.paste(QStringLiteral("first"));
    const auto second = paster.paste(QStringLiteral("second"));
    EXPECT_TRUE(second.outcome.clipboardSaved);
    EXPECT_EQ(second.outcome.clipboardLengthBefore, 5);  // the first text, not the user's

    paster.restore(first.generation);  // overtaken: the second paste restores
    EXPECT_EQ(waylandClipboard(sway.socket(), "text/plain"), "second");
    paster.restore(second.generation);
    EXPECT_EQ(clipboardContents(), before);
}

// The chord as a program receives it: an X client under Sway's XWayland (xev) shows the
// modifiers held with the V.
TEST_F(SwayPasteDesktopTest, TerminalsGetCtrlShiftVAndOtherProgramsCtrlV) {
    struct Case {
        const char* frontAppId;
        const char* state;  // X modifier mask: Control 0x4, Shift 0x1
    };
    const Case cases[] = {{"org.gnome.Terminal", "0x5"}, {"org.gnome.TextEditor", "0x4"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frontAppId);
        ChildProcess xev = sway.startXClient("xev", {"-event", "keyboard"});
        ASSERT_TRUE(sway.waitForFocus([](const SwayCompositor::Window& w) { return w.title == "Event Tester"; }))
            << "xev never took the focus";

        WaylandPaster paster(sway.socket(), [&c] { return WaylandFrontApp{0, c.frontAppId, {}, {}}; });
        ASSERT_TRUE(paster.paste(QStringLiteral("x")).outcome.pasteSimulated);

        QString seen;
        QString state;
        EXPECT_TRUE(waitUntil([&] {
            seen += QString::fromLocal8Bit(xev->readAllStandardOutput());
            static const QRegularExpression line(
                QStringLiteral("state (0x[0-9a-f]+), keycode \\d+ \\(keysym 0x[0-9a-f]+, [vV]\\)"));
            const auto match = line.match(seen);
            if (match.hasMatch()) state = match.captured(1);
            return !state.isEmpty();
        })) << seen.toStdString();
        EXPECT_EQ(state, c.state);
    }
}

// Saving the user's clipboard stays within its limits and never waits past its budget.
TEST_F(SwayPasteDesktopTest, SavingTheClipboardKeepsToItsLimits) {
    struct Case {
        const char* name;
        PasteClipboard::SaveLimits limits;
        bool ownerFrozen;
        bool complete;
        size_t formatsKept;
    };
    const Case cases[] = {
        {"everything fits", {1 << 20, 1 << 20, 2s}, false, true, 5},
        {"each format too large", {1 << 20, 1024, 2s}, false, false, 0},
        {"room for two formats in all", {qint64{10} * 1024, 1 << 20, 2s}, false, false, 2},
        {"an owner that never answers", {1 << 20, 1 << 20, 300ms}, true, false, 0},
    };
    auto connection = std::make_shared<WaylandConnection>(QStringLiteral("test-clipboard"));
    ASSERT_TRUE(connection->connect(sway.socket()));
    DataControlClipboard clipboard(connection);
    ASSERT_TRUE(clipboard.start());
    char fill = 'a';
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray text(4096, fill++);  // wl-copy offers it under five names; a new one each time
        auto copy = userCopies(text);
        if (c.ownerFrozen) copy->freeze();
        QElapsedTimer clock;
        clock.start();
        const PasteClipboard::Saved saved = clipboard.save(c.limits);
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_EQ(saved.complete, c.complete);
        EXPECT_EQ(saved.empty, c.formatsKept == 0);
        if (c.formatsKept > 0) {
            EXPECT_EQ(saved.plainText, QString::fromLatin1(text));
        }

        // What was kept is what comes back.
        const uint64_t ticket = clipboard.write(QStringLiteral("dictated"), std::nullopt);
        ASSERT_NE(ticket, 0u);
        if (c.formatsKept > 0) {
            ASSERT_TRUE(clipboard.giveBack(ticket));
            EXPECT_EQ(size_t(waylandClipboardTypes(sway.socket()).size()), c.formatsKept);
        } else {
            clipboard.forget();
        }
    }
}

}  // namespace

// The clipboard through XWayland's bridge, on Weston (which offers neither data-control nor a
// virtual keyboard): a native Wayland program reads what was written on the X side and back.
// Weston runs nested in the test desktop's X server: its headless back-end has no seat, and
// without a seat no clipboard crosses between clients.
#include "Platform/Wayland/WaylandPaster.h"
#include "Platform/Wayland/XWaylandClipboard.h"

#include "support/LogText.h"
#include "support/PrivateXServer.h"
#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class XWaylandBridgeDesktopTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(weston.start()) << weston.log().toStdString(); }

    std::optional<QByteArray> waylandText() { return waylandClipboard(weston.socket(), "text/plain;charset=utf-8"); }

    WestonCompositor weston{WestonCompositor::Output::NestedInX11};
};

TEST_F(XWaylandBridgeDesktopTest, TheBridgeCarriesTheTextAndTheUsersCopyBack) {
    WaylandCopy userCopy(weston.socket(), "user text");
    ASSERT_TRUE(waitUntil([&] { return waylandText() == "user text"; }));

    ScopedDisplay xwayland(weston.xDisplay());
    XWaylandClipboard clipboard;
    ASSERT_TRUE(clipboard.start());
    const PasteClipboard::Saved saved = clipboard.save({1 << 20, 1 << 20, 2s});
    EXPECT_TRUE(saved.complete);
    EXPECT_EQ(saved.plainText, "user text");  // read on the X side from a Wayland program

    const uint64_t ticket = clipboard.write(QStringLiteral("dictated wörds"), std::nullopt);
    ASSERT_NE(ticket, 0u);
    EXPECT_TRUE(waitUntil([&] { return waylandText() == QStringLiteral("dictated wörds").toUtf8(); }));
    EXPECT_TRUE(clipboard.owns(ticket));

    ASSERT_TRUE(clipboard.giveBack(ticket));
    EXPECT_TRUE(waitUntil([&] { return waylandText() == "user text"; }));
}

TEST_F(XWaylandBridgeDesktopTest, WithoutAWayToSendKeysTheTextStaysForAPasteByHand) {
    WaylandCopy userCopy(weston.socket(), "user text");
    ASSERT_TRUE(waitUntil([&] { return waylandText() == "user text"; }));
    const qsizetype mark = logMark();

    ScopedDisplay xwayland(weston.xDisplay());
    WaylandPaster paster(weston.socket());
    const WaylandPaster::Result result = paster.paste(QStringLiteral("dictated"));
    EXPECT_EQ(paster.clipboardWay(), "XWayland");
    EXPECT_FALSE(paster.canSendKeys());
    EXPECT_TRUE(result.outcome.clipboardWritten);
    EXPECT_FALSE(result.outcome.pasteSimulated);
    EXPECT_TRUE(result.outcome.hasPrivilegeIssues);
    EXPECT_FALSE(result.outcome.success);
    EXPECT_FALSE(result.scheduleRestore);
    EXPECT_TRUE(waitUntil([&] { return waylandText() == "dictated"; }));
    const QString log = loggedTextSince(mark);
    EXPECT_TRUE(log.contains("TextInserter: Wayland paste: clipboard through XWayland, keys through nothing"));
    EXPECT_TRUE(
        log.contains("TextInserter: The compositor offers no way to send the paste keys; the text stays on "
                     "the clipboard to paste by hand"));

    paster.restorePending();  // at shut-down: nothing waits to come back
    EXPECT_EQ(waylandText(), "dictated");
}

}  // namespace

// The hotkey source of a Wayland session, chosen against the fake portal: the portal when it binds
// push-to-talk, else the keyboard devices, else XWayland, with what is missing said plainly.
#include "Platform/Wayland/HotkeySourceChooser.h"

#include "support/AwaitTask.h"
#include "support/FakePortal.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Gap = HotkeySourceGap;

namespace {

const QList<HotkeyBinding> kBindings = {{HotkeyAction::activate, {Hotkey::rightOptionKeyCode, 0}},
                                        {HotkeyAction::cancel, {Hotkey::escapeKeyCode, 0}}};

constexpr EvdevAvailability kReadable{true, 2, 0}, kUnreadable{true, 0, 5}, kNoDevices{false, 0, 0};

struct ChoiceCase {
    const char* name;
    QStringList arguments;  // the fake portal's
    const char* bindMode;   // BindShortcuts' mode; empty: no portal at all
    EvdevAvailability evdev;
    bool xDisplay;
    HotkeySource expected;
    QList<Gap> gaps;
    const char* noticeMentions;  // empty: no notice
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class HotkeySourceChooserTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(HotkeySourceChooserTest, PicksTheBestSourceAndSaysWhatIsMissing) {
    const ChoiceCase& c = GetParam();
    FakePortal fake(c.arguments);
    if (*c.bindMode) {
        ASSERT_TRUE(fake.start());
        fake.setMode("BindShortcuts", c.bindMode);
    }
    PortalGlobalShortcuts portal;
    portal.setDeadlines({300ms, 300ms, 300ms});
    const HotkeySourceChoice choice =
        AwaitTask::run(HotkeySourceChooser::choose(portal, kBindings, {c.evdev, c.xDisplay}), 10s);
    EXPECT_EQ(choice.source, c.expected);
    EXPECT_EQ(choice.gaps, c.gaps);
    if (*c.noticeMentions) {
        EXPECT_TRUE(choice.notice().contains(QString::fromUtf8(c.noticeMentions))) << choice.notice().toStdString();
    } else {
        EXPECT_TRUE(choice.notice().isEmpty()) << choice.notice().toStdString();
    }
    // A portal passed over keeps no session whose shortcuts would fire beside the chosen source.
    if (c.expected != HotkeySource::portal) {
        EXPECT_NE(portal.state(), PortalGlobalShortcuts::State::active);
    }
    if (QByteArray(c.bindMode) == "bind-none") {
        EXPECT_TRUE(waitUntil([&] { return fake.log().contains("Session.Close"); }));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, HotkeySourceChooserTest,
    ::testing::Values(
        ChoiceCase{"PortalBinds", {}, "accept", kUnreadable, true, HotkeySource::portal, {}, ""},
        ChoiceCase{"NoPortalReadableKeyboards", {}, "", kReadable, true, HotkeySource::evdev, {Gap::noPortal}, ""},
        ChoiceCase{"PortalWithoutShortcuts",
                   {"--without=GlobalShortcuts"},
                   "accept",
                   kReadable,
                   false,
                   HotkeySource::evdev,
                   {Gap::noPortal},
                   ""},
        ChoiceCase{"RefusedThenXWayland",
                   {},
                   "refuse",
                   kUnreadable,
                   true,
                   HotkeySource::x11,
                   {Gap::portalRefused, Gap::keyboardsNotReadable},
                   "usermod -aG input"},
        ChoiceCase{"SilentPortalThenXWayland",
                   {},
                   "silent",
                   kNoDevices,
                   true,
                   HotkeySource::x11,
                   {Gap::portalBroken, Gap::noKeyboardDevices},
                   "only while an X11 (XWayland) window has the focus"},
        ChoiceCase{
            "PushToTalkNotBound", {}, "bind-none", kReadable, true, HotkeySource::evdev, {Gap::pushToTalkNotBound}, ""},
        ChoiceCase{"NothingAtAll",
                   {},
                   "",
                   kUnreadable,
                   false,
                   HotkeySource::none,
                   {Gap::noPortal, Gap::keyboardsNotReadable, Gap::noXDisplay},
                   "cannot hear the hotkey"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

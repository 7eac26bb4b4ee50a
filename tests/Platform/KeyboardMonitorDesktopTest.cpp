// The hotkey listener on the virtual desktop, with keys injected through XTest.
#include "Core/Input/KeyCodeTable.h"
#include "Models/VantroseSettings.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/X11/X11KeyInjector.h"

#include "support/FixtureApp.h"
#include "support/PrivateXServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#undef None
#undef Bool
#undef Status

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Recorder {
    explicit Recorder(KeyboardMonitor& m) {
        m.onPushToTalkDown = [this] { calls.push_back("down"); };
        m.onPushToTalkUp = [this] { calls.push_back("up"); };
        m.onLock = [this] { calls.push_back("lock"); };
        m.onKeyDown = [this](const KeyEvent& e) { keys.push_back(e); };
    }
    std::vector<std::string> calls;
    std::vector<KeyEvent> keys;
};

void tap(X11KeyInjector& keys, uint16_t keyCode) {
    keys.sendKey(KeyCodeTable::xKeycodeFor(keyCode), true);
    keys.sendKey(KeyCodeTable::xKeycodeFor(keyCode), false);
}

TEST(KeyboardMonitorDesktopTest, RightAltDrivesPushToTalkAndKeysReachOnKeyDown) {
    KeyboardMonitor monitor;
    Recorder rec(monitor);
    monitor.setHotkeyBindings({{HotkeyAction::activate, Hotkey{61, 0}}});
    ASSERT_TRUE(monitor.start());
    EXPECT_FALSE(monitor.usingFallbackMonitor());
    EXPECT_TRUE(monitor.start());  // already running: the same listener

    X11KeyInjector keys;
    // Right Alt alone, by keycode 108 (pressing the keysym Alt_R presses Left Alt too here).
    keys.sendKey(108, true);
    ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 1; }, 5s));
    keys.sendKey(108, false);
    ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 2; }, 5s));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"down", "up"}));

    tap(keys, 0);  // A
    ASSERT_TRUE(waitUntil([&] { return !rec.keys.empty(); }, 5s));
    EXPECT_EQ(rec.keys.front().keyCode, 0);
    EXPECT_EQ(rec.keys.front().characters, "a");
    EXPECT_FALSE(rec.keys.front().isRepeat);

    monitor.stop();
    EXPECT_FALSE(monitor.isRunning());
    tap(keys, 0);
    keys.sendKey(108, true);
    keys.sendKey(108, false);
    // A fresh listener proves the keys were delivered; the stopped one must have seen none.
    KeyboardMonitor witness;
    int seen = 0;
    witness.onKeyDown = [&](const KeyEvent&) { ++seen; };
    ASSERT_TRUE(witness.start());
    ASSERT_TRUE(waitUntil(
        [&] {
            tap(keys, 0);
            return seen > 0;
        },
        5s));
    EXPECT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.keys.size(), 1u);
}

TEST(KeyboardMonitorDesktopTest, ControlAltCombinationReleasesAfterTheDebounce) {
    KeyboardMonitor monitor;
    Recorder rec(monitor);
    monitor.setHotkeyBindings({{HotkeyAction::activate, Hotkey{59, Hotkey::optionFlag}}});
    ASSERT_TRUE(monitor.start());
    X11KeyInjector keys;
    const uint8_t ctrl = KeyCodeTable::xKeycodeFor(59), alt = KeyCodeTable::xKeycodeFor(58);

    keys.sendKey(ctrl, true);
    keys.sendKey(alt, true);
    ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 1; }, 5s));
    // A short break of the combination is absorbed by the debounce.
    keys.sendKey(alt, false);
    keys.sendKey(alt, true);
    keys.sendKey(alt, false);
    const auto released = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 2; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - released, 150ms);
    keys.sendKey(ctrl, false);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"down", "up"}));
}

// Another client holding the keyboard grab: an open menu or combo list, a screenshot tool, a VM.
class KeyboardGrab {
public:
    KeyboardGrab() : m_display(XOpenDisplay(nullptr)) {
        if (!m_display) return;
        m_status =
            XGrabKeyboard(m_display, DefaultRootWindow(m_display), False, GrabModeAsync, GrabModeAsync, CurrentTime);
        XSync(m_display, False);
    }
    ~KeyboardGrab() {
        if (!m_display) return;
        XUngrabKeyboard(m_display, CurrentTime);
        XCloseDisplay(m_display);
    }
    bool held() const { return m_display && m_status == GrabSuccess; }

private:
    Display* m_display;
    int m_status = -1;
};

TEST(KeyboardMonitorDesktopTest, PushToTalkIsReleasedWhileAnotherClientGrabsTheKeyboard) {
    KeyboardMonitor monitor;
    Recorder rec(monitor);
    monitor.setHotkeyBindings({{HotkeyAction::activate, Hotkey{61, 0}}});
    ASSERT_TRUE(monitor.start());
    X11KeyInjector keys;

    keys.sendKey(108, true);
    ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 1; }, 10s));
    {
        // The grab comes while the key is held, as when a menu opens during a dictation.
        KeyboardGrab grab;
        ASSERT_TRUE(grab.held());
        keys.sendKey(108, false);
        EXPECT_TRUE(waitUntil([&] { return rec.calls.size() == 2; }, 10s)) << "the release was lost";
        keys.sendKey(108, true);
        keys.sendKey(108, false);
        EXPECT_TRUE(waitUntil([&] { return rec.calls.size() == 4; }, 10s));
    }
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"down", "up", "down", "up"}));
    EXPECT_FALSE(monitor.isPushToTalkHeld());
}

// The X server going away (logout) while push-to-talk is held: no release can come any more, so
// the listener lets go itself, and the process is not ended from the listener's thread.
TEST(KeyboardMonitorDesktopTest, ALostServerReleasesPushToTalkAndEndsOnlyTheListener) {
    PrivateXServer server;
    ASSERT_TRUE(server.start());
    KeyboardMonitor monitor;
    Recorder rec(monitor);
    monitor.setHotkeyBindings({{HotkeyAction::activate, Hotkey{61, 0}}});
    {
        ScopedDisplay display(server.display());
        ASSERT_TRUE(monitor.start());
        X11KeyInjector keys;
        keys.sendKey(108, true);
        ASSERT_TRUE(waitUntil([&] { return rec.calls.size() == 1; }, 10s));
    }
    server.kill();
    EXPECT_TRUE(waitUntil([&] { return rec.calls.size() == 2; }, 20s));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"down", "up"}));
    EXPECT_FALSE(monitor.isPushToTalkHeld());
    monitor.stop();  // collects the ended listener
    EXPECT_FALSE(monitor.isRunning());
}

// Top-level windows on screen: the window manager's menu adds one.
int shownTopLevels() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return -1;
    ::Window root = 0, parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    int shown = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
                attributes.width > 1 && attributes.height > 1)
                ++shown;
        }
        XFree(children);
    }
    XCloseDisplay(display);
    return shown;
}

}  // namespace

TEST(KeyboardMonitorDesktopTest, TheHandsFreeDefaultReachesTheListenerWithoutOpeningTheWindowMenu) {
    FixtureApp field("HandsFreeField", "hands-free field");
    ASSERT_TRUE(field.start());
    ASSERT_TRUE(field.activate());
    KeyboardMonitor monitor;
    Recorder rec(monitor);
    monitor.setHotkeyBindings(VantroseSettings().hotkeys);
    X11KeyInjector keys;
    const uint8_t ctrl = KeyCodeTable::xKeycodeFor(59), alt = KeyCodeTable::xKeycodeFor(58);
    const uint8_t space = KeyCodeTable::xKeycodeFor(49);
    const int before = shownTopLevels();

    // The former default, Alt+Space, is the window manager's own: its window menu opens and
    // takes the keyboard, so what the user types next lands in the menu.
    ASSERT_TRUE(keys.pressKeys({alt}, space));
    ASSERT_TRUE(waitUntil([&] { return shownTopLevels() > before; }, 5s)) << "openbox opened no menu on Alt+Space";
    ASSERT_TRUE(keys.pressKeys({}, KeyCodeTable::xKeycodeFor(53)));  // Esc closes it
    ASSERT_TRUE(waitUntil([&] { return shownTopLevels() == before; }, 5s));
    ASSERT_TRUE(field.activate());
    ASSERT_TRUE(monitor.start());

    // The default reaches the listener, and the field keeps the keyboard: the next key lands in it.
    ASSERT_TRUE(keys.pressKeys({ctrl, alt}, space));
    ASSERT_TRUE(waitUntil([&] { return rec.calls == std::vector<std::string>{"lock"}; }, 5s));
    ASSERT_TRUE(keys.pressKeys({}, KeyCodeTable::xKeycodeFor(7)));  // X
    EXPECT_TRUE(field.waitForText(QStringLiteral("x")));
    EXPECT_EQ(shownTopLevels(), before);
}

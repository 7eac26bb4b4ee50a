// The hotkey listener on the virtual desktop, with keys injected through XTest.
#include "Platform/KeyboardMonitor.h"
#include "Platform/Linux/KeyCodeTable.h"
#include "Platform/Linux/X11KeyInjector.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

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
    ASSERT_TRUE(waitUntil([&] {
        tap(keys, 0);
        return seen > 0;
    }, 5s));
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

}  // namespace

// Matching runs on the key source's thread while the main thread changes the bindings and
// receives the callbacks.
#include "Platform/KeyboardMonitor.h"

#include "support/TestEnvironment.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(KeyboardMonitorThreadedTest, EventsFromAnotherThreadWhileBindingsChange) {
    KeyboardMonitor monitor;
    int downs = 0, ups = 0, cancels = 0, keys = 0;
    monitor.onPushToTalkDown = [&] { ++downs; };
    monitor.onPushToTalkUp = [&] { ++ups; };
    monitor.onDismiss = [&] { ++cancels; };
    monitor.onKeyDown = [&](const KeyEvent&) { ++keys; };
    const QList<HotkeyBinding> bindings{{HotkeyAction::activate, Hotkey{61, 0}}, {HotkeyAction::cancel, Hotkey{53, 0}}};
    monitor.setHotkeyBindings(bindings);
    monitor.startWithoutKeySource();

    constexpr int rounds = 2000;
    std::atomic<bool> done{false};
    std::thread source([&] {
        for (int i = 0; i < rounds; ++i) {
            monitor.handleEvent({KeySourceEvent::Type::FlagsChanged, 61, Hotkey::optionFlag, false, {}});
            monitor.handleEvent({KeySourceEvent::Type::FlagsChanged, 61, 0, false, {}});
            monitor.handleEvent({KeySourceEvent::Type::KeyDown, 53, 0, false, {}});
        }
        done = true;
    });
    // Each change makes the listener copy its configuration while the other thread matches.
    // (setHotkeyBindings() would do the same but also logs, and glibc's time-zone set-up behind
    // two threads logging at once is reported by ThreadSanitizer although glibc locks it.)
    while (!done) {
        monitor.setHotkey(Hotkey{61, 0});
        monitor.setPushToTalkKeyCode(61);
        QCoreApplication::processEvents();
    }
    source.join();
    EXPECT_TRUE(waitUntil([&] { return keys == rounds; }));
    EXPECT_EQ(downs, rounds);
    EXPECT_EQ(ups, rounds);
    EXPECT_EQ(cancels, rounds);
    EXPECT_FALSE(monitor.isPushToTalkHeld());
}

#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

typedef struct _XDisplay Display;  // NOLINT(bugprone-reserved-identifier): Xlib's own name

// Synthetic key presses through XTest on a connection of its own. Blocking (it holds keys for a
// few milliseconds): call it from a worker thread, never from the main thread.
class X11KeyInjector {
public:
    X11KeyInjector();
    ~X11KeyInjector();
    X11KeyInjector(const X11KeyInjector&) = delete;
    X11KeyInjector& operator=(const X11KeyInjector&) = delete;

    // Whether an X display with XTest is reachable.
    bool isAvailable();

    // The X keycode that produces a keysym in the current keymap; 0 when none does.
    uint8_t keycodeForKeysym(unsigned long keysym);

    // True while any key bound to a modifier (Shift, Control, Alt, Super, AltGr...), or any of
    // `keys`, is down.
    bool modifierKeyHeld(const std::vector<uint8_t>& keys = {});
    // Waits until no modifier key (and none of `keys`) is down or the bound passes; true when
    // they were released.
    bool waitForModifiersReleased(std::chrono::milliseconds bound, const std::vector<uint8_t>& keys = {});

    // Presses the modifiers in order, then the key, holds it for `hold`, releases all in reverse.
    // Keycodes of 0 are skipped. False when nothing could be sent.
    bool pressKeys(const std::vector<uint8_t>& modifiers, uint8_t key,
                   std::chrono::milliseconds hold = std::chrono::milliseconds(10));
    // Presses or releases one key (tests drive hotkeys with it).
    bool sendKey(uint8_t keycode, bool press);

private:
    bool ensureOpen();  // call with m_mutex held

    std::mutex m_mutex;
    Display* m_display = nullptr;
    bool m_triedOpen = false;
    bool m_haveXTest = false;
};

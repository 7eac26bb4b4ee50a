#include "Platform/X11/X11KeyInjector.h"

#include "Platform/X11/X11ConnectionGuard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <thread>

X11KeyInjector::X11KeyInjector() = default;

X11KeyInjector::~X11KeyInjector() {
    if (m_display) XCloseDisplay(m_display);
}

bool X11KeyInjector::ensureOpen() {
    if (!m_triedOpen) {
        m_triedOpen = true;
        X11ConnectionGuard::installHandlers();
        m_display = XOpenDisplay(nullptr);
        X11ConnectionGuard::keepProcessOnIOError(m_display);
        int event = 0, error = 0, major = 0, minor = 0;
        m_haveXTest = m_display && XTestQueryExtension(m_display, &event, &error, &major, &minor);
    }
    return m_display && m_haveXTest;
}

bool X11KeyInjector::isAvailable() {
    std::lock_guard lock(m_mutex);
    return ensureOpen();
}

uint8_t X11KeyInjector::keycodeForKeysym(unsigned long keysym) {
    std::lock_guard lock(m_mutex);
    if (!ensureOpen()) return 0;
    return XKeysymToKeycode(m_display, keysym);
}

bool X11KeyInjector::modifierKeyHeld(const std::vector<uint8_t>& keys) {
    std::lock_guard lock(m_mutex);
    if (!ensureOpen()) return false;
    char down[32] = {};
    XQueryKeymap(m_display, down);
    const auto isDown = [&down](unsigned kc) { return kc != 0 && (down[kc / 8] & (1 << (kc % 8))); };
    for (uint8_t kc : keys)
        if (isDown(kc)) return true;
    XModifierKeymap* map = XGetModifierMapping(m_display);
    if (!map) return false;
    bool held = false;
    for (int i = 0; i < 8 * map->max_keypermod && !held; ++i) held = isDown(map->modifiermap[i]);
    XFreeModifiermap(map);
    return held;
}

bool X11KeyInjector::waitForModifiersReleased(std::chrono::milliseconds bound, const std::vector<uint8_t>& keys) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (modifierKeyHeld(keys)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool X11KeyInjector::sendKey(uint8_t keycode, bool press) {
    std::lock_guard lock(m_mutex);
    if (!ensureOpen() || keycode == 0) return false;
    const bool ok = XTestFakeKeyEvent(m_display, keycode, press ? True : False, CurrentTime);
    XSync(m_display, False);
    return ok;
}

bool X11KeyInjector::pressKeys(const std::vector<uint8_t>& modifiers, uint8_t key, std::chrono::milliseconds hold) {
    std::lock_guard lock(m_mutex);
    if (!ensureOpen() || key == 0) return false;
    bool ok = true;
    for (uint8_t m : modifiers)
        if (m) ok = XTestFakeKeyEvent(m_display, m, True, CurrentTime) && ok;
    ok = XTestFakeKeyEvent(m_display, key, True, CurrentTime) && ok;
    XSync(m_display, False);
    std::this_thread::sleep_for(hold);
    ok = XTestFakeKeyEvent(m_display, key, False, CurrentTime) && ok;
    // Reversed by hand: clang 14 cannot compile std::views::reverse over libstdc++ 12.
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)  // NOLINT(modernize-loop-convert)
        if (*it) ok = XTestFakeKeyEvent(m_display, *it, False, CurrentTime) && ok;
    XSync(m_display, False);
    return ok;
}

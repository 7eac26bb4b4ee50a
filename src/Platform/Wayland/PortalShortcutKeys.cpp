#include "Platform/Wayland/PortalShortcutKeys.h"

#include "Platform/KeyboardMonitor.h"

#include <algorithm>

namespace {

// The key that stands for each modifier flag when a binding names the flag but not the key.
constexpr std::pair<uint64_t, uint16_t> kModifierKeys[] = {
    {Hotkey::controlFlag, 59},   // Left Control
    {Hotkey::optionFlag, 58},    // Left Option (Alt)
    {Hotkey::shiftFlag, 56},     // Left Shift
    {Hotkey::commandFlag, 55},   // Left Command (Super)
    {Hotkey::functionFlag, 63},  // Fn
};

}  // namespace

PortalShortcutKeys::PortalShortcutKeys(Handler handler) : m_handler(std::move(handler)) {}

void PortalShortcutKeys::setBindings(const QList<HotkeyBinding>& bindings) {
    releaseAll();
    m_bindings = KeyboardMonitor::effectiveBindings(bindings);
}

bool PortalShortcutKeys::isActive(HotkeyAction action) const {
    return std::find(m_active.begin(), m_active.end(), action) != m_active.end();
}

std::vector<uint16_t> PortalShortcutKeys::keysOf(HotkeyAction action) const {
    std::vector<uint16_t> keys;
    for (const HotkeyBinding& binding : m_bindings) {
        if (binding.action != action) continue;
        const Hotkey& hotkey = binding.hotkey;
        const uint64_t own = hotkey.primaryModifierFlag();
        for (const auto& [flag, key] : kModifierKeys)
            if ((hotkey.modifiers & flag) && !(own & flag)) keys.push_back(key);
        keys.push_back(hotkey.keyCode);
        break;
    }
    return keys;
}

uint64_t PortalShortcutKeys::heldFlags() const {
    uint64_t flags = 0;
    for (const auto& [key, count] : m_held) flags |= Hotkey::modifierFlag(key);
    return flags & ~Hotkey::capsLockFlag;  // Caps Lock is a lock state, not a key held
}

void PortalShortcutKeys::press(uint16_t keyCode, bool repeat) {
    const bool modifier = Hotkey::modifierKeyCodes().contains(keyCode);
    int& count = m_held[keyCode];
    if (!repeat) ++count;
    const bool first = count == 1 && !repeat;
    if (modifier && !first) return;  // a modifier reports changes of state only
    KeySourceEvent event;
    event.keyCode = keyCode;
    event.flags = heldFlags();
    event.type = modifier ? KeySourceEvent::Type::FlagsChanged : KeySourceEvent::Type::KeyDown;
    event.isRepeat = !modifier && !first;
    m_handler(event);
}

void PortalShortcutKeys::release(uint16_t keyCode) {
    auto it = m_held.find(keyCode);
    if (it == m_held.end()) return;
    if (--it->second > 0) return;  // another active shortcut still holds it
    m_held.erase(it);
    const bool modifier = Hotkey::modifierKeyCodes().contains(keyCode);
    KeySourceEvent event;
    event.keyCode = keyCode;
    event.flags = heldFlags();
    event.type = modifier ? KeySourceEvent::Type::FlagsChanged : KeySourceEvent::Type::KeyUp;
    m_handler(event);
}

void PortalShortcutKeys::activated(HotkeyAction action) {
    const std::vector<uint16_t> keys = keysOf(action);
    if (keys.empty()) return;
    if (isActive(action)) {
        press(keys.back(), true);
        return;
    }
    m_active.push_back(action);
    for (uint16_t key : keys) press(key, false);
}

void PortalShortcutKeys::deactivated(HotkeyAction action) {
    const auto it = std::find(m_active.begin(), m_active.end(), action);
    if (it == m_active.end()) return;
    m_active.erase(it);
    std::vector<uint16_t> keys = keysOf(action);
    std::reverse(keys.begin(), keys.end());  // the key first, then its modifiers
    for (uint16_t key : keys) release(key);
}

void PortalShortcutKeys::releaseAll() {
    while (!m_active.empty()) deactivated(m_active.back());
}

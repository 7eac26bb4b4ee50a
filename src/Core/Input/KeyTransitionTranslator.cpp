#include "Core/Input/KeyTransitionTranslator.h"

#include "Core/Input/KeyCodeTable.h"
#include "Models/Hotkey.h"

namespace {
constexpr uint16_t kCapsLockKey = 57;
}

uint64_t KeyTransitionTranslator::heldFlags(bool capsLocked) const {
    uint64_t flags = capsLocked ? Hotkey::capsLockFlag : 0;
    for (int x = 0; x < 256; ++x) {
        if (!m_down.test(x)) continue;
        const uint16_t code = KeyCodeTable::keyCodeForX(static_cast<uint8_t>(x));
        if (code != kCapsLockKey) flags |= Hotkey::modifierFlag(code);
    }
    return flags;
}

std::optional<KeySourceEvent> KeyTransitionTranslator::translate(uint8_t xKeycode, bool pressed, bool capsLocked) {
    const uint16_t code = KeyCodeTable::keyCodeForX(xKeycode);
    const bool wasDown = m_down.test(xKeycode);
    m_down.set(xKeycode, pressed);

    KeySourceEvent ev;
    ev.keyCode = code;
    ev.flags = heldFlags(capsLocked);
    if (code != KeyCodeTable::kUnmapped && Hotkey::modifierKeyCodes().contains(code)) {
        // Modifiers report state changes only; Caps Lock changes state on its press.
        if (pressed && wasDown) return std::nullopt;
        if (code == kCapsLockKey && !pressed) return std::nullopt;
        ev.type = KeySourceEvent::Type::FlagsChanged;
        return ev;
    }
    ev.type = pressed ? KeySourceEvent::Type::KeyDown : KeySourceEvent::Type::KeyUp;
    ev.isRepeat = pressed && wasDown;
    return ev;
}

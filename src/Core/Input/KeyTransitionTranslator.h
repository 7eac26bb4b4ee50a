#pragma once

#include "Core/Input/KeySourceEvent.h"

#include <bitset>
#include <cstdint>
#include <optional>

// Turns raw X key transitions into key-down / key-up / flags-changed events. Modifier bits come
// from the keys held, never from X modifier masks: Right Alt is often AltGr (Mod5), and raw
// events carry no mask at all.
class KeyTransitionTranslator {
public:
    // capsLocked: whether Caps Lock is locked after this transition.
    // Nothing for a repeated press of a modifier key or a Caps Lock release.
    std::optional<KeySourceEvent> translate(uint8_t xKeycode, bool pressed, bool capsLocked);

    uint64_t heldFlags(bool capsLocked) const;
    bool isDown(uint8_t xKeycode) const { return m_down.test(xKeycode); }
    void reset() { m_down.reset(); }

private:
    std::bitset<256> m_down;
};

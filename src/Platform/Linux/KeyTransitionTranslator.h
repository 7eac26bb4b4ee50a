#pragma once

#include <QString>

#include <bitset>
#include <cstdint>
#include <optional>

// One keyboard event in the settings' numbering, as the hotkey matching consumes it.
struct KeySourceEvent {
    enum class Type { KeyDown, KeyUp, FlagsChanged };
    Type type = Type::KeyDown;
    uint16_t keyCode = 0;
    uint64_t flags = 0;       // modifier bits after the event, from the keys physically held
    bool isRepeat = false;    // key-down of a key that is already down
    QString characters;       // key-down only: the text the key produces (filled by the key source)
};

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

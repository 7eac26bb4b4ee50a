#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// The keyboard layout as xkbcommon's defaults describe it (XKB_DEFAULT_LAYOUT and its siblings,
// "us" when they are unset). A program that reads keys below the compositor has no other: the
// layout the compositor applies is not published to it.
namespace DefaultKeymap {

// The keysym the key at this X keycode produces on its first level; 0 when it produces none or no
// keymap could be compiled.
uint32_t keysym(uint8_t xKeycode);
// The keysym's name ("a", "space", "Alt_R"); empty for 0.
QString keysymName(uint32_t keysym);
// The character the keysym types (Escape and Return count); 0 when it types none.
char32_t keysymCharacter(uint32_t keysym);

}  // namespace DefaultKeymap

// Follows the keys held on the default keymap to give the text each key-down types, as the X key
// source does with the server's keymap.
class KeymapState {
public:
    KeymapState();
    ~KeymapState();
    KeymapState(const KeymapState&) = delete;
    KeymapState& operator=(const KeymapState&) = delete;

    // The text a press types (empty for a release and for keys that type nothing); the state then
    // takes the transition. A repeat types again and leaves the state as it is.
    QString transition(uint8_t xKeycode, bool pressed, bool repeat);
    // Whether Caps Lock is locked now.
    bool capsLocked() const;
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

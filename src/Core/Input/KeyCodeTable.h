#pragma once

#include <cstdint>

// Settings store key codes and modifier bits in the macOS numbering (settings sync across
// platforms). This table maps them to X keycodes by physical key position on the evdev layout,
// which is what Xorg (evdev/libinput), Xwayland and Xvfb use.
// Plain data with no X library behind it, so the views' hotkey recorder shares it with the
// X11 key source.
namespace KeyCodeTable {

// A key with no counterpart in the settings' numbering (Print, Pause, ...).
inline constexpr uint16_t kUnmapped = 0xFFFF;

// The X keycode at the key's position, 0 when the key has none (Fn never reaches X).
uint8_t xKeycodeFor(uint16_t keyCode);
// The settings key code of an X keycode; kUnmapped when it has none.
uint16_t keyCodeForX(uint8_t xKeycode);

}  // namespace KeyCodeTable

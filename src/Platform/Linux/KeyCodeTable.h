#pragma once

#include <cstdint>

// Settings store key codes and modifier bits in the macOS numbering (settings sync across
// platforms). This table maps them to X keycodes by physical key position on the evdev layout,
// which is what Xorg (evdev/libinput), Xwayland and Xvfb use.
namespace KeyCodeTable {

// A key with no counterpart in the settings' numbering (Print, Pause, ...).
inline constexpr uint16_t kUnmapped = 0xFFFF;

// Modifier-flag bits as stored in settings.
inline constexpr uint64_t kCapsLockFlag = 0x10000;
inline constexpr uint64_t kShiftFlag = 0x20000;
inline constexpr uint64_t kControlFlag = 0x40000;
inline constexpr uint64_t kOptionFlag = 0x80000;
inline constexpr uint64_t kCommandFlag = 0x100000;
inline constexpr uint64_t kFnFlag = 0x800000;

// The X keycode at the key's position, 0 when the key has none (Fn never reaches X).
uint8_t xKeycodeFor(uint16_t keyCode);
// The settings key code of an X keycode; kUnmapped when it has none.
uint16_t keyCodeForX(uint8_t xKeycode);

// True for the ten modifier keys 54..63 (both sides of command, shift, option, control; caps lock; Fn).
bool isModifierKey(uint16_t keyCode);
// The flag a modifier key contributes while held (caps lock: while locked); 0 for other keys.
uint64_t modifierFlagFor(uint16_t keyCode);

}  // namespace KeyCodeTable

#pragma once

#include "Models/Hotkey.h"

#include <QString>

#include <optional>

// The trigger a hotkey proposes to the desktop's shortcuts portal, written as the freedesktop
// shortcuts format has it: the modifiers CTRL, ALT, SHIFT and LOGO, then the key's keysym name,
// joined by "+" ("CTRL+LOGO+v", "ALT+space", "Alt_R").
namespace ShortcutTrigger {

// Nothing when the hotkey cannot be written that way (Fn, a key without a keysym) and for a
// typing key without a modifier (Escape, Space, a letter): the desktop takes a bound trigger away
// from every other program, where the X11 listener only hears it. The user then picks a trigger
// in the desktop's own dialog.
std::optional<QString> preferredTrigger(const Hotkey& hotkey);

}  // namespace ShortcutTrigger

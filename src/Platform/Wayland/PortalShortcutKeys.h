#pragma once

#include "Core/Input/KeySourceEvent.h"
#include "Models/Hotkey.h"

#include <QList>

#include <functional>
#include <map>
#include <vector>

// Turns the shortcuts portal's Activated and Deactivated into the key events the X11 listener
// would have heard for the same binding: its modifiers go down one by one, then its key; on
// deactivation the key comes up, then the modifiers in reverse. Flags are those of the keys held
// by every active shortcut together, so the hotkey matching sees one keyboard whatever the source.
// Not thread-safe: call it from one thread (the portal client's, the main thread).
class PortalShortcutKeys {
public:
    using Handler = std::function<void(const KeySourceEvent&)>;

    explicit PortalShortcutKeys(Handler handler);

    // The first binding of each action counts, as in the hotkey matching. Releases whatever the
    // old bindings held.
    void setBindings(const QList<HotkeyBinding>& bindings);

    // A shortcut went active: its keys go down. Active again without a deactivation (the
    // portal's key repeat): the key repeats, as a held key does.
    void activated(HotkeyAction action);
    // The shortcut went inactive: its keys come up. Nothing for a shortcut that is not active.
    void deactivated(HotkeyAction action);
    // The session ended (closed, the portal went away, the program stops): every active shortcut
    // is let go, so a held push-to-talk never stays down for want of a Deactivated.
    void releaseAll();

    bool isActive(HotkeyAction action) const;

private:
    std::vector<uint16_t> keysOf(HotkeyAction action) const;  // modifiers first, the key last
    void press(uint16_t keyCode, bool repeat);
    void release(uint16_t keyCode);
    uint64_t heldFlags() const;

    Handler m_handler;
    QList<HotkeyBinding> m_bindings;
    std::vector<HotkeyAction> m_active;  // in activation order
    std::map<uint16_t, int> m_held;      // key code -> how many active shortcuts hold it
};

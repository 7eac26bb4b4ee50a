#pragma once

#include "Platform/Wayland/PasteChord.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class WaylandConnection;

// Synthetic keys through the compositor's virtual keyboard (zwp_virtual_keyboard_manager_v1,
// offered by wlroots compositors such as Sway). The keyboard carries a keymap of its own, a US
// layout, so the chord means Ctrl+V whatever the user's layout; the compositor hands that keymap
// to the focused client with the keys and goes back to the user's keyboard at its next key.
// Modifier state is sent with the keys, so modifiers the user still holds do not mix in.
class WaylandVirtualKeyboard final : public PasteChord {
public:
    explicit WaylandVirtualKeyboard(std::shared_ptr<WaylandConnection> connection);
    ~WaylandVirtualKeyboard() override;
    WaylandVirtualKeyboard(const WaylandVirtualKeyboard&) = delete;
    WaylandVirtualKeyboard& operator=(const WaylandVirtualKeyboard&) = delete;

    // Whether the compositor offers a virtual keyboard and a seat for it (made on first use).
    bool isAvailable() override;
    bool sendPaste(bool terminal) override;

    // Presses the modifier keys in order, then `key` (xkb keysyms), holds it for `hold` and
    // releases all in reverse. False when nothing could be sent or a keysym has no key.
    bool pressKeys(const std::vector<uint32_t>& modifiers, uint32_t key,
                   std::chrono::milliseconds hold = std::chrono::milliseconds(10));

private:
    struct Impl;
    std::shared_ptr<WaylandConnection> m_connection;
    std::unique_ptr<Impl> m_impl;  // lives on the connection's thread
};

#include "Platform/Wayland/WaylandVirtualKeyboard.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/WaylandConnection.h"

#include <virtual-keyboard-unstable-v1-client-protocol.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The keymap every chord is read with: the same on every desktop, so V is where it is expected.
constexpr xkb_rule_names kKeymapNames{"evdev", "pc105", "us", "", ""};

// xkb numbers keys 8 above the evdev codes the protocol carries.
constexpr uint32_t kXkbKeycodeOffset = 8;

uint32_t timestampMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

struct WaylandVirtualKeyboard::Impl {
    WaylandConnection& connection;
    bool tried = false;
    bool ready = false;
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* manager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;

    explicit Impl(WaylandConnection& c) : connection(c) {}

    ~Impl() {
        if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
        if (manager) zwp_virtual_keyboard_manager_v1_destroy(manager);
        if (seat) wl_seat_destroy(seat);
        if (state) xkb_state_unref(state);
        if (keymap) xkb_keymap_unref(keymap);
        if (context) xkb_context_unref(context);
        if (keyboard || manager || seat) connection.flush();
    }

    // On the connection's thread: the keyboard, made and given its keymap once.
    bool ensureKeyboard() {
        if (tried) return ready && connection.isConnected();
        tried = true;
        if (!connection.isConnected()) return false;
        manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            connection.bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
        seat = static_cast<wl_seat*>(connection.bind(&wl_seat_interface, 1));
        if (!manager || !seat) {
            VLOG_INFO(lcWayland) << (manager ? "The compositor offers no seat for a virtual keyboard"
                                             : "The compositor offers no virtual keyboard");
            return false;
        }
        context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
        keymap = context ? xkb_keymap_new_from_names(context, &kKeymapNames, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
        state = keymap ? xkb_state_new(keymap) : nullptr;
        if (!state) {
            VLOG_WARNING(lcWayland) << "Could not build the virtual keyboard's keymap";
            return false;
        }
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat);
        if (!uploadKeymap()) return false;
        // A compositor that refuses the keyboard ends the connection here, with a protocol error.
        if (!connection.roundtrip()) {
            VLOG_WARNING(lcWayland) << "The compositor did not accept the virtual keyboard";
            return false;
        }
        ready = true;
        return true;
    }

    bool uploadKeymap() {
        char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        if (!text) return false;
        const size_t size = std::strlen(text) + 1;  // the compositor reads it as a C string
        const int fd = memfd_create("vantrose-keymap", MFD_CLOEXEC);
        bool ok = fd >= 0 && ftruncate(fd, off_t(size)) == 0;
        void* map = ok ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
        ok = map != MAP_FAILED;
        if (ok) {
            std::memcpy(map, text, size);
            munmap(map, size);
            zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, uint32_t(size));
        }
        if (fd >= 0) ::close(fd);  // the request carries a duplicate
        std::free(text);
        return ok;
    }

    // The keycode whose first level on the first layout gives `keysym`; 0 when none does.
    xkb_keycode_t keycodeFor(xkb_keysym_t keysym) const {
        const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= last; ++code) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
            for (int i = 0; i < count; ++i)
                if (syms[i] == keysym) return code;
        }
        return 0;
    }

    void sendKey(xkb_keycode_t code, bool press) {
        zwp_virtual_keyboard_v1_key(keyboard, timestampMs(), code - kXkbKeycodeOffset,
                                    press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        xkb_state_update_key(state, code, press ? XKB_KEY_DOWN : XKB_KEY_UP);
    }

    // The modifier state our keys make, as the focused client must see it.
    void sendModifiers() {
        zwp_virtual_keyboard_v1_modifiers(keyboard, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                                          xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                                          xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                                          xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
    }
};

WaylandVirtualKeyboard::WaylandVirtualKeyboard(std::shared_ptr<WaylandConnection> connection)
    : m_connection(std::move(connection)),
      m_impl(std::make_unique<Impl>(*m_connection)) {}

WaylandVirtualKeyboard::~WaylandVirtualKeyboard() {
    m_connection->call([this] { m_impl.reset(); });
}

bool WaylandVirtualKeyboard::isAvailable() {
    return m_connection->call([this] { return m_impl->ensureKeyboard(); });
}

bool WaylandVirtualKeyboard::sendPaste(bool terminal) {
    std::vector<uint32_t> modifiers{XKB_KEY_Control_L};
    if (terminal) modifiers.push_back(XKB_KEY_Shift_L);
    return pressKeys(modifiers, XKB_KEY_v);
}

bool WaylandVirtualKeyboard::pressKeys(const std::vector<uint32_t>& modifiers, uint32_t key,
                                       std::chrono::milliseconds hold) {
    std::vector<xkb_keycode_t> modifierCodes;
    xkb_keycode_t keyCode = 0;
    const bool pressed = m_connection->call([&] {
        Impl& k = *m_impl;
        if (!k.ensureKeyboard()) return false;
        for (uint32_t sym : modifiers) modifierCodes.push_back(k.keycodeFor(sym));
        keyCode = k.keycodeFor(key);
        if (keyCode == 0 || std::count(modifierCodes.begin(), modifierCodes.end(), 0u) > 0) return false;
        for (xkb_keycode_t code : modifierCodes) k.sendKey(code, true);
        k.sendModifiers();
        k.sendKey(keyCode, true);
        return k.connection.flush();
    });
    if (!pressed) return false;
    // Held on this thread, so the connection's thread goes on serving events meanwhile.
    std::this_thread::sleep_for(hold);
    return m_connection->call([&] {
        Impl& k = *m_impl;
        k.sendKey(keyCode, false);
        for (auto it = modifierCodes.rbegin(); it != modifierCodes.rend(); ++it)  // NOLINT(modernize-loop-convert)
            k.sendKey(*it, false);
        k.sendModifiers();
        // The compositor has handed the keys on once it answers.
        return k.connection.roundtrip();
    });
}

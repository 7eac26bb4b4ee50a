#include "Platform/Linux/DefaultKeymap.h"

#include <xkbcommon/xkbcommon.h>

namespace {

// Compiled once and kept for the process's life; only read afterwards.
xkb_keymap* defaultKeymap() {
    static xkb_keymap* const keymap = [] {
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (!context) return static_cast<xkb_keymap*>(nullptr);
        xkb_keymap* map = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
        xkb_context_unref(context);  // the keymap keeps what it needs
        return map;
    }();
    return keymap;
}

}  // namespace

namespace DefaultKeymap {

uint32_t keysym(uint8_t xKeycode) {
    xkb_keymap* keymap = defaultKeymap();
    if (!keymap || xKeycode < 8) return 0;
    const xkb_keysym_t* syms = nullptr;
    const int n = xkb_keymap_key_get_syms_by_level(keymap, xKeycode, 0, 0, &syms);
    return n > 0 ? syms[0] : 0;
}

QString keysymName(uint32_t keysym) {
    if (keysym == 0) return {};
    char name[64];
    const int n = xkb_keysym_get_name(keysym, name, sizeof name);
    if (n <= 0 || n >= int(sizeof name)) return {};
    return QString::fromLatin1(name, n);
}

char32_t keysymCharacter(uint32_t keysym) { return keysym ? xkb_keysym_to_utf32(keysym) : 0; }

}  // namespace DefaultKeymap

struct KeymapState::Impl {
    xkb_state* state = nullptr;
};

KeymapState::KeymapState() : m_impl(std::make_unique<Impl>()) { reset(); }

KeymapState::~KeymapState() {
    if (m_impl->state) xkb_state_unref(m_impl->state);
}

void KeymapState::reset() {
    if (m_impl->state) xkb_state_unref(m_impl->state);
    xkb_keymap* keymap = defaultKeymap();
    m_impl->state = keymap ? xkb_state_new(keymap) : nullptr;
}

QString KeymapState::transition(uint8_t xKeycode, bool pressed, bool repeat) {
    if (!m_impl->state || xKeycode < 8) return {};
    QString text;
    if (pressed) {
        char buf[64];
        const int n = xkb_state_key_get_utf8(m_impl->state, xKeycode, buf, sizeof buf);
        if (n > 0 && n < int(sizeof buf)) text = QString::fromUtf8(buf, n).left(16);
    }
    if (!repeat) xkb_state_update_key(m_impl->state, xKeycode, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    return text;
}

bool KeymapState::capsLocked() const {
    return m_impl->state && xkb_state_mod_name_is_active(m_impl->state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
}

#pragma once

#include "Models/JsonCoding.h"
#include "Models/RawValue.h"

#include <QSet>
#include <QString>

#include <cstdint>

// One key and the modifier flags that must go with it. Key codes and modifier bits are the
// macOS virtual key codes and event flags on every platform, so a settings file moves between
// machines unchanged; the Linux key layer maps them to X keycodes by physical position.
struct Hotkey {
    static constexpr quint64 capsLockFlag = 0x10000;
    static constexpr quint64 shiftFlag = 0x20000;
    static constexpr quint64 controlFlag = 0x40000;
    static constexpr quint64 optionFlag = 0x80000;
    static constexpr quint64 commandFlag = 0x100000;
    static constexpr quint64 functionFlag = 0x800000;

    static constexpr quint16 rightOptionKeyCode = 61;  // Right Alt on a PC keyboard
    static constexpr quint16 escapeKeyCode = 53;

    quint16 keyCode = 0;
    quint64 modifiers = 0;  // other bits than the six above may be present; equality keeps them

    // The ten modifier keys, key codes 54 to 63.
    static const QSet<quint16>& modifierKeyCodes();
    // The flag a modifier key produces; 0 for every other key.
    static quint64 modifierFlag(quint16 keyCode);
    // The flag this hotkey's own key produces; 0 when it is no modifier key.
    quint64 primaryModifierFlag() const { return modifierFlag(keyCode); }

    // The label of one key as a PC keyboard names it, e.g. "A", "Space", "Right Alt", "Esc", "F5";
    // "Key <code>" for keys without one.
    static QString keyName(quint16 keyCode);
    // The whole combination as shown to the user and written to the log, e.g. "Ctrl+Super+V".
    QString displayName() const;

    bool operator==(const Hotkey&) const = default;

    QJsonObject toJson() const;
    static JsonResult<Hotkey> fromJson(const QJsonValue& json, const QString& path = {});
};

inline size_t qHash(const Hotkey& hotkey, size_t seed = 0) noexcept {
    return qHashMulti(seed, hotkey.keyCode, hotkey.modifiers);
}

enum class HotkeyAction {
    activate,             // push-to-talk: record while the key is held
    lock,                 // hands-free: start or end a recording without holding a key
    pasteLastTranscript,  // paste the last transcript again
    cancel,               // cancel the recording under way
};

template <>
struct RawValueTable<HotkeyAction> {
    static constexpr std::pair<HotkeyAction, const char*> cases[] = {
        {HotkeyAction::activate, "activate"},
        {HotkeyAction::lock, "lock"},
        {HotkeyAction::pasteLastTranscript, "paste_last_transcript"},
        {HotkeyAction::cancel, "cancel"},
    };
};

struct HotkeyBinding {
    HotkeyAction action = HotkeyAction::activate;
    Hotkey hotkey;

    // Identity in lists: "<action raw value>_<key code>_<modifier bits>", e.g. "activate_61_0".
    QString id() const;

    bool operator==(const HotkeyBinding&) const = default;

    QJsonObject toJson() const;
    static JsonResult<HotkeyBinding> fromJson(const QJsonValue& json, const QString& path = {});
};

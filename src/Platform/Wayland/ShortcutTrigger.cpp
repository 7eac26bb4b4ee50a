#include "Platform/Wayland/ShortcutTrigger.h"

#include "Core/Input/KeyCodeTable.h"
#include "Platform/Linux/DefaultKeymap.h"

#include <QStringList>

namespace {

constexpr std::pair<quint64, const char*> kModifierTokens[] = {
    {Hotkey::controlFlag, "CTRL"},
    {Hotkey::optionFlag, "ALT"},
    {Hotkey::shiftFlag, "SHIFT"},
    {Hotkey::commandFlag, "LOGO"},
};

// Keys that type or move the caret: taken alone, they belong to the programs.
bool isTypingKey(uint32_t keysym) {
    constexpr uint32_t kHome = 0xff50, kInsert = 0xff63;
    return DefaultKeymap::keysymCharacter(keysym) != 0 || (keysym >= kHome && keysym <= kInsert);
}

}  // namespace

namespace ShortcutTrigger {

std::optional<QString> preferredTrigger(const Hotkey& hotkey) {
    if (hotkey.modifiers & Hotkey::functionFlag) return std::nullopt;  // Fn never reaches the desktop
    const uint8_t xKeycode = KeyCodeTable::xKeycodeFor(hotkey.keyCode);
    const uint32_t keysym = xKeycode ? DefaultKeymap::keysym(xKeycode) : 0;
    const QString name = DefaultKeymap::keysymName(keysym);
    if (name.isEmpty()) return std::nullopt;

    const quint64 modifiers = hotkey.modifiers & ~hotkey.primaryModifierFlag();
    QStringList parts;
    for (const auto& [flag, token] : kModifierTokens)
        if (modifiers & flag) parts << QLatin1String(token);
    if (parts.isEmpty() && hotkey.primaryModifierFlag() == 0 && isTypingKey(keysym)) return std::nullopt;
    parts << name;
    return parts.join(u'+');
}

}  // namespace ShortcutTrigger

#include "Models/Hotkey.h"

#include <QHash>
#include <QStringList>

namespace {

struct KeyRun {
    quint16 firstCode;
    std::initializer_list<const char*> labels;  // consecutive codes from firstCode
};

QHash<quint16, QString> buildKeyNames() {
    QHash<quint16, QString> names;
    const KeyRun runs[] = {
        {0, {"A", "S", "D", "F", "H", "G", "Z", "X", "C", "V"}},
        {11, {"B", "Q", "W", "E", "R", "Y", "T"}},
        {18, {"1", "2", "3", "4", "6", "5", "=", "9", "7", "-", "8", "0"}},
        {30, {"]", "O", "U", "[", "I", "P"}},
        {36, {"Enter"}},
        {37, {"L", "J", "'", "K", ";", "\\", ",", "/", "N", "M", "."}},
        {48, {"Tab", "Space", "`", "Backspace"}},
        // Command is the Super key and Option the Alt key of a PC keyboard.
        {53,
         {"Esc", "Right Super", "Left Super", "Left Shift", "Caps Lock", "Left Alt", "Left Ctrl", "Right Shift",
          "Right Alt", "Right Ctrl", "Fn"}},
        {76, {"Keypad Enter"}},
        {114, {"Insert", "Home", "Page Up", "Delete"}},
        {119, {"End"}},
        {121, {"Page Down"}},
        {123, {"Left", "Right", "Down", "Up"}},
    };
    for (const KeyRun& run : runs) {
        quint16 code = run.firstCode;
        for (const char* label : run.labels) names.insert(code++, QString::fromUtf8(label));
    }
    // Function keys sit at scattered codes, F1 first.
    const quint16 functionKeys[] = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111, 105, 107, 113};
    for (int i = 0; i < int(std::size(functionKeys)); ++i)
        names.insert(functionKeys[i], QStringLiteral("F%1").arg(i + 1));
    return names;
}

// Modifier flags that are named in a combination, in the order they are shown. The stored bits
// keep the macOS meaning (settings sync across platforms); the names are the PC keyboard's.
struct ModifierName {
    quint64 flag;
    const char* text;
};
constexpr ModifierName kModifierNames[] = {
    {Hotkey::controlFlag, "Ctrl"},
    {Hotkey::optionFlag, "Alt"},
    {Hotkey::shiftFlag, "Shift"},
    {Hotkey::commandFlag, "Super"},
};

constexpr quint64 kNamedFlagsMask = Hotkey::shiftFlag | Hotkey::controlFlag | Hotkey::optionFlag | Hotkey::commandFlag;

}  // namespace

const QSet<quint16>& Hotkey::modifierKeyCodes() {
    static const QSet<quint16> codes{54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    return codes;
}

quint64 Hotkey::modifierFlag(quint16 keyCode) {
    switch (keyCode) {
    case 54:  // Right Command
    case 55:  // Left Command
        return commandFlag;
    case 56:  // Left Shift
    case 60:  // Right Shift
        return shiftFlag;
    case 57:  // Caps Lock
        return capsLockFlag;
    case 58:  // Left Option
    case 61:  // Right Option
        return optionFlag;
    case 59:  // Left Control
    case 62:  // Right Control
        return controlFlag;
    case 63:  // Fn
        return functionFlag;
    default: return 0;
    }
}

QString Hotkey::keyName(quint16 keyCode) {
    static const QHash<quint16, QString> names = buildKeyNames();
    const auto it = names.constFind(keyCode);
    return it != names.cend() ? *it : QStringLiteral("Key %1").arg(keyCode);
}

QString Hotkey::displayName() const {
    QStringList parts;
    for (const ModifierName& modifier : kModifierNames) {
        if (modifiers & modifier.flag) parts.append(QString::fromUtf8(modifier.text));
    }
    // A modifier key whose own flag is among the named ones is already shown by that name.
    const bool keyIsShownByModifier = modifiers != 0 && modifierKeyCodes().contains(keyCode) &&
                                      (modifiers & primaryModifierFlag() & kNamedFlagsMask) != 0;
    if (!keyIsShownByModifier) parts.append(keyName(keyCode));
    return parts.join(QLatin1Char('+'));
}

QJsonObject Hotkey::toJson() const {
    return QJsonObject{
        {QStringLiteral("keyCode"), int(keyCode)},
        {QStringLiteral("modifiers"), JsonCoding::fromUInt64(modifiers)},
    };
}

JsonResult<Hotkey> Hotkey::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    Hotkey hotkey;
    hotkey.keyCode = d.integer<quint16>(QStringLiteral("keyCode"));
    hotkey.modifiers = d.integer<quint64>(QStringLiteral("modifiers"));
    return d.finish(hotkey);
}

QString HotkeyBinding::id() const {
    return QStringLiteral("%1_%2_%3").arg(rawValue(action)).arg(hotkey.keyCode).arg(hotkey.modifiers);
}

QJsonObject HotkeyBinding::toJson() const {
    return QJsonObject{
        {QStringLiteral("action"), rawValue(action)},
        {QStringLiteral("hotkey"), hotkey.toJson()},
    };
}

JsonResult<HotkeyBinding> HotkeyBinding::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    HotkeyBinding binding;
    binding.action = d.enumeration<HotkeyAction>(QStringLiteral("action"), fromRawValue<HotkeyAction>);
    binding.hotkey = d.object<Hotkey>(QStringLiteral("hotkey"));
    return d.finish(binding);
}

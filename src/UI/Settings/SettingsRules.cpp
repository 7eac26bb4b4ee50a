#include "UI/Settings/SettingsRules.h"

#include "Core/Formatting/TextUnits.h"
#include "Core/Input/KeyCodes.h"

#include <algorithm>

namespace SettingsRules {

QList<MicrophoneEntry> microphoneEntries(const std::vector<AudioDeviceInfo>& devices,
                                         const std::optional<QString>& chosen) {
    QList<MicrophoneEntry> entries{{QStringLiteral("System Default"), std::nullopt}};
    for (const AudioDeviceInfo& device : devices) {
        entries.append({device.isDefault ? device.name + QStringLiteral(" (default)") : device.name, device.uid});
    }
    // A device that is gone has no name any more; its identifier is what names it.
    if (missingMicrophoneNotice(devices, chosen))
        entries.append({*chosen + QStringLiteral(" (not connected)"), chosen, false});
    return entries;
}

std::optional<QString> missingMicrophoneNotice(const std::vector<AudioDeviceInfo>& devices,
                                               const std::optional<QString>& chosen) {
    if (!chosen) return std::nullopt;
    for (const AudioDeviceInfo& device : devices)
        if (device.uid == *chosen) return std::nullopt;
    return QStringLiteral(
        "The chosen microphone is not connected. Recording from the system default until it "
        "returns.");
}

const QList<LanguageEntry>& languageEntries() {
    static const QList<LanguageEntry> entries{
        {QStringLiteral("English (US)"), QStringLiteral("en-US")},
        {QStringLiteral("English (UK)"), QStringLiteral("en-GB")},
        {QStringLiteral("English (AU)"), QStringLiteral("en-AU")},
    };
    return entries;
}

int languageIndex(const QString& code) {
    const auto& entries = languageEntries();
    for (int i = 0; i < entries.size(); ++i)
        if (entries[i].code == code) return i;
    return -1;
}

QString writingStyleLabel(WritingStyle style) {
    QString text = rawValue(style);
    bool startOfWord = true;
    for (QChar& c : text) {
        if (c.isLetter()) {
            c = startOfWord ? c.toUpper() : c.toLower();
            startOfWord = false;
        } else {
            startOfWord = true;
        }
    }
    return text;
}

QStringList sortedKeys(const QMap<QString, QString>& map) {
    QStringList keys = map.keys();
    // QMap's own order compares UTF-16 units, which differs from the scalar order above the
    // surrogate range.
    std::sort(keys.begin(), keys.end(), TextUnits::codePointLess);
    return keys;
}

QStringList removingWord(QStringList words, const QString& word) {
    words.removeAll(word);
    return words;
}

Hotkey shownHotkey(const VantroseSettings& settings, HotkeyAction action) {
    return settings.hotkey(action).value_or(Hotkey{Hotkey::rightOptionKeyCode, 0});
}

const QList<ActionRow>& actionRows() {
    static const QList<ActionRow> rows{
        {HotkeyAction::activate, QStringLiteral("Push-to-Talk"), QStringLiteral("hold to record")},
        {HotkeyAction::lock, QStringLiteral("Hands-Free"), QStringLiteral("toggle always-on")},
        {HotkeyAction::pasteLastTranscript, QStringLiteral("Paste Last"), QStringLiteral("re-paste last transcript")},
        {HotkeyAction::cancel, QStringLiteral("Cancel"), QStringLiteral("cancel recording")},
    };
    return rows;
}

QString actionTitle(HotkeyAction action) {
    for (const ActionRow& row : actionRows())
        if (row.action == action) return row.title;
    return rawValue(action);
}

std::optional<HotkeyAction> conflictingAction(const VantroseSettings& settings, const Hotkey& hotkey,
                                              HotkeyAction action) {
    // Only the first binding of each action is live, so only those can clash.
    for (HotkeyAction other : allCases<HotkeyAction>()) {
        if (other == action) continue;
        if (settings.hotkey(other) == hotkey) return other;
    }
    return std::nullopt;
}

QString conflictMessage(const Hotkey& hotkey, HotkeyAction other) {
    return QStringLiteral("%1 is already used by %2. Choose another key or change %2 first.")
        .arg(hotkey.displayName(), actionTitle(other));
}

std::optional<QString> unseenKeyNotice(const Hotkey& hotkey) {
    if (KeyCodes::reachesDesktop(hotkey.keyCode)) return std::nullopt;
    return QStringLiteral("%1 does not reach the desktop on this computer, so it cannot start Vantrose here.")
        .arg(Hotkey::keyName(hotkey.keyCode));
}

const QList<Preset>& pushToTalkPresets() {
    // Keys every PC keyboard has and the desktop sees (Fn stays inside the keyboard), each
    // labelled with the name the recorder shows for it.
    static const QList<Preset> presets = [] {
        QList<Preset> list;
        for (const Hotkey& hotkey :
             {Hotkey{61, 0}, Hotkey{58, 0}, Hotkey{59, Hotkey::optionFlag}, Hotkey{62, 0}, Hotkey{96, 0}})
            list.append({hotkey.displayName(), hotkey});
        return list;
    }();
    return presets;
}

}  // namespace SettingsRules

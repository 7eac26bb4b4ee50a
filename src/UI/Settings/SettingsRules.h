#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Models/Hotkey.h"
#include "Models/Personalization.h"
#include "Models/VantroseSettings.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The decisions of the settings pane and its shortcuts tab, kept apart from the widgets.
namespace SettingsRules {

// One entry of a picker: what it shows and the value it stands for.
struct MicrophoneEntry {
    QString label;
    std::optional<QString> uid;  // none: the system default input
    bool connected = true;       // false: the chosen device, kept while it is not connected
    bool operator==(const MicrophoneEntry&) const = default;
};

struct LanguageEntry {
    QString label;
    QString code;
};

// "System Default" first, then every device in list order, the default one marked. A chosen
// device that is not connected comes last, marked so, so the choice stays in sight and is kept.
QList<MicrophoneEntry> microphoneEntries(const std::vector<AudioDeviceInfo>& devices,
                                         const std::optional<QString>& chosen = std::nullopt);
// What the settings and the tray say while the chosen microphone is not connected (the system
// default records meanwhile); none while it is connected or nothing is chosen.
std::optional<QString> missingMicrophoneNotice(const std::vector<AudioDeviceInfo>& devices,
                                               const std::optional<QString>& chosen);
const QList<LanguageEntry>& languageEntries();
// The index of `code` among the language entries; -1 when no entry has it.
int languageIndex(const QString& code);

// The raw value capitalised word by word, where a letter after a non-letter starts a word:
// "very_casual" -> "Very_Casual".
QString writingStyleLabel(WritingStyle style);

// The keys of a map in Unicode scalar order ("Apple" before "apple").
QStringList sortedKeys(const QMap<QString, QString>& map);
// Every copy of `word` removed (exact comparison); the other words keep their order.
QStringList removingWord(QStringList words, const QString& word);

// What the shortcuts tab shows for an action: its first binding, or Right Alt alone.
Hotkey shownHotkey(const VantroseSettings& settings, HotkeyAction action);

struct ActionRow {
    HotkeyAction action;
    QString title;
    QString caption;
};
// The four rows of the shortcuts tab, in order.
const QList<ActionRow>& actionRows();
QString actionTitle(HotkeyAction action);

// Another action whose hotkey is exactly `hotkey`; none when the hotkey is free for `action`.
std::optional<HotkeyAction> conflictingAction(const VantroseSettings& settings, const Hotkey& hotkey,
                                              HotkeyAction action);
// The message shown when a hotkey is refused because `other` uses it.
QString conflictMessage(const Hotkey& hotkey, HotkeyAction other);

// A notice for a hotkey whose key this desktop's key events never carry (Fn stays inside the
// keyboard); none when the key can be seen. The hotkey is still stored: settings sync with
// machines where the key works.
std::optional<QString> unseenKeyNotice(const Hotkey& hotkey);

struct Preset {
    QString label;
    Hotkey hotkey;
};
// The push-to-talk presets, in the order they are shown.
const QList<Preset>& pushToTalkPresets();

}  // namespace SettingsRules

#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Models/Hotkey.h"
#include "UI/Common/ViewPermissions.h"
#include "UI/Settings/HotkeyRecorderButton.h"
#include "UI/Settings/SettingsRules.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class AbstractAccount;
class ActionPresetButton;
class DictationPipeline;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;
struct VantroseSettings;

// The settings pane: General, Modes, Dictionary and Shortcuts tabs. It keeps no settings of its
// own: every control shows the pipeline's settings and a change writes a changed copy back
// through the pipeline, which saves and syncs it. Hosted in the settings window and as the hub's
// settings tab.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // `audioDevices`: the input devices offered, taken by the host when it builds the pane; the
    // host hands in later lists through setAudioDevices().
    // `selectedMicUID`: the picker's first selection (none: "System Default"); afterwards the
    // picker follows the stored choice, wherever it was made.
    // `permissions`: unlike the hub, the pane shows a missing check as "not granted".
    SettingsView(DictationPipeline& pipeline, std::vector<AudioDeviceInfo> audioDevices,
                 std::optional<QString> selectedMicUID, AbstractAccount& auth, ViewPermissions permissions,
                 QWidget* parent = nullptr);

    // Reads and writes one action's hotkey: the first binding of the action, Right Alt alone
    // when there is none; a write goes to the pipeline's hotkey update.
    HotkeyValueBinding hotkeyBinding(HotkeyAction action);

    // The pane's preferred size; it fills whatever its host gives it and scrolls the rest.
    QSize sizeHint() const override { return {520, 540}; }

    QTabWidget* tabs() const { return m_tabs; }
    const std::optional<QString>& selectedMicUID() const { return m_selectedMicUID; }
    // The input devices now, after one came or went.
    void setAudioDevices(std::vector<AudioDeviceInfo> devices);

private:
    QWidget* buildGeneralTab();
    QWidget* buildModesTab();
    QWidget* buildDictionaryTab();
    QWidget* buildShortcutsTab();
    QCheckBox* addSwitch(QWidget* group, const QString& label, const QString& name, bool VantroseSettings::*field);

    // One settings write: a copy of the settings with one change, assigned back.
    void write(const std::function<void(VantroseSettings&)>& change);
    void applyHotkey(const Hotkey& hotkey, HotkeyAction action);
    void refresh();
    void refreshMicrophone();
    void refreshDictionary();

    DictationPipeline& m_pipeline;
    AbstractAccount& m_auth;
    ViewPermissions m_permissions;
    std::vector<AudioDeviceInfo> m_audioDevices;
    std::optional<QString> m_selectedMicUID;
    std::optional<QString> m_storedMicUID;  // the stored choice the picker last followed

    QTabWidget* m_tabs = nullptr;
    QComboBox* m_microphone = nullptr;
    QList<SettingsRules::MicrophoneEntry> m_microphoneEntries;  // what the picker holds
    QLabel* m_microphoneNotice = nullptr;
    QWidget* m_microphoneNoticeRow = nullptr;
    QComboBox* m_language = nullptr;
    QComboBox* m_writingStyle = nullptr;
    QLineEdit* m_userName = nullptr;
    QList<std::pair<QCheckBox*, bool VantroseSettings::*>> m_switches;
    QLabel* m_accessibilityGranted = nullptr;
    QPushButton* m_grantAccess = nullptr;
    QLabel* m_microphoneGranted = nullptr;
    QLabel* m_microphoneMissing = nullptr;
    QWidget* m_accountRow = nullptr;
    QLabel* m_accountEmail = nullptr;
    QWidget* m_signOutRow = nullptr;
    QVBoxLayout* m_dictionary = nullptr;
    QStringList m_shownDictionary;  // what the dictionary list was last built from
    QList<HotkeyRecorderButton*> m_recorders;
    QList<ActionPresetButton*> m_presets;
    QLabel* m_hotkeyMessage = nullptr;
};

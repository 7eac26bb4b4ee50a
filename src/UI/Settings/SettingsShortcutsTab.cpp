// The settings pane's Shortcuts tab: the four hotkeys with their recorders and the push-to-talk
// presets.
#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/SettingsGroup.h"
#include "UI/Settings/HotkeyRecorderButton.h"
#include "UI/Settings/SettingsRules.h"
#include "UI/Settings/SettingsView.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

HotkeyValueBinding SettingsView::hotkeyBinding(HotkeyAction action) {
    return HotkeyValueBinding{
        [this, action] { return SettingsRules::shownHotkey(m_pipeline.settings(), action); },
        [this, action](const Hotkey& hotkey) { applyHotkey(hotkey, action); },
    };
}

void SettingsView::applyHotkey(const Hotkey& hotkey, HotkeyAction action) {
    // A hotkey that already starts another action would make one key do two things.
    if (const auto other = SettingsRules::conflictingAction(m_pipeline.settings(), hotkey, action)) {
        m_hotkeyMessage->setText(SettingsRules::conflictMessage(hotkey, *other));
        m_hotkeyMessage->show();
        for (QWidget* button : m_recorders) button->update();
        return;
    }
    const auto notice = SettingsRules::unseenKeyNotice(hotkey);
    m_hotkeyMessage->setText(notice.value_or(QString()));
    m_hotkeyMessage->setVisible(notice.has_value());
    m_pipeline.updateHotkey(hotkey, action);
}

QWidget* SettingsView::buildShortcutsTab() {
    QVBoxLayout* column = nullptr;
    QScrollArea* scroll = SettingsStyle::scrollingPage(this, column, 20, 20);

    auto* group = new SettingsGroup(QStringLiteral("Keybindings"));
    for (const SettingsRules::ActionRow& row : SettingsRules::actionRows()) {
        const HotkeyAction action = row.action;
        auto* trailing = new QWidget;
        auto* layout = new QHBoxLayout(trailing);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* recorder = new HotkeyRecorderButton(
            hotkeyBinding(action), [this, action](const Hotkey& hotkey) { applyHotkey(hotkey, action); }, trailing);
        recorder->setObjectName(QStringLiteral("recorder_") + rawValue(action));
        recorder->setAccessibleTitle(row.title);
        m_recorders.append(recorder);
        layout->addWidget(recorder);
        auto* caption = SettingsStyle::label(row.caption, 10, trailing, SettingsStyle::secondary(this));
        layout->addWidget(caption);
        group->addRow(new SettingsRow(row.title, trailing));
    }

    // The key names are longer than the symbols of other systems: three presets a line keep the
    // row inside the smallest settings window.
    constexpr int kPresetsPerLine = 3;
    auto* presets = new QWidget;
    auto* presetLayout = new QGridLayout(presets);
    presetLayout->setContentsMargins(0, 0, 0, 0);
    presetLayout->setSpacing(4);
    for (const SettingsRules::Preset& preset : SettingsRules::pushToTalkPresets()) {
        auto* button = new ActionPresetButton(
            preset.label, preset.hotkey, hotkeyBinding(HotkeyAction::activate),
            [this](const Hotkey& hotkey) { applyHotkey(hotkey, HotkeyAction::activate); }, presets);
        const int index = int(m_presets.size());
        m_presets.append(button);
        presetLayout->addWidget(button, index / kPresetsPerLine, index % kPresetsPerLine, Qt::AlignVCenter);
    }
    group->addRow(new SettingsRow(QStringLiteral("PTT presets"), presets));
    column->addWidget(group);

    m_hotkeyMessage = SettingsStyle::refusalLabel(scroll->widget(), QStringLiteral("hotkeyMessage"));
    column->addWidget(m_hotkeyMessage);
    column->addStretch(1);
    return scroll;
}

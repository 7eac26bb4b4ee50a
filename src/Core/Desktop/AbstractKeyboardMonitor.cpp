#include "Core/Desktop/AbstractKeyboardMonitor.h"

#include "Core/LogCategories.h"
#include "Foundation/Logger.h"

#include <QStringList>

void AbstractKeyboardMonitor::setHotkeyBindings(const QList<HotkeyBinding>& bindings) {
    m_hotkeyBindings = bindings;
    for (const HotkeyBinding& binding : bindings) {
        if (binding.action != HotkeyAction::activate) continue;
        m_hotkey = binding.hotkey;
        m_pushToTalkKeyCode = binding.hotkey.keyCode;
        break;
    }
    QStringList described;
    for (const HotkeyBinding& binding : bindings)
        described.append(rawValue(binding.action) + ":" + binding.hotkey.displayName());
    VLOG_INFO(lcKeyboardMonitor) << "Hotkeys updated — " << described.join(", ");
    hotkeyConfigurationChanged();
}

void AbstractKeyboardMonitor::setHotkey(const Hotkey& hotkey) {
    m_hotkey = hotkey;
    hotkeyConfigurationChanged();
}

void AbstractKeyboardMonitor::setPushToTalkKeyCode(std::uint16_t keyCode) {
    m_pushToTalkKeyCode = keyCode;
    hotkeyConfigurationChanged();
}

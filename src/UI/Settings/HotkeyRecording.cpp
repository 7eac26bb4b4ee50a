#include "UI/Settings/HotkeyRecording.h"

std::optional<Hotkey> HotkeyRecording::pending() const {
    if (!m_pendingKeyCode) return std::nullopt;
    return Hotkey{*m_pendingKeyCode, m_pendingMods};
}

void HotkeyRecording::start() {
    m_recording = true;
    m_pendingKeyCode.reset();
    m_pendingMods = 0;
    m_committed.reset();
}

void HotkeyRecording::cancel() { stop(); }

void HotkeyRecording::stop() {
    m_recording = false;
    m_pendingKeyCode.reset();
    m_pendingMods = 0;
}

HotkeyRecording::Step HotkeyRecording::commit(const Hotkey& hotkey) {
    m_committed = hotkey;
    stop();
    return Step::committed;
}

HotkeyRecording::Step HotkeyRecording::flagsChanged(quint16 keyCode, quint64 flags) {
    if (!m_recording || !Hotkey::modifierKeyCodes().contains(keyCode)) return Step::nothing;
    const quint64 mods = flags & recordedModifiers;
    // A release, or a change that adds no modifier, keeps what is pending; a lone Fn or Caps
    // Lock (no recorded modifier at all) is never taken.
    if (m_pendingMods >= mods && (m_pendingKeyCode || mods == 0)) return Step::nothing;
    m_pendingKeyCode = keyCode;
    m_pendingMods = mods & ~Hotkey::modifierFlag(keyCode);
    return Step::pending;
}

HotkeyRecording::Step HotkeyRecording::keyDown(quint16 keyCode, quint64 flags) {
    if (!m_recording) return Step::nothing;
    if (keyCode == Hotkey::escapeKeyCode) {
        stop();
        return Step::cancelled;
    }
    return commit(Hotkey{keyCode, flags & recordedModifiers});
}

HotkeyRecording::Step HotkeyRecording::comboDelayElapsed() {
    if (!m_recording || !m_pendingKeyCode) return Step::nothing;
    return commit(Hotkey{*m_pendingKeyCode, m_pendingMods});
}

QString HotkeyRecording::label(const Hotkey& current) const {
    if (!m_recording) return current.displayName();
    if (const auto hotkey = pending()) return hotkey->displayName() + QStringLiteral("...");
    return QStringLiteral("Press a key...");
}

#pragma once

#include "Models/Hotkey.h"

#include <QString>

#include <chrono>
#include <optional>

// What the hotkey recorder does with the keys it sees while recording, without widgets or
// timers. Key codes and modifier bits are the settings' numbering; the flags of an event are
// the modifiers held after it.
class HotkeyRecording {
public:
    // The modifiers a hotkey may hold; Caps Lock and Fn never count.
    static constexpr quint64 recordedModifiers =
        Hotkey::shiftFlag | Hotkey::controlFlag | Hotkey::optionFlag | Hotkey::commandFlag;
    // How long a modifier combination waits for a further modifier before it is committed.
    static constexpr auto comboDelay = std::chrono::milliseconds(300);

    enum class Step {
        nothing,    // the event changed nothing (it is still swallowed while recording)
        pending,    // a modifier waits: (re)start the combination delay
        committed,  // `committed()` is the new hotkey; recording has ended
        cancelled,  // recording ended without a change
    };

    bool isRecording() const { return m_recording; }
    std::optional<Hotkey> pending() const;
    const std::optional<Hotkey>& committed() const { return m_committed; }

    void start();
    void cancel();

    // A modifier key went down or up.
    Step flagsChanged(quint16 keyCode, quint64 flags);
    // Any other key went down.
    Step keyDown(quint16 keyCode, quint64 flags);
    // The combination delay ran out.
    Step comboDelayElapsed();

    // What the recorder's face reads: the hotkey, the prompt, or the pending combination.
    QString label(const Hotkey& current) const;

private:
    Step commit(const Hotkey& hotkey);
    void stop();

    bool m_recording = false;
    std::optional<quint16> m_pendingKeyCode;
    quint64 m_pendingMods = 0;
    std::optional<Hotkey> m_committed;
};

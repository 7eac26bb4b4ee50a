#pragma once

#include "Models/Hotkey.h"
#include "Models/KeyEvent.h"

#include <QList>

#include <cstdint>
#include <functional>

// The global hotkey listener as the pipeline uses it. The listener only observes keys; it
// never consumes or alters them. Implementations call every callback on the main thread,
// asynchronously, and only while started.
class AbstractKeyboardMonitor {
public:
    using KeyEvent = ::KeyEvent;
    using Callback = std::function<void()>;

    virtual ~AbstractKeyboardMonitor() = default;

    Callback onPushToTalkDown;                       // the activate hotkey went down
    Callback onPushToTalkUp;                         // ... and up
    Callback onLock;                                 // the lock hotkey was pressed
    Callback onPasteLastTranscript;                  // the paste-last-transcript hotkey was pressed
    Callback onDismiss;                              // the cancel hotkey was pressed
    std::function<void(const KeyEvent&)> onKeyDown;  // every key-down, hotkeys included

    // Starts listening; true when a key source runs. Harmless when already running.
    virtual bool start() = 0;
    // Stops listening and forgets the keys held; harmless when not running.
    virtual void stop() = 0;

    const QList<HotkeyBinding>& hotkeyBindings() const { return m_hotkeyBindings; }
    // Takes the first activate binding as the push-to-talk hotkey (nothing changes without one)
    // and logs the new bindings.
    void setHotkeyBindings(const QList<HotkeyBinding>& bindings);

    const Hotkey& hotkey() const { return m_hotkey; }
    void setHotkey(const Hotkey& hotkey);
    std::uint16_t pushToTalkKeyCode() const { return m_pushToTalkKeyCode; }
    void setPushToTalkKeyCode(std::uint16_t keyCode);
    // The key taken as push-to-talk when the configured key sends no events of its own. Fixed,
    // so any thread may read it.
    std::uint16_t fallbackKeyCode() const { return m_fallbackKeyCode; }
    int comboUpDebounceMs() const { return m_comboUpDebounceMs; }

protected:
    // Runs on the main thread after any of the settings above changed, so an implementation
    // that matches keys on another thread can take a copy.
    virtual void hotkeyConfigurationChanged() {}

private:
    QList<HotkeyBinding> m_hotkeyBindings;
    Hotkey m_hotkey{Hotkey::rightOptionKeyCode, 0};
    std::uint16_t m_pushToTalkKeyCode = Hotkey::rightOptionKeyCode;
    const std::uint16_t m_fallbackKeyCode = Hotkey::rightOptionKeyCode;
    int m_comboUpDebounceMs = 200;
};

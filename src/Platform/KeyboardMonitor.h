#pragma once

#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Input/KeySourceEvent.h"
#include "Foundation/Clock.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class AbstractKeySource;

// The global hotkey listener: turns the configured hotkeys into push-to-talk, lock,
// paste-last, cancel and key-down callbacks. Keys come from the X key source on its own thread
// (XInput2 raw events, else RECORD); the listener only observes, so every key still reaches
// the focused application. Matching runs on the source's thread under one lock; callbacks are
// posted to the main thread and delivered only while the listener runs.
class KeyboardMonitor : public QObject, public AbstractKeyboardMonitor {
    Q_OBJECT
public:
    static constexpr uint64_t significantModifierMask = 0x9F0000;

    explicit KeyboardMonitor(QObject* parent = nullptr);
    ~KeyboardMonitor() override;

    bool start() override;
    void stop() override;
    bool isRunning() const { return m_running; }
    bool usingFallbackMonitor() const { return m_usingFallbackMonitor; }

    // Starts matching without an X key source; events then come only through handleEvent().
    // For tests and for replaying recorded events.
    void startWithoutKeySource();

    // One key event from any thread: hotkey matching, then (for key-downs) the key-down record.
    void handleEvent(const KeySourceEvent& event);

    // Runs a pending combination-release check whose time has come. Its timer calls it; tests
    // call it after moving the clock.
    void checkComboRelease();

    // The bindings matching uses: the first binding of each action, in list order. The settings
    // may hold more (a settings file or the server's copy can); the later ones of an action are
    // ignored in both directions, so a release always ends what its own press started.
    static QList<HotkeyBinding> effectiveBindings(const QList<HotkeyBinding>& bindings);

    bool isPushToTalkHeld() const;
    uint64_t heldModifierFlags() const;
    int fnEventsReceived() const;

    // Presses and releases one key with exactly these modifiers through XTest, holding it 10 ms.
    // Blocks the caller: call it off the main thread.
    static void simulateKeyPress(uint16_t keyCode, uint64_t flags);

protected:
    void hotkeyConfigurationChanged() override;

private:
    struct ComboRelease {
        uint64_t generation = 0;
        Clock::TimePoint deadline;
        uint64_t required = 0;
        Hotkey hotkey;
    };

    void handleFlagsChanged(uint16_t keyCode, uint64_t flags);
    void handleKeyDown(uint16_t keyCode, uint64_t flags, bool isRepeat);
    void handleKeyUp(uint16_t keyCode);
    void handleConnectionLost();
    void fireRisingEdge(const HotkeyBinding& binding);
    void post(Callback AbstractKeyboardMonitor::*callback);
    void postToMain(std::function<void()> job);
    void scheduleComboReleaseCheck(std::chrono::milliseconds delay);
    void startFnKeyCheck();
    std::optional<Hotkey> matchedPushToTalkHotkey() const;  // under m_mutex

    // Shared with the key source's thread; guarded by m_mutex. Callbacks are never run under it.
    mutable std::mutex m_mutex;
    QList<HotkeyBinding> m_bindings;
    bool m_fnFallbackEngaged = false;
    std::chrono::milliseconds m_debounce{200};
    bool m_isPushToTalkHeld = false;
    uint64_t m_heldModifierFlags = 0;
    std::optional<ComboRelease> m_comboRelease;
    uint64_t m_comboGeneration = 0;
    int m_fnEventsReceived = 0;

    // Main thread only.
    QList<HotkeyBinding> m_configuredBindings;  // as last assigned, for the log of ignored ones
    std::unique_ptr<AbstractKeySource> m_source;
    bool m_running = false;
    bool m_usingFallbackMonitor = false;
    uint64_t m_fnCheckGeneration = 0;
    // Counts the listener's stops: a call posted to the main thread before a stop is dropped.
    std::atomic<uint64_t> m_stops{0};
};

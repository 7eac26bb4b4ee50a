#include "Platform/KeyboardMonitor.h"

#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/DesktopBackend.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr uint16_t kFnKeyCode = 63;
constexpr auto kFnCheckDelay = std::chrono::seconds(5);
constexpr uint64_t kKeyDownModifierMask =
    Hotkey::commandFlag | Hotkey::shiftFlag | Hotkey::optionFlag | Hotkey::controlFlag;

}  // namespace

KeyboardMonitor::KeyboardMonitor(QObject* parent) : QObject(parent) { hotkeyConfigurationChanged(); }

KeyboardMonitor::~KeyboardMonitor() {
    if (m_source) m_source->stop();
}

QList<HotkeyBinding> KeyboardMonitor::effectiveBindings(const QList<HotkeyBinding>& bindings) {
    QList<HotkeyBinding> first;
    for (const HotkeyBinding& binding : bindings) {
        const bool seen = std::any_of(first.cbegin(), first.cend(),
                                      [&](const HotkeyBinding& b) { return b.action == binding.action; });
        if (!seen) first.append(binding);
    }
    return first;
}

std::optional<Hotkey> KeyboardMonitor::matchedPushToTalkHotkey() const {
    for (const HotkeyBinding& binding : m_bindings) {
        if (binding.action != HotkeyAction::activate) continue;
        Hotkey hotkey = binding.hotkey;
        if (hotkey.keyCode == kFnKeyCode && m_fnFallbackEngaged) hotkey.keyCode = fallbackKeyCode();
        return hotkey;
    }
    return std::nullopt;
}

void KeyboardMonitor::hotkeyConfigurationChanged() {
    const QList<HotkeyBinding> all = hotkeyBindings();
    const QList<HotkeyBinding> effective = effectiveBindings(all);
    if (m_source) m_source->setBindings(effective);
    if (effective.size() != all.size() && all != m_configuredBindings) {
        QStringList ignored;
        QList<HotkeyBinding> remaining = effective;
        for (const HotkeyBinding& binding : all) {
            if (remaining.removeOne(binding)) continue;
            ignored << rawValue(binding.action) + ":" + binding.hotkey.displayName();
        }
        VLOG_WARNING(lcKeyboardMonitor) << "Ignoring later bindings of an action (the first one counts) — "
                                        << ignored.join(", ");
    }
    m_configuredBindings = all;
    bool released = false;
    QString releasedName;
    {
        std::lock_guard lock(m_mutex);
        const std::optional<Hotkey> before = matchedPushToTalkHotkey();
        m_bindings = effective;
        m_debounce = comboUpDebounce();
        // A press of the old push-to-talk hotkey would never see its release matched against
        // the new one: end it now rather than leave the microphone open.
        if (m_isPushToTalkHeld && matchedPushToTalkHotkey() != before) {
            m_isPushToTalkHeld = false;
            m_comboRelease.reset();
            released = true;
            releasedName = before ? before->displayName() : QString();
        }
    }
    if (released) {
        VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk UP — " << releasedName << " (hotkey changed)";
        post(&AbstractKeyboardMonitor::onPushToTalkUp);
    }
}

bool KeyboardMonitor::start() {
    if (m_running) {
        VLOG_INFO(lcKeyboardMonitor) << "Already running";
        return true;
    }
    hotkeyConfigurationChanged();
    std::unique_ptr<AbstractKeySource> source = DesktopBackend::current().makeKeySource();
    source->setBindings(effectiveBindings(hotkeyBindings()));
    auto handler = [this](const KeySourceEvent& event) { handleEvent(event); };
    auto lost = [this] { handleConnectionLost(); };

    if (source->start(handler, AbstractKeySource::Method::Preferred, lost)) {
        m_source = std::move(source);
        m_running = true;
        VLOG_INFO(lcKeyboardMonitor) << QStringLiteral("Started via %1 (push-to-talk: keycode %2)")
                                            .arg(m_source->methodName(AbstractKeySource::Method::Preferred))
                                            .arg(pushToTalkKeyCode());
        startFnKeyCheck();
        return true;
    }
    VLOG_WARNING(lcKeyboardMonitor) << QStringLiteral("%1 failed (%2), trying %3...")
                                           .arg(source->methodName(AbstractKeySource::Method::Preferred),
                                                source->lastError(),
                                                source->methodName(AbstractKeySource::Method::Fallback));

    if (source->start(handler, AbstractKeySource::Method::Fallback, lost)) {
        m_source = std::move(source);
        m_running = true;
        m_usingFallbackMonitor = true;
        VLOG_INFO(lcKeyboardMonitor) << "Started via " << m_source->methodName(AbstractKeySource::Method::Fallback);
        startFnKeyCheck();
        return true;
    }
    VLOG_WARNING(lcKeyboardMonitor) << QStringLiteral(
                                           "All methods failed (%1). Global hotkeys need an X11 session "
                                           "(or XWayland) with XInput2 or RECORD.")
                                           .arg(source->lastError());
    return false;
}

void KeyboardMonitor::startWithoutKeySource() {
    hotkeyConfigurationChanged();
    m_running = true;
}

void KeyboardMonitor::stop() {
    if (m_source) {
        m_source->stop();  // ends and joins the listener thread
        m_source.reset();
    }
    {
        std::lock_guard lock(m_mutex);
        m_isPushToTalkHeld = false;
        m_comboRelease.reset();
    }
    m_running = false;
    ++m_stops;  // nothing reported before stop() arrives after it
    ++m_fnCheckGeneration;
    VLOG_INFO(lcKeyboardMonitor) << "Stopped";
}

bool KeyboardMonitor::isPushToTalkHeld() const {
    std::lock_guard lock(m_mutex);
    return m_isPushToTalkHeld;
}

uint64_t KeyboardMonitor::heldModifierFlags() const {
    std::lock_guard lock(m_mutex);
    return m_heldModifierFlags;
}

int KeyboardMonitor::fnEventsReceived() const {
    std::lock_guard lock(m_mutex);
    return m_fnEventsReceived;
}

void KeyboardMonitor::post(Callback AbstractKeyboardMonitor::*callback) {
    postToMain([this, callback] {
        if (!m_running) return;
        if (Callback cb = this->*callback) cb();
    });
}

// Any thread. The monitor outlives its source's thread (the destructor stops it first).
void KeyboardMonitor::postToMain(std::function<void()> job) {
    const uint64_t stops = m_stops.load();
    runOnMain(this, [this, stops, job = std::move(job)] {
        if (stops == m_stops.load()) job();
    });
}

// On the listener thread, which ends right after. No release can arrive any more, so a held
// push-to-talk is let go here rather than leaving the microphone open.
void KeyboardMonitor::handleConnectionLost() {
    bool wasHeld = false;
    {
        std::lock_guard lock(m_mutex);
        wasHeld = m_isPushToTalkHeld;
        m_isPushToTalkHeld = false;
        m_comboRelease.reset();
    }
    VLOG_WARNING(lcKeyboardMonitor) << "X connection lost; global hotkeys stopped";
    if (wasHeld) {
        VLOG_WARNING(lcKeyboardMonitor) << "Push-to-talk UP — connection lost";
        post(&AbstractKeyboardMonitor::onPushToTalkUp);
    }
}

void KeyboardMonitor::handleEvent(const KeySourceEvent& event) {
    switch (event.type) {
    case KeySourceEvent::Type::FlagsChanged: handleFlagsChanged(event.keyCode, event.flags); break;
    case KeySourceEvent::Type::KeyUp: handleKeyUp(event.keyCode); break;
    case KeySourceEvent::Type::KeyDown: {
        handleKeyDown(event.keyCode, event.flags, event.isRepeat);
        // Enqueued after any hotkey callback of the same key-down, so the order holds.
        KeyEvent record{event.keyCode, event.flags, event.characters.left(KeyEvent::maxCharacters), event.isRepeat};
        postToMain([this, record] {
            if (!m_running) return;
            if (auto cb = onKeyDown) cb(record);
        });
        break;
    }
    }
}

void KeyboardMonitor::fireRisingEdge(const HotkeyBinding& binding) {
    const QString name = binding.hotkey.displayName();
    switch (binding.action) {
    case HotkeyAction::lock:
        VLOG_INFO(lcKeyboardMonitor) << "Lock (hands-free) — " << name;
        post(&AbstractKeyboardMonitor::onLock);
        break;
    case HotkeyAction::pasteLastTranscript:
        VLOG_INFO(lcKeyboardMonitor) << "Paste last transcript — " << name;
        post(&AbstractKeyboardMonitor::onPasteLastTranscript);
        break;
    case HotkeyAction::cancel:
        VLOG_INFO(lcKeyboardMonitor) << "Cancel — " << name;
        post(&AbstractKeyboardMonitor::onDismiss);
        break;
    case HotkeyAction::activate: break;
    }
}

void KeyboardMonitor::handleFlagsChanged(uint16_t keyCode, uint64_t flags) {
    std::lock_guard lock(m_mutex);
    if (keyCode == kFnKeyCode) ++m_fnEventsReceived;
    const uint64_t previous = m_heldModifierFlags;
    m_heldModifierFlags = flags;

    for (const HotkeyBinding& binding : std::as_const(m_bindings)) {
        uint16_t code = binding.hotkey.keyCode;
        if (binding.action == HotkeyAction::activate && code == kFnKeyCode && m_fnFallbackEngaged)
            code = fallbackKeyCode();
        if (!Hotkey::modifierKeyCodes().contains(code)) continue;

        const uint64_t modifiers = binding.hotkey.modifiers & significantModifierMask;
        const uint64_t required = Hotkey::modifierFlag(code) | modifiers;
        // Caps Lock's bit is a lock state that outlives the key: a push-to-talk hotkey that needs
        // nothing but it would stay held with every key up.
        if (binding.action == HotkeyAction::activate && (required & ~Hotkey::capsLockFlag) == 0) continue;
        const bool lone = modifiers == 0;
        const bool keyMatches = !lone || keyCode == code;
        const bool pressedNow = keyMatches && (flags & required) == required;
        const bool pressedBefore = keyMatches && (previous & required) == required;
        const QString name = binding.hotkey.displayName();

        if (binding.action == HotkeyAction::activate) {
            if (pressedNow && !m_isPushToTalkHeld) {
                m_comboRelease.reset();
                m_isPushToTalkHeld = true;
                VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk DOWN — " << name;
                post(&AbstractKeyboardMonitor::onPushToTalkDown);
            } else if (!pressedNow && m_isPushToTalkHeld) {
                if (!lone) {
                    // A combination often breaks for a moment while the user adjusts fingers.
                    m_comboRelease = ComboRelease{++m_comboGeneration, Clock::current().monotonicNow() + m_debounce,
                                                  required, binding.hotkey};
                    const std::chrono::milliseconds delay = m_debounce;
                    postToMain([this, delay] { scheduleComboReleaseCheck(delay); });
                } else {
                    m_isPushToTalkHeld = false;
                    VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk UP — " << name;
                    post(&AbstractKeyboardMonitor::onPushToTalkUp);
                }
            }
        } else if (pressedNow && !pressedBefore) {
            fireRisingEdge(binding);
        }
    }
}

void KeyboardMonitor::scheduleComboReleaseCheck(std::chrono::milliseconds delay) {
    QTimer::singleShot(std::max(delay, std::chrono::milliseconds(1)), Qt::PreciseTimer, this,
                       [this] { checkComboRelease(); });
}

void KeyboardMonitor::checkComboRelease() {
    std::chrono::milliseconds remaining{0};
    {
        std::lock_guard lock(m_mutex);
        if (!m_comboRelease) return;
        const Clock::TimePoint now = Clock::current().monotonicNow();
        if (now < m_comboRelease->deadline) {
            remaining = std::chrono::ceil<std::chrono::milliseconds>(m_comboRelease->deadline - now);
        } else {
            const ComboRelease pending = *m_comboRelease;
            m_comboRelease.reset();
            if (m_isPushToTalkHeld && (m_heldModifierFlags & pending.required) != pending.required) {
                m_isPushToTalkHeld = false;
                VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk UP — " << pending.hotkey.displayName();
                post(&AbstractKeyboardMonitor::onPushToTalkUp);
            }
            return;
        }
    }
    scheduleComboReleaseCheck(remaining);
}

void KeyboardMonitor::handleKeyDown(uint16_t keyCode, uint64_t flags, bool isRepeat) {
    std::lock_guard lock(m_mutex);
    for (const HotkeyBinding& binding : std::as_const(m_bindings)) {
        const uint16_t code = binding.hotkey.keyCode;
        if (Hotkey::modifierKeyCodes().contains(code) || code != keyCode) continue;
        const uint64_t needed = binding.hotkey.modifiers & kKeyDownModifierMask;
        if ((flags & needed) != needed) continue;
        if (binding.action == HotkeyAction::activate) {
            if (!m_isPushToTalkHeld) {
                m_isPushToTalkHeld = true;
                VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk DOWN — " << binding.hotkey.displayName();
                post(&AbstractKeyboardMonitor::onPushToTalkDown);
            }
        } else if (!isRepeat) {
            // A held key repeats; one press is one lock, one paste, one cancel.
            fireRisingEdge(binding);
        }
    }
}

void KeyboardMonitor::handleKeyUp(uint16_t keyCode) {
    std::lock_guard lock(m_mutex);
    // The same single activate binding as the key-down path: a modifier-key binding is released
    // through the flags path instead.
    for (const HotkeyBinding& binding : std::as_const(m_bindings)) {
        if (binding.action != HotkeyAction::activate) continue;
        if (Hotkey::modifierKeyCodes().contains(binding.hotkey.keyCode)) return;
        if (keyCode == binding.hotkey.keyCode && m_isPushToTalkHeld) {
            m_isPushToTalkHeld = false;
            VLOG_INFO(lcKeyboardMonitor) << "Push-to-talk UP — " << binding.hotkey.displayName();
            post(&AbstractKeyboardMonitor::onPushToTalkUp);
        }
        return;
    }
}

void KeyboardMonitor::startFnKeyCheck() {
    {
        std::lock_guard lock(m_mutex);
        m_fnEventsReceived = 0;
    }
    const uint64_t generation = ++m_fnCheckGeneration;
    QTimer::singleShot(
        kFnCheckDelay, this, [this, generation] {
            if (generation != m_fnCheckGeneration || !m_running) return;
            if (fnEventsReceived() != 0 || pushToTalkKeyCode() != kFnKeyCode) return;
            VLOG_WARNING(lcKeyboardMonitor)
                << QStringLiteral(
                       "Fn key not detected after 5s — the system may be intercepting it. "
                       "Switching to Right Option (keycode %1) as push-to-talk. "
                       "On most PC keyboards Fn is handled by the keyboard itself and never reaches X11.")
                       .arg(fallbackKeyCode());
            {
                std::lock_guard lock(m_mutex);
                m_fnFallbackEngaged = true;
            }
            setPushToTalkKeyCode(fallbackKeyCode());
        });
}

void KeyboardMonitor::simulateKeyPress(uint16_t keyCode, uint64_t flags) {
    DesktopBackend::current().simulateKeyPress(keyCode, flags);
}

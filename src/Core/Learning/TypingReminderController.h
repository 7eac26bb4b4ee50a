#pragma once

#include "Core/Learning/TypingReminderEngine.h"
#include "Models/ActiveAppInfo.h"
#include "Models/DictationStatus.h"
#include "Models/KeyEvent.h"
#include "Models/VantroseSettings.h"

#include <QObject>

#include <functional>
#include <optional>

// The pipeline's side of the typing reminders: filters the system-wide key-downs for the
// engine, holds the one suggestion shown at a time, and carries out the user's answer to it.
// Main thread only.
class TypingReminderController : public QObject {
    Q_OBJECT
public:
    enum class AcceptTrigger { keyboard, pillTap };  // raw values: the case names

    struct Hooks {
        // Analytics events (default: the shared analytics client).
        TypingReminderEngine::Track track;
        // Refreshes the frontmost application and answers it; nothing when there is none.
        std::function<std::optional<ActiveAppInfo>()> frontmostApp;
        // Changes the settings through the one assignment path (file write, push, change handling).
        std::function<void(const std::function<void(VantroseSettings&)>& change)> updateSettings;
        // A pill tap lets the dictation run without a held key.
        std::function<void()> latchContinuousDictation;
        std::function<void()> startDictation;
    };

    TypingReminderController(const VantroseSettings& settings, Hooks hooks,
                             TypingReminderEngine::Configuration configuration = TypingReminderEngine::Configuration(),
                             QObject* parent = nullptr);

    TypingReminderEngine& engine() { return m_engine; }
    const std::optional<TypingReminderEngine::Suggestion>& typingSuggestion() const { return m_suggestion; }

    // Every key-down the keyboard monitor reports. `status` is the pipeline's.
    void handleGlobalKeyDown(const KeyEvent& event, DictationStatus status, quint16 pushToTalkKeyCode);
    void handleActiveAppChanged(const ActiveAppInfo& info);
    void acceptTypingSuggestion(AcceptTrigger trigger);
    void dismissTypingSuggestion(bool suppress);
    // Hides the shown suggestion; with an id only when it is that one.
    void clearTypingSuggestion(const std::optional<QUuid>& id = std::nullopt);
    // The part of the settings-change handling that concerns the reminders.
    void applySettingsChange(const VantroseSettings& old, const VantroseSettings& current);

    // Unicode scalars that are neither function-key characters (U+F700..U+F8FF) nor control
    // characters other than tab, line feed and carriage return.
    static int printableCharacterCount(const QString& text);

Q_SIGNALS:
    void typingSuggestionChanged();

private:
    void showTypingSuggestion(const TypingReminderEngine::Suggestion& suggestion);
    void handleSuggestionAutoDismiss(const QUuid& id);
    void setSuggestion(std::optional<TypingReminderEngine::Suggestion> suggestion);
    void track(const QString& event, const QVariantMap& properties) const;

    Hooks m_hooks;
    TypingReminderEngine m_engine;
    bool m_remindersEnabled = true;  // the settings' switch
    std::optional<TypingReminderEngine::Suggestion> m_suggestion;
};

template <>
struct RawValueTable<TypingReminderController::AcceptTrigger> {
    using T = TypingReminderController::AcceptTrigger;
    static constexpr std::pair<T, const char*> cases[] = {{T::keyboard, "keyboard"}, {T::pillTap, "pillTap"}};
};

#include "Core/Learning/TypingReminderController.h"

#include "Core/Services/Analytics.h"
#include "Models/Hotkey.h"

#include <QPointer>

namespace {

QSet<QString> keySet(const QMap<QString, QString>& map) {
    QSet<QString> keys;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) keys.insert(it.key());
    return keys;
}

}  // namespace

TypingReminderController::TypingReminderController(const VantroseSettings& settings, Hooks hooks,
                                                   TypingReminderEngine::Configuration configuration, QObject* parent)
    : QObject(parent),
      m_hooks(std::move(hooks)),
      m_engine(configuration, m_hooks.track),
      m_remindersEnabled(settings.typingRemindersEnabled) {
    m_engine.enabled = settings.typingRemindersEnabled;
    m_engine.suppressedApps = keySet(settings.typingReminderSuppressedApps);
    m_engine.setHotkeyName(settings.pushToTalkHotkey().displayName());
    QPointer<TypingReminderController> self(this);
    m_engine.onSuggestionReady = [self](const TypingReminderEngine::Suggestion& suggestion) {
        if (self) self->showTypingSuggestion(suggestion);
    };
    m_engine.onSuggestionAutoDismiss = [self](const QUuid& id) {
        if (self) self->handleSuggestionAutoDismiss(id);
    };
}

void TypingReminderController::track(const QString& event, const QVariantMap& properties) const {
    if (m_hooks.track)
        m_hooks.track(event, properties);
    else
        Analytics::shared().track(event, properties);
}

int TypingReminderController::printableCharacterCount(const QString& text) {
    int count = 0;
    for (const char32_t scalar : text.toUcs4()) {
        if (scalar >= 0xF700 && scalar <= 0xF8FF) continue;
        const bool control = QChar::category(scalar) == QChar::Other_Control;
        if (!control || scalar == 0x09 || scalar == 0x0A || scalar == 0x0D) ++count;
    }
    return count;
}

void TypingReminderController::handleGlobalKeyDown(const KeyEvent& event, DictationStatus status,
                                                   quint16 pushToTalkKeyCode) {
    // Cheap tests first: this runs for every key-down in every application.
    if (!m_engine.enabled || !m_remindersEnabled) return;
    if (status != DictationStatus::idle && status != DictationStatus::error && status != DictationStatus::dismissed &&
        status != DictationStatus::testing)
        return;
    if (event.keyCode == pushToTalkKeyCode) return;
    if (event.flags & (Hotkey::commandFlag | Hotkey::controlFlag)) return;
    const int characters = printableCharacterCount(event.characters);
    if (characters < 1) return;

    const std::optional<ActiveAppInfo> app = m_hooks.frontmostApp ? m_hooks.frontmostApp() : std::nullopt;
    const QString bundleId = app ? app->bundleId : QStringLiteral("unknown");
    const QString name = app ? app->name : QStringLiteral("Unknown");
    m_engine.recordKeystroke(bundleId, name, AppType::detect(bundleId, name), true, characters);
}

void TypingReminderController::handleActiveAppChanged(const ActiveAppInfo& info) {
    if (m_suggestion && m_suggestion->bundleId != info.bundleId) clearTypingSuggestion();
}

void TypingReminderController::showTypingSuggestion(const TypingReminderEngine::Suggestion& suggestion) {
    if (!m_remindersEnabled) return;
    if (m_suggestion && m_suggestion->id == suggestion.id) return;
    setSuggestion(suggestion);
}

void TypingReminderController::handleSuggestionAutoDismiss(const QUuid& id) {
    if (!m_suggestion || m_suggestion->id != id) return;
    track(QStringLiteral("typing_reminder_auto_dismiss"),
          {{QStringLiteral("bundle_id"), m_suggestion->bundleId}, {QStringLiteral("app_name"), m_suggestion->appName}});
    clearTypingSuggestion();
}

void TypingReminderController::acceptTypingSuggestion(AcceptTrigger trigger) {
    if (!m_suggestion) return;
    const TypingReminderEngine::Suggestion s = *m_suggestion;
    m_engine.recordAccepted(s.bundleId);
    // Assigned even when the application was not suppressed: every accept saves and pushes.
    if (m_hooks.updateSettings)
        m_hooks.updateSettings(
            [&s](VantroseSettings& settings) { settings.typingReminderSuppressedApps.remove(s.bundleId); });
    track(QStringLiteral("typing_reminder_accept_trigger"), {{QStringLiteral("bundle_id"), s.bundleId},
                                                             {QStringLiteral("app_name"), s.appName},
                                                             {QStringLiteral("trigger"), rawValue(trigger)}});
    clearTypingSuggestion();
    if (trigger == AcceptTrigger::pillTap) {
        if (m_hooks.latchContinuousDictation) m_hooks.latchContinuousDictation();
        track(QStringLiteral("dictation_session_started"),
              {{QStringLiteral("source"), QStringLiteral("pill_tap")}, {QStringLiteral("bundle_id"), s.bundleId}});
    }
    if (m_hooks.startDictation) m_hooks.startDictation();
}

void TypingReminderController::dismissTypingSuggestion(bool suppress) {
    if (!m_suggestion) return;
    const TypingReminderEngine::Suggestion s = *m_suggestion;
    m_engine.recordDismiss(s.bundleId, suppress);
    const bool suppressed = m_engine.suppressedApps.contains(s.bundleId);
    if (m_hooks.updateSettings) {
        m_hooks.updateSettings([&s, suppressed](VantroseSettings& settings) {
            if (suppressed)
                settings.typingReminderSuppressedApps.insert(s.bundleId, s.appName);
            else
                settings.typingReminderSuppressedApps.remove(s.bundleId);
        });
    }
    track(QStringLiteral("typing_reminder_dismiss_trigger"), {{QStringLiteral("bundle_id"), s.bundleId},
                                                              {QStringLiteral("app_name"), s.appName},
                                                              {QStringLiteral("suppress"), suppress}});
    clearTypingSuggestion();
}

void TypingReminderController::clearTypingSuggestion(const std::optional<QUuid>& id) {
    if (!m_suggestion || (id && *id != m_suggestion->id)) return;
    setSuggestion(std::nullopt);
}

void TypingReminderController::setSuggestion(std::optional<TypingReminderEngine::Suggestion> suggestion) {
    m_suggestion = std::move(suggestion);
    Q_EMIT typingSuggestionChanged();
}

void TypingReminderController::applySettingsChange(const VantroseSettings& old, const VantroseSettings& current) {
    m_remindersEnabled = current.typingRemindersEnabled;
    if (current.typingRemindersEnabled != old.typingRemindersEnabled) {
        m_engine.enabled = current.typingRemindersEnabled;
        if (!current.typingRemindersEnabled) clearTypingSuggestion();
    }
    if (current.typingReminderSuppressedApps != old.typingReminderSuppressedApps)
        m_engine.suppressedApps = keySet(current.typingReminderSuppressedApps);
    // The suggestion names the push-to-talk key, so it follows a rebinding.
    m_engine.setHotkeyName(current.pushToTalkHotkey().displayName());
}

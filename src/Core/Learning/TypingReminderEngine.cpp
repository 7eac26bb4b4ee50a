#include "Core/Learning/TypingReminderEngine.h"

#include "Core/LogCategories.h"
#include "Core/Services/Analytics.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Models/Hotkey.h"

const QString TypingReminderEngine::suggestionMessage = QStringLiteral("Want to say this instead?");

QString TypingReminderEngine::suggestionDetail(const QString& hotkeyName) {
    return QStringLiteral("Hold ") + hotkeyName + QStringLiteral(" or click to talk");
}

TypingReminderEngine::TypingReminderEngine(Configuration configuration, Track track, DelayedCall delayedCall)
    : m_configuration(configuration),
      m_track(std::move(track)),
      m_delayedCall(delayedCall ? std::move(delayedCall) : timerDelayedCall()),
      m_hotkeyName(Hotkey{Hotkey::rightOptionKeyCode, 0}.displayName()),
      m_self(std::make_shared<TypingReminderEngine*>(this)) {}

TypingReminderEngine::~TypingReminderEngine() = default;

void TypingReminderEngine::track(const QString& event, const QVariantMap& properties) const {
    if (m_track)
        m_track(event, properties);
    else
        Analytics::shared().track(event, properties);
}

int TypingReminderEngine::burstCharacters(const QString& bundleId) const {
    const auto it = m_bursts.constFind(bundleId);
    return it == m_bursts.constEnd() ? 0 : it->characters;
}

void TypingReminderEngine::recordKeystroke(const QString& bundleId, const QString& appName, AppType, bool isEditable,
                                           int characters) {
    if (!enabled || characters < 1 || suppressedApps.contains(bundleId)) return;

    Clock& clock = Clock::current();
    const double now = clock.monotonicSeconds();
    Burst burst = m_bursts.value(bundleId, Burst{0, now, now, now, isEditable});
    if (now - burst.lastKeyAt <= m_configuration.pauseReset) {
        burst.characters += characters;
    } else {
        burst.characters = characters;
        burst.startedAt = now;
    }
    burst.lastKeyAt = now;
    burst.lastEditabilityCheck = now;
    burst.isEditable = isEditable;
    m_bursts.insert(bundleId, burst);

    const double duration = now - burst.startedAt;
    if (burst.characters < m_configuration.minCharacters || duration < m_configuration.minDuration) return;

    VLOG_INFO(lcTypingReminder) << "threshold met! " << appName << " chars=" << QString::number(burst.characters)
                                << " dur=" << QString::number(static_cast<long long>(duration)) << "s";

    const QDateTime date = clock.now();
    if (m_lastReminderGlobal && m_lastReminderGlobal->msecsTo(date) < m_configuration.globalCooldown * 1000.0) {
        VLOG_DEBUG(lcTypingReminder) << "skipped - global cooldown";
        return;
    }
    const auto perApp = m_lastReminderPerApp.constFind(bundleId);
    if (perApp != m_lastReminderPerApp.constEnd() && perApp->msecsTo(date) < m_configuration.appCooldown * 1000.0) {
        VLOG_DEBUG(lcTypingReminder) << "skipped - app cooldown for " << bundleId;
        return;
    }

    VLOG_INFO(lcTypingReminder) << "showing suggestion for " << appName;
    const Suggestion suggestion{
        QUuid::createUuid(), appName, bundleId, suggestionMessage, suggestionDetail(m_hotkeyName), date};
    m_lastReminderGlobal = date;
    m_lastReminderPerApp.insert(bundleId, date);
    m_bursts.insert(bundleId, Burst{0, now, now, now, isEditable});

    track(QStringLiteral("typing_reminder_shown"), {{QStringLiteral("bundle_id"), bundleId},
                                                    {QStringLiteral("app_name"), appName},
                                                    {QStringLiteral("characters"), burst.characters},
                                                    {QStringLiteral("duration_s"), duration}});
    if (onSuggestionReady) onSuggestionReady(suggestion);

    std::weak_ptr<TypingReminderEngine*> weak = m_self;
    m_delayedCall(m_configuration.autoDismissInterval, [weak, id = suggestion.id] {
        const auto self = weak.lock();
        if (self && (*self)->onSuggestionAutoDismiss) (*self)->onSuggestionAutoDismiss(id);
    });
}

void TypingReminderEngine::recordAccepted(const QString& bundleId) {
    dismissCounts.insert(bundleId, 0);
    m_lastReminderPerApp.insert(bundleId, Clock::current().now());
    track(QStringLiteral("typing_reminder_accepted"), {{QStringLiteral("bundle_id"), bundleId}});
}

void TypingReminderEngine::recordDismiss(const QString& bundleId, bool suppress) {
    const int count = dismissCounts.value(bundleId, 0) + 1;
    dismissCounts.insert(bundleId, count);
    const bool suppressed = suppress || count >= m_configuration.maxDismissalsBeforeSuppress;
    if (suppressed) suppressedApps.insert(bundleId);
    track(QStringLiteral("typing_reminder_dismissed"),
          {{QStringLiteral("bundle_id"), bundleId}, {QStringLiteral("suppress"), suppressed}});
}

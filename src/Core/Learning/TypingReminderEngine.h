#pragma once

#include "Foundation/Clock.h"
#include "Models/AppClassification.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QUuid>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Thresholds of the typing reminders, fixed when the engine is built.
struct TypingReminderConfiguration {
    int minCharacters = 20;
    std::chrono::milliseconds minDuration = std::chrono::seconds(20);  // a burst's first to its latest key
    std::chrono::milliseconds pauseReset = std::chrono::seconds(6);    // a longer gap starts a new burst
    std::chrono::milliseconds appCooldown{0};                          // between two suggestions for one application
    std::chrono::milliseconds globalCooldown{0};                       // between any two suggestions
    std::chrono::milliseconds autoDismissInterval = std::chrono::seconds(8);
    int maxDismissalsBeforeSuppress = 100;
};

// Watches how much the user types in each application and, after a sustained burst of typing,
// offers to dictate instead. Knows nothing of windows: its owner feeds it keystrokes and shows
// the suggestions it hands out. Main thread only.
class TypingReminderEngine {
public:
    using Configuration = TypingReminderConfiguration;

    struct Suggestion {
        QUuid id;
        QString appName;
        QString bundleId;
        QString message;
        QString detail;
        QDateTime triggeredAt;

        bool operator==(const Suggestion&) const = default;
    };

    static const QString suggestionMessage;  // "Want to say this instead?"
    // "Hold <hotkey> or click to talk".
    static QString suggestionDetail(const QString& hotkeyName);

    using Track = std::function<void(const QString& event, const QVariantMap& properties)>;

    // `track` receives the analytics events (default: the shared analytics client). The
    // auto-dismissal runs on the process clock.
    explicit TypingReminderEngine(Configuration configuration = Configuration(), Track track = {});
    ~TypingReminderEngine();
    TypingReminderEngine(const TypingReminderEngine&) = delete;
    TypingReminderEngine& operator=(const TypingReminderEngine&) = delete;

    const Configuration& configuration() const { return m_configuration; }

    bool enabled = true;
    QSet<QString> suppressedApps;
    QHash<QString, int> dismissCounts;
    std::function<void(const Suggestion&)> onSuggestionReady;
    std::function<void(const QUuid&)> onSuggestionAutoDismiss;

    // The push-to-talk hotkey as the suggestion's detail names it.
    void setHotkeyName(const QString& name) { m_hotkeyName = name; }
    const QString& hotkeyName() const { return m_hotkeyName; }

    // Counts `characters` typed keys for one application; may make a suggestion. `appType` and
    // `isEditable` are kept for the burst but decide nothing.
    void recordKeystroke(const QString& bundleId, const QString& appName, AppType appType, bool isEditable,
                         int characters);
    void recordAccepted(const QString& bundleId);
    void recordDismiss(const QString& bundleId, bool suppress);

    // The burst under way for an application: characters so far (0 when there is none).
    int burstCharacters(const QString& bundleId) const;

private:
    struct Burst {
        int characters = 0;
        Clock::TimePoint startedAt;
        Clock::TimePoint lastKeyAt;
        Clock::TimePoint lastEditabilityCheck;
        bool isEditable = false;
    };

    void track(const QString& event, const QVariantMap& properties) const;

    Configuration m_configuration;
    Track m_track;
    QString m_hotkeyName;
    QHash<QString, Burst> m_bursts;
    std::optional<QDateTime> m_lastReminderGlobal;
    QHash<QString, QDateTime> m_lastReminderPerApp;
    // Pending auto-dismissals hold this weakly, so one that fires after the engine is gone does nothing.
    std::shared_ptr<TypingReminderEngine*> m_self;
};

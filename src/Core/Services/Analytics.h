#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <QCoro/QCoroTask>

#include <atomic>
#include <chrono>
#include <mutex>

class QTimer;

struct AnalyticsEvent {
    QString event;
    QString deviceID;
    QString timestamp;  // ISO-8601, UTC, whole seconds
    QJsonObject properties;
};

// Usage events: queued in memory and uploaded in batches to the vendor's server. Also owns the
// installation's device identifier, which several clients send as a request header.
// track() and flush() may be called from any thread; uploads run on the main thread.
class Analytics : public QObject {
    Q_OBJECT
public:
    static constexpr int kFlushThreshold = 20;
    static constexpr auto kFlushInterval = std::chrono::seconds(30);
    static constexpr auto kUploadTimeout = std::chrono::seconds(10);
    // While the server stays unreachable the queue would grow without end; past this many
    // events the oldest are dropped.
    static constexpr int kMaxQueuedEvents = 1000;

    static Analytics& shared();
    // Reads (or creates) the device identifier and the server base from the user defaults and
    // starts the flush timer. Tests build their own instances.
    explicit Analytics(QObject* parent = nullptr);
    ~Analytics() override;

    QString deviceID() const { return m_deviceID; }
    QString serverURL() const { return m_serverURL; }

    // Queues one event. Property values must be JSON values (strings, finite numbers, booleans,
    // and lists or maps of them); an event with any other value is dropped with a log line.
    void track(const QString& event, const QVariantMap& properties = {});
    void trackDictationCompleted(const QString& app, const QString& bundleID, double duration, int wordCount,
                                 const QString& asrTier, const QString& formatter, double asrMs, double formatMs,
                                 double insertMs, double totalMs);
    // Queues "app_launched" once the server's version is known.
    void trackAppLaunched();
    // Hands every queued event to one upload; returns at once.
    void flush();
    // At quit: flushes and waits (running the event loop) at most `limit` for the uploads in
    // flight. True when they all finished.
    bool flushForQuit(std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

    QList<AnalyticsEvent> queuedEvents() const;
    int uploadsInFlight() const { return m_uploadsInFlight.load(); }

Q_SIGNALS:
    // An upload finished, successful or not (main thread).
    void uploadFinished(bool accepted, int eventCount);

private:
    void startFlushTimer();
    void startUpload(QList<AnalyticsEvent> events);
    QCoro::Task<void> sendBatch(QList<AnalyticsEvent> events);
    QCoro::Task<QString> fetchAPIVersion();
    QCoro::Task<void> trackLaunchWhenVersionKnown(QVariantMap properties);
    // Caller holds m_lock.
    void enforceCapLocked();

    QString m_deviceID;
    QString m_serverURL;
    mutable std::mutex m_lock;  // guards m_queue
    QList<AnalyticsEvent> m_queue;
    QTimer* m_flushTimer = nullptr;
    std::atomic<int> m_uploadsInFlight{0};
};

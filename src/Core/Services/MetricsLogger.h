#pragma once

#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <optional>

class BoundedLogFile;
class SerialQueue;

// Appends the pipeline's telemetry events to "metrics.jsonl" in the log folder: one compact
// JSON object per line, carrying the event's own keys plus "ts", "event", "trace_id" and
// "session_id". The caller never waits for the disk. The file is readable by its owner alone and
// is moved to "metrics.old.jsonl" before it passes 4 MiB.
class MetricsLogger {
public:
    static constexpr qint64 kLimitBytes = qint64{4} * 1024 * 1024;

    static MetricsLogger& shared();
    ~MetricsLogger();

    // Builds and sanitises the line on the caller's thread (so "ts" is the time of the call)
    // and appends it on the logger's own queue.
    void emit(const QString& event, const QString& traceID, const QVariantMap& payload);

    // New at every launch: a random UUID, upper case with hyphens.
    const QString& sessionID() const { return m_sessionID; }
    const QString& filePath() const { return m_filePath; }

    // Waits until every event submitted so far has been written (tests and shut-down).
    void flush();

    // Turns a value of any kind into something JSON can hold; nothing for an absent value.
    // Numbers that are not finite become null, so one bad measurement never costs the line.
    static std::optional<QJsonValue> sanitizeJSONObject(const QVariant& value);
    // UTC, milliseconds, "Z".
    static QString formatTimestamp(const QDateTime& time);

private:
    MetricsLogger();
    void append(const QByteArray& line);

    QString m_sessionID;
    QString m_filePath;
    std::unique_ptr<BoundedLogFile> m_file;  // touched on the queue only
    std::unique_ptr<SerialQueue> m_queue;
};

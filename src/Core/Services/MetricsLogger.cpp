#include "Core/Services/MetricsLogger.h"

#include "Foundation/AppPaths.h"
#include "Foundation/BoundedLogFile.h"
#include "Foundation/Clock.h"
#include "Foundation/SerialQueue.h"
#include "Models/JsonCoding.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cmath>
#include <limits>

MetricsLogger& MetricsLogger::shared() {
    static MetricsLogger instance;
    return instance;
}

MetricsLogger::MetricsLogger()
    : m_sessionID(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()),
      m_filePath(AppPaths::logDir() + "/metrics.jsonl"),
      m_file(std::make_unique<BoundedLogFile>(m_filePath, AppPaths::logDir() + "/metrics.old.jsonl", kLimitBytes)),
      m_queue(std::make_unique<SerialQueue>("com.vantrose.metrics-logger")) {
    QDir().mkpath(AppPaths::logDir());  // a failure shows up as a failed append, which is ignored
}

MetricsLogger::~MetricsLogger() = default;

QString MetricsLogger::formatTimestamp(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }

std::optional<QJsonValue> MetricsLogger::sanitizeJSONObject(const QVariant& value) {
    return JsonCoding::fromVariant(value, JsonCoding::VariantRule::describe);
}

void MetricsLogger::emit(const QString& event, const QString& traceID, const QVariantMap& payload) {
    QVariantMap fields = payload;
    fields.insert(QStringLiteral("ts"), formatTimestamp(Clock::current().now()));
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("trace_id"), traceID);
    fields.insert(QStringLiteral("session_id"), m_sessionID);

    const std::optional<QJsonValue> clean = sanitizeJSONObject(fields);
    if (!clean || !clean->isObject()) return;
    QByteArray line = QJsonDocument(clean->toObject()).toJson(QJsonDocument::Compact);
    line.append('\n');
    m_queue->async([this, line = std::move(line)] { append(line); });
}

void MetricsLogger::append(const QByteArray& line) {
    // One write per line, so a line is never split by another, nor between two files.
    m_file->append(line);
}

void MetricsLogger::flush() { m_queue->drain(); }

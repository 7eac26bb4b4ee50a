#include "Core/Services/MetricsLogger.h"

#include "Foundation/AppPaths.h"
#include "Foundation/Clock.h"
#include "Foundation/SerialQueue.h"

#include <QDir>
#include <QFile>
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
      m_queue(std::make_unique<SerialQueue>("com.vantrose.metrics-logger")) {
    QDir().mkpath(AppPaths::logDir());  // a failure shows up as a failed append, which is ignored
}

MetricsLogger::~MetricsLogger() = default;

QString MetricsLogger::formatTimestamp(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

namespace {

QJsonValue finiteOrNull(double number) {
    return std::isfinite(number) ? QJsonValue(number) : QJsonValue(QJsonValue::Null);
}

// The textual form of values JSON has no type for; dates read like "2026-01-02 03:04:05 +0000".
QString describe(const QVariant& value) {
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss '+0000'"));
    if (value.canConvert<QString>()) {
        const QString text = value.toString();
        if (!text.isEmpty() || value.typeId() == QMetaType::QByteArray) return text;
    }
    return QString::fromLatin1(value.typeName());
}

}  // namespace

std::optional<QJsonValue> MetricsLogger::sanitizeJSONObject(const QVariant& value) {
    if (!value.isValid()) return std::nullopt;
    switch (value.typeId()) {
    case QMetaType::Nullptr:
        return std::nullopt;
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return QJsonValue(value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        // Above the signed range QJsonValue can only hold it as a double.
        if (value.toULongLong() > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
            return QJsonValue(static_cast<double>(value.toULongLong()));
        return QJsonValue(value.toLongLong());
    case QMetaType::Double:
        return finiteOrNull(value.toDouble());
    case QMetaType::Float:
        return finiteOrNull(static_cast<double>(value.toFloat()));
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            if (auto clean = sanitizeJSONObject(it.value())) object.insert(it.key(), *clean);
        return QJsonValue(object);
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        for (const QVariant& element : value.toList())
            if (auto clean = sanitizeJSONObject(element)) array.append(*clean);
        return QJsonValue(array);
    }
    case QMetaType::QJsonValue:
        return sanitizeJSONObject(value.value<QJsonValue>().toVariant());
    case QMetaType::QJsonObject:
        return sanitizeJSONObject(value.value<QJsonObject>().toVariantMap());
    case QMetaType::QJsonArray:
        return sanitizeJSONObject(value.value<QJsonArray>().toVariantList());
    default:
        return QJsonValue(describe(value));
    }
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
    // No handle is kept between events: open (creating on the first one), append, close.
    // One write per line, so a line is never split by another.
    QFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
    file.write(line);
}

void MetricsLogger::flush() {
    m_queue->drain();
}

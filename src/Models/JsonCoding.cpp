#include "Models/JsonCoding.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

QString JsonError::toString() const { return path.isEmpty() ? message : path + QStringLiteral(": ") + message; }

namespace JsonCoding {

namespace {

QString typeName(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a Boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

JsonError mistyped(const QJsonValue& value, const QString& path, const char* expected) {
    return JsonError{path, QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), typeName(value))};
}

JsonError notWhole(const QJsonValue& value, const QString& path) {
    return JsonError{path, QStringLiteral("expected an integer, found %1").arg(value.toDouble())};
}

}  // namespace

QString childPath(const QString& path, const QString& key) {
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

QString indexPath(const QString& path, qsizetype index) { return path + QStringLiteral("[%1]").arg(index); }

JsonResult<QJsonObject> parseObject(const QByteArray& bytes) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return JsonError{
            QString(),
            QStringLiteral("invalid JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString())};
    }
    if (!document.isObject()) return JsonError{QString(), QStringLiteral("expected an object")};
    return document.object();
}

QByteArray toBytes(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonValue fromUInt64(quint64 value) {
    if (value <= quint64(std::numeric_limits<qint64>::max())) return QJsonValue(qint64(value));
    return QJsonValue(double(value));
}

namespace {

// One value's conversion: its JSON, or left out of its list or object, or refusing the whole.
struct Converted {
    enum Kind { value, omitted, refused } kind;
    QJsonValue json;
};

Converted refusedOr(VariantRule rule, const QVariant& value);

Converted convert(const QVariant& value, VariantRule rule) {
    const bool strict = rule == VariantRule::strict;
    const auto number = [&](double d) -> Converted {
        if (std::isfinite(d)) return {Converted::value, QJsonValue(d)};
        if (strict) return {Converted::refused, {}};
        return {Converted::value, QJsonValue(QJsonValue::Null)};
    };
    switch (value.typeId()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr: return {strict ? Converted::refused : Converted::omitted, {}};
    case QMetaType::QString: return {Converted::value, QJsonValue(value.toString())};
    case QMetaType::Bool: return {Converted::value, QJsonValue(value.toBool())};
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
    case QMetaType::UChar: return {Converted::value, QJsonValue(value.toLongLong())};
    case QMetaType::ULong:
    case QMetaType::ULongLong: return {Converted::value, fromUInt64(value.toULongLong())};
    case QMetaType::Double: return number(value.toDouble());
    case QMetaType::Float: return number(double(value.toFloat()));
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            Converted member = convert(it.value(), rule);
            if (member.kind == Converted::refused) return member;
            if (member.kind == Converted::value) object.insert(it.key(), member.json);
        }
        return {Converted::value, QJsonValue(object)};
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        for (const QVariant& element : value.toList()) {
            Converted item = convert(element, rule);
            if (item.kind == Converted::refused) return item;
            if (item.kind == Converted::value) array.append(item.json);
        }
        return {Converted::value, QJsonValue(array)};
    }
    case QMetaType::QJsonValue: return convert(value.value<QJsonValue>().toVariant(), rule);
    case QMetaType::QJsonObject: return convert(value.value<QJsonObject>().toVariantMap(), rule);
    case QMetaType::QJsonArray: return convert(value.value<QJsonArray>().toVariantList(), rule);
    default: return refusedOr(rule, value);
    }
}

Converted refusedOr(VariantRule rule, const QVariant& value) {
    if (rule != VariantRule::describe) return {Converted::refused, {}};
    if (value.typeId() == QMetaType::QDateTime)
        return {Converted::value,
                QJsonValue(value.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss '+0000'")))};
    if (value.canConvert<QString>()) {
        const QString text = value.toString();
        if (!text.isEmpty() || value.typeId() == QMetaType::QByteArray) return {Converted::value, QJsonValue(text)};
    }
    return {Converted::value, QJsonValue(QString::fromLatin1(value.typeName()))};
}

}  // namespace

std::optional<QJsonValue> fromVariant(const QVariant& value, VariantRule rule) {
    Converted converted = convert(value, rule);
    if (converted.kind != Converted::value) return std::nullopt;
    return converted.json;
}

JsonResult<bool> toBool(const QJsonValue& value, const QString& path) {
    if (!value.isBool()) return mistyped(value, path, "a Boolean");
    return value.toBool();
}

JsonResult<QString> toString(const QJsonValue& value, const QString& path) {
    if (!value.isString()) return mistyped(value, path, "a string");
    return value.toString();
}

JsonResult<double> toDouble(const QJsonValue& value, const QString& path) {
    if (!value.isDouble()) return mistyped(value, path, "a number");
    return value.toDouble();
}

JsonResult<qint64> toInt64(const QJsonValue& value, const QString& path, qint64 min, qint64 max) {
    if (!value.isDouble()) return mistyped(value, path, "an integer");
    const auto outOfRange = [&] {
        return JsonError{path, QStringLiteral("expected an integer from %1 to %2").arg(min).arg(max)};
    };
    // toInteger() answers its default for fractions and for numbers beyond 64 bits; asking
    // twice with different defaults tells those apart from a genuine value.
    const qint64 a = value.toInteger(std::numeric_limits<qint64>::min());
    const qint64 b = value.toInteger(std::numeric_limits<qint64>::max());
    if (a != b) {
        const double d = value.toDouble();
        if (std::isfinite(d) && d == std::floor(d)) return outOfRange();
        return notWhole(value, path);
    }
    if (a < min || a > max) return outOfRange();
    return a;
}

JsonResult<quint64> toUInt64(const QJsonValue& value, const QString& path) {
    if (!value.isDouble()) return mistyped(value, path, "an integer");
    const qint64 a = value.toInteger(-1);
    const qint64 b = value.toInteger(-2);
    if (a == b) {
        if (a < 0) return JsonError{path, QStringLiteral("expected a non-negative integer")};
        return quint64(a);
    }
    // Beyond the signed range the parser keeps a double. Doubles near the top round up to
    // 2^64 itself (so does our own encoding of the largest values): that one saturates.
    const double d = value.toDouble();
    constexpr double two64 = 18446744073709551616.0;
    if (!std::isfinite(d) || d != std::floor(d)) return notWhole(value, path);
    if (d < 0 || d > two64) return JsonError{path, QStringLiteral("expected an integer from 0 to 2^64-1")};
    if (d == two64) return std::numeric_limits<quint64>::max();
    return quint64(d);
}

JsonResult<QStringList> toStringList(const QJsonValue& value, const QString& path) {
    if (!value.isArray()) return mistyped(value, path, "an array");
    const QJsonArray array = value.toArray();
    QStringList out;
    out.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        JsonResult<QString> item = toString(array.at(i), indexPath(path, i));
        if (!item) return item.error();
        out.append(*item);
    }
    return out;
}

JsonResult<QMap<QString, QString>> toStringMap(const QJsonValue& value, const QString& path) {
    if (!value.isObject()) return mistyped(value, path, "an object");
    const QJsonObject object = value.toObject();
    QMap<QString, QString> out;
    for (auto it = object.begin(); it != object.end(); ++it) {
        JsonResult<QString> item = toString(it.value(), childPath(path, it.key()));
        if (!item) return item.error();
        out.insert(it.key(), *item);
    }
    return out;
}

QJsonObject fromStringMap(const QMap<QString, QString>& map) {
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it) object.insert(it.key(), it.value());
    return object;
}

}  // namespace JsonCoding

JsonDecoder::JsonDecoder(const QJsonValue& json, QString path) : m_path(std::move(path)) {
    if (json.isObject()) {
        m_object = json.toObject();
    } else {
        m_error = JsonCoding::mistyped(json, m_path, "an object");
    }
}

#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <concepts>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

// Strict decoding of value types from JSON.
//
// The rules every value type follows: a required member must be present and of the right
// type; an optional member may be missing or null; members nobody knows are ignored; the
// first failure anywhere fails the whole decode (there is no per-member fallback), and the
// error names the key path where it happened, e.g. "hotkeys[1].hotkey.keyCode".
//
// A value type T decodes through
//     static JsonResult<T> fromJson(const QJsonValue& json, const QString& path = {});
// written with a JsonDecoder:
//     JsonDecoder d(json, path);
//     T t;
//     t.name = d.string("name");
//     t.count = d.integer<quint16>("count");
//     t.child = d.object<Child>("child");      // calls Child::fromJson
//     return d.finish(std::move(t));
// and encodes to a QJsonObject by hand.

struct JsonError {
    QString path;     // key path of the failing member; empty for the document itself
    QString message;  // what was wrong there

    // "path: message", or the message alone at the top level.
    QString toString() const;
};

template <typename T>
class JsonResult {
public:
    JsonResult(T value) : m_state(std::move(value)) {}
    JsonResult(JsonError error) : m_state(std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only valid when ok().
    const T& value() const& { return std::get<0>(m_state); }
    T& value() & { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    // Only valid when !ok().
    const JsonError& error() const { return std::get<1>(m_state); }

    std::optional<T> toOptional() const& { return ok() ? std::optional<T>(value()) : std::nullopt; }

private:
    std::variant<T, JsonError> m_state;
};

namespace JsonCoding {

QString childPath(const QString& path, const QString& key);
QString indexPath(const QString& path, qsizetype index);

// Parses a document whose top level must be an object.
JsonResult<QJsonObject> parseObject(const QByteArray& bytes);

// Parses bytes and decodes them as T (T::fromJson).
template <typename T>
JsonResult<T> decode(const QByteArray& bytes) {
    JsonResult<QJsonObject> object = parseObject(bytes);
    if (!object) return object.error();
    return T::fromJson(QJsonValue(*object), QString());
}

// Compact UTF-8 text of an encoded value.
QByteArray toBytes(const QJsonObject& object);

// Unsigned 64-bit numbers are written as integers; the rare value beyond the signed range
// falls back to a double, which still decodes.
QJsonValue fromUInt64(quint64 value);

// How fromVariant treats what has no plain JSON form.
enum class VariantRule {
    // Strings, Booleans, finite numbers and lists and maps of them; anything else (a null, a
    // non-finite number, a date...) anywhere refuses the whole value.
    strict,
    // Null members are left out and non-finite numbers become null; a value of any other type
    // anywhere refuses the whole value.
    lenient,
    // As lenient, but a value of any other type is written as its text (dates read like
    // "2026-01-02 03:04:05 +0000", others as their string form or their type's name).
    describe,
};

// The JSON form of a value as property maps and payloads carry it (strings, numbers, Booleans,
// lists, maps and JSON values); none when the rule refuses it or the value is null.
std::optional<QJsonValue> fromVariant(const QVariant& value, VariantRule rule);

// Value converters; each returns the value or an error at `path`.
JsonResult<bool> toBool(const QJsonValue& value, const QString& path);
JsonResult<QString> toString(const QJsonValue& value, const QString& path);
JsonResult<double> toDouble(const QJsonValue& value, const QString& path);
// A whole number within [min, max]; fractions and numbers outside the range fail.
JsonResult<qint64> toInt64(const QJsonValue& value, const QString& path, qint64 min, qint64 max);
JsonResult<quint64> toUInt64(const QJsonValue& value, const QString& path);
JsonResult<QStringList> toStringList(const QJsonValue& value, const QString& path);
JsonResult<QMap<QString, QString>> toStringMap(const QJsonValue& value, const QString& path);

template <typename I>
requires std::integral<I> JsonResult<I> toInteger(const QJsonValue& value, const QString& path) {
    if constexpr (std::is_same_v<I, quint64>) {
        return toUInt64(value, path);
    } else {
        static_assert(sizeof(I) < 8 || std::is_signed_v<I>, "unsigned 64-bit goes through toUInt64");
        JsonResult<qint64> wide = toInt64(value, path, std::numeric_limits<I>::min(), std::numeric_limits<I>::max());
        if (!wide) return wide.error();
        return static_cast<I>(*wide);
    }
}

// An enumeration coded as its raw-value string; `fromRaw` maps a raw value to its case.
template <typename E>
JsonResult<E> toEnumeration(const QJsonValue& value, const QString& path, std::optional<E> (*fromRaw)(const QString&)) {
    JsonResult<QString> text = toString(value, path);
    if (!text) return text.error();
    if (std::optional<E> e = fromRaw(*text)) return *e;
    return JsonError{path, QStringLiteral("unknown value \"%1\"").arg(*text)};
}

template <typename T>
JsonResult<QList<T>> toList(const QJsonValue& value, const QString& path) {
    if (!value.isArray()) return JsonError{path, QStringLiteral("expected an array")};
    const QJsonArray array = value.toArray();
    QList<T> out;
    out.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        JsonResult<T> item = T::fromJson(array.at(i), indexPath(path, i));
        if (!item) return item.error();
        out.append(std::move(item).value());
    }
    return out;
}

template <typename T>
QJsonArray fromList(const QList<T>& items) {
    QJsonArray array;
    for (const T& item : items) array.append(item.toJson());
    return array;
}

QJsonObject fromStringMap(const QMap<QString, QString>& map);

}  // namespace JsonCoding

// Reads the members of one JSON object, remembering the first failure. After a failure every
// further read returns a default value and changes nothing, so decoders can read straight
// through and call finish() at the end.
class JsonDecoder {
    // The value type that a converter's JsonResult carries.
    template <typename F>
    using Converted = std::remove_cvref_t<decltype(*std::declval<F>()(QJsonValue(), QString()))>;

public:
    JsonDecoder(const QJsonValue& json, QString path = {});

    bool failed() const { return m_error.has_value(); }
    const std::optional<JsonError>& error() const { return m_error; }
    const QString& path() const { return m_path; }

    template <typename T>
    JsonResult<T> finish(T value) const {
        if (m_error) return *m_error;
        return value;
    }

    // Required members.
    bool boolean(const QString& key) { return required(key, JsonCoding::toBool); }
    QString string(const QString& key) { return required(key, JsonCoding::toString); }
    double number(const QString& key) { return required(key, JsonCoding::toDouble); }
    // A measurement: JSON has no NaN or infinity, so one that went wrong was written as null.
    // Null reads as 0 (as the history store keeps such a value), so one bad number never costs
    // the whole record; the member itself is still required.
    double measurement(const QString& key) {
        return required(key, [](const QJsonValue& v, const QString& p) -> JsonResult<double> {
            return v.isNull() ? JsonResult<double>(0.0) : JsonCoding::toDouble(v, p);
        });
    }
    QStringList stringList(const QString& key) { return required(key, JsonCoding::toStringList); }
    QMap<QString, QString> stringMap(const QString& key) { return required(key, JsonCoding::toStringMap); }
    template <typename I>
    I integer(const QString& key) {
        return required(key, JsonCoding::toInteger<I>);
    }
    template <typename E>
    E enumeration(const QString& key, std::optional<E> (*fromRaw)(const QString&)) {
        return required(key, [fromRaw](const QJsonValue& v, const QString& p) {
            return JsonCoding::toEnumeration<E>(v, p, fromRaw);
        });
    }
    template <typename T>
    T object(const QString& key) {
        return required(key, &T::fromJson);
    }
    template <typename T>
    QList<T> list(const QString& key) {
        return required(key, JsonCoding::toList<T>);
    }

    // Optional members: missing and null both give no value.
    std::optional<QString> optionalString(const QString& key) { return optional(key, JsonCoding::toString); }
    std::optional<double> optionalNumber(const QString& key) { return optional(key, JsonCoding::toDouble); }
    template <typename E>
    std::optional<E> optionalEnumeration(const QString& key, std::optional<E> (*fromRaw)(const QString&)) {
        return optional(key, [fromRaw](const QJsonValue& v, const QString& p) {
            return JsonCoding::toEnumeration<E>(v, p, fromRaw);
        });
    }

    // Any other member kind: `convert(value, path)` returns a JsonResult.
    template <typename F>
    Converted<F> required(const QString& key, F&& convert) {
        using T = Converted<F>;
        if (failed()) return T{};
        const QJsonValue v = m_object.value(key);
        const QString p = JsonCoding::childPath(m_path, key);
        if (v.isUndefined()) {
            fail(p, QStringLiteral("missing required member"));
            return T{};
        }
        return take<T>(convert(v, p));
    }

    template <typename F>
    std::optional<Converted<F>> optional(const QString& key, F&& convert) {
        using T = Converted<F>;
        if (failed()) return std::optional<T>();
        const QJsonValue v = m_object.value(key);
        if (v.isUndefined() || v.isNull()) return std::optional<T>();
        auto result = convert(v, JsonCoding::childPath(m_path, key));
        if (!result) {
            m_error = result.error();
            return std::optional<T>();
        }
        return std::optional<T>(std::move(result).value());
    }

private:
    template <typename T>
    T take(JsonResult<T> result) {
        if (!result) {
            m_error = result.error();
            return T{};
        }
        return std::move(result).value();
    }
    void fail(const QString& path, const QString& message) { m_error = JsonError{path, message}; }

    QJsonObject m_object;
    QString m_path;
    std::optional<JsonError> m_error;
};

#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>
#include <type_traits>
#include <utility>

// Enumerations whose stored and transmitted form is a fixed text (the raw value).
//
// An enumeration opts in by specialising RawValueTable with its cases in declaration order:
//     template <> struct RawValueTable<Fruit> {
//         static constexpr std::pair<Fruit, const char*> cases[] = {{Fruit::apple, "apple"}, ...};
//     };
// and then has rawValue(e), fromRawValue<E>(text) (exact, case-sensitive match), allCases<E>()
// and qHash. JsonDecoder::enumeration takes fromRawValue<E> as its converter. This is the only
// text form of an enumeration: no rawValue() member, name function or switch of its own.
//
// A category that also carries functions of its own (AppType::detect) is a small class around a
// plain enumeration, comparable and constructible from its cases; its table lists those cases
// and it has the same functions.
template <typename E>
struct RawValueTable;

template <typename E>
concept RawValueEnum = requires {
    RawValueTable<E>::cases;
};

template <RawValueEnum E>
QString rawValue(E value) {
    for (const auto& [e, raw] : RawValueTable<E>::cases) {
        if (e == value) return QString::fromUtf8(raw);
    }
    return {};  // only for a value cast from an integer that names no case
}

template <RawValueEnum E>
std::optional<E> fromRawValue(const QString& raw) {
    for (const auto& [e, text] : RawValueTable<E>::cases) {
        if (raw == QLatin1String(text)) return e;
    }
    return std::nullopt;
}

template <RawValueEnum E>
QList<E> allCases() {
    QList<E> out;
    for (const auto& entry : RawValueTable<E>::cases) out.append(entry.first);
    return out;
}

template <RawValueEnum E>
requires std::is_enum_v<E> size_t qHash(E value, size_t seed = 0)
noexcept { return ::qHash(std::underlying_type_t<E>(value), seed); }

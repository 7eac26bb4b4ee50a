#pragma once
// Shared pieces of the fuzz targets: a quiet Qt application in a throwaway home, the input cut
// into text fields, and checks that stop the run with a readable message.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace Fuzz {

// Once per process: a QCoreApplication, XDG folders under a fresh temporary folder (so logs,
// settings and user defaults never touch the real ones) and no Qt message output.
void initialize();

// Properties whose fixes are not in yet (a user-defaults value with a forged size). Off unless
// VANTROSE_FUZZ_PENDING=1; scripts/fuzz.sh --pending turns them on.
bool pendingPropertiesEnabled();

// Stops the run (libFuzzer then saves the input) when `ok` is false.
void check(bool ok, const char* property, const QString& detail = {});

// The input as UTF-8 text split at the unit separator (0x1F) into exactly `count` fields;
// missing fields are empty, extra separators stay in the last field. Seeds are plain text.
QStringList fields(const std::uint8_t* data, std::size_t size, int count);

// Compact JSON of an object, for comparing encodings (NaN and infinities included).
QByteArray bytes(const QJsonObject& object);

}  // namespace Fuzz

#include "Models/JsonCoding.h"
#include "Models/VantroseSettings.h"

#include <QList>
#include <QMap>

namespace Fuzz {

// Decodes `input` as T; when that succeeds, encoding and decoding again must succeed and give
// the same value (compared by encoding, so a NaN equals itself). Returns the first value.
template <typename T>
std::optional<T> checkRoundTrip(const QByteArray& input, const char* what) {
    JsonResult<T> first = JsonCoding::decode<T>(input);
    if (!first) return std::nullopt;
    const QByteArray encoded = bytes(first.value().toJson());
    JsonResult<T> second = JsonCoding::decode<T>(encoded);
    check(second.ok(), what,
          QStringLiteral("re-decoding the encoding failed: ") + (second.ok() ? QString() : second.error().toString()) +
              QStringLiteral("\nencoding: ") + QString::fromUtf8(encoded));
    const QByteArray again = bytes(second.value().toJson());
    check(again == encoded, what,
          QStringLiteral("the value changed: ") + QString::fromUtf8(encoded) + QStringLiteral(" -> ") +
              QString::fromUtf8(again));
    return std::optional<T>(first.value());
}

}  // namespace Fuzz

namespace Fuzz {

// Rules written as text, one a line, "<kind>\t<trigger>\t<value>": kind 'r' a formatter
// replacement, 's' a snippet, 'u' a user text replacement, 'c' a custom word (trigger only).
struct Rules {
    QMap<QString, QString> replacements;
    QMap<QString, QString> snippets;
    QList<TextReplacement> userReplacements;
    QStringList customWords;
};
Rules parseRules(const QString& text);

// The most any chain of rules may produce.
inline double allowedOutputLength(qsizetype inputLength) { return 1'000'000.0 + 100.0 * double(inputLength); }

// A trigger the property "a rule matches its own trigger" applies to: some non-space
// character, and no white space at either end (white space there is not part of any word).
bool isPlainTrigger(const QString& trigger);

}  // namespace Fuzz

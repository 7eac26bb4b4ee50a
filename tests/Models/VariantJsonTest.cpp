#include "Models/JsonCoding.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace {

using JsonCoding::VariantRule;
using Result = std::optional<QJsonValue>;

// The three rules share one converter; each row is one input under all three, so a case that
// one caller relies on cannot drift into another's rule unnoticed.
TEST(VariantJson, EachRuleKeepsRefusesOrDescribesWhatJsonCannotHold) {
    struct Case {
        const char* name;
        QVariant input;
        Result strict;
        Result lenient;
        Result describe;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QDateTime date(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    const QJsonObject plain{{"a", 1}, {"b", QJsonArray{"x", true}}};
    const Case cases[] = {
        {"plain values pass under every rule", QVariantMap{{"a", 1}, {"b", QVariantList{"x", true}}}, plain, plain,
         plain},
        {"an absent value", QVariant(), std::nullopt, std::nullopt, std::nullopt},
        {"an absent member", QVariantMap{{"a", 1}, {"gone", QVariant()}}, std::nullopt, QJsonObject{{"a", 1}},
         QJsonObject{{"a", 1}}},
        {"a JSON null inside a JSON object", QJsonObject{{"a", QJsonValue::Null}, {"b", 2}}, std::nullopt,
         QJsonObject{{"b", 2}}, QJsonObject{{"b", 2}}},
        {"a number that is not finite", QVariantList{1.5, nan}, std::nullopt, QJsonArray{1.5, QJsonValue::Null},
         QJsonArray{1.5, QJsonValue::Null}},
        {"a date deep inside", QVariantMap{{"n", QVariantList{1, date}}}, std::nullopt, std::nullopt,
         QJsonObject{{"n", QJsonArray{1, "2026-01-02 03:04:05 +0000"}}}},
        {"unsigned beyond the signed range", QVariant::fromValue(std::numeric_limits<quint64>::max()),
         QJsonValue(18446744073709551615.0), QJsonValue(18446744073709551615.0), QJsonValue(18446744073709551615.0)},
        {"unsigned within it stays exact", QVariant::fromValue(quint64(1) << 60), QJsonValue(qint64(1) << 60),
         QJsonValue(qint64(1) << 60), QJsonValue(qint64(1) << 60)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JsonCoding::fromVariant(c.input, VariantRule::strict), c.strict);
        EXPECT_EQ(JsonCoding::fromVariant(c.input, VariantRule::lenient), c.lenient);
        EXPECT_EQ(JsonCoding::fromVariant(c.input, VariantRule::describe), c.describe);
    }
}

}  // namespace

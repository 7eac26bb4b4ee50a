#include "Core/Services/MetricsLogger.h"
#include "Foundation/Clock.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {
QList<QJsonObject> readLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray all = f.readAll();
    EXPECT_TRUE(all.isEmpty() || all.endsWith('\n'));
    QList<QJsonObject> lines;
    for (const QByteArray& line : all.split('\n')) {
        if (line.isEmpty()) continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        lines.append(doc.object());
    }
    return lines;
}

struct ClockOverride {
    ManualClock clock;
    ClockOverride() { Clock::setCurrent(&clock); }
    ~ClockOverride() { Clock::setCurrent(nullptr); }
};
}  // namespace

TEST(MetricsLoggerTest, LineCarriesItsOwnKeysOverThePayloads) {
    ClockOverride time;  // 1'800'000'000 s after the epoch
    MetricsLogger& logger = MetricsLogger::shared();
    QFile::remove(logger.filePath());

    logger.emit("paste_done", "trace-1",
                {{"event", "spoofed"}, {"ts", "yesterday"}, {"session_id", "x"}, {"latency_ms", 42}});
    logger.flush();

    const QList<QJsonObject> lines = readLines(logger.filePath());
    ASSERT_EQ(lines.size(), 1);
    const QJsonObject& line = lines[0];
    EXPECT_EQ(line["event"].toString(), "paste_done");
    EXPECT_EQ(line["trace_id"].toString(), "trace-1");
    EXPECT_EQ(line["ts"].toString(), "2027-01-15T08:00:00.000Z");
    EXPECT_EQ(line["session_id"].toString(), logger.sessionID());
    EXPECT_EQ(line["latency_ms"].toInt(), 42);
    EXPECT_EQ(line.size(), 5);
}

TEST(MetricsLoggerTest, FirstEventCreatesTheFileAndLaterOnesAppendWithOneSession) {
    MetricsLogger& logger = MetricsLogger::shared();
    EXPECT_TRUE(logger.filePath().endsWith("/Vantrose/metrics.jsonl"));
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(logger.sessionID())
                    .hasMatch());
    QFile::remove(logger.filePath());

    for (int i = 0; i < 50; ++i) logger.emit("tick", QString(), {{"i", i}});
    logger.flush();

    const QList<QJsonObject> lines = readLines(logger.filePath());
    ASSERT_EQ(lines.size(), 50);
    for (int i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["i"].toInt(), i);  // submission order
        EXPECT_EQ(lines[i]["session_id"].toString(), logger.sessionID());
        EXPECT_EQ(lines[i]["trace_id"].toString("absent"), "");
    }
    // Readable by its owner alone, as the text log.
    EXPECT_EQ(QFile::permissions(logger.filePath()) & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);
}

TEST(MetricsLoggerTest, NumbersThatAreNotFiniteAreWrittenAsNullAndTheLineIsKept) {
    MetricsLogger& logger = MetricsLogger::shared();
    QFile::remove(logger.filePath());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    logger.emit("timing", "t",
                {{"rtf", nan},
                 {"wait", -inf},
                 {"peak", std::numeric_limits<float>::infinity()},
                 {"nested", QVariantMap{{"gap", nan}, {"ok", 1.5}}},
                 {"series", QVariantList{1.0, inf, 2.0}}});
    logger.flush();

    const QList<QJsonObject> lines = readLines(logger.filePath());
    ASSERT_EQ(lines.size(), 1);
    const QJsonObject& line = lines[0];
    for (const char* key : {"rtf", "wait", "peak"}) {
        EXPECT_TRUE(line.contains(key)) << key;
        EXPECT_TRUE(line[key].isNull()) << key;
    }
    EXPECT_TRUE(line["nested"]["gap"].isNull());
    EXPECT_EQ(line["nested"]["ok"].toDouble(), 1.5);
    const QJsonArray series = line["series"].toArray();
    ASSERT_EQ(series.size(), 3);
    EXPECT_TRUE(series[1].isNull());
    EXPECT_EQ(line["event"].toString(), "timing");
}

TEST(MetricsLoggerTest, SanitiserTurnsValuesIntoJson) {
    struct Case {
        const char* name;
        QVariant input;
        std::optional<QJsonValue> expected;
    };
    const QDateTime date(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    const Case cases[] = {
        {"absent", QVariant(), std::nullopt},
        {"null pointer", QVariant::fromValue(nullptr), std::nullopt},
        {"string", QString("héllo"), QJsonValue("héllo")},
        {"empty string", QString(), QJsonValue("")},
        {"int", 7, QJsonValue(7)},
        {"int64", qint64(1) << 40, QJsonValue(qint64(1) << 40)},
        {"unsigned", 3u, QJsonValue(3)},
        {"double", 2.25, QJsonValue(2.25)},
        {"float", 0.5f, QJsonValue(0.5)},
        {"bool", true, QJsonValue(true)},
        {"date", date, QJsonValue("2026-01-02 03:04:05 +0000")},
        {"map drops absent", QVariantMap{{"a", 1}, {"b", QVariant()}}, QJsonObject{{"a", 1}}},
        {"hash", QVariantHash{{"a", "x"}}, QJsonObject{{"a", "x"}}},
        {"list drops absent", QVariantList{1, QVariant(), "z"}, QJsonArray{1, "z"}},
        {"string list", QStringList{"a", "b"}, QJsonArray{"a", "b"}},
        {"nested", QVariantList{QVariantMap{{"k", QVariantList{QVariant(), false}}}},
         QJsonArray{QJsonObject{{"k", QJsonArray{false}}}}},
        {"json object", QJsonObject{{"a", QJsonValue::Null}, {"b", 2}}, QJsonObject{{"b", 2}}},
        {"byte array", QByteArray("raw"), QJsonValue("raw")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MetricsLogger::sanitizeJSONObject(c.input), c.expected);
    }
}

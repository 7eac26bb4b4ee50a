#include "Core/Audio/MicTimingPredictor.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using Timing = MicTimingPredictor::Timing;

QString logText() {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

class MicTimingPredictorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Each case starts without the timings an earlier case in this process wrote.
        for (const QString& file : {path, path + ".case"}) QFile::remove(file);
        Clock::setCurrent(&clock);
    }
    void TearDown() override { Clock::setCurrent(nullptr); }

    void writeFile(const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray readFile() {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A stored history for `key`, newest first.
    void store(const QString& key, const QList<Timing>& timings) {
        QJsonArray array;
        for (const Timing& t : timings) array.append(t.toJson());
        writeFile(QJsonDocument(QJsonObject{{key, array}}).toJson());
    }

    ManualClock clock;
    const QString path = MicTimingPredictor::defaultFilePath();
};

TEST_F(MicTimingPredictorTest, EwmaFoldsFromTheOldestWithWeightPointThree) {
    struct Case {
        QList<double> newestFirst;
        double expected;
    };
    const Case cases[] = {
        {{}, 0},
        {{150}, 150},
        {{100, 200, 300}, (300 * 0.7 + 200 * 0.3) * 0.7 + 100 * 0.3},
        {{50, 50, 50, 50}, 50},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(MicTimingPredictor::ewma(c.newestFirst), c.expected);
    EXPECT_DOUBLE_EQ(MicTimingPredictor::ewma({100, 200, 300}), 219);
}

TEST_F(MicTimingPredictorTest, FirstStartOfARunUsesColdTimingsThenWarmOnes) {
    store("usb-mic", {{100, 5, false}, {900, 4, true}, {200, 3, false}, {300, 2, false}, {700, 1, true}});
    MicTimingPredictor predictor(path);
    EXPECT_TRUE(logText().contains("MicTiming: Loaded 5 timings for 1 devices"));

    // Nothing used yet in this run: cold, from the cold ones (900 newest, 700 oldest).
    EXPECT_DOUBLE_EQ(*predictor.predict(QStringLiteral("usb-mic")), 700 * 0.7 + 900 * 0.3);
    predictor.recordTiming(QStringLiteral("usb-mic"), 800, std::nullopt);
    EXPECT_TRUE(predictor.timings("usb-mic").first().isCold);

    clock.advance(std::chrono::seconds(30));
    EXPECT_DOUBLE_EQ(*predictor.predict(QStringLiteral("usb-mic")), 219);
    EXPECT_FALSE(predictor.predict(QStringLiteral("other")).has_value());  // no history
}

TEST_F(MicTimingPredictorTest, EitherKindStandsInWhenTheOtherHasNoTimings) {
    store("usb-mic", {{100, 5, false}, {200, 3, false}});
    MicTimingPredictor predictor(path);
    EXPECT_DOUBLE_EQ(*predictor.predict(QStringLiteral("usb-mic")), 200 * 0.7 + 100 * 0.3);  // cold, none cold

    store("usb-mic", {{900, 4, true}});
    MicTimingPredictor coldOnly(path);
    coldOnly.recordTiming(QStringLiteral("usb-mic"), 600, std::nullopt);  // cold: first in this run
    clock.advance(std::chrono::seconds(1));
    ASSERT_FALSE(coldOnly.isColdStart(QStringLiteral("usb-mic")));
    EXPECT_DOUBLE_EQ(*coldOnly.predict(QStringLiteral("usb-mic")), 900 * 0.7 + 600 * 0.3);  // warm, none warm
}

TEST_F(MicTimingPredictorTest, PredictionLooksAtTheNewestTenOnly) {
    QList<Timing> stored;
    for (int i = 0; i < 10; ++i) stored.append({100, 100.0 - i, true});
    for (int i = 0; i < 5; ++i) stored.append({5000, 50.0 - i, true});
    store("system-default", stored);
    MicTimingPredictor predictor(path);
    EXPECT_DOUBLE_EQ(*predictor.predict(std::nullopt), 100);
}

TEST_F(MicTimingPredictorTest, StartUpsAreColdAfterAPauseOrADeviceSwitch) {
    MicTimingPredictor predictor(path);
    const QString a = QStringLiteral("mic-a"), b = QStringLiteral("mic-b");
    struct Step {
        double advance;
        QString device;
        bool cold;
    };
    const Step steps[] = {
        {0, a, true},     // first in this run
        {60, a, false},   // back to back
        {120, a, false},  // exactly the threshold is still warm
        {121, a, true},   // a long pause
        {1, b, true},     // another device
        {1, a, true},     // and back
        {1, a, false},
    };
    for (const Step& s : steps) {
        clock.advance(std::chrono::duration<double>(s.advance));
        predictor.recordTiming(s.device, 50, std::nullopt);
        EXPECT_EQ(predictor.timings(s.device).first().isCold, s.cold) << s.advance << " " << s.device.toStdString();
    }
    EXPECT_EQ(predictor.timings(a).size(), 6);
}

TEST_F(MicTimingPredictorTest, AMissOfMoreThanFourHundredWithholdsTheNextTenPredictions) {
    struct Case {
        double prediction, actual;
        bool marked;
    };
    const Case cases[] = {{100, 501, true}, {100, 500, false}, {900, 499, true}, {900, 500, false}};
    for (const Case& c : cases) {
        MicTimingPredictor predictor(path + ".case");
        predictor.recordTiming(QStringLiteral("mic"), c.actual, c.prediction);
        int withheld = 0;
        for (int i = 0; i < 10; ++i) withheld += predictor.predict(QStringLiteral("mic")).has_value() ? 0 : 1;
        EXPECT_EQ(withheld, c.marked ? 10 : 0) << c.actual;
        EXPECT_TRUE(predictor.predict(QStringLiteral("mic")).has_value());  // the 11th
    }
    EXPECT_TRUE(logText().contains("MicTiming: Device 'mic' marked unreliable (predicted 100ms, actual 501ms)"));
    EXPECT_TRUE(logText().contains("MicTiming: Device 'mic' marked unreliable (predicted 900ms, actual 499ms)"));
    EXPECT_FALSE(logText().contains("actual 500ms"));
}

TEST_F(MicTimingPredictorTest, HistoryIsCappedPerDeviceDroppingTheOldest) {
    MicTimingPredictor predictor(path);
    for (int i = 0; i <= MicTimingPredictor::maxTimingsPerDevice; ++i) {
        predictor.recordTiming(QStringLiteral("mic"), i, std::nullopt);
        clock.advance(std::chrono::seconds(1));
    }
    const QList<Timing> kept = predictor.timings("mic");
    ASSERT_EQ(kept.size(), MicTimingPredictor::maxTimingsPerDevice);
    EXPECT_EQ(kept.first().durationMs, 1024);
    EXPECT_EQ(kept.last().durationMs, 1);
}

TEST_F(MicTimingPredictorTest, NoSelectedMicrophoneIsTheSystemDefault) {
    MicTimingPredictor predictor(path);
    predictor.recordTiming(std::nullopt, 80, std::nullopt);
    predictor.recordTiming(QString(), 90, std::nullopt);
    EXPECT_EQ(predictor.timings("system-default").size(), 2);
    EXPECT_DOUBLE_EQ(*predictor.predict(std::nullopt), 90);  // the one warm start-up
}

TEST_F(MicTimingPredictorTest, TimingsSurviveARestartInTheFile) {
    {
        MicTimingPredictor predictor(path);
        predictor.recordTiming(QStringLiteral("mic"), 120.5, std::nullopt);
        predictor.recordTiming(QStringLiteral("mic"), std::numeric_limits<double>::quiet_NaN(), std::nullopt);
    }
    const QJsonObject saved = QJsonDocument::fromJson(readFile()).object();
    ASSERT_EQ(saved.keys(), QStringList{"mic"});
    const QJsonArray list = saved.value("mic").toArray();
    ASSERT_EQ(list.size(), 1);  // the broken measurement was not kept
    EXPECT_EQ(list.at(0).toObject(),
              (QJsonObject{{"durationMs", 120.5}, {"timestamp", 1'800'000'000.0 - 978'307'200.0}, {"isCold", true}}));

    MicTimingPredictor reloaded(path);
    EXPECT_EQ(reloaded.timings("mic"), (QList<Timing>{{120.5, 1'800'000'000.0 - 978'307'200.0, true}}));
}

TEST_F(MicTimingPredictorTest, UnreadableFileGivesAnEmptyHistoryAndIsReplacedAtTheNextRecord) {
    const QByteArray bad[] = {
        "not json",
        R"({"mic": [{"durationMs": 100, "timestamp": 1}]})",  // a member missing
        R"({"mic": [{"durationMs": "fast", "timestamp": 1, "isCold": true}]})",
        R"(["mic"])",
    };
    for (const QByteArray& bytes : bad) {
        writeFile(bytes);
        MicTimingPredictor predictor(path);
        EXPECT_FALSE(predictor.predict(QStringLiteral("mic")).has_value()) << bytes.toStdString();
        predictor.recordTiming(QStringLiteral("mic"), 70, std::nullopt);
        predictor.flush();
        MicTimingPredictor reloaded(path);
        EXPECT_EQ(reloaded.timings("mic").size(), 1) << bytes.toStdString();
    }
}

}  // namespace

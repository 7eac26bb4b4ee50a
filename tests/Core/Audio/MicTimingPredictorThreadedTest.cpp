#include "Core/Audio/MicTimingPredictor.h"
#include "Foundation/Clock.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

// Every recorded start-up hands a snapshot to the writer while the main thread goes on
// changing the history; the file must end up holding the newest snapshot, whole.
TEST(MicTimingPredictorThreadedTest, RapidRecordsLeaveTheNewestSnapshotInTheFile) {
    ManualClock clock;  // no local-time conversions beside the log's (they race inside glibc)
    Clock::setCurrent(&clock);
    const QString path = MicTimingPredictor::defaultFilePath();
    constexpr int kRecords = 300;
    MicTimingPredictor predictor(path);
    for (int i = 0; i < kRecords; ++i) {
        predictor.recordTiming(i % 2 ? QStringLiteral("mic-a") : QStringLiteral("mic-b"), i, std::nullopt);
        clock.advance(std::chrono::seconds(1));
    }
    predictor.flush();
    MicTimingPredictor reloaded(path);
    EXPECT_EQ(reloaded.timings("mic-a"), predictor.timings("mic-a"));
    EXPECT_EQ(reloaded.timings("mic-b"), predictor.timings("mic-b"));
    EXPECT_EQ(reloaded.timings("mic-a").first().durationMs, kRecords - 1);

    // Only the file itself remains: no half-written temporary files.
    const QStringList left = QDir(QFileInfo(path).absolutePath()).entryList({"mic_timings*"}, QDir::Files);
    EXPECT_EQ(left, QStringList{"mic_timings.json"});
    Clock::setCurrent(nullptr);
}

#include "Foundation/Clock.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;

// What the tests drive time with: every call and every sleep runs at its own time, in the order
// of the times, also those scheduled by what already ran within the same advance.
TEST(ManualClockTest, RunsCallsAndSleepsAtTheirOwnTimesInOrder) {
    ManualClock clock;
    const Clock::TimePoint start = clock.monotonicNow();
    QStringList ran;
    const auto note = [&](const QString& what) {
        ran << QStringLiteral("%1@%2").arg(what).arg(toMilliseconds(clock.monotonicNow() - start));
    };
    clock.callAfter(300ms, [&] { note(QStringLiteral("late")); });
    clock.callAfter(100ms, [&] { note(QStringLiteral("first")); });
    clock.callAfter(100ms, [&] {
        note(QStringLiteral("second"));
        clock.callAfter(50ms, [&] { note(QStringLiteral("scheduled-by-second")); });
    });
    [](ManualClock& clock, std::function<void()> done) -> QCoro::Task<> {
        co_await clock.sleep(200ms);
        done();
    }(clock, [&] { note(QStringLiteral("sleeper")); });
    EXPECT_EQ(clock.pending(), 4);

    clock.advance(250ms);
    EXPECT_EQ(ran, (QStringList{"first@100", "second@100", "scheduled-by-second@150", "sleeper@200"}));
    EXPECT_EQ(clock.monotonicNow() - start, 250ms);
    EXPECT_EQ(clock.pending(), 1);

    clock.advance(50ms);
    EXPECT_EQ(ran.last(), QStringLiteral("late@300"));
    EXPECT_EQ(clock.pending(), 0);
}

TEST(ManualClockTest, ASleepOfNoTimeEndsAtOnce) {
    ManualClock clock;
    bool done = false;
    [](ManualClock& clock, bool& done) -> QCoro::Task<> {
        co_await clock.sleep(0ms);
        done = true;
    }(clock, done);
    EXPECT_TRUE(done);
    EXPECT_EQ(clock.pending(), 0);
}

}  // namespace

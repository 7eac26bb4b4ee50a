#include "Foundation/SerialQueue.h"
#include "Foundation/Clock.h"

#include <QThread>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

TEST(SerialQueueTest, RunsJobsInOrderOnItsOwnNamedThread) {
    SerialQueue queue("com.vantrose.test");
    std::vector<int> order;
    QString threadName;
    for (int i = 0; i < 100; ++i) queue.async([&, i] { order.push_back(i); });
    queue.sync([&] { threadName = QThread::currentThread()->objectName(); });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threadName, "com.vantrose.test");
}

TEST(SerialQueueTest, DestructionFinishesSubmittedJobs) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("com.vantrose.test");
        for (int i = 0; i < 50; ++i) queue.async([&] { ran++; });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(SerialQueueTest, SyncFromInsideTheQueueRunsInline) {
    SerialQueue queue("com.vantrose.test");
    bool inner = false;
    queue.sync([&] { queue.sync([&] { inner = true; }); });
    EXPECT_TRUE(inner);
}

TEST(ClockTest, ManualClockMovesOnlyWhenAdvanced) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    const Clock::TimePoint t0 = Clock::current().monotonicNow();
    const QDateTime w0 = Clock::current().now();
    EXPECT_EQ(Clock::current().monotonicNow(), t0);
    clock.advance(std::chrono::milliseconds(500));
    EXPECT_EQ(Clock::current().monotonicNow() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(w0.msecsTo(Clock::current().now()), 500);
    Clock::setCurrent(nullptr);
    EXPECT_NE(&Clock::current(), &clock);
}

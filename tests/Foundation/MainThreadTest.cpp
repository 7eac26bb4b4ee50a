#include "Foundation/MainThread.h"

#include "support/TestEnvironment.h"

#include <QThread>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

TEST(MainThreadTest, CallsFromOtherThreadsRunOnTheMainThreadInPostingOrder) {
    QObject guard;
    std::vector<int> order;
    bool allOnMain = true;
    QThread* worker = QThread::create([&] {
        for (int i = 0; i < 100; ++i)
            runOnMain(&guard, [&, i] {
                allOnMain = allOnMain && isMainThread();
                order.push_back(i);
            });
    });
    worker->start();
    worker->wait();
    delete worker;
    ASSERT_TRUE(waitUntil([&] { return order.size() == 100; }));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(MainThreadTest, CallIsDroppedWhenItsGuardDiesFirst) {
    auto guard = std::make_unique<QObject>();
    bool guardedRan = false, unguardedRan = false;
    runOnMain(guard.get(), [&] { guardedRan = true; });
    runOnMain([&] { unguardedRan = true; });
    guard.reset();
    ASSERT_TRUE(waitUntil([&] { return unguardedRan; }));
    EXPECT_FALSE(guardedRan);
}

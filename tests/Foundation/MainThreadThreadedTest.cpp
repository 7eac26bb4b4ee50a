#include "Foundation/MainThread.h"

#include "support/TestEnvironment.h"

#include <QString>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

// The workers are joined only at the end, as a capture thread runs on while its calls are
// handled: the hand-over alone must order what they posted before the main thread reads it.
TEST(MainThreadThreadedTest, CallsFromOtherThreadsRunOnTheMainThreadInPostingOrder) {
    QObject guard;
    std::vector<int> order;
    bool allOnMain = true;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            runOnMain(&guard, [&, i] {
                allOnMain = allOnMain && isMainThread();
                order.push_back(i);
            });
    });
    const bool all = waitUntil([&] { return order.size() == 100; });
    worker.join();
    ASSERT_TRUE(all);
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

// Two threads posting at once: each one's calls keep their order, and every call runs once.
TEST(MainThreadThreadedTest, CallsOfSeveralThreadsEachKeepTheirOrder) {
    constexpr int kPerThread = 500;
    std::vector<int> seen[2];
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t)
        workers.emplace_back([&seen, t] {
            for (int i = 0; i < kPerThread; ++i) runOnMain([&seen, t, i] { seen[t].push_back(i); });
        });
    const bool all = waitUntil([&] { return seen[0].size() + seen[1].size() == 2 * kPerThread; });
    for (auto& w : workers) w.join();
    ASSERT_TRUE(all);
    for (const auto& calls : seen) {
        ASSERT_EQ(calls.size(), size_t(kPerThread));
        for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(calls[i], i);
    }
}

// A call that waits in a nested event loop (a modal dialog, a test's waitUntil) for something
// posted meanwhile gets it, and the calls queued before that one still run first.
TEST(MainThreadThreadedTest, ACallWaitingInANestedLoopGetsLaterCallsInOrder) {
    std::vector<QString> order;
    bool waited = false;
    runOnMain([&] {
        std::thread worker([&] { runOnMain([&] { order.push_back("from the worker"); }); });
        worker.join();
        waited = waitUntil([&] { return order.size() == 3; }, std::chrono::seconds(2));
        order.push_back("the waiting call ends");
    });
    runOnMain([&] { order.push_back("first"); });
    runOnMain([&] { order.push_back("second"); });
    ASSERT_TRUE(waitUntil([&] { return order.size() == 4; }));
    EXPECT_TRUE(waited);
    EXPECT_EQ(order, (std::vector<QString>{"first", "second", "from the worker", "the waiting call ends"}));
}

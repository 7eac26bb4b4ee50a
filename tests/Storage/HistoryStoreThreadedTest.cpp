#include "HistoryStoreSupport.h"

#include "Foundation/AppPaths.h"
#include "support/TestEnvironment.h"

#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace historytest;

namespace {

// Fixed time: the system clock's local-time conversions race inside glibc, out of sight of
// ThreadSanitizer, with the log's own time stamps on the worker.
class HistoryStoreThreadedTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::setCurrent(&clock); }
    void TearDown() override { Clock::setCurrent(nullptr); }
    ManualClock clock;
};

// The context gathering reads the dictionary on its own thread while the store's worker
// replaces it after each added word.
TEST_F(HistoryStoreThreadedTest, DictionaryReadsFromOtherThreadsSeeWholeSortedLists) {
    HistoryStore store(AppPaths::dataDir() + "/vantrose.sqlite");
    store.initialize();
    constexpr int kWords = 150;

    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    auto reader = [&] {
        while (!stop.load()) {
            const QList<DictionaryEntry> entries = store.dictionaryEntries();
            const bool sorted = std::is_sorted(entries.begin(), entries.end(),
                                               [](const auto& a, const auto& b) { return a.word < b.word; });
            if (!sorted || entries.size() > kWords) badReads++;
        }
    };
    std::thread a(reader), b(reader);
    for (int i = 0; i < kWords; ++i)
        store.addWord(QStringLiteral("word%1").arg(kWords - i, 4, 10, QLatin1Char('0')), std::nullopt, i % 2 == 0);
    store.flush();
    stop = true;
    a.join();
    b.join();

    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(store.dictionary().size(), kWords);
    EXPECT_EQ(store.dictionary().first().word, "word0001");
}

// The dashboard totals are read on the main thread straight from the connection the worker
// writes through.
TEST_F(HistoryStoreThreadedTest, TotalsReadWhileTheWorkerSaves) {
    HistoryStore store(AppPaths::dataDir() + "/vantrose.sqlite");
    store.initialize();
    constexpr int kSaves = 60;
    for (int i = 0; i < kSaves; ++i) store.save(record(QStringLiteral("Three words here.")));
    qint64 last = 0;
    const QDeadlineTimer deadline(std::chrono::seconds(10));
    while (last < kSaves) {
        ASSERT_FALSE(deadline.hasExpired());
        const HistoryStore::Totals totals = store.loadTotals();
        ASSERT_GE(totals.dictations, last);
        ASSERT_EQ(totals.words, totals.dictations * 3);
        last = totals.dictations;
    }
    ASSERT_TRUE(waitUntil([&] { return store.recentHistory().size() == kSaves; }));
}

}  // namespace

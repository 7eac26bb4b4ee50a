#include "ServiceStore.h"

#include "Foundation/Clock.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using EventsAdded = ServiceStore::EventsAdded;

// A batch of `count` events, each about 100 bytes.
QByteArray batch(int count) {
    QByteArray json = "[";
    for (int i = 0; i < count; ++i) {
        if (i) json += ',';
        json += R"({"event":"dictation_completed","device_id":"dev","timestamp":"2027-01-15T08:00:00Z","n":)" +
                QByteArray::number(i) + "}";
    }
    return json + "]";
}

class ServiceStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        Clock::setCurrent(&clock);
    }
    void TearDown() override { Clock::setCurrent(nullptr); }

    QString path() const { return dir.filePath("service.sqlite3"); }

    ManualClock clock;
    QTemporaryDir dir;
};

TEST_F(ServiceStoreTest, RefusesABatchThatWouldTakeItsDeviceOrTheStoreOverTheLimits) {
    const qint64 perEvent = batch(2).size() - batch(1).size();
    struct Post {
        const char* device;
        int events;
        EventsAdded expected;
    };
    struct Case {
        const char* name;
        ServiceStore::EventLimits limits;
        std::vector<Post> posts;
    };
    const qint64 plenty = qint64{1} << 30;
    const Case cases[] = {
        {"events of one device",
         {std::chrono::days(30), 5, plenty, 100, plenty},
         {{"a", 3, EventsAdded::stored},
          {"a", 3, EventsAdded::deviceFull},
          {"a", 2, EventsAdded::stored},
          {"b", 5, EventsAdded::stored}}},
        {"bytes of one device",
         {std::chrono::days(30), 1000, 4 * perEvent, 1000, plenty},
         {{"a", 3, EventsAdded::stored}, {"a", 2, EventsAdded::deviceFull}, {"b", 3, EventsAdded::stored}}},
        {"events of every device",
         {std::chrono::days(30), 5, plenty, 8, plenty},
         {{"a", 5, EventsAdded::stored}, {"b", 4, EventsAdded::storeFull}, {"c", 3, EventsAdded::stored}}},
        {"bytes of every device",
         {std::chrono::days(30), 1000, plenty, 1000, 6 * perEvent},
         {{"a", 3, EventsAdded::stored}, {"b", 3, EventsAdded::storeFull}, {"b", 2, EventsAdded::stored}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path());
        ServiceStore store(path());
        store.setEventLimits(c.limits);
        int stored = 0;
        for (const Post& post : c.posts) {
            EXPECT_EQ(store.addEvents(post.device, {}, {}, batch(post.events), post.events), post.expected)
                << post.device << " " << post.events;
            if (post.expected == EventsAdded::stored) stored += post.events;
        }
        EXPECT_EQ(store.eventCount(), stored);
    }
}

TEST_F(ServiceStoreTest, BatchesPastTheirRetentionGoAndMakeRoom) {
    ServiceStore store(path());
    store.setEventLimits({std::chrono::days(30), 10, qint64{1} << 30, 100, qint64{1} << 30});
    ASSERT_EQ(store.addEvents("a", {}, {}, batch(6), 6), EventsAdded::stored);
    clock.advance(std::chrono::days(20));
    ASSERT_EQ(store.addEvents("a", {}, {}, batch(4), 4), EventsAdded::stored);
    EXPECT_EQ(store.addEvents("a", {}, {}, batch(1), 1), EventsAdded::deviceFull);

    clock.advance(std::chrono::days(11));  // the first batch is 31 days old
    EXPECT_EQ(store.addEvents("a", {}, {}, batch(5), 5), EventsAdded::stored);
    EXPECT_EQ(store.eventCount(), 9);

    // A store opened after a long pause starts without them.
    clock.advance(std::chrono::days(31));
    ServiceStore reopened(path());
    EXPECT_EQ(reopened.eventCount(), 0);
}

TEST_F(ServiceStoreTest, EndingASessionTakesItsEventsAndNoOtherOnes) {
    auto store = std::make_unique<ServiceStore>(path());
    const QString account = store->accountForLogin("ada");
    const auto kept = store->createSession(account, "refresh-kept");
    const auto ended = store->createSession(account, "refresh-ended");
    const auto reused = store->createSession(account, "refresh-reused");
    ASSERT_EQ(store->addEvents("dev", account, kept.id, batch(2), 2), EventsAdded::stored);
    ASSERT_EQ(store->addEvents("dev", account, ended.id, batch(3), 3), EventsAdded::stored);
    ASSERT_EQ(store->addEvents("dev", account, reused.id, batch(4), 4), EventsAdded::stored);
    ASSERT_EQ(store->addEvents("dev", {}, {}, batch(5), 5), EventsAdded::stored);  // anonymous

    store->revokeSession(ended.id);
    EXPECT_EQ(store->eventCount(), 2 + 4 + 5);

    // A rotated refresh token presented again ends its whole session.
    const auto [rotation, rotated] = store->rotateSession("refresh-reused", "refresh-next");
    ASSERT_EQ(rotation, ServiceStore::Rotation::rotated);
    ASSERT_TRUE(rotated.has_value());
    EXPECT_EQ(rotated->generation, 2);
    EXPECT_EQ(store->rotateSession("refresh-reused", "refresh-thief").first, ServiceStore::Rotation::reused);
    EXPECT_TRUE(store->session(reused.id)->revoked);
    EXPECT_EQ(store->rotateSession("refresh-next", "refresh-after").first, ServiceStore::Rotation::unknown);
    EXPECT_EQ(store->eventCount(), 2 + 5);
    EXPECT_FALSE(store->session(kept.id)->revoked);
    EXPECT_EQ(store->rotateSession("refresh-kept", "refresh-kept-2").first, ServiceStore::Rotation::rotated);

    // The count survives a restart.
    store.reset();
    EXPECT_EQ(ServiceStore(path()).eventCount(), 2 + 5);
}

// The database and its journal files hold hashed tokens and every account's settings.
TEST_F(ServiceStoreTest, TheDatabaseAndItsJournalFilesAreTheOwnersOnly) {
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    struct Case {
        const char* name;
        bool earlierRun;  // a database left by an earlier run with the usual 0644
    };
    for (const Case c : {Case{"fresh", false}, Case{"from an earlier run", true}}) {
        SCOPED_TRACE(c.name);
        for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(path() + suffix);
        if (c.earlierRun) {
            QFile earlier(path());
            ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
            earlier.close();
            ASSERT_TRUE(earlier.setPermissions(ownerOnly | QFile::ReadGroup | QFile::ReadOther));
        }
        ServiceStore store(path());
        store.putSettings(store.accountForLogin("ada"), QJsonObject{{"userName", "Ada"}});
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const QString file = path() + suffix;
            ASSERT_TRUE(QFile::exists(file)) << suffix;
            EXPECT_EQ(QFile::permissions(file) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), ownerOnly)
                << suffix;
        }
    }
}

}  // namespace

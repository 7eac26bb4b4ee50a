#include "Foundation/MainThread.h"

#include "support/TestEnvironment.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

TEST(MainThreadTest, CallIsDroppedWhenItsGuardDiesFirst) {
    auto guard = std::make_unique<QObject>();
    bool guardedRan = false, unguardedRan = false;
    runOnMain(guard.get(), [&] { guardedRan = true; });
    runOnMain([&] { unguardedRan = true; });
    guard.reset();
    ASSERT_TRUE(waitUntil([&] { return unguardedRan; }));
    EXPECT_FALSE(guardedRan);
}

#include "Platform/TextInserter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(TextInserterTest, RestoreDelayIsClampedToASaneRange) {
    const struct {
        double configured;
        double used;
    } cases[] = {
        {0.5, 0.5},
        {2.0, 2.0},
        {0.0, TextInserter::minRestoreDelay},
        {-3.0, TextInserter::minRestoreDelay},
        {1e300, TextInserter::maxRestoreDelay},
        {std::numeric_limits<double>::infinity(), 0.5},
        {std::nan(""), 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.configured);
        EXPECT_EQ(TextInserter::effectiveRestoreDelay(c.configured), c.used);
    }
}

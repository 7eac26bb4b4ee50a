#include "Platform/TextInserter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(TextInserterTest, RestoreDelayIsClampedToASaneRange) {
    using std::chrono::milliseconds;
    const struct {
        double configured;  // the stored setting, in seconds
        milliseconds used;
    } cases[] = {
        {0.5, milliseconds(500)},
        {2.0, milliseconds(2000)},
        {0.0, TextInserter::minRestoreDelay},
        {-3.0, TextInserter::minRestoreDelay},
        {1e300, TextInserter::maxRestoreDelay},
        {std::numeric_limits<double>::infinity(), milliseconds(500)},
        {std::nan(""), milliseconds(500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.configured);
        EXPECT_EQ(TextInserter::effectiveRestoreDelay(AbstractTextInserter::restoreDelayFromSeconds(c.configured)),
                  c.used);
    }
}

// Plant file times beyond what the clock can count: relative times of more
// than 100 years in a unit larger than seconds, and absolute times after
// 2262, used to overflow the clock's nanoseconds (undefined behaviour; the
// plant got a wrapped-around time). They are rejected now.
#include <gtest/gtest.h>

#include "plant/plant_json.h"

namespace tolvane::plant {
namespace {

const TimePoint kNow = Clock::from_time_t(1'800'000'000);

TEST(PlantTimeRegression, TimesPastTheClocksRangeAreRejected) {
  TimePoint t = kNow;
  for (const char* bad : {"-3000000000d", "+3153600000m", "-876001h", "9999-01-01T00:00:00Z",
                          "2263-01-01T00:00:00Z"}) {
    EXPECT_FALSE(ParseTime(bad, kNow, &t)) << bad;
  }
  EXPECT_EQ(t, kNow);  // a rejected time leaves the output alone
  // The limits themselves still read.
  ASSERT_TRUE(ParseTime("-36500d", kNow, &t));
  EXPECT_EQ(t, kNow - std::chrono::hours(24 * 36500));
  ASSERT_TRUE(ParseTime("2262-01-01T00:00:00Z", kNow, &t));
  EXPECT_EQ(FormatUtc(t), "2262-01-01T00:00:00Z");
}

}  // namespace
}  // namespace tolvane::plant

// Alarm-management figures: floods, rate buckets, stale alarms, and the
// times read from rows.
#include "present/stats.h"

#include <gtest/gtest.h>

#include <ctime>

namespace tolvane::present {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

const TimePoint kNow = Clock::from_time_t(1'800'000'000);

// A row whose time in is `t`, as the queue writes it (local time).
Row AlarmAt(TimePoint t, const std::string& priority = "HIGH", const std::string& node = "N1",
            bool acked = false) {
  std::time_t secs = Clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char date[16], time[16];
  std::strftime(date, sizeof date, "%m/%d/%Y", &tm);
  std::strftime(time, sizeof time, "%H:%M:%S", &tm);
  Row r;
  r.reference = "A1" + node;
  r.dateIn = date;
  r.timeIn = time;
  r.priority = priority;
  r.node = node;
  r.acknowledged = acked;
  return r;
}

std::vector<TimePoint> Burst(TimePoint start, int n, seconds step) {
  std::vector<TimePoint> out;
  for (int i = 0; i < n; ++i) out.push_back(start + step * i);
  return out;
}

TEST(FloodTest, MoreThanTenInTenMinutesIsAFlood) {
  EXPECT_TRUE(FindFloods(Burst(kNow, 10, seconds(30))).empty()) << "ten is not more than ten";
  auto floods = FindFloods(Burst(kNow, 11, seconds(30)));
  ASSERT_EQ(floods.size(), 1u);
  EXPECT_EQ(floods[0].count, 11u);
  EXPECT_EQ(floods[0].start, kNow);
  EXPECT_EQ(floods[0].end, kNow + seconds(300));
  // Eleven spread just wider than the window is no flood.
  EXPECT_TRUE(FindFloods(Burst(kNow, 11, seconds(61))).empty());
}

TEST(FloodTest, OverlappingWindowsMergeAndSeparateBurstsDoNot) {
  // 30 alarms a minute apart after a dense start: one long flood.
  auto times = Burst(kNow, 12, seconds(10));
  auto more = Burst(kNow + minutes(2), 20, seconds(40));
  times.insert(times.end(), more.begin(), more.end());
  auto floods = FindFloods(times);
  ASSERT_EQ(floods.size(), 1u);
  EXPECT_EQ(floods[0].start, kNow);

  auto two = Burst(kNow, 12, seconds(5));
  auto later = Burst(kNow + hours(2), 15, seconds(5));
  two.insert(two.end(), later.rbegin(), later.rend());  // order does not matter
  floods = FindFloods(two);
  ASSERT_EQ(floods.size(), 2u);
  EXPECT_EQ(floods[0].count, 12u);
  EXPECT_EQ(floods[1].count, 15u);
  EXPECT_EQ(floods[1].start, kNow + hours(2));
}

TEST(StatsTest, CountsRateAndStaleAlarms) {
  std::vector<Row> rows = {
      AlarmAt(kNow - minutes(5), "HIGH", "N1"),
      AlarmAt(kNow - minutes(7), "CRITICAL", "N2", true),
      AlarmAt(kNow - minutes(15), "HIGH", "N1", true),
      AlarmAt(kNow - hours(30), "LOW", "N2"),
      AlarmAt(kNow - hours(25), "*?*", "N2"),
  };
  Row message = AlarmAt(kNow - minutes(1));
  message.reference.clear();
  rows.push_back(message);

  AlarmStats s = ComputeStats(rows, kNow, 1);
  EXPECT_EQ(s.alarms, 5u);
  EXPECT_EQ(s.operatorMessages, 1u);
  EXPECT_EQ(s.newAlarms, 3u);
  EXPECT_EQ(s.acknowledged, 2u);
  ASSERT_EQ(s.byPriority.size(), 8u);  // the seven, then a text outside the table
  EXPECT_EQ(s.byPriority[0], (std::pair<std::string, std::size_t>{"CRITICAL", 1}));
  EXPECT_EQ(s.byPriority[2], (std::pair<std::string, std::size_t>{"HIGH", 2}));
  EXPECT_EQ(s.byPriority[7].first, "*?*");
  EXPECT_EQ(s.byNode, (std::vector<std::pair<std::string, std::size_t>>{{"N1", 2}, {"N2", 3}}));

  ASSERT_EQ(s.rate.size(), 6u);
  EXPECT_EQ(s.rate.back().start, kNow - minutes(10));
  EXPECT_EQ(s.rate[5].count, 2u);
  EXPECT_EQ(s.rate[4].count, 1u);
  ASSERT_EQ(s.stale.size(), 2u);
  EXPECT_EQ(s.stale[0].priority, "LOW") << "oldest first";
  EXPECT_EQ(s.stale[0].age, hours(30));
}

TEST(StatsTest, RowTimesReadOnlyTheQueueForm) {
  auto t = RowTime("01/15/2027", "08:30:05");
  ASSERT_TRUE(t.has_value());
  std::time_t secs = Clock::to_time_t(*t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  EXPECT_EQ(tm.tm_hour, 8);
  EXPECT_EQ(tm.tm_min, 30);
  EXPECT_EQ(tm.tm_mday, 15);
  for (auto [d, h] : std::vector<std::pair<const char*, const char*>>{{"", "08:30:05"},
                                                                      {"13/15/2027", "08:30:05"},
                                                                      {"01/15/2027", "25:00:00"},
                                                                      {"01/15/2027x", "08:30:05"},
                                                                      {"2027-01-15", "08:30:05"}}) {
    EXPECT_FALSE(RowTime(d, h).has_value()) << d << " " << h;
  }
  Row broken;
  broken.reference = "A1N";
  AlarmStats s = ComputeStats({broken}, kNow, 1);
  EXPECT_EQ(s.unreadableTimes, 1u);
}

}  // namespace
}  // namespace tolvane::present

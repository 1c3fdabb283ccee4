// Alarm-management figures of a fetched page: counts by priority and node,
// new against acknowledged, the alarm rate per ten minutes, alarm floods
// and stale alarms.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "plant/plant.h"
#include "present/rows.h"

namespace tolvane::present {

using plant::Clock;
using plant::TimePoint;

inline constexpr auto kRateBucket = std::chrono::minutes(10);
// More than this many alarms within one bucket's length is a flood.
inline constexpr std::size_t kFloodThreshold = 10;
inline constexpr auto kStaleAge = std::chrono::hours(24);

struct AlarmStats {
  std::size_t alarms = 0;  // rows that are alarms (not operator messages)
  std::size_t operatorMessages = 0;
  std::size_t newAlarms = 0;
  std::size_t acknowledged = 0;
  std::size_t unreadableTimes = 0;  // alarms whose time in does not read
  std::size_t shelved = 0;          // counted apart: not in the figures above
  std::vector<std::pair<std::string, std::size_t>> byPriority;  // most severe first
  std::vector<std::pair<std::string, std::size_t>> byNode;      // by name

  struct Bucket {
    TimePoint start;
    std::size_t count = 0;
  };
  std::vector<Bucket> rate;  // oldest first, the last ends at `now`

  struct Flood {
    TimePoint start;  // first alarm of the flood
    TimePoint end;    // last alarm of the flood
    std::size_t count = 0;
  };
  std::vector<Flood> floods;

  struct Stale {
    std::string reference, node, tag, priority, description;
    std::chrono::seconds age{};
  };
  std::vector<Stale> stale;  // oldest first
};

// `hours`: how far back the rate goes.
AlarmStats ComputeStats(const std::vector<Row>& rows, TimePoint now, int hours);

// The time of a row's date and time texts ("MM/dd/yyyy", "HH:mm:ss", local
// time), or nothing when they do not read.
std::optional<TimePoint> RowTime(const std::string& date, const std::string& time);

// Flood intervals of a set of times: every run in which some ten-minute
// window holds more than kFloodThreshold alarms, overlapping windows merged.
std::vector<AlarmStats::Flood> FindFloods(std::vector<TimePoint> times);

void WriteStatsText(std::ostream& out, const AlarmStats& stats);
void WriteStatsJson(std::ostream& out, const AlarmStats& stats);

}  // namespace tolvane::present

// How the embedded summary queue orders and matches its alarms: the fifteen
// sort keys and the case-blind comparison of names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "node/summary_queue.h"

namespace tolvane::node::detail {

// One alarm as the queue holds it. The message carries the display texts;
// ordering uses the time points, never those texts.
struct StoredAlarm {
  uint64_t id = 0;  // insertion order; unique, breaks every tie
  SUMQMSG msg{};
  Clock::time_point timeIn{};
  Clock::time_point timeLast{};
  bool suppressed = false;
};

// Sort key actually used for `key`: 0..14, anything else is key 0.
inline int EffectiveKey(uint8_t key) {
  return key < kSortKeys ? key : 0;
}

// Rank of a priority id by severity: INFO 0, LOLO 1, LOW 2, MEDIUM 3, HIGH 4,
// HIHI 5, CRITICAL 6; -1 for ids outside the table.
int SeverityRank(int16_t priority);

// ASCII letters compare without case; every other byte compares as itself,
// so the order does not depend on the code page selected at run time.
int CompareNoCase(std::string_view a, std::string_view b);
std::string FoldCase(std::string_view text);

// <0, 0 or >0: `a` against `b` in ascending order of sort key `key` (0..14),
// ignoring the insertion id.
int CompareByKey(int key, const StoredAlarm& a, const StoredAlarm& b);

// The total order of a view: the key, then the insertion id.
inline bool Before(int key, const StoredAlarm& a, const StoredAlarm& b) {
  int c = CompareByKey(key, a, b);
  return c != 0 ? c < 0 : a.id < b.id;
}

}  // namespace tolvane::node::detail

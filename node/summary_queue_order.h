// How the embedded summary queue orders and matches its alarms: the fifteen
// sort keys and the case-blind comparison of names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "node/summary_queue.h"

namespace tolvane::node::detail {

// The three lookups an alarm is found by: its block, its physical node's
// block, its tag.
enum Lookup { kByBlock, kByPhysical, kByTag, kLookups };

// One alarm as the queue holds it. The message carries the display texts;
// ordering uses the time points, never those texts. Trivially destructible:
// the queue keeps alarms in blocks it frees whole.
struct StoredAlarm {
  uint64_t id = 0;  // insertion order; unique, breaks every tie
  Clock::time_point timeIn{};
  Clock::time_point timeLast{};
  bool suppressed = false;
  // Folded once when indexed: node and physical node (at most 8 bytes each).
  uint64_t nodeKey = 0;
  uint64_t physicalKey = 0;
  // The lookup chains the alarm is on, and its hash in each.
  std::array<uint64_t, kLookups> hash{};
  std::array<StoredAlarm*, kLookups> next{};
  SUMQMSG msg{};
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

// A name of at most 8 bytes, folded (or not), as a number that orders like the
// name; false for a longer name, which no node field can hold.
bool PackName(std::string_view name, bool fold, uint64_t* out);

// <0, 0 or >0: `a` against `b` in ascending order of sort key `key` (0..14),
// ignoring the insertion id.
int CompareByKey(int key, const StoredAlarm& a, const StoredAlarm& b);

// The total order of a view: the key, then the insertion id.
inline bool Before(int key, const StoredAlarm& a, const StoredAlarm& b) {
  int c = CompareByKey(key, a, b);
  return c != 0 ? c < 0 : a.id < b.id;
}

// An alarm's place in the order of one key, as words read once from the
// alarm: where two alarms' words differ, they order the two as Before does;
// where they are equal, only Before can tell. Sorting and searching these
// keeps the comparisons in contiguous memory and out of the 1.9 KB records.
struct SortWords {
  std::array<uint64_t, 5> w;
};
SortWords WordsOf(int key, const StoredAlarm& a);

struct ViewEntry {
  SortWords words;
  StoredAlarm* alarm;
};

// Sorts entries whose words are WordsOf(key, ...) into ViewEntryLess order.
// Where their words tie, reads more of each alarm's text once, rather than
// comparing whole records pair by pair.
void SortEntries(int key, std::vector<ViewEntry>& entries);

struct ViewEntryLess {
  int key;
  bool operator()(const ViewEntry& x, const ViewEntry& y) const {
    for (std::size_t i = 0; i < x.words.w.size(); ++i) {
      if (x.words.w[i] != y.words.w[i]) return x.words.w[i] < y.words.w[i];
    }
    return x.alarm != y.alarm && Before(key, *x.alarm, *y.alarm);
  }
};

}  // namespace tolvane::node::detail

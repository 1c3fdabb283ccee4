// A view of the whole alarm summary: one sort order and one filter over every
// alarm of the queue, however many.
//
// The defined interface of CVeltAlmSummMgr reads at most 65,535 messages of a
// view and returns at most 32,767 rows, so past that it shows a part. A view
// here walks the queue's whole order in place instead, pages by place rather
// than by count, and counts exactly. Its rows are byte for byte the rows
// FetchAlarmsByRef builds for the same alarms: the same filter engine and the
// same row builder.
//
// It needs a queue that can walk its views (QueueBackend::CanWalk: the
// embedded node and a station can). Against one that cannot, every call
// answers kViewUnavailable and gives nothing: never a part as the whole.
//
// Thread-safe as far as the queue is: each call reads one consistent state
// of the queue. Nothing throws; running out of memory is kFailed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tolvane/export.h"
#include "tolvane/records.h"

class CVeltAlmSummMgr;

namespace tolvane {

// Result codes besides those of result_codes.h.
inline constexpr short kViewUnavailable = 2843;  // the queue cannot show its whole view
inline constexpr short kBadViewPlace = 2844;     // a place of another sort order, or damaged
inline constexpr short kNotInView = 2845;        // the view holds no such alarm

// What a display shows about a view, counted in one pass.
struct AlarmViewCounts {
  std::size_t total = 0;           // records in the view (the queue, shelved ones apart)
  std::size_t matched = 0;         // of those, what the filter selects
  std::size_t alarms = 0;          // matched alarms (not operator messages)
  std::size_t unacknowledged = 0;  // matched alarms not acknowledged
  std::size_t messages = 0;        // matched operator messages
  // Matched alarms by priority id (3 CRITICAL .. 9 INFO); ids past 15 at 15.
  std::array<std::size_t, 16> byPriority{};
  std::size_t shelved = 0;  // shelved alarms the filter selects (they are in no view)
};

struct AlarmViewPage {
  std::vector<tagAlarmStr> rows;  // in the view's order
  // Places of the first and the last row (empty without rows): After(last)
  // is the next page, Before(first) the one before, whatever came and went.
  std::string first, last;
  bool atStart = false;  // no matched record before the first row
  bool atEnd = false;    // none after the last
};

// The kind of record a view holds.
enum class ViewRecords { kAll, kAlarms, kMessages };

// What happened to one record of the queue: `before` null when it came,
// `after` null when it went. Shelved records are in no view (counted apart).
struct AlarmRecordChange {
  const SUMQMSG* before = nullptr;
  const SUMQMSG* after = nullptr;
  bool shelvedBefore = false, shelvedAfter = false;
};

class TOLVANE_API AlarmView {
 public:
  // `sortCode` as FetchAlarmsByRef takes it (magnitude 1-13 picks the key,
  // negative: descending); `filter` as the operator wrote it (null or empty:
  // every record).
  AlarmView(long sortCode, const char* filter);
  ~AlarmView();
  AlarmView(const AlarmView&) = delete;
  AlarmView& operator=(const AlarmView&) = delete;

  // kOk, or kBadFilter when the filter does not parse (every call then
  // answers that).
  short Check() const;
  // Narrows the view to alarms or to operator messages (every record by
  // default); a place of one narrowing reads the same in another.
  void Select(ViewRecords records);

  // Up to n rows from the first matched record on.
  short First(std::size_t n, AlarmViewPage* page);
  // The last n matched rows, in the view's order.
  short Last(std::size_t n, AlarmViewPage* page);
  // Up to n rows after, or before, a place a page gave.
  short After(const std::string& place, std::size_t n, AlarmViewPage* page);
  short Before(const std::string& place, std::size_t n, AlarmViewPage* page);
  // Page `number` (0 the first) of n rows each; empty and atEnd past the last.
  short Page(std::size_t number, std::size_t n, AlarmViewPage* page);
  // The page of n rows, counted from the first, that holds the alarm named by
  // `reference` (its node name matched without case); *number gets its
  // number and *row its row in the page. kNotInView when the filtered view
  // does not hold it.
  short PageHolding(const char* reference, std::size_t n, AlarmViewPage* page,
                    std::size_t* number, std::size_t* row);
  // The place of the alarm named by `reference` in this sort order, filter
  // or not: After(place) then reads on from just past it. kNotInView when the
  // queue's view does not hold it (shelved alarms are in no view).
  short PlaceOf(const char* reference, std::string* place);
  short Count(AlarmViewCounts* counts);

  // Keeping counts current as records change, instead of counting again.
  // Whether the view (its filter and narrowing) selects `record`; false
  // when the filter does not parse.
  bool Matches(const SUMQMSG& record);
  // Applies one record's change to counts that Count gave: takes away what
  // `before` counted and adds what `after` counts, by the rules Count
  // follows. kOk, or the Check() failure (counts untouched).
  short Apply(const AlarmRecordChange& change, AlarmViewCounts* counts);
  // True while the counts this view's last Count gave, with every change
  // since applied, equal what Count would give now: false before a Count,
  // after the code page changed (text compares by it), and always for a
  // filter with a date term (ASF_DATEIN, ASF_DATELAST), which reads the
  // user's date settings afresh at each count. Nothing else a filter reads
  // changes while the process runs.
  bool KeptCountsHold() const;
  // Calls `each` with the matched rows in order, at most `chunk` at a time,
  // the queue free between calls (so `each` may act on the alarms); stops
  // when it returns false. A record that moves behind the walk meanwhile is
  // not met again; one that moves ahead of it is met where it now stands.
  short ForEach(std::size_t chunk,
                const std::function<bool(tagAlarmStr* rows, std::size_t n)>& each);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// What a whole-view acknowledge or remove did.
struct BulkOutcome {
  std::size_t selected = 0;  // alarms it set out to act on
  std::size_t done = 0;      // of those, acknowledged (or gone), or removed
  short status = 0;          // the first failure the library met, or kOk
};

// Acknowledges every alarm `filter` selects, however many, as
// AcknowledgeAllAlarmsByRef does for one 16-bit view: in node batches
// through B_NALM, one operator message per node batch unless `quiet`, and a
// returned alarm deleted as it deletes one. `selected` counts the new alarms
// among them, `done` those that are no longer new (or no longer stand)
// afterwards. Returns kOk exactly when every selected alarm was done.
TOLVANE_API short AcknowledgeAllInView(CVeltAlmSummMgr& mgr, short clientHandle,
                                       const char* filter, short quiet, BulkOutcome* outcome);
// Removes every alarm `filter` selects from the summary, however many, as
// RemoveAllAlarmsByRef does (operator messages stay), with its one operator
// message unless `quiet`. Returns kOk exactly when every selected alarm is
// gone.
TOLVANE_API short RemoveAllInView(CVeltAlmSummMgr& mgr, short clientHandle, const char* filter,
                                  short quiet, BulkOutcome* outcome);

}  // namespace tolvane

// Turning queue messages into display rows.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "tolvane/quorlen.h"
#include "tolvane/records.h"

namespace tolvane {

// Which node name a row's reference carries.
enum class ReferenceNode { kNodeName = 0, kPhysicalNode = 1 };

// Rows kept at most: the most a 16-bit row count can report.
inline constexpr unsigned int kMaxRows = 32767;

// The count to ask the queue for, given the caller's (0: all): unfiltered,
// every message becomes a row and at most kMaxRows are kept, so copying more
// out of the queue would be thrown away.
unsigned short MessagesWorthFetching(unsigned short count, const char* filter);

class RowConverter;

// One filter, parsed once, deciding on messages exactly as the fetch does.
class RowFilter {
 public:
  RowFilter();
  ~RowFilter();
  RowFilter(const RowFilter&) = delete;
  RowFilter& operator=(const RowFilter&) = delete;
  // False when the filter (empty: none) does not parse. May throw bad_alloc.
  bool Prepare(const char* filter);
  // REQUIRES: Prepare succeeded.
  bool Matches(const SUMQMSG& msg);
  // The row columns its terms read (filter::FilterColumn bits); 0 unfiltered.
  unsigned int ColumnsRead() const;

 private:
  std::unique_ptr<RowConverter> impl_;
};

// The row the fetch builds for `msg`, into a row that is all zero.
void BuildRow(const SUMQMSG& msg, tagAlarmStr* row, ReferenceNode nodeChoice);

// Fills the packet-derived fields of a zeroed row.
void FillAlarmRow(const _ALMPAK& packet, tagAlarmStr* row);

// Builds one row for each of the n messages and packs those that pass the
// filter (empty: all) from the start of `rows` (room for n rows, or kMaxRows
// when n is larger). Returns 1, or 0 when the filter does not parse (no row
// then). *rowCount receives the number of rows packed.
int ConvertMessages(const SUMQMSG* list, tagAlarmStr* rows, unsigned int n, short* rowCount,
                    const char* filter, ReferenceNode nodeChoice);

// A page of messages as the queue gave it: a contiguous list from sumqGet,
// or the records' addresses from a backend that shows them in place.
struct PageRecords {
  const SUMQMSG* list = nullptr;
  const SUMQMSG* const* records = nullptr;
};
using PageSink = std::function<void(const PageRecords&, unsigned short n)>;

// What sumqGet(count) would list, handed to `sink` (once, only on success):
// in place when the installed backend can show its records (the sink then
// runs under the queue's lock and must not call the queue), else through
// sumqGet and sumqFreeList as defined. Returns the queue's status.
short ReadPage(CQuorlen& queue, const SORT_CNTL& sort, unsigned short count, unsigned short handle,
               const PageSink& sink);

// ConvertMessages for a page, into rows that are all zero.
int ConvertPage(const PageRecords& page, tagAlarmStr* rows, unsigned int n, short* rowCount,
                const char* filter, ReferenceNode nodeChoice);

// The whole sorted view of a client as rows, for the bulk operations.
struct ViewRows {
  short status = 0;       // the queue's status; no rows unless 0
  bool noMemory = false;  // the row buffer could not be had
  short count = 0;        // rows that passed the filter
  std::unique_ptr<tagAlarmStr[]> rows;
};

// Home, then Get of every message in `sort` order that can become a row; the
// list is converted through `filter` and freed before this returns.
ViewRows ReadViewRows(CQuorlen& queue, SORT_CNTL sort, unsigned short handle, const char* filter,
                      ReferenceNode nodeChoice);

}  // namespace tolvane

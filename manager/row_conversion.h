// Turning queue messages into display rows.
#pragma once

#include <cstddef>
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

// Fills the packet-derived fields of a zeroed row.
void FillAlarmRow(const _ALMPAK& packet, tagAlarmStr* row);

// Builds one row for each of the n messages and packs those that pass the
// filter (empty: all) from the start of `rows` (room for n rows, or kMaxRows
// when n is larger). Returns 1, or 0 when the filter does not parse (no row
// then). *rowCount receives the number of rows packed.
int ConvertMessages(const SUMQMSG* list, tagAlarmStr* rows, unsigned int n, short* rowCount,
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

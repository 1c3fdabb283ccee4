// Turning queue messages into display rows.
#pragma once

#include <cstddef>

#include "tolvane/records.h"

namespace tolvane {

// Which node name a row's reference carries.
enum class ReferenceNode { kNodeName = 0, kPhysicalNode = 1 };

// Rows kept at most: the most a 16-bit row count can report.
inline constexpr unsigned int kMaxRows = 32767;

// Fills the packet-derived fields of a zeroed row.
void FillAlarmRow(const _ALMPAK& packet, tagAlarmStr* row);

// Builds one row for each of the n messages and packs those that pass the
// filter (empty: all) from the start of `rows` (room for n rows, or kMaxRows
// when n is larger). Returns 1, or 0 when the filter does not parse (no row
// then). *rowCount receives the number of rows packed.
int ConvertMessages(const SUMQMSG* list, tagAlarmStr* rows, unsigned int n, short* rowCount,
                    const char* filter, ReferenceNode nodeChoice);

}  // namespace tolvane

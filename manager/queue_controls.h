// The controls every queue call carries.
#pragma once

#include <cstring>

#include "tolvane/records.h"

namespace tolvane {

// The queue is never asked to filter: every call passes this same control.
inline FLTER_CNTL EmptyFilterControl() {
  FLTER_CNTL fc;
  std::memset(&fc, 0, sizeof fc);
  fc.type = 0;
  fc.version = 9;
  fc.count1 = 0;
  fc.count2 = 0;
  return fc;
}

// Sets the key and direction of a sort code (magnitude 1-13 picks the key,
// others leave it; negative or zero: descending).
void ApplySortCode(SORT_CNTL* sort, long sortCode);

// Sort key 6 keeps one node's alarms together; used by acknowledge-all.
inline constexpr unsigned char kSortKeyByNode = 6;

}  // namespace tolvane

// Checking an operator's filter text.
#include <cstring>

#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

// Lands with the filter work: until then only the empty filter is valid.
short CVeltAlmSummMgr::ValidateFilterString(char* filter) {
  if (!filter || std::strlen(filter) == 0) return tolvane::kOk;
  return tolvane::kBadFilter;
}

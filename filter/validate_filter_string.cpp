// Checking an operator's filter text.
#include <cstdint>
#include <cstring>
#include <new>

#include "filter/alarm_filter.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

short CVeltAlmSummMgr::ValidateFilterString(char* filter) {
  if (!filter || std::strlen(filter) == 0) return tolvane::kOk;
  std::size_t size = std::strlen(filter) + 1;
  if (size > static_cast<std::size_t>(INT32_MAX)) return tolvane::kBadFilter;
  char* expression = new (std::nothrow) char[size];
  if (!expression) return tolvane::kBadFilter;
  int parsed;
  {
    AlarmFilter terms;
    parsed = terms.ParseFilter(filter, expression, static_cast<int>(size));
  }
  delete[] expression;
  return parsed ? tolvane::kOk : tolvane::kBadFilter;
}

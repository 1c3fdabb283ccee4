// Why an operator's filter text does not parse, for people reading it.
#pragma once

#include "tolvane/export.h"

namespace tolvane {

struct FilterExplanation {
  int accepted;        // 1 when the filter parses
  int position;        // byte offset of the offending token; -1 when accepted
  char token[64];      // the offending token, cut to 63 characters
  const char* reason;  // a short fixed text, "ok" when accepted
};

// Parses `filter` as the alarm fetch does and reports the first problem:
// "empty filter", "unbalanced parentheses", "expected a field name",
// "unknown operator", "incomplete comparison", "expected a quoted value",
// "parenthesis inside a value", "missing closing quote", "empty value",
// "value too long", "white space after the last value", "text after the
// last value". Accepts exactly what the parse accepts; an empty text is
// rejected here, while ValidateFilterString takes it as "no filter".
TOLVANE_API FilterExplanation ExplainFilter(const char* filter);

}  // namespace tolvane

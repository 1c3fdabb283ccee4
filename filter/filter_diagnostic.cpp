#include "tolvane/filter_diagnostic.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "filter/alarm_filter.h"
#include "tolvane/text_field.h"

namespace tolvane {

FilterExplanation ExplainFilter(const char* filter) {
  FilterExplanation out{};
  out.accepted = 0;
  out.position = 0;
  out.reason = filter::kReasonNoMemory;
  if (!filter) {
    out.reason = filter::kReasonEmpty;
    return out;
  }
  try {
    std::size_t size = std::strlen(filter) + 1;
    if (size > static_cast<std::size_t>(INT32_MAX)) {
      out.reason = filter::kReasonValueTooLong;
      return out;
    }
    std::vector<char> expression(size);
    AlarmFilter terms;
    filter::ParseProblem problem;
    if (terms.ParseFilter(filter, expression.data(), static_cast<int>(size), &problem)) {
      out.accepted = 1;
      out.position = -1;
      out.reason = "ok";
      return out;
    }
    out.position = static_cast<int>(problem.position);
    CopyText(out.token, sizeof out.token, problem.token.c_str());
    out.reason = problem.reason ? problem.reason : filter::kReasonNoMemory;
  } catch (...) {
    out.reason = filter::kReasonNoMemory;
  }
  return out;
}

}  // namespace tolvane

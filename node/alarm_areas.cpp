#include "node/alarm_areas.h"

namespace tolvane::node {
namespace {
const std::string kOpenCall = "CTessmer";
const std::string kAllCall = "GetNLSTextForALL";
}  // namespace

void AlarmAreas::SetAllText(const std::string& text) {
  std::lock_guard lock(m_);
  all_ = text;
}

std::string AlarmAreas::allText() const {
  std::lock_guard lock(m_);
  return all_;
}

short AlarmAreas::Open(long) {
  return faults_.Check(kOpenCall);
}

long AlarmAreas::GetNLSTextForALL(long, std::string* text) {
  if (short status = faults_.Check(kAllCall); status != 0) return status < 0 ? status : -status;
  if (!text) return -1;
  std::lock_guard lock(m_);
  *text = all_;
  return 0;
}

}  // namespace tolvane::node

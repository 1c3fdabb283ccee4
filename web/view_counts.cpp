#include "web/view_counts.h"

#include <utility>

#include "tolvane/result_codes.h"

namespace tolvane::web {

void LiveViewCounts::OnEvent(const node::SummaryQueue::Event& e) {
  const AlarmRecordChange change{e.before, e.after, e.suppressedBefore, e.suppressedAfter};
  std::lock_guard lock(m_);
  for (auto it = kept_.begin(); it != kept_.end();) {
    Kept& k = it->second;
    // Counts kept for one number only are out of date now.
    if (!k.live || ++k.unread > kMaxUnread || k.view->Apply(change, &k.counts) != kOk) {
      it = kept_.erase(it);
      continue;
    }
    ++k.sequence;
    ++it;
  }
}

bool LiveViewCounts::Find(uint32_t sequence, const std::string& filter, AlarmViewCounts* out) {
  std::lock_guard lock(m_);
  auto it = kept_.find(filter);
  if (it == kept_.end()) return false;
  Kept& k = it->second;
  if (k.sequence != sequence || (k.live && !k.view->KeptCountsHold())) {
    kept_.erase(it);
    return false;
  }
  k.unread = 0;
  k.used = ++uses_;
  *out = k.counts;
  return true;
}

void LiveViewCounts::Put(uint32_t sequence, const std::string& filter,
                         std::unique_ptr<AlarmView> view, const AlarmViewCounts& counts) {
  std::lock_guard lock(m_);
  if (kept_.size() >= kMaxViews && kept_.find(filter) == kept_.end()) {
    auto least = kept_.begin();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->second.used < least->second.used) least = it;
    }
    kept_.erase(least);
  }
  Kept& k = kept_[filter];
  k.live = view && view->KeptCountsHold();
  k.view = k.live ? std::move(view) : nullptr;
  k.counts = counts;
  k.sequence = sequence;
  k.unread = 0;
  k.used = ++uses_;
}

void LiveViewCounts::Clear() {
  std::lock_guard lock(m_);
  kept_.clear();
}

}  // namespace tolvane::web

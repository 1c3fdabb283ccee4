// Exact counts of views by filter, kept current as the queue tells its
// changes: a filter's view is walked once, then each change's before and
// after are applied to its counts (AlarmView::Apply) instead of walking
// 100,000 alarms again after every acknowledge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "node/summary_queue.h"
#include "tolvane/alarm_view.h"

namespace tolvane::web {

// Counts are known at a sequence number of the queue. Each change the queue
// tells moves the sequence number on by one and is applied here, so kept
// counts answer while the number they reached is the queue's; a change told
// to no one (a plant loaded into the queue), a change missed while counts
// were walked, or anything a filter reads besides the records (see
// AlarmView::KeptCountsHold) makes them answer no more, and the caller walks
// the view again. Thread-safe; OnEvent is quick (it runs under the queue's
// lock) and calls nothing that locks the queue.
class LiveViewCounts {
 public:
  // Most filters kept, and most changes applied to one that nobody read
  // meanwhile: after a bulk action walking once is cheaper.
  static constexpr std::size_t kMaxViews = 64;
  static constexpr std::size_t kMaxUnread = 4096;

  // What the queue tells (SummaryQueue::AddEventListener).
  void OnEvent(const node::SummaryQueue::Event& e);
  // The counts of `filter` at the queue's sequence number `sequence`, if
  // they are kept.
  bool Find(uint32_t sequence, const std::string& filter, AlarmViewCounts* out);
  // Keeps what `view` (of `filter`) counted at `sequence`: the queue's
  // number read before the walk and found the same after it.
  void Put(uint32_t sequence, const std::string& filter, std::unique_ptr<AlarmView> view,
           const AlarmViewCounts& counts);
  // Forgets everything (another queue, or one loaded afresh).
  void Clear();

 private:
  struct Kept {
    std::unique_ptr<AlarmView> view;
    AlarmViewCounts counts;
    uint32_t sequence = 0;   // the queue's number these counts are at
    bool live = false;       // changes are applied (else kept for one number only)
    std::size_t unread = 0;  // changes applied since it was last read
    uint64_t used = 0;       // for dropping the least used when full
  };
  std::mutex m_;
  std::map<std::string, Kept> kept_;
  uint64_t uses_ = 0;
};

}  // namespace tolvane::web

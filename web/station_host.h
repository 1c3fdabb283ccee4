// A host over a station of the plant-wide deployment: the station's view is
// the queue the library reads (its backends installed by the caller), and
// every acknowledge or delete goes through the library to the node that
// owns the alarm. There is no store: no shelving and no journal here (the
// nodes keep theirs), and every page says where it stands (offline, how
// long, whether the view is complete).
#pragma once

#include <functional>
#include <memory>

#include "node/summary_queue.h"
#include "web/plant_host.h"

namespace tolvane::web {

// How the host hears of the view's changes (Station::AddViewListener and
// RemoveViewListener), to keep its counts current instead of walking the
// view again after each; empty: walked again.
struct ViewChanges {
  std::function<node::SummaryQueue::ListenerToken(node::SummaryQueue::EventListener)> add;
  std::function<void(node::SummaryQueue::ListenerToken)> remove;
};

// `status` is asked often and must be cheap; `view` is the station's own
// ordered view. Both must outlive the host. Null with a message when the
// library gives no client handle.
std::unique_ptr<PlantHost> MakeStationHost(const node::SummaryQueue& view,
                                           std::function<HostSource()> status, std::string* err,
                                           ViewChanges changes = {});

}  // namespace tolvane::web

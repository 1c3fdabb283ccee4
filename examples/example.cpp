// The smallest display: install the embedded node's queue, take a handle,
// read the queue header, give the handle back.
#include <cstdio>

#include "node/summary_queue.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

int main() {
  tolvane::node::SummaryQueue queue;
  tolvane::InstallQueueBackend(&queue);

  tolvane::node::AlarmInput alarm;
  alarm.physicalNode = alarm.node = "PLANT1";
  alarm.tag = "FIC101";
  alarm.description = "FEED FLOW HIGH";
  alarm.statusCode = 1539;
  alarm.priority = 5;
  queue.Raise(alarm);

  int rc = 0;
  {
    CVeltAlmSummMgr mgr;
    short handle = mgr.GetAlarmClientHandle();
    std::printf("client handle: %d\n", handle);
    std::printf("alarms in queue: %ld\n", mgr.GetTotalNumOfAlarms());
    std::printf("sequence number: %ld\n", mgr.GetAlarmSequenceNumber());
    short horn = 0;
    mgr.AlarmHornEnabled(&horn);
    std::printf("horn enabled: %s\n", horn ? "yes" : "no");
    short freed = mgr.FreeAlarmClientHandle(handle);
    std::printf("handle freed: %s\n", tolvane::ResultCodeName(freed));
    if (handle == tolvane::kNoHandle || freed != tolvane::kOk) rc = 1;
  }
  tolvane::InstallQueueBackend(nullptr);
  return rc;
}

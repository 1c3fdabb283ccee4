#include <cstdio>

#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
int main() {
  CVeltAlmSummMgr mgr;
  // No queue backend installed: the queue answers as a service that is down.
  short h = mgr.GetAlarmClientHandle();
  std::printf("%d %ld\n", h, mgr.GetTotalNumOfAlarms());
  return h == tolvane::kNoHandle ? 0 : 1;
}

// Acknowledge of every alarm a filter selects, one node batch at a time.
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

// Lands with the filtered-acknowledge work.
short CVeltAlmSummMgr::AcknowledgeAllAlarmsByRef(char*, short, short) { return tolvane::kFailed; }
short CVeltAlmSummMgr::AckFilteredAlarms(tagAlarmStr*, short, short, short) {
  return tolvane::kFailed;
}

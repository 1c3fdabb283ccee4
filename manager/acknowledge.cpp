// Acknowledge and delete of single alarms, lists and the filtered queue.
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

// Each lands with the acknowledge work; until then they report failure.
short CVeltAlmSummMgr::AcknowledgeAlarmByRef(short, char*, short) { return tolvane::kFailed; }
short CVeltAlmSummMgr::MarkAsAcknowledgedByRef(short, char*) { return tolvane::kFailed; }
short CVeltAlmSummMgr::ManuallyDeleteAlarmByRef(short, char*, short) { return tolvane::kFailed; }
short CVeltAlmSummMgr::RemoveAlarmsByRef(short, char*, long, int, short) {
  return tolvane::kFailed;
}
short CVeltAlmSummMgr::RemoveAllAlarmsByRef(short, char*, short) { return tolvane::kFailed; }

// Alarm references: writing and reading them, and the two lookups.
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

// Lands with the reference work.
short CVeltAlmSummMgr::GetAlarmHandle(short clientHandle, char*, char*, char*) {
  if (clientHandle == tolvane::kNoHandle) return tolvane::kFailed;
  return tolvane::kNoAlarmForTag;
}

// Lands with the reference work.
int CVeltAlmSummMgr::GetCorresspondingAlarm(char*, SUMQMSG*) { return 0; }

// Result codes of the library, in one table.
#pragma once

#include "tolvane/export.h"

namespace tolvane {

inline constexpr short kOk = 0;
inline constexpr short kFailed = 100;           // bad handle, queue failure, bad reference
inline constexpr short kConfigNotFound = 101;   // node configuration file not found or not opened
inline constexpr short kShortRead = 105;        // node configuration record read short
inline constexpr short kPathTooLong = 1301;     // composed path does not fit
inline constexpr short kDeleteAlreadyGone = 1713;  // database status that a delete counts as success
inline constexpr short kNoTextForm = 1726;      // value kind without a text form
inline constexpr short kBadFilter = 2841;       // filter text does not parse; rows not built
inline constexpr short kNoAlarmForTag = 2842;   // no alarm for that node and tag

// The client handle value that means "no handle".
inline constexpr short kNoHandle = 32;

// Short name of a result code ("OK", "FAILED", ...), or "UNKNOWN".
TOLVANE_API const char* ResultCodeName(int code);

}  // namespace tolvane

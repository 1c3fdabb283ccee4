#include "tolvane/result_codes.h"

namespace tolvane {

const char* ResultCodeName(int code) {
  switch (code) {
    case kOk:
      return "OK";
    case kFailed:
      return "FAILED";
    case kConfigNotFound:
      return "CONFIG_NOT_FOUND";
    case kShortRead:
      return "SHORT_READ";
    case kPathTooLong:
      return "PATH_TOO_LONG";
    case kDeleteAlreadyGone:
      return "DELETE_ALREADY_GONE";
    case kNoTextForm:
      return "NO_TEXT_FORM";
    case kBadFilter:
      return "BAD_FILTER";
    case kNoAlarmForTag:
      return "NO_ALARM_FOR_TAG";
    default:
      return "UNKNOWN";
  }
}

}  // namespace tolvane

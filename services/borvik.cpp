#include "services/borvik.h"

#include <cstring>

#include "services/backend_slot.h"
#include "services/queue_backend.h"

namespace tolvane {
namespace {
BackendSlot<AlarmLibraryBackend> g_alarmLibrary;
}  // namespace

void InstallAlarmLibraryBackend(AlarmLibraryBackend* backend) {
  g_alarmLibrary.Install(backend);
}
AlarmLibraryBackend* InstalledAlarmLibraryBackend() {
  return g_alarmLibrary.Get();
}

}  // namespace tolvane

short borvik_send_opmsg(const char* text, const char* nodeName, int flag) {
  tolvane::AlarmLibraryBackend* b = tolvane::g_alarmLibrary.Get();
  if (!b) return tolvane::kServiceDown;
  try {
    return b->SendOperatorMessage(text ? text : "", nodeName, flag);
  } catch (...) {
    return tolvane::kServiceDown;
  }
}

short borvik_get_flex_value(const void* block, short index, char* valueBuffer, short* type,
                            short* extra1, short* extra2) {
  // Work on locals so that a caller's buffer never holds a half-written value
  // and always keeps a terminator.
  char value[tolvane::kFlexValueSize] = {};
  short t = 0, e1 = 0, e2 = 0;
  short status = tolvane::kServiceDown;
  tolvane::AlarmLibraryBackend* b = tolvane::g_alarmLibrary.Get();
  if (b && block) {
    try {
      status = b->GetFlexValue(block, index, value, &t, &e1, &e2);
    } catch (...) {
      status = tolvane::kServiceDown;
    }
  }
  if (status != 0) {
    std::memset(value, 0, sizeof value);
    t = e1 = e2 = 0;
  }
  value[sizeof value - 1] = '\0';
  if (valueBuffer) std::memcpy(valueBuffer, value, sizeof value);
  if (type) *type = t;
  if (extra1) *extra1 = e1;
  if (extra2) *extra2 = e2;
  return status;
}

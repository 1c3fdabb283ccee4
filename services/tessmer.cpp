#include "services/tessmer.h"

#include <new>

#include "services/backend_slot.h"

namespace tolvane {
namespace {
BackendSlot<AlarmAreasBackend> g_alarmAreas;
}  // namespace

void InstallAlarmAreasBackend(AlarmAreasBackend* backend) {
  g_alarmAreas.Install(backend);
}
AlarmAreasBackend* InstalledAlarmAreasBackend() {
  return g_alarmAreas.Get();
}

}  // namespace tolvane

CTessmer::CTessmer(long arg) : arg_(arg) {}

CTessmer* CTessmer::Create(long arg) {
  tolvane::AlarmAreasBackend* b = tolvane::g_alarmAreas.Get();
  if (!b) return nullptr;
  try {
    if (b->Open(arg) != 0) return nullptr;
  } catch (...) {
    return nullptr;
  }
  return new (std::nothrow) CTessmer(arg);
}

long CTessmer::GetNLSTextForALL(std::string& text) {
  tolvane::AlarmAreasBackend* b = tolvane::g_alarmAreas.Get();
  if (!b) return -1;
  try {
    std::string got;
    long result = b->GetNLSTextForALL(arg_, &got);
    if (result >= 0) text = std::move(got);
    return result;
  } catch (...) {
    return -1;
  }
}

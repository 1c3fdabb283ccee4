// The application object and the object-count report.
#include "tolvane/app.h"

#include <cstring>

#include "services/nimbex.h"
#include "tolvane/CVeltAlmSummMgr.h"

namespace {

void AppendSummary(VeltSummaryArray* records, const char* module, const char* name,
                   unsigned int value) {
  // A failed allocation appends a null entry, as the registry expects.
  VeltClassSummary* rec = new VeltClassSummary(module, name, value, 0, 0, 0, 0, 0, 0);
  records->Add(rec);
}

int ReportObjectCounts(VeltSummaryArray* records) {
  if (!records) return 0;
  char module[512];
  std::memset(module, 0, sizeof module);
  std::strcpy(module, "Tolvane.dll");
  AppendSummary(records, module, "CVeltAlmSummMgr.m_uiObjectCount",
                CVeltAlmSummMgr::m_uiObjectCount);
  AppendSummary(records, module, "CVeltAlmSummMgr.m_uiClientHandleCount",
                CVeltAlmSummMgr::m_uiClientHandleCount);
  return 0;
}

}  // namespace

bool CTolvaneApp::RegisterReporting() {
  Nimbex* registry = GetNimbex();
  return registry && registry->RegisterReportingFunction(&ReportObjectCounts) >= 0;
}

int CTolvaneApp::UnregisterReporting() {
  if (Nimbex* registry = GetNimbex()) registry->UnregisterReportingFunction(&ReportObjectCounts);
  return 0;
}

CTolvaneApp& TolvaneApp() {
  static CTolvaneApp app;
  return app;
}

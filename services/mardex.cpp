#include "services/mardex.h"

#include "services/backend_slot.h"

namespace tolvane {
namespace {
BackendSlot<NodeVariablesBackend> g_variables;
}  // namespace

void InstallNodeVariablesBackend(NodeVariablesBackend* backend) {
  g_variables.Install(backend);
}
NodeVariablesBackend* InstalledNodeVariablesBackend() {
  return g_variables.Get();
}

}  // namespace tolvane

const char* mardex_getvar(const char* name) {
  tolvane::NodeVariablesBackend* b = tolvane::InstalledNodeVariablesBackend();
  if (!b || !name) return nullptr;
  // Per thread, so that two threads never read each other's answer.
  thread_local std::string value;
  try {
    value.clear();
    if (!b->GetVariable(name, &value)) return nullptr;
    return value.c_str();
  } catch (...) {
    return nullptr;
  }
}

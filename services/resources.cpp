#include "services/resources.h"

#include <new>

#include "services/backend_slot.h"

namespace tolvane {
namespace {
BackendSlot<ResourceBackend> g_resources;
}  // namespace

void InstallResourceBackend(ResourceBackend* backend) {
  g_resources.Install(backend);
}
ResourceBackend* InstalledResourceBackend() {
  return g_resources.Get();
}

}  // namespace tolvane

int CVeltResourceManager::LoadStringA(const char* module, unsigned int id, std::string* text) {
  if (!text) return 0;
  text->clear();
  tolvane::ResourceBackend* b = tolvane::g_resources.Get();
  if (!b || !module) return 0;
  try {
    if (!b->LoadString(module, id, text)) {
      text->clear();
      return 0;
    }
  } catch (...) {
    // A backend that runs out of memory loads nothing.
    text->clear();
    return 0;
  }
  return static_cast<int>(text->size());
}

CVeltResourceManager* GetResourceManager() {
  static CVeltResourceManager manager;
  return tolvane::g_resources.Get() ? &manager : nullptr;
}

#include "services/nimbex.h"

#include <cstdlib>

#include "services/backend_slot.h"
#include "tolvane/text_field.h"

namespace tolvane {
namespace {
BackendSlot<ObjectRegistryBackend> g_registry;
}  // namespace

void InstallObjectRegistryBackend(ObjectRegistryBackend* backend) { g_registry.Install(backend); }
ObjectRegistryBackend* InstalledObjectRegistryBackend() {
  return g_registry.Get();
}

}  // namespace tolvane

VeltClassSummary::VeltClassSummary(const char* mod, const char* counter, uint32_t v, uint32_t v1,
                                   uint32_t v2, uint32_t v3, uint32_t v4, uint32_t v5,
                                   uint32_t v6)
    : module{}, name{}, value(v), extra{v1, v2, v3, v4, v5, v6} {
  tolvane::CopyText(module, sizeof module, mod);
  tolvane::CopyText(name, sizeof name, counter);
}

void* VeltClassSummary::operator new(std::size_t size) noexcept { return std::malloc(size); }
void VeltClassSummary::operator delete(void* p) noexcept { std::free(p); }

int Nimbex::RegisterReportingFunction(NimbexReportingFunction fn) {
  tolvane::ObjectRegistryBackend* b = tolvane::g_registry.Get();
  return b ? b->Register(fn) : -1;
}

int Nimbex::UnregisterReportingFunction(NimbexReportingFunction fn) {
  tolvane::ObjectRegistryBackend* b = tolvane::g_registry.Get();
  return b ? b->Unregister(fn) : -1;
}

Nimbex* GetNimbex() {
  static Nimbex instance;
  return &instance;
}

// The ulv_* calls forward to the installed text-catalogue backend.
#include "services/ulvoran.h"

#include "services/backend_slot.h"

namespace tolvane {
namespace {
BackendSlot<TextCatalogueBackend> g_catalogue;
}  // namespace

void InstallTextCatalogueBackend(TextCatalogueBackend* backend) {
  g_catalogue.Install(backend);
}
TextCatalogueBackend* InstalledTextCatalogueBackend() {
  return g_catalogue.Get();
}

}  // namespace tolvane

namespace {

// Runs `call` on the backend; no backend or an escaping exception is a failure.
template <class F>
int Forward(F&& call) {
  tolvane::TextCatalogueBackend* b = tolvane::InstalledTextCatalogueBackend();
  if (!b) return 0;
  try {
    return call(*b);
  } catch (...) {
    return 0;
  }
}

}  // namespace

int ulv_overlay_dct(DictEntry* entries, const char* path) {
  if (!entries || !path) return 0;
  return Forward(
      [&](tolvane::TextCatalogueBackend& b) { return b.OverlayDictionary(entries, path); });
}

int ulv_txtopen(const char* path, int* handle) {
  if (!path || !handle) return 0;
  int h = -1;
  int ok = Forward([&](tolvane::TextCatalogueBackend& b) { return b.Open(path, &h); });
  if (ok) *handle = h;
  return ok;
}

int ulv_txtget(int* handle, int number, char* dest, int capacity) {
  if (!handle || !dest || capacity <= 0) return 0;
  int ok = Forward(
      [&](tolvane::TextCatalogueBackend& b) { return b.Get(*handle, number, dest, capacity); });
  dest[capacity - 1] = '\0';  // whatever the backend did, the text ends inside
  return ok;
}

int ulv_getModuleName(int* handle, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  if (!handle) return 0;
  int ok = Forward(
      [&](tolvane::TextCatalogueBackend& b) { return b.ModuleName(*handle, buffer, size); });
  buffer[size - 1] = '\0';
  if (!ok) buffer[0] = '\0';
  return ok;
}

int ulv_txtclose(int* handle) {
  if (!handle) return 0;
  return Forward([&](tolvane::TextCatalogueBackend& b) { return b.Close(*handle); });
}

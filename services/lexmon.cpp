#include "services/lexmon.h"

#include "services/backend_slot.h"
#include "services/queue_backend.h"

namespace tolvane {
namespace {
BackendSlot<NumberFormatBackend> g_numbers;
}  // namespace

void InstallNumberFormatBackend(NumberFormatBackend* backend) {
  g_numbers.Install(backend);
}
NumberFormatBackend* InstalledNumberFormatBackend() {
  return g_numbers.Get();
}

}  // namespace tolvane

int lexmon_format_real(double value, int precision, int room, char* buffer) {
  if (!buffer || room < 0) return tolvane::kServiceDown;
  buffer[0] = '\0';
  tolvane::NumberFormatBackend* b = tolvane::InstalledNumberFormatBackend();
  if (!b) return tolvane::kServiceDown;
  std::size_t size = static_cast<std::size_t>(room) + 1;
  int rc;
  try {
    rc = b->FormatReal(value, precision, buffer, size);
  } catch (...) {
    rc = tolvane::kServiceDown;
  }
  buffer[size - 1] = '\0';
  if (rc != 0) buffer[0] = '\0';
  return rc;
}

// The object registry: a process-wide collector of object counts. Tolvane
// registers one reporting function that appends two VeltClassSummary records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "tolvane/carray.h"
#include "tolvane/export.h"

// One counter of one class in one module.
class TOLVANE_API VeltClassSummary {
 public:
  VeltClassSummary(const char* module, const char* name, uint32_t value, uint32_t v1, uint32_t v2,
                   uint32_t v3, uint32_t v4, uint32_t v5, uint32_t v6);

  // Own allocation: yields null instead of throwing when memory runs out.
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  char module[512];
  char name[128];
  uint32_t value;
  uint32_t extra[6];
};

using VeltSummaryArray = CArray<VeltClassSummary*, VeltClassSummary*>;
// A reporting function appends its records to the array; returns 0.
using NimbexReportingFunction = int (*)(VeltSummaryArray* records);

class TOLVANE_API Nimbex {
 public:
  // Both forward to the installed registry backend; -1 without one.
  int RegisterReportingFunction(NimbexReportingFunction fn);
  int UnregisterReportingFunction(NimbexReportingFunction fn);
};

// The process's object registry object.
TOLVANE_API Nimbex* GetNimbex();

namespace tolvane {

class ObjectRegistryBackend {
 public:
  virtual ~ObjectRegistryBackend() = default;
  // 0 or more: registered.
  virtual int Register(NimbexReportingFunction fn) = 0;
  virtual int Unregister(NimbexReportingFunction fn) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
TOLVANE_API void InstallObjectRegistryBackend(ObjectRegistryBackend* backend);
// The one installed now (null: none), for an owner to uninstall only its own.
TOLVANE_API ObjectRegistryBackend* InstalledObjectRegistryBackend();

}  // namespace tolvane

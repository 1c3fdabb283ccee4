// The resource-string library as Tolvane calls it: numbered strings of a
// named resource module ("TolvaneRes.dll"). With no backend installed there is
// no resource manager at all (GetResourceManager yields null).
#pragma once

#include <string>

#include "tolvane/export.h"

class TOLVANE_API CVeltResourceManager {
 public:
  // Puts string `id` of `module` into *text. Returns its length, or 0 when
  // nothing could be loaded; *text is then empty. Never throws.
  int LoadStringA(const char* module, unsigned int id, std::string* text);
};

// The process's resource manager, or null when no backend is installed.
TOLVANE_API CVeltResourceManager* GetResourceManager();

namespace tolvane {

// What a host installs to serve resource strings.
class ResourceBackend {
 public:
  virtual ~ResourceBackend() = default;
  // True and *text filled when `module` has string `id`. `module` is never
  // null; *text arrives empty.
  virtual bool LoadString(const char* module, unsigned int id, std::string* text) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallResourceBackend(ResourceBackend* backend);
// The one installed now (null: none), for an owner to uninstall only its own.
TOLVANE_API ResourceBackend* InstalledResourceBackend();

}  // namespace tolvane

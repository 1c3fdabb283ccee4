// The alarm-areas file library as Tolvane calls it: the national-language
// name of the area that stands for all areas. With no backend installed no
// CTessmer object can be created.
#pragma once

#include <string>

#include "tolvane/export.h"

class CTessmer {
 public:
  explicit CTessmer(long arg);

  // A new object, or null when the library cannot serve `arg` (no backend,
  // the backend refuses, or no memory). Delete it when done.
  static CTessmer* Create(long arg);

  // 0 or more: `text` holds the name of the all-areas area. Negative: failed,
  // `text` is left as it was.
  long GetNLSTextForALL(std::string& text);

 private:
  long arg_;
};

namespace tolvane {

class AlarmAreasBackend {
 public:
  virtual ~AlarmAreasBackend() = default;
  // 0: a CTessmer for `arg` may be created; anything else refuses.
  virtual short Open(long arg) = 0;
  // As CTessmer::GetNLSTextForALL; *text arrives empty.
  virtual long GetNLSTextForALL(long arg, std::string* text) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallAlarmAreasBackend(AlarmAreasBackend* backend);
// The one installed now (null: none), for an owner to uninstall only its own.
TOLVANE_API AlarmAreasBackend* InstalledAlarmAreasBackend();

}  // namespace tolvane

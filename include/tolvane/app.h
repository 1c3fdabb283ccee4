// The library's application object: registers the object-count report with
// the object registry on request. Loading the library does not register it.
#pragma once

#include "tolvane/export.h"

class TOLVANE_API CTolvaneApp {
 public:
  virtual ~CTolvaneApp() = default;
  // True when the registry accepted the reporting function.
  virtual bool RegisterReporting();
  virtual int UnregisterReporting();
};

// The process's application object.
TOLVANE_API CTolvaneApp& TolvaneApp();

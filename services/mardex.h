// The node-variable library as Tolvane calls it. Node variables are the
// node's own settings ("NLSPATH": the directory of the national-language
// files), never the process environment. With no backend installed no
// variable is set.
#pragma once

#include <string>

#include "tolvane/export.h"

// The text of the node variable `name`, or null when it is not set. The text
// lives in a buffer of the calling thread, valid until its next call.
const char* mardex_getvar(const char* name);

namespace tolvane {

class NodeVariablesBackend {
 public:
  virtual ~NodeVariablesBackend() = default;
  // True with the value in *value when `name` is set.
  virtual bool GetVariable(const char* name, std::string* value) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
TOLVANE_API void InstallNodeVariablesBackend(NodeVariablesBackend* backend);
TOLVANE_API NodeVariablesBackend* InstalledNodeVariablesBackend();

}  // namespace tolvane

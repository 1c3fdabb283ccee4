// The node-services library as Tolvane calls it: the local node's name and
// its two aliases. Each output takes at most 8 characters and a terminator
// (9 bytes). With no backend installed the names come back empty and the
// statuses are tolvane::kServiceDown.
#pragma once

#include <string>

#include "tolvane/export.h"

void quinthe_get_local_node(char* name);
void quinthe_get_local_alias1(short* status, char* alias);
void quinthe_get_local_alias2(short* status, char* alias);

namespace tolvane {

inline constexpr int kNodeNameSize = 9;

class NodeServicesBackend {
 public:
  virtual ~NodeServicesBackend() = default;
  // Each fills *name (arrives empty) and returns a status, 0 on success.
  virtual short GetLocalNode(std::string* name) = 0;
  virtual short GetLocalAlias1(std::string* alias) = 0;
  virtual short GetLocalAlias2(std::string* alias) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallNodeServicesBackend(NodeServicesBackend* backend);
// The one installed now (null: none), for an owner to uninstall only its own.
TOLVANE_API NodeServicesBackend* InstalledNodeServicesBackend();

}  // namespace tolvane

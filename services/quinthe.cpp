#include "services/quinthe.h"

#include "services/backend_slot.h"
#include "services/queue_backend.h"
#include "tolvane/text_field.h"

namespace tolvane {
namespace {

BackendSlot<NodeServicesBackend> g_nodeServices;

using Getter = short (NodeServicesBackend::*)(std::string*);

// Runs one lookup and copies at most 8 characters out; a failed lookup gives
// an empty name.
short Lookup(Getter get, char* out) {
  std::string name;
  short status = kServiceDown;
  if (NodeServicesBackend* b = g_nodeServices.Get()) {
    try {
      status = (b->*get)(&name);
    } catch (...) {
      status = kServiceDown;
    }
  }
  if (status != 0) name.clear();
  if (out) SetFieldText(out, kNodeNameSize, name);
  return status;
}

}  // namespace

void InstallNodeServicesBackend(NodeServicesBackend* backend) {
  g_nodeServices.Install(backend);
}
NodeServicesBackend* InstalledNodeServicesBackend() {
  return g_nodeServices.Get();
}

}  // namespace tolvane

void quinthe_get_local_node(char* name) {
  tolvane::Lookup(&tolvane::NodeServicesBackend::GetLocalNode, name);
}

void quinthe_get_local_alias1(short* status, char* alias) {
  short s = tolvane::Lookup(&tolvane::NodeServicesBackend::GetLocalAlias1, alias);
  if (status) *status = s;
}

void quinthe_get_local_alias2(short* status, char* alias) {
  short s = tolvane::Lookup(&tolvane::NodeServicesBackend::GetLocalAlias2, alias);
  if (status) *status = s;
}

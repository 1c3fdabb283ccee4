// The node's node services (the node-services backend): the local node's
// name and its two aliases. Thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "node/fault_injection.h"
#include "node/summary_queue.h"
#include "services/quinthe.h"

namespace tolvane::node {

class NodeServices : public NodeServicesBackend {
 public:
  NodeServices() = default;
  explicit NodeServices(const LocalNames& names) : names_(names) {}

  void SetNames(const LocalNames& names);
  LocalNames names() const;

  // "quinthe_get_local_node", "quinthe_get_local_alias1" and
  // "quinthe_get_local_alias2" can be made to fail.
  FaultInjector& faults() { return faults_; }

  // --- NodeServicesBackend ---
  short GetLocalNode(std::string* name) override;
  short GetLocalAlias1(std::string* alias) override;
  short GetLocalAlias2(std::string* alias) override;

 private:
  short Get(const std::string& call, std::string LocalNames::*member, std::string* out);

  mutable std::mutex m_;
  LocalNames names_;
  FaultInjector faults_;
};

}  // namespace tolvane::node

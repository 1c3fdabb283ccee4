// The embedded object registry: keeps the registered reporting functions and
// collects their object counts on request.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "services/nimbex.h"

namespace tolvane::node {

struct ObjectCount {
  std::string module;
  std::string name;
  uint32_t value;
};

class ObjectRegistry : public ObjectRegistryBackend {
 public:
  int Register(NimbexReportingFunction fn) override;
  int Unregister(NimbexReportingFunction fn) override;

  // Calls every registered function and returns what they reported; a null
  // record that a function appended is skipped.
  std::vector<ObjectCount> Collect() const;
  std::size_t Registered() const;

 private:
  mutable std::mutex m_;
  std::vector<NimbexReportingFunction> functions_;
};

}  // namespace tolvane::node

#include "node/object_registry.h"

#include <algorithm>

namespace tolvane::node {

int ObjectRegistry::Register(NimbexReportingFunction fn) {
  if (!fn) return -1;
  std::lock_guard lock(m_);
  if (std::find(functions_.begin(), functions_.end(), fn) == functions_.end()) {
    functions_.push_back(fn);
  }
  return static_cast<int>(functions_.size()) - 1;
}

int ObjectRegistry::Unregister(NimbexReportingFunction fn) {
  std::lock_guard lock(m_);
  auto it = std::find(functions_.begin(), functions_.end(), fn);
  if (it == functions_.end()) return -1;
  functions_.erase(it);
  return 0;
}

std::vector<ObjectCount> ObjectRegistry::Collect() const {
  std::vector<NimbexReportingFunction> fns;
  {
    std::lock_guard lock(m_);
    fns = functions_;
  }
  std::vector<ObjectCount> out;
  for (NimbexReportingFunction fn : fns) {
    VeltSummaryArray records;
    fn(&records);
    for (std::ptrdiff_t i = 0; i < records.GetSize(); ++i) {
      VeltClassSummary* rec = records[i];
      if (!rec) continue;
      out.push_back({rec->module, rec->name, rec->value});
      delete rec;
    }
  }
  return out;
}

std::size_t ObjectRegistry::Registered() const {
  std::lock_guard lock(m_);
  return functions_.size();
}

}  // namespace tolvane::node

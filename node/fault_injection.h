// Fault injection for the embedded node's services: a test names a call and
// the status it should return, for every call or for the next few.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace tolvane::node {

class FaultInjector {
 public:
  // Makes `call` return `status`. `times` < 0: until cleared; otherwise the
  // next `times` calls only.
  void Inject(const std::string& call, short status, int times = -1) {
    std::lock_guard lock(m_);
    faults_[call] = Fault{status, times};
  }
  void Clear(const std::string& call) {
    std::lock_guard lock(m_);
    faults_.erase(call);
  }
  void ClearAll() {
    std::lock_guard lock(m_);
    faults_.clear();
  }
  // The injected status for `call`, or 0 when it should run normally.
  short Check(const std::string& call) {
    std::lock_guard lock(m_);
    auto it = faults_.find(call);
    if (it == faults_.end()) return 0;
    short status = it->second.status;
    if (it->second.times > 0 && --it->second.times == 0) faults_.erase(it);
    return status;
  }

 private:
  struct Fault {
    short status;
    int times;
  };
  std::mutex m_;
  std::map<std::string, Fault> faults_;
};

}  // namespace tolvane::node

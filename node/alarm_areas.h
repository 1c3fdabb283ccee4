// The node's alarm areas (the alarm-areas backend): the national-language
// name of the area that stands for all areas, "ALL" unless set. Thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "node/fault_injection.h"
#include "services/tessmer.h"

namespace tolvane::node {

class AlarmAreas : public AlarmAreasBackend {
 public:
  void SetAllText(const std::string& text);
  std::string allText() const;

  // "CTessmer" (no object can be created) and "GetNLSTextForALL" (the
  // lookup fails with the injected status, made negative) can be made to fail.
  FaultInjector& faults() { return faults_; }

  // --- AlarmAreasBackend ---
  short Open(long arg) override;
  long GetNLSTextForALL(long arg, std::string* text) override;

 private:
  mutable std::mutex m_;
  std::string all_ = "ALL";
  FaultInjector faults_;
};

}  // namespace tolvane::node

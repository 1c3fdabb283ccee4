// A node's field connections: points by quality, each source's connection.
#pragma once

#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <string>

#include "field/field_host.h"

namespace tolvane::ops {

class FieldMetrics {
 public:
  explicit FieldMetrics(prometheus::Registry& registry);
  void Refresh(const field::FieldStatus& s);

 private:
  prometheus::Family<prometheus::Gauge>& points_;
  prometheus::Gauge& inAlarm_;
  prometheus::Family<prometheus::Gauge>& connected_;
};

// Why the field connections are not all up ("modbus pump1 (127.0.0.1:502):
// connection refused; ..."); empty when they are.
std::string FieldNotReady(const field::FieldStatus& s);

}  // namespace tolvane::ops

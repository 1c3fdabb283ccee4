#include "ops/field_metrics.h"

namespace tolvane::ops {

FieldMetrics::FieldMetrics(prometheus::Registry& registry)
    : points_(prometheus::BuildGauge()
                  .Name("tolvane_field_points")
                  .Help("Field points by the quality of their last reading (good, bad, comm: "
                        "not heard)")
                  .Register(registry)),
      inAlarm_(prometheus::BuildGauge()
                   .Name("tolvane_field_points_in_alarm")
                   .Help("Field points whose value is in alarm")
                   .Register(registry)
                   .Add({})),
      connected_(prometheus::BuildGauge()
                     .Name("tolvane_field_source_connected")
                     .Help("1 while the field source's connection is up")
                     .Register(registry)) {}

void FieldMetrics::Refresh(const field::FieldStatus& s) {
  points_.Add({{"quality", "good"}}).Set(static_cast<double>(s.good));
  points_.Add({{"quality", "bad"}}).Set(static_cast<double>(s.bad));
  points_.Add({{"quality", "comm"}}).Set(static_cast<double>(s.comm));
  inAlarm_.Set(static_cast<double>(s.inAlarm));
  for (const field::DriverStatus& d : s.drivers) {
    connected_.Add({{"source", d.name}, {"kind", d.kind}}).Set(d.connected ? 1 : 0);
  }
}

std::string FieldNotReady(const field::FieldStatus& s) {
  std::string out;
  for (const field::DriverStatus& d : s.drivers) {
    if (d.connected) continue;
    if (!out.empty()) out += "; ";
    out += d.kind + " " + d.name + " (" + d.peer + ") not connected";
    if (!d.lastError.empty()) out += ": " + d.lastError;
  }
  return out;
}

}  // namespace tolvane::ops

// Readings from the wire: an MQTT payload or Modbus registers, turned into
// a value with its quality. Hostile input gives bad quality, never a crash
// and never a value that looks good.
#pragma once

#include <cstdint>
#include <string_view>

#include "field/sources.h"
#include "node/field_evaluator.h"

namespace tolvane::field {

struct Reading {
  node::FieldQuality quality = node::FieldQuality::kBad;
  double value = 0;
};

// A payload: a number ("42.5", "true"/"false" for bool points), or JSON
// whose value at the point's pointer is a number or a boolean. Larger than
// `maxPayload`, not a number, NaN or infinite: kBad; outside the type's or
// the point's range: kRange.
Reading ReadPayload(std::string_view payload, const SourcePoint& point, std::size_t maxPayload);

// RegistersOf(point.type) registers starting at `regs` (bool points: one
// entry, 0 or 1), decoded by type and word order, then scaled.
Reading DecodeRegisters(const uint16_t* regs, const SourcePoint& point);

// raw * scale + offset, then the point's range.
Reading Scaled(double raw, const SourcePoint& point);

}  // namespace tolvane::field

#include "field/values.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "plant/bounded_json.h"

namespace tolvane::field {
namespace {

using node::FieldQuality;

Reading Bad(FieldQuality q = FieldQuality::kBad) {
  return {q, 0};
}

std::string_view Trim(std::string_view s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// The raw value against the type it claims to be.
Reading Typed(double raw, const SourcePoint& p) {
  if (!std::isfinite(raw)) return Bad();
  double lo = 0, hi = 0;
  switch (p.type) {
    case ValueType::kBool:
      if (raw != 0 && raw != 1) return Bad(FieldQuality::kRange);
      return {FieldQuality::kGood, raw};
    case ValueType::kInt16:
      lo = -32768, hi = 32767;
      break;
    case ValueType::kUInt16:
      lo = 0, hi = 65535;
      break;
    case ValueType::kInt32:
      lo = -2147483648.0, hi = 2147483647.0;
      break;
    case ValueType::kUInt32:
      lo = 0, hi = 4294967295.0;
      break;
    case ValueType::kFloat32:
      lo = -std::numeric_limits<float>::max(), hi = std::numeric_limits<float>::max();
      break;
    case ValueType::kFloat64:
      return Scaled(raw, p);
  }
  if (raw < lo || raw > hi) return Bad(FieldQuality::kRange);
  if (p.type != ValueType::kFloat32 && raw != std::floor(raw)) return Bad();
  return Scaled(raw, p);
}

}  // namespace

Reading Scaled(double raw, const SourcePoint& p) {
  if (p.type == ValueType::kBool) return {FieldQuality::kGood, raw != 0 ? 1.0 : 0.0};
  double v = raw * p.scale + p.offset;
  if (!std::isfinite(v)) return Bad(FieldQuality::kRange);
  if ((p.rangeMin && v < *p.rangeMin) || (p.rangeMax && v > *p.rangeMax)) {
    return Bad(FieldQuality::kRange);
  }
  return {FieldQuality::kGood, v};
}

Reading ReadPayload(std::string_view payload, const SourcePoint& p, std::size_t maxPayload) {
  if (payload.size() > maxPayload) return Bad();
  if (p.jsonPointer.empty()) {
    std::string_view t = Trim(payload);
    if (t.empty() || t.size() > 64) return Bad();
    if (t == "true") return Typed(1, p);
    if (t == "false") return Typed(0, p);
    std::string text(t);
    // Only plain decimal numbers: strtod would also take "nan", "inf" and hex.
    for (char c : text) {
      if (!std::strchr("0123456789+-.eE", c)) return Bad();
    }
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return Bad();
    if (errno == ERANGE && std::isinf(v)) return Bad(FieldQuality::kRange);
    return Typed(v, p);
  }
  // A payload is the broker's to deliver, anyone's to write: read within bounds.
  nlohmann::json doc;
  plant::JsonInputError jsonErr;
  plant::JsonLimits limits;
  limits.maxBytes = maxPayload;
  limits.maxDepth = 32;
  if (!plant::ParseJsonBounded(payload, &doc, &jsonErr, limits)) return Bad();
  const nlohmann::json* at = nullptr;
  try {
    nlohmann::json::json_pointer ptr(p.jsonPointer);
    if (doc.contains(ptr)) at = &doc.at(ptr);
  } catch (const std::exception&) {
    return Bad();
  }
  if (!at) return Bad();
  if (at->is_boolean()) return Typed(at->get<bool>() ? 1 : 0, p);
  if (at->is_number()) return Typed(at->get<double>(), p);
  return Bad();
}

Reading DecodeRegisters(const uint16_t* r, const SourcePoint& p) {
  auto joined = [&]() -> uint32_t {
    uint32_t hiWord = p.wordsLittle ? r[1] : r[0];
    uint32_t loWord = p.wordsLittle ? r[0] : r[1];
    return (hiWord << 16) | loWord;
  };
  switch (p.type) {
    case ValueType::kBool:
      return {FieldQuality::kGood, r[0] != 0 ? 1.0 : 0.0};
    case ValueType::kInt16:
      return Scaled(static_cast<int16_t>(r[0]), p);
    case ValueType::kUInt16:
      return Scaled(r[0], p);
    case ValueType::kInt32:
      return Scaled(static_cast<int32_t>(joined()), p);
    case ValueType::kUInt32:
      return Scaled(joined(), p);
    case ValueType::kFloat32: {
      uint32_t bits = joined();
      float f = 0;
      std::memcpy(&f, &bits, sizeof f);
      if (!std::isfinite(f)) return Bad();
      return Scaled(f, p);
    }
    case ValueType::kFloat64:
      break;
  }
  return Bad();
}

}  // namespace tolvane::field

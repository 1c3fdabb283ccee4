// JSON that arrives over the network (requests, replies, heartbeats,
// journal entries) is read within bounds: a peer's oversized, deeply
// nested or ambiguous (one name twice) document is refused like a syntax
// error instead of being followed down.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "plant/bounded_json.h"

namespace tolvane::nats {

// A request or reply carries at most a page of alarms.
inline constexpr std::size_t kMaxMessageJsonBytes = 8u << 20;
inline constexpr std::size_t kMaxMessageJsonDepth = 32;

// Throws std::invalid_argument with the place and reason when `body` is not
// JSON within those bounds.
inline nlohmann::json ParseMessageJson(std::string_view body) {
  nlohmann::json doc;
  plant::JsonInputError err;
  plant::JsonLimits limits;
  limits.maxBytes = kMaxMessageJsonBytes;
  limits.maxDepth = kMaxMessageJsonDepth;
  if (!plant::ParseJsonBounded(body, &doc, &err, limits)) throw std::invalid_argument(err.message);
  return doc;
}

}  // namespace tolvane::nats

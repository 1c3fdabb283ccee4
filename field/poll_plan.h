// The Modbus poll plan: a server's points grouped into as few read requests
// as the protocol's limits allow, each request covering contiguous
// registers (or bits) of one table.
#pragma once

#include <cstdint>
#include <vector>

#include "field/sources.h"

namespace tolvane::field {

// Most registers one read takes; most bits of coils or discrete inputs.
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxReadBits = 2000;

struct PollRequest {
  Table table = Table::kHolding;
  uint16_t start = 0;
  uint16_t count = 0;
  struct Use {
    std::size_t point;  // index into the source's points
    uint16_t offset;    // of the point's first register within the request
  };
  std::vector<Use> uses;
};

// Requests of at most `maxRegisters` registers (kMaxReadBits bits), each
// spanning at most `maxGap` unread registers between two points. Every
// point lies wholly in one request.
std::vector<PollRequest> PlanPolls(const std::vector<SourcePoint>& points, int maxRegisters,
                                   int maxGap);

}  // namespace tolvane::field

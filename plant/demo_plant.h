// The built-in demo plant: a few nodes of a process unit with realistic tag
// names, areas, all seven priorities, new and acknowledged alarms spread
// over the last day and a half (with one alarm flood), and some operator
// messages. The same options and seed always give the same plant, with
// times counted back from `now`.
#pragma once

#include <cstdint>
#include <random>

#include "plant/plant.h"

namespace tolvane::plant {

struct DemoOptions {
  int nodes = 3;     // 1..26
  int tags = 300;    // tags over all nodes, at least one per node
  long alarms = -1;  // alarms on that many blocks (at most one each); -1: a third of them
  uint32_t seed = 1;
  TimePoint now = Clock::now();
};

Plant MakeDemoPlant(const DemoOptions& options);

// Alarm status codes the demo plant and the simulator use.
namespace status {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kLoLo = 1793;
inline constexpr int32_t kHiHi = 1796;
inline constexpr int32_t kLo = 1538;
inline constexpr int32_t kHi = 1539;
inline constexpr int32_t kRate = 1541;
inline constexpr int32_t kCos = 1798;
inline constexpr int32_t kDev = 1288;
inline constexpr int32_t kFault = 2185;
inline constexpr int32_t kIof = 4288;
}  // namespace status

// A small deterministic generator: its numbers do not depend on the
// standard library's distributions, which differ between implementations.
class DemoRandom {
 public:
  explicit DemoRandom(uint32_t seed) : engine_(seed) {}
  // Uniform in [0, n); 0 when n <= 0.
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(engine_() % n); }
  int Between(int lo, int hi) {
    return lo + static_cast<int>(Below(static_cast<uint32_t>(hi - lo + 1)));
  }
  bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
  double Unit() { return static_cast<double>(engine_()) / 4294967296.0; }

 private:
  std::mt19937 engine_;
};

}  // namespace tolvane::plant

// A process simulator for the demo plant: raises, changes and clears alarms
// on the plant's blocks the way field instruments would, through the
// database's "B_CUALM"/"B_NALM" and the queue's Raise/Update/Clear.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "plant/demo_plant.h"
#include "plant/plant.h"

namespace tolvane::plant {

struct SimulatorCounts {
  std::size_t raised = 0;
  std::size_t changed = 0;
  std::size_t cleared = 0;
};

class Simulator {
 public:
  // `plant` gives the blocks' descriptions, areas and priorities and the
  // nodes' physical names; the node must hold the plant's blocks.
  Simulator(node::EmbeddedNode& node, const Plant& plant, uint32_t seed);

  // Runs the events due after `seconds` more at `rate` events per second.
  void Advance(double seconds, double rate, TimePoint now = Clock::now());
  // Runs one event: raise an alarm on a quiet block, or change or clear a
  // standing one.
  void Step(TimePoint now = Clock::now());

  const SimulatorCounts& counts() const { return counts_; }

 private:
  struct Block {
    std::string node, physical, tag;
    char letter;
    int16_t number;
    std::string description;
    std::vector<std::string> areas;
    int16_t priority;
  };

  void Raise(const Block& b, TimePoint now);
  void Change(const Block& b, int32_t code, TimePoint now);
  void Clear(const Block& b, TimePoint now);
  int16_t Field(const Block& b, const char* field, int16_t fallback) const;

  node::EmbeddedNode& node_;
  std::vector<Block> blocks_;
  DemoRandom rnd_;
  double pending_ = 0;
  SimulatorCounts counts_;
};

}  // namespace tolvane::plant

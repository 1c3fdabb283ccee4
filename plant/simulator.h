// A process simulator for the demo plant: one more source of process
// values, fed through the node's field evaluator like any field point, so
// its alarms rise, change and clear the way field instruments' do. Analog
// blocks alarm at B_HILIM and B_LOLIM (tenths, as the demo plant keeps
// them) and 4.0 beyond for HIHI and LOLO; digital blocks change state or go
// bad.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "node/field_evaluator.h"
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
  // nodes' physical names; the node must hold the plant's blocks. Alarms
  // standing in the node are taken over.
  Simulator(node::EmbeddedNode& node, const Plant& plant, uint32_t seed);

  // Runs the events due after `seconds` more at `rate` events per second.
  void Advance(double seconds, double rate, TimePoint now = Clock::now());
  // Runs one event: a value that takes a quiet block into alarm, or moves a
  // block in alarm to another condition or back to normal.
  void Step(TimePoint now = Clock::now());

  const SimulatorCounts& counts() const { return counts_; }

 private:
  struct Block {
    std::string node, tag;
    char letter;
    double hi, lo;  // alarm limits
  };

  // A value in `c`'s band.
  double ValueIn(const Block& b, node::FieldCondition c);
  void Count(node::FieldCondition before, node::FieldCondition after);

  node::EmbeddedNode& node_;
  node::FieldEvaluator evaluator_;
  std::vector<Block> blocks_;
  DemoRandom rnd_;
  double pending_ = 0;
  SimulatorCounts counts_;
};

}  // namespace tolvane::plant

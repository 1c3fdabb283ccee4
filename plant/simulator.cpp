#include "plant/simulator.h"

#include <algorithm>
#include <map>

#include "node/summary_queue_order.h"

namespace tolvane::plant {
namespace {

using node::FieldCondition;

constexpr double kSevere = 4.0;  // HIHI and LOLO lie this far past HI and LO

}  // namespace

Simulator::Simulator(node::EmbeddedNode& node, const Plant& plant, uint32_t seed)
    : node_(node), evaluator_(node.queue(), node.database()), rnd_(seed) {
  std::map<std::string, std::string> physical;
  for (const PlantNode& n : plant.nodes) physical[node::detail::FoldCase(n.name)] = n.physical;
  for (const PlantBlock& b : plant.blocks) {
    auto it = physical.find(node::detail::FoldCase(b.node));
    auto field = [&](const char* name, int16_t fallback) {
      return node.database().GetField(b.node, b.tag, name).value_or(fallback);
    };
    Block s{b.node, b.tag, b.letter, field("B_HILIM", 800) / 10.0, field("B_LOLIM", 200) / 10.0};
    if (s.lo >= s.hi) s.lo = s.hi - 10;
    node::FieldPointConfig p;
    p.node = b.node;
    p.physical = it == physical.end() ? b.node : it->second;
    p.tag = b.tag;
    p.letter = b.letter;
    p.number = b.number;
    p.description = b.description;
    p.areas = b.areas;
    p.priority.fill(b.priority);
    p.fieldScale = 10;  // the demo plant keeps values in tenths
    if (b.letter == 'D') {
      p.digital = true;
    } else {
      p.hi = s.hi;
      p.hihi = s.hi + kSevere;
      p.lo = s.lo;
      p.lolo = s.lo - kSevere;
    }
    evaluator_.Add(p);
    blocks_.push_back(std::move(s));
  }
  evaluator_.Adopt(Clock::now());
}

void Simulator::Advance(double seconds, double rate, TimePoint now) {
  if (seconds > 0 && rate > 0) {
    pending_ += seconds * rate;
    // A long pause must not turn into a burst that freezes the display.
    pending_ = std::min(pending_, 1000.0);
    while (pending_ >= 1.0) {
      Step(now);
      pending_ -= 1.0;
    }
  }
  evaluator_.Tick(now);  // acknowledged returns leave the summary
}

double Simulator::ValueIn(const Block& b, FieldCondition c) {
  double mid = (b.hi + b.lo) / 2;
  double tenth = rnd_.Between(1, 39) / 10.0;  // inside a band of 4.0
  switch (c) {
    case FieldCondition::kHiHi:
      return b.hi + kSevere + tenth;
    case FieldCondition::kHi:
      return b.hi + tenth;
    case FieldCondition::kLoLo:
      return b.lo - kSevere - tenth;
    case FieldCondition::kLo:
      return b.lo - tenth;
    default:
      return mid + rnd_.Between(-15, 15) / 10.0 * std::min(1.0, (b.hi - b.lo) / 4);
  }
}

void Simulator::Count(FieldCondition before, FieldCondition after) {
  if (before == after) return;
  if (after == FieldCondition::kNormal) {
    ++counts_.cleared;
  } else if (before == FieldCondition::kNormal) {
    ++counts_.raised;
  } else {
    ++counts_.changed;
  }
}

void Simulator::Step(TimePoint now) {
  if (blocks_.empty()) return;
  std::size_t i = rnd_.Below(static_cast<uint32_t>(blocks_.size()));
  const Block& b = blocks_[i];
  FieldCondition before = evaluator_.State(i).shown;
  SUMQMSG probe{};
  bool standing =
      node_.queue().Find(evaluator_.Config(i).number, b.letter, b.node.c_str(), &probe) == 0;
  bool inAlarm = before != FieldCondition::kNormal;
  auto raise = [&] {
    if (b.letter == 'D') {
      if (rnd_.Chance(85)) {
        evaluator_.Value(i, 1, now);
      } else {
        evaluator_.Quality(i, node::FieldQuality::kBad, now);
      }
      return;
    }
    bool high = rnd_.Chance(60), severe = rnd_.Chance(20);
    FieldCondition c = high ? (severe ? FieldCondition::kHiHi : FieldCondition::kHi)
                            : (severe ? FieldCondition::kLoLo : FieldCondition::kLo);
    evaluator_.Value(i, ValueIn(b, c), now);
  };
  auto normal = [&] {
    evaluator_.Value(i, b.letter == 'D' ? 0 : ValueIn(b, FieldCondition::kNormal), now);
  };
  if (!inAlarm) {
    if (!standing || rnd_.Chance(40)) {
      // A returned alarm nobody acknowledged may go back into alarm.
      if (standing && probe.almpak.statusCode != 0) normal();  // taken over, its condition unknown
      raise();
    }
  } else if (!standing) {
    normal();  // removed by hand while in alarm: the block starts over
    raise();
  } else if (rnd_.Chance(55)) {
    // Into the neighbouring condition: HI <-> HIHI, LO <-> LOLO, COS <-> BAD.
    switch (before) {
      case FieldCondition::kHi:
        evaluator_.Value(i, ValueIn(b, FieldCondition::kHiHi), now);
        break;
      case FieldCondition::kHiHi:
        evaluator_.Value(i, ValueIn(b, FieldCondition::kHi), now);
        break;
      case FieldCondition::kLo:
        evaluator_.Value(i, ValueIn(b, FieldCondition::kLoLo), now);
        break;
      case FieldCondition::kLoLo:
        evaluator_.Value(i, ValueIn(b, FieldCondition::kLo), now);
        break;
      case FieldCondition::kCos:
        evaluator_.Quality(i, node::FieldQuality::kBad, now);
        break;
      default:
        evaluator_.Value(i, b.letter == 'D' ? 1 : ValueIn(b, FieldCondition::kHi), now);
        break;
    }
  } else {
    normal();
  }
  evaluator_.Tick(now);
  Count(before, evaluator_.State(i).shown);
}

}  // namespace tolvane::plant

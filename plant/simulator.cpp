#include "plant/simulator.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "node/summary_queue_order.h"

namespace tolvane::plant {
Simulator::Simulator(node::EmbeddedNode& node, const Plant& plant, uint32_t seed)
    : node_(node), rnd_(seed) {
  std::map<std::string, std::string> physical;
  for (const PlantNode& n : plant.nodes) physical[node::detail::FoldCase(n.name)] = n.physical;
  for (const PlantBlock& b : plant.blocks) {
    auto it = physical.find(node::detail::FoldCase(b.node));
    blocks_.push_back({b.node, it == physical.end() ? b.node : it->second, b.tag, b.letter,
                       b.number, b.description, b.areas, b.priority});
  }
}

int16_t Simulator::Field(const Block& b, const char* field, int16_t fallback) const {
  return node_.database().GetField(b.node, b.tag, field).value_or(fallback);
}

void Simulator::Advance(double seconds, double rate, TimePoint now) {
  if (seconds <= 0 || rate <= 0) return;
  pending_ += seconds * rate;
  // A long pause must not turn into a burst that freezes the display.
  pending_ = std::min(pending_, 1000.0);
  while (pending_ >= 1.0) {
    Step(now);
    pending_ -= 1.0;
  }
}

void Simulator::Step(TimePoint now) {
  if (blocks_.empty()) return;
  const Block& b = blocks_[rnd_.Below(static_cast<uint32_t>(blocks_.size()))];
  int16_t current = Field(b, "B_CUALM", 0);
  SUMQMSG probe{};
  bool standing = node_.queue().Find(b.number, b.letter, b.node.c_str(), &probe) == 0;
  if (current == 0) {
    if (!standing) {
      Raise(b, now);
    } else if (Field(b, "B_NALM", 0) == 0) {
      // Acknowledged after it went back to normal: it leaves the summary.
      node_.queue().Clear(b.node, b.letter, b.number);
      ++counts_.cleared;
    } else if (rnd_.Chance(40)) {
      Raise(b, now);  // back into alarm before anyone acknowledged it
    }
  } else if (!standing) {
    Raise(b, now);  // removed by hand while the block stayed in alarm
  } else if (rnd_.Chance(55)) {
    Change(b, current, now);
  } else {
    Clear(b, now);
  }
}

void Simulator::Raise(const Block& b, TimePoint now) {
  int16_t hi = Field(b, "B_HILIM", 800), lo = Field(b, "B_LOLIM", 200);
  node::AlarmInput in;
  in.physicalNode = b.physical;
  in.node = b.node;
  in.tag = b.tag;
  in.blockLetter = b.letter;
  in.blockNumber = b.number;
  in.priority = b.priority;
  in.description = b.description;
  in.areas = b.areas;
  int16_t cv = Field(b, "B_CV", 500);
  if (b.letter == 'D') {
    in.statusCode = rnd_.Chance(85) ? status::kCos : status::kFault;
    in.value.kind = 1;
    in.value.textFlag = 1;
    std::snprintf(in.value.text, sizeof in.value.text, "%s",
                  in.statusCode == status::kCos ? "ALARM" : "BAD");
  } else {
    bool high = rnd_.Chance(60);
    bool severe = rnd_.Chance(20);
    if (high) {
      in.statusCode = severe ? status::kHiHi : status::kHi;
      cv = static_cast<int16_t>(hi + rnd_.Between(severe ? 41 : 1, severe ? 90 : 40));
    } else {
      in.statusCode = severe ? status::kLoLo : status::kLo;
      cv = static_cast<int16_t>(lo - rnd_.Between(severe ? 41 : 1, severe ? 49 : 40));
    }
    in.value.kind = 8;
    in.value.value.f32 = static_cast<float>(cv) / 10.0f;
    node_.database().SetField(b.node, b.tag, "B_CV", cv);
  }
  node_.database().SetField(b.node, b.tag, "B_CUALM", static_cast<int16_t>(in.statusCode));
  node_.database().SetField(b.node, b.tag, "B_NALM", 1);
  node_.queue().Raise(in, now);
  ++counts_.raised;
}

void Simulator::Change(const Block& b, int32_t code, TimePoint now) {
  _AlmCanonicalValue value = ClearedValue();
  if (b.letter == 'D') {
    value.kind = 1;
    value.textFlag = 1;
    std::snprintf(value.text, sizeof value.text, "%s", code == status::kCos ? "ALARM" : "BAD");
  } else {
    int16_t cv = Field(b, "B_CV", 500);
    cv = static_cast<int16_t>(cv + rnd_.Between(-15, 15));
    node_.database().SetField(b.node, b.tag, "B_CV", cv);
    value.kind = 8;
    value.value.f32 = static_cast<float>(cv) / 10.0f;
  }
  if (node_.queue().Update(b.node, b.letter, b.number, code, value, now)) {
    ++counts_.changed;
  } else {
    // The alarm was removed by hand while the block stayed in alarm.
    Raise(b, now);
  }
}

void Simulator::Clear(const Block& b, TimePoint now) {
  int16_t lo = Field(b, "B_LOLIM", 200), hi = Field(b, "B_HILIM", 800);
  node_.database().SetField(b.node, b.tag, "B_CUALM", 0);
  if (b.letter != 'D') {
    node_.database().SetField(b.node, b.tag, "B_CV", static_cast<int16_t>((lo + hi) / 2));
  }
  // An alarm nobody acknowledged stays, back to normal, until it is.
  if (Field(b, "B_NALM", 0) != 0) {
    _AlmCanonicalValue value = ClearedValue();
    value.kind = 8;
    value.value.f32 = static_cast<float>((lo + hi) / 2) / 10.0f;
    if (b.letter == 'D') {
      value = {};
      value.kind = 1;
      value.textFlag = 1;
      std::snprintf(value.text, sizeof value.text, "NORMAL");
    }
    node_.queue().Update(b.node, b.letter, b.number, status::kOk, value, now);
  } else {
    node_.queue().Clear(b.node, b.letter, b.number);
  }
  ++counts_.cleared;
}

}  // namespace tolvane::plant

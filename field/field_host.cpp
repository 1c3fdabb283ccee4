#include "field/field_host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "field/modbus_driver.h"
#include "field/mqtt_driver.h"

namespace tolvane::field {
namespace {

using node::FieldCondition;
using node::FieldQuality;

std::string Fold(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

template <class F>
void EachPoint(const SourcesFile& file, F f) {
  for (const MqttSource& s : file.mqtt) {
    for (const SourcePoint& p : s.points) f(p);
  }
  for (const ModbusSource& s : file.modbus) {
    for (const SourcePoint& p : s.points) f(p);
  }
}

// The priority a block carries: that of its point's most severe condition.
int16_t BlockPriority(const SourcePoint& p) {
  auto c = p.eval.digital ? FieldCondition::kCos : FieldCondition::kHiHi;
  return p.eval.priority[static_cast<std::size_t>(c)];
}

}  // namespace

std::vector<plant::PlantBlock> BlocksFor(const SourcesFile& file, const plant::Plant& plant) {
  std::map<std::string, const plant::PlantBlock*> byTag;
  std::set<std::string> taken;  // node, letter, number
  auto address = [](const std::string& node, char letter, int number) {
    return Fold(node) + "\n" + letter + std::to_string(number);
  };
  for (const plant::PlantBlock& b : plant.blocks) {
    byTag[Fold(b.node) + "\n" + Fold(b.tag)] = &b;
    taken.insert(address(b.node, b.letter, b.number));
  }
  std::map<std::string, int> next;  // node, letter -> where the next search starts
  std::vector<plant::PlantBlock> out;
  EachPoint(file, [&](const SourcePoint& p) {
    plant::PlantBlock b;
    auto it = byTag.find(Fold(p.eval.node) + "\n" + Fold(p.eval.tag));
    if (it != byTag.end()) {
      b = *it->second;
    } else {
      b.node = p.eval.node;
      b.tag = p.eval.tag;
      b.letter = p.eval.letter;
      // The next free number, searched from where the last search ended.
      int& n = next[Fold(b.node) + "\n" + b.letter];
      if (n == 0) n = 1;
      while (n < 32767 && taken.count(address(b.node, b.letter, n))) ++n;
      b.number = static_cast<int16_t>(n);
      taken.insert(address(b.node, b.letter, n));
      b.fields = {{"B_NALM", 0}, {"B_CUALM", 0}};
      if (p.eval.hi)
        b.fields["B_HILIM"] = static_cast<int16_t>(std::clamp(*p.eval.hi, -32768.0, 32767.0));
      if (p.eval.lo)
        b.fields["B_LOLIM"] = static_cast<int16_t>(std::clamp(*p.eval.lo, -32768.0, 32767.0));
    }
    b.description = p.eval.description;
    b.areas = p.eval.areas;
    b.priority = BlockPriority(p);
    out.push_back(std::move(b));
  });
  return out;
}

std::vector<std::string> NodeErrors(const std::string& path, const SourcesFile& file,
                                    const plant::Plant& plant) {
  std::vector<std::string> names;
  for (const plant::PlantNode& n : plant.nodes) names.push_back(n.name);
  std::vector<SourceError> errors;
  CheckNodes(file, names, &errors);
  std::vector<std::string> out;
  for (const SourceError& e : errors) out.push_back(FormatError(path, e));
  return out;
}

namespace {

// Loads the file and keeps only the points of `onlyNode` (all when empty).
bool LoadFor(const std::string& path, const std::string& onlyNode, const plant::Plant& plant,
             SourcesFile* file, std::vector<std::string>* errors) {
  std::vector<SourceError> errs;
  if (!LoadSources(path, file, &errs)) {
    for (const SourceError& e : errs) errors->push_back(FormatError(path, e));
    return false;
  }
  if (!onlyNode.empty()) {
    auto drop = [&](std::vector<SourcePoint>& pts) {
      std::erase_if(pts, [&](const SourcePoint& p) { return Fold(p.eval.node) != Fold(onlyNode); });
    };
    for (MqttSource& s : file->mqtt) drop(s.points);
    for (ModbusSource& s : file->modbus) drop(s.points);
  }
  std::vector<std::string> nodes = NodeErrors(path, *file, plant);
  errors->insert(errors->end(), nodes.begin(), nodes.end());
  return nodes.empty();
}

}  // namespace

bool PrepareStore(plant::PlantStore& store, const std::string& path, const std::string& onlyNode,
                  SourcesFile* file, plant::Plant* plant, std::vector<std::string>* errors) {
  plant::StoreError err;
  if (!store.Read(plant, &err)) {
    errors->push_back(err.message);
    return false;
  }
  if (!LoadFor(path, onlyNode, *plant, file, errors)) return false;
  if (!store.PutBlocks(BlocksFor(*file, *plant), &err) || !store.Read(plant, &err)) {
    errors->push_back(err.message);
    return false;
  }
  return true;
}

bool PreparePlant(plant::Plant& plant, const std::string& path, const std::string& onlyNode,
                  SourcesFile* file, std::vector<std::string>* errors) {
  if (!LoadFor(path, onlyNode, plant, file, errors)) return false;
  std::map<std::string, std::size_t> at;
  for (std::size_t i = 0; i < plant.blocks.size(); ++i) {
    at[Fold(plant.blocks[i].node) + "\n" + Fold(plant.blocks[i].tag)] = i;
  }
  for (plant::PlantBlock& b : BlocksFor(*file, plant)) {
    auto it = at.find(Fold(b.node) + "\n" + Fold(b.tag));
    if (it != at.end()) {
      plant.blocks[it->second] = std::move(b);
    } else {
      plant.blocks.push_back(std::move(b));
    }
  }
  return true;
}

FieldHost::FieldHost(node::EmbeddedNode& node) : node_(&node) {}

void FieldHost::Rebind(node::EmbeddedNode& node) {
  node_ = &node;
  if (!evaluator_) return;
  auto fresh = std::make_unique<node::FieldEvaluator>(node.queue(), node.database());
  for (std::size_t i = 0; i < evaluator_->Size(); ++i) fresh->Add(evaluator_->Config(i));
  fresh->TakeStateFrom(*evaluator_);
  evaluator_ = std::move(fresh);
}

FieldHost::~FieldHost() {
  Stop();
}

bool FieldHost::Configure(const SourcesFile& file, const plant::Plant& plant,
                          const std::string& onlyNode, std::string* err) {
  Stop();
  std::map<std::string, std::string> physical;
  for (const plant::PlantNode& n : plant.nodes) {
    physical[Fold(n.name)] = n.physical.empty() ? n.name : n.physical;
  }
  auto evaluator = std::make_unique<node::FieldEvaluator>(node_->queue(), node_->database());
  std::vector<std::unique_ptr<Driver>> drivers;
  std::map<std::string, std::size_t> indexOf;  // node + tag -> evaluator index
  std::vector<std::pair<std::size_t, std::string>> setpoints;
  auto mine = [&](const SourcePoint& p) {
    return onlyNode.empty() || Fold(p.eval.node) == Fold(onlyNode);
  };
  auto addPoints = [&](const std::vector<SourcePoint>& points, std::vector<SourcePoint>* kept) {
    for (const SourcePoint& p : points) {
      if (!mine(p)) continue;
      std::optional<node::BlockRecord> block = node_->database().FindBlock(p.eval.node, p.eval.tag);
      if (!block) {
        *err = "no block " + p.eval.tag + " on node " + p.eval.node + " for its field point";
        return false;
      }
      node::FieldPointConfig cfg = p.eval;
      cfg.node = block->node;
      cfg.letter = block->letter;
      cfg.number = block->number;
      if (cfg.physical.empty()) {
        auto it = physical.find(Fold(cfg.node));
        cfg.physical = it == physical.end() ? cfg.node : it->second;
      }
      cfg.setpoint = -1;
      std::size_t index = evaluator->Add(cfg);
      indexOf[Fold(cfg.node) + "\n" + Fold(cfg.tag)] = index;
      if (!p.setpointTag.empty())
        setpoints.emplace_back(index, Fold(cfg.node) + "\n" + Fold(p.setpointTag));
      kept->push_back(p);
    }
    return true;
  };
  for (const MqttSource& s : file.mqtt) {
    MqttSource copy = s;
    copy.points.clear();
    std::size_t first = evaluator->Size();
    if (!addPoints(s.points, &copy.points)) return false;
    if (!copy.points.empty()) drivers.push_back(std::make_unique<MqttDriver>(copy, first, inbox_));
  }
  for (const ModbusSource& s : file.modbus) {
    ModbusSource copy = s;
    copy.points.clear();
    std::size_t first = evaluator->Size();
    if (!addPoints(s.points, &copy.points)) return false;
    if (!copy.points.empty()) {
      drivers.push_back(std::make_unique<ModbusDriver>(copy, first, inbox_));
    }
  }
  // Deviation points follow their setpoint; both are on one node.
  if (!setpoints.empty()) {
    auto linked = std::make_unique<node::FieldEvaluator>(node_->queue(), node_->database());
    std::map<std::size_t, int> sp;
    for (auto& [index, key] : setpoints) {
      auto it = indexOf.find(key);
      if (it != indexOf.end()) sp[index] = static_cast<int>(it->second);
    }
    for (std::size_t i = 0; i < evaluator->Size(); ++i) {
      node::FieldPointConfig cfg = evaluator->Config(i);
      auto it = sp.find(i);
      cfg.setpoint = it == sp.end() ? -1 : it->second;
      linked->Add(cfg);
    }
    evaluator = std::move(linked);
  }
  evaluator->Adopt(node::Clock::now());
  evaluator_ = std::move(evaluator);
  drivers_ = std::move(drivers);
  std::vector<Sample> stale;
  inbox_.Take(&stale, std::chrono::milliseconds(0));  // readings of the old points
  return true;
}

bool FieldHost::Start(std::string* err) {
  for (auto& d : drivers_) {
    if (!d->Start(err)) return false;
  }
  return true;
}

void FieldHost::Stop() {
  for (auto& d : drivers_) d->Stop();
}

bool FieldHost::Pump(std::chrono::milliseconds wait) {
  if (!evaluator_) return false;
  int32_t before = node_->queue().SequenceNumber();
  inbox_.Take(&batch_, wait);
  for (const Sample& s : batch_) {
    if (s.reading.quality == FieldQuality::kGood) {
      evaluator_->Value(s.point, s.reading.value, s.when);
    } else {
      evaluator_->Quality(s.point, s.reading.quality, s.when);
    }
  }
  evaluator_->Tick(node::Clock::now());
  return node_->queue().SequenceNumber() != before;
}

FieldStatus FieldHost::Status() const {
  FieldStatus s;
  for (const auto& d : drivers_) s.drivers.push_back(d->Status());
  if (!evaluator_) return s;
  s.evaluator = evaluator_->Counters();
  s.points = evaluator_->Size();
  for (std::size_t i = 0; i < s.points; ++i) {
    node::FieldPointState st = evaluator_->State(i);
    if (st.quality == FieldQuality::kGood) {
      ++s.good;
    } else if (st.quality == FieldQuality::kComm) {
      ++s.comm;
    } else {
      ++s.bad;
    }
    if (st.shown != FieldCondition::kNormal) ++s.inAlarm;
  }
  return s;
}

std::string FormatStatus(const FieldStatus& s) {
  std::ostringstream o;
  o << "Field points: " << s.points << " (" << s.good << " good, " << s.bad << " bad, " << s.comm
    << " without communication), " << s.inAlarm << " in alarm\n";
  o << "Evaluator: " << s.evaluator.values << " values, " << s.evaluator.badReadings
    << " bad readings, " << s.evaluator.commLosses << " communication losses, "
    << s.evaluator.raised << " raised, " << s.evaluator.returned << " returned, "
    << s.evaluator.cleared << " cleared\n";
  for (const DriverStatus& d : s.drivers) {
    o << "Source " << d.kind << " " << d.name << " " << d.peer << ": "
      << (d.connected ? "connected" : "NOT CONNECTED") << ", " << d.readings << " readings, "
      << d.bad << " bad";
    if (d.kind == "modbus") {
      o << ", " << d.requests << " requests, " << d.exceptions << " exceptions, " << d.timeouts
        << " timeouts";
    }
    o << ", " << d.connects << " connects, " << d.losses << " losses";
    if (!d.lastError.empty()) o << " (last: " << d.lastError << ")";
    o << "\n";
  }
  return o.str();
}

std::string StatusFileFor(const std::string& storePath) {
  return storePath + "-field.json";
}

void WriteStatusFile(const std::string& storePath, const FieldStatus& s) {
  std::string path = StatusFileFor(storePath), tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << StatusJson(s);
    if (!out) return;
  }
  std::rename(tmp.c_str(), path.c_str());
}

std::string StatusJson(const FieldStatus& s) {
  nlohmann::json drivers = nlohmann::json::array();
  for (const DriverStatus& d : s.drivers) {
    drivers.push_back({{"kind", d.kind},
                       {"name", d.name},
                       {"peer", d.peer},
                       {"connected", d.connected},
                       {"last_error", d.lastError},
                       {"readings", d.readings},
                       {"bad", d.bad},
                       {"requests", d.requests},
                       {"exceptions", d.exceptions},
                       {"timeouts", d.timeouts},
                       {"connects", d.connects},
                       {"losses", d.losses}});
  }
  nlohmann::json j = {{"points", s.points},
                      {"good", s.good},
                      {"bad", s.bad},
                      {"comm", s.comm},
                      {"in_alarm", s.inAlarm},
                      {"values", s.evaluator.values},
                      {"bad_readings", s.evaluator.badReadings},
                      {"comm_losses", s.evaluator.commLosses},
                      {"raised", s.evaluator.raised},
                      {"returned", s.evaluator.returned},
                      {"cleared", s.evaluator.cleared},
                      {"sources", drivers}};
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tolvane::field

#include "plant/plant_node.h"

#include <cstring>
#include <map>

#include "node/summary_queue_order.h"
#include "tolvane/text_field.h"

namespace tolvane::plant {
node::AlarmInput ToAlarmInput(const PlantAlarm& a) {
  node::AlarmInput in;
  in.physicalNode = a.physical;
  in.node = a.node;
  in.tag = a.tag;
  in.blockLetter = a.letter;
  in.blockNumber = a.number;
  in.priority = a.priority;
  in.msgType = a.msgType;
  in.statusCode = a.status;
  in.value = a.value;
  in.description = a.description;
  in.areas = a.areas;
  in.extKind = a.extKind;
  in.ext1 = a.ext1;
  in.ext2 = a.ext2;
  in.fieldBlock = a.fieldBlock;
  in.acknowledged = a.acknowledged;
  return in;
}

PlantAlarm AlarmFromMessage(const SUMQMSG& m, TimePoint timeIn, TimePoint timeLast) {
  const _ALMPAK& p = m.almpak;
  PlantAlarm a;
  a.msgType = p.msgType;
  a.node = std::string(FieldText(p.node));
  a.physical = std::string(FieldText(p.physicalNode));
  a.tag = std::string(FieldText(p.tagName));
  a.letter = p.vsp.blockType;
  a.number = p.vsp.blockNumber;
  a.priority = p.priority;
  a.status = p.statusCode;
  a.value = p.value;
  a.description = std::string(FieldText(p.description));
  uint32_t areas = p.areaCount > 15 ? 15 : p.areaCount;
  for (uint32_t k = 0; k < areas; ++k) a.areas.emplace_back(FieldText(p.areas[k]));
  a.extKind = p.ext.extKind;
  if (a.extKind == 1) {
    std::memcpy(a.fieldBlock.data(), p.fieldBlock, sizeof p.fieldBlock);
  } else if (a.extKind == 0) {
    a.ext1 = std::string(FieldText(p.ext.ext1));
    a.ext2 = std::string(FieldText(p.ext.ext2));
  }
  a.acknowledged = m.ackFlag != 0;
  a.timeIn = timeIn;
  a.timeLast = timeLast;
  return a;
}

bool LoadNodesAndBlocks(const Plant& plant, node::EmbeddedNode& node, std::string* err) {
  node::ProcessDatabase& db = node.database();
  for (const PlantNode& n : plant.nodes) {
    if (!db.AddNode(n.name, n.serial)) {
      *err = "node " + n.name + " cannot be added (bad name, or serial " +
             std::to_string(n.serial) + " in use)";
      return false;
    }
  }
  if (const PlantNode* local = plant.LocalNode()) {
    const auto& aliases = local->aliases;
    node.SetLocalNames(node::LocalNames{local->name,
                                        aliases.size() > 0 ? aliases[0] : std::string(),
                                        aliases.size() > 1 ? aliases[1] : std::string()});
  }
  for (std::size_t i = 0; i < plant.blocks.size(); ++i) {
    const PlantBlock& b = plant.blocks[i];
    std::string where = "blocks[" + std::to_string(i) + "]";
    if (!db.AddBlock(b.node, b.tag, b.letter, b.number)) {
      *err = where + ": block " + b.tag + " cannot be added to node " + b.node;
      return false;
    }
    for (const auto& [field, value] : b.fields) {
      if (!db.SetField(b.node, b.tag, field, value)) {
        *err = where + ".fields." + field + ": no such field";
        return false;
      }
    }
  }
  return true;
}

bool LoadPlant(const Plant& plant, node::EmbeddedNode& node, std::string* err) {
  if (!LoadNodesAndBlocks(plant, node, err)) return false;
  node::SummaryQueue& q = node.queue();
  for (const PlantAlarm& a : plant.alarms) {
    bool shelved = a.shelvedUntil && *a.shelvedUntil > Clock::now();
    if (q.Append(ToAlarmInput(a), a.timeIn, a.timeLast, shelved) == 0) {
      *err = "the alarm queue ran out of memory";
      return false;
    }
  }
  if (plant.hornEnabled) {
    q.HornEnable();
  } else {
    q.HornDisable();
  }
  if (plant.hornSilenced) q.HornSquelch();
  return true;
}

Plant CapturePlant(const Plant& base, node::EmbeddedNode& node) {
  Plant out;
  node::ProcessDatabase& db = node.database();
  out.nodes = base.nodes;
  for (PlantNode& n : out.nodes) n.serial = db.NodeSerial(n.name);

  std::map<std::string, const PlantBlock*> meta;
  for (const PlantBlock& b : base.blocks)
    meta[node::detail::FoldCase(b.node) + "/" + node::detail::FoldCase(b.tag)] = &b;
  for (const node::BlockRecord& r : db.Blocks()) {
    PlantBlock b;
    auto it = meta.find(node::detail::FoldCase(r.node) + "/" + node::detail::FoldCase(r.tag));
    if (it != meta.end()) b = *it->second;
    b.node = r.node;
    b.tag = r.tag;
    b.letter = r.letter;
    b.number = r.number;
    b.fields.clear();
    for (std::size_t f = 0; f < node::kFieldCount; ++f)
      b.fields[node::kFieldNames[f]] = r.fields[f];
    out.blocks.push_back(std::move(b));
  }

  node::SummaryQueue& q = node.queue();
  std::vector<SUMQMSG> msgs = q.Snapshot();
  std::vector<node::Clock::time_point> in = q.SnapshotTimesIn();
  std::vector<node::Clock::time_point> last = q.SnapshotTimesLast();
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    out.alarms.push_back(AlarmFromMessage(msgs[i], i < in.size() ? in[i] : Clock::now(),
                                          i < last.size() ? last[i] : Clock::now()));
  }
  out.hornEnabled = q.HornEnabled();
  out.hornSilenced = q.HornSilenced();
  out.log = base.log;
  return out;
}

}  // namespace tolvane::plant

// A plant as the program keeps it between runs: nodes, their blocks, the
// alarm queue, the horn and the operator-message log. Plain data; the plant
// file (plant_file.h) reads and writes it, plant_node.h moves it in and out
// of an embedded node.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/records.h"

namespace tolvane::plant {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

struct PlantNode {
  std::string name;                  // at most 8 characters
  std::string physical;              // physical node name, at most 8 characters
  std::vector<std::string> aliases;  // the local node's first two are its aliases
  uint32_t serial = 0;               // 0: the database picks one
  bool local = false;
  std::string extra;  // members the exchange format does not know, as a JSON object text
};

// A block of a node's database. The description, areas and priority are
// what the simulator raises its alarms with; the fields are the database's.
struct PlantBlock {
  std::string node;
  std::string tag;
  char letter = 'A';
  int16_t number = 0;
  std::string description;
  std::vector<std::string> areas;
  int16_t priority = 7;
  std::map<std::string, int16_t> fields;  // field name -> value
  std::string extra;
};

struct PlantAlarm {
  std::string node;
  std::string physical;
  std::string tag;
  char letter = 'A';
  int16_t number = 0;
  int32_t msgType = 1;
  int16_t priority = 7;
  int32_t status = -1;
  _AlmCanonicalValue value = ClearedValue();
  std::string description;
  std::vector<std::string> areas;
  int16_t extKind = 0;
  std::string ext1, ext2;
  std::array<uint8_t, 170> fieldBlock{};  // extKind 1
  bool acknowledged = false;
  TimePoint timeIn{};
  TimePoint timeLast{};
  // Shelved: out of every view until then (or an unshelve).
  std::optional<TimePoint> shelvedUntil;
  std::string shelveReason;
  std::string shelvedBy;
  std::string extra;
};

struct PlantLogEntry {
  TimePoint time{};
  std::string node;
  std::string text;
  int flag = 0;
  std::string user;  // who acted; empty when not known
  std::string extra;
};

struct Plant {
  std::vector<PlantNode> nodes;
  std::vector<PlantBlock> blocks;
  std::vector<PlantAlarm> alarms;  // operator messages are type 8
  bool hornEnabled = true;
  bool hornSilenced = false;
  std::vector<PlantLogEntry> log;
  std::string extra;  // top-level members the exchange format does not know

  // The local node: the one marked local, else the first; null when none.
  const PlantNode* LocalNode() const;
};

// The most blocks one node's database holds: its block word is 16-bit.
inline constexpr std::size_t kMaxBlocksPerNode = 65535;
// The first block (its index in plant.blocks) that puts its node past
// kMaxBlocksPerNode; nothing when no node is past it. Node names compare
// without case, as the database compares them.
std::optional<std::size_t> FirstBlockPastLimit(const Plant& plant);

// Priority ids of the seven-level table and their names.
struct PriorityName {
  int16_t id;
  const char* name;
};
inline constexpr std::array<PriorityName, 7> kPriorities = {{
    {3, "CRITICAL"},
    {4, "HIHI"},
    {5, "HIGH"},
    {6, "MEDIUM"},
    {7, "LOW"},
    {8, "LOLO"},
    {9, "INFO"},
}};

// The name of a priority id, or null.
const char* PriorityNameOf(int16_t id);
// The id of a priority name (case-blind), or nothing.
std::optional<int16_t> PriorityIdOf(const std::string& name);

// Times as plants write them: UTC ("2026-01-31T12:00:00Z"), or an offset
// from `now` ("-15m", "now"). ParseTime reads either and refuses times that
// do not exist (2026-02-30, hour 24, second 60: no leap seconds) and times
// past the clock's range.
std::string FormatUtc(TimePoint t);
std::string FormatRelative(TimePoint t, TimePoint now);
bool ParseTime(const std::string& text, TimePoint now, TimePoint* out);

}  // namespace tolvane::plant

#include "plant/demo_plant.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace tolvane::plant {
namespace {

struct NodeStyle {
  const char* name;
  const char* physical;
  std::vector<const char*> areas;
  std::vector<const char*> equipment;
};

const std::vector<NodeStyle>& Styles() {
  static const std::vector<NodeStyle> styles = {
      {"PLANT1",
       "SCADA1",
       {"FEED", "REACTOR"},
       {"FEED DRUM D-101", "REACTOR R-101", "FEED PUMP P-101", "PREHEATER E-102", "REACTOR R-102"}},
      {"PLANT2",
       "SCADA2",
       {"DISTILL", "TANKFARM"},
       {"COLUMN C-201", "REBOILER E-203", "REFLUX DRUM D-204", "TANK T-301", "TANK T-302"}},
      {"UTILS",
       "SCADA3",
       {"UTILITIES", "BOILER", "COOLING"},
       {"BOILER B-1", "COOLING TOWER CT-1", "AIR COMPRESSOR K-1", "STEAM HEADER", "FLARE X-1"}},
  };
  return styles;
}

// One kind of instrument loop: ISA letters, block letter, what it measures.
struct Instrument {
  const char* prefix;
  char letter;  // 'P' controller, 'A' analog input, 'D' discrete
  const char* what;
  bool discrete;
};

constexpr Instrument kInstruments[] = {
    {"FIC", 'P', "FLOW", false},
    {"TIC", 'P', "TEMPERATURE", false},
    {"PIC", 'P', "PRESSURE", false},
    {"LIC", 'P', "LEVEL", false},
    {"FI", 'A', "FLOW", false},
    {"TI", 'A', "TEMPERATURE", false},
    {"PI", 'A', "PRESSURE", false},
    {"LI", 'A', "LEVEL", false},
    {"AI", 'A', "ANALYZER", false},
    {"LAH", 'D', "LEVEL HIGH", true},
    {"LAL", 'D', "LEVEL LOW", true},
    {"PAH", 'D', "PRESSURE HIGH", true},
    {"TAH", 'D', "TEMPERATURE HIGH", true},
    {"FAL", 'D', "FLOW LOW", true},
    {"XV", 'D', "VALVE POSITION", true},
};

// Priority ids weighted like a rationalised alarm system: few criticals.
int16_t PickPriority(DemoRandom& rnd) {
  int r = static_cast<int>(rnd.Below(100));
  if (r < 5) return 3;   // CRITICAL
  if (r < 13) return 4;  // HIHI
  if (r < 33) return 5;  // HIGH
  if (r < 58) return 6;  // MEDIUM
  if (r < 83) return 7;  // LOW
  if (r < 90) return 8;  // LOLO
  return 9;              // INFO
}

std::string NodeName(int i) {
  if (i < static_cast<int>(Styles().size())) return Styles()[i].name;
  char buf[24];
  std::snprintf(buf, sizeof buf, "NODE%02d", (i + 1) % 100);
  return buf;
}

std::string PhysicalName(int i) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "SCADA%d", (i + 1) % 100);
  return buf;
}

const NodeStyle& StyleOf(int i) {
  return Styles()[static_cast<std::size_t>(i) % Styles().size()];
}

_AlmCanonicalValue FloatValue(float v) {
  _AlmCanonicalValue out = ClearedValue();
  out.kind = 8;
  out.value.f32 = v;
  return out;
}

_AlmCanonicalValue TextValue(const char* text) {
  _AlmCanonicalValue out = ClearedValue();
  out.kind = 1;
  out.textFlag = 1;
  std::snprintf(out.text, sizeof out.text, "%s", text);
  return out;
}

}  // namespace

Plant MakeDemoPlant(const DemoOptions& options) {
  DemoRandom rnd(options.seed);
  Plant plant;
  int nodeCount = std::clamp(options.nodes, 1, 26);
  int tagCount = std::max(options.tags, nodeCount);
  const TimePoint now = options.now;
  using std::chrono::minutes;
  using std::chrono::seconds;

  for (int i = 0; i < nodeCount; ++i) {
    PlantNode n;
    n.name = NodeName(i);
    n.physical = PhysicalName(i);
    n.serial = 1000u + static_cast<uint32_t>(i) * 17u;
    if (i == 0) {
      n.local = true;
      n.aliases = {"N1", "LOCAL"};
    }
    plant.nodes.push_back(n);
  }

  // Blocks: tags spread evenly over the nodes, unique per node.
  for (int i = 0; i < nodeCount; ++i) {
    const NodeStyle& style = StyleOf(i);
    int count = tagCount / nodeCount + (i < tagCount % nodeCount ? 1 : 0);
    std::set<std::string> used;
    std::map<char, int16_t> numbers;
    int unit = i + 1;
    for (int t = 0; t < count; ++t) {
      const Instrument& ins = kInstruments[rnd.Below(std::size(kInstruments))];
      std::string tag;
      // A few tries in the realistic name space, then a plain loop number:
      // large plants run out of three- and four-digit loops.
      for (int tries = 0; tries < 20; ++tries) {
        char buf[32];
        // Three-digit loops for most units, four-digit for the larger loops.
        if (rnd.Chance(60)) {
          std::snprintf(buf, sizeof buf, "%s%d%02u", ins.prefix, unit % 10, rnd.Below(100));
        } else {
          std::snprintf(buf, sizeof buf, "%s%d%03u", ins.prefix, unit % 10 + 1, rnd.Below(1000));
        }
        if (used.insert(buf).second) {
          tag = buf;
          break;
        }
      }
      for (int n = t; tag.empty(); ++n) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%d%05d", ins.prefix, unit % 10, n % 100000);
        if (used.insert(buf).second) tag = buf;
      }
      PlantBlock b;
      b.node = plant.nodes[static_cast<std::size_t>(i)].name;
      b.tag = tag;
      b.letter = ins.letter;
      b.number = ++numbers[ins.letter];
      b.description =
          std::string(style.equipment[rnd.Below(style.equipment.size())]) + " " + ins.what;
      b.areas = {style.areas[rnd.Below(style.areas.size())]};
      if (rnd.Chance(15)) b.areas.push_back(rnd.Chance(50) ? "SAFETY" : "ENVIRON");
      b.priority = PickPriority(rnd);
      int16_t lo = static_cast<int16_t>(rnd.Between(50, 250));
      int16_t hi = static_cast<int16_t>(rnd.Between(700, 950));
      b.fields = {{"B_NALM", 0},
                  {"B_DALM", 0},
                  {"B_CUALM", 0},
                  {"B_PRI", b.priority},
                  {"B_CV", static_cast<int16_t>(rnd.Between(lo + 50, hi - 50))},
                  {"B_HILIM", hi},
                  {"B_LOLIM", lo}};
      plant.blocks.push_back(std::move(b));
    }
  }

  // Alarms on about a third of the blocks.
  std::vector<std::size_t> order(plant.blocks.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t i = order.size(); i > 1; --i)
    std::swap(order[i - 1], order[rnd.Below(static_cast<uint32_t>(i))]);
  std::size_t alarmCount =
      options.alarms >= 0 ? std::min(static_cast<std::size_t>(options.alarms), plant.blocks.size())
                          : std::max<std::size_t>(1, plant.blocks.size() / 3);
  // A flood: a burst of alarms within a few minutes, about two hours ago.
  std::size_t floodCount = alarmCount >= 40 ? 16 : 0;
  TimePoint floodStart = now - minutes(130);

  for (std::size_t k = 0; k < alarmCount && k < order.size(); ++k) {
    PlantBlock& b = plant.blocks[order[k]];
    // Make sure the first alarms show every priority.
    if (k < kPriorities.size()) {
      b.priority = kPriorities[k].id;
      b.fields["B_PRI"] = b.priority;
    }
    const PlantNode* node = nullptr;
    for (const PlantNode& n : plant.nodes) {
      if (n.name == b.node) node = &n;
    }
    PlantAlarm a;
    a.node = b.node;
    a.physical = node ? node->physical : b.node;
    a.tag = b.tag;
    a.letter = b.letter;
    a.number = b.number;
    a.priority = b.priority;
    a.description = b.description;
    a.areas = b.areas;
    int16_t hi = b.fields["B_HILIM"], lo = b.fields["B_LOLIM"];
    int16_t cv = b.fields["B_CV"];
    if (b.letter == 'D') {
      int r = static_cast<int>(rnd.Below(10));
      a.status = r < 7 ? status::kCos : (r < 9 ? status::kFault : status::kIof);
      a.value = TextValue(a.status == status::kCos ? "ALARM" : "BAD");
    } else {
      int r = static_cast<int>(rnd.Below(20));
      if (r < 7) {
        a.status = status::kHi;
        cv = static_cast<int16_t>(hi + rnd.Between(1, 40));
      } else if (r < 12) {
        a.status = status::kLo;
        cv = static_cast<int16_t>(lo - rnd.Between(1, 40));
      } else if (r < 15) {
        a.status = status::kHiHi;
        cv = static_cast<int16_t>(hi + rnd.Between(41, 90));
      } else if (r < 17) {
        a.status = status::kLoLo;
        cv = static_cast<int16_t>(lo - rnd.Between(41, 49));
      } else if (r < 18) {
        a.status = status::kRate;
      } else if (r < 19) {
        a.status = status::kDev;
      } else {
        a.status = status::kOk;  // back to normal, waiting for its acknowledge
      }
      b.fields["B_CV"] = cv;
      a.value = FloatValue(static_cast<float>(cv) / 10.0f);
    }
    if (rnd.Chance(30)) a.ext1 = "SEE PROCEDURE OP-" + std::to_string(rnd.Between(100, 999));
    // Times: the flood, a few standing for more than a day, the rest
    // within the last six hours.
    if (k >= kPriorities.size() && k < kPriorities.size() + floodCount) {
      a.timeIn = floodStart + seconds(rnd.Between(0, 360));
    } else if (rnd.Chance(10)) {
      a.timeIn = now - minutes(rnd.Between(25 * 60, 36 * 60));
    } else {
      a.timeIn = now - seconds(rnd.Between(30, 6 * 3600));
    }
    auto age = std::chrono::duration_cast<seconds>(now - a.timeIn).count();
    a.timeLast = a.timeIn + seconds(rnd.Below(static_cast<uint32_t>(age / 4 + 1)));
    // Older alarms are more likely to have been acknowledged.
    a.acknowledged = a.status == status::kOk ? false : rnd.Chance(age > 3 * 3600 ? 70 : 30);
    b.fields["B_NALM"] = a.acknowledged ? 0 : 1;
    b.fields["B_CUALM"] = static_cast<int16_t>(a.status);
    plant.alarms.push_back(std::move(a));
  }

  // Operator messages, in the queue and in the log.
  const PlantNode& local = plant.nodes.front();
  struct Note {
    int minutesAgo;
    const char* text;
  };
  const Note notes[] = {
      {300, "Shift B on duty"},
      {125, "Alarm flood on feed section, operator informed"},
      {95, "Alarms acknowledged on node PLANT1"},
      {40, "Maintenance on FEED PUMP P-101 started"},
      {10, "Horn test done"},
  };
  for (const Note& n : notes) {
    PlantAlarm m;
    m.msgType = 8;
    m.node = m.physical = local.name;
    m.letter = '\0';
    m.priority = 9;
    m.description = n.text;
    m.acknowledged = true;
    m.timeIn = m.timeLast = now - minutes(n.minutesAgo);
    plant.alarms.push_back(m);
    plant.log.push_back({m.timeIn, local.name, n.text, 0, "", ""});
  }

  std::stable_sort(plant.alarms.begin(), plant.alarms.end(),
                   [](const PlantAlarm& a, const PlantAlarm& b) { return a.timeIn < b.timeIn; });
  std::stable_sort(plant.log.begin(), plant.log.end(),
                   [](const PlantLogEntry& a, const PlantLogEntry& b) { return a.time < b.time; });
  plant.hornEnabled = true;
  plant.hornSilenced = false;
  return plant;
}

}  // namespace tolvane::plant

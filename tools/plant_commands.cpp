// demo, import and export: plant stores and JSON plant documents written
// and read whole.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "present/output.h"
#include "plant/plant_node.h"
#include "tools/commands.h"

namespace tolvane::cli {
using namespace tolvane::plant;
namespace {

bool IsJsonPath(const std::string& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
}

// Writes a plant as a store, or as the exchange format for a .json path.
void WritePlantTo(const std::string& path, const Plant& plant, bool relative, TimePoint now,
                  bool force) {
  if (IsJsonPath(path)) {
    std::string err;
    if (!WriteFileAtomically(path, SerializePlant(plant, relative, now), &err)) {
      throw Failure{kExitSaveFailed, err};
    }
    return;
  }
  StoreError err;
  if (!PlantStore::Create(path, plant, force, &err)) throw Failure{kExitSaveFailed, err.message};
}

}  // namespace

void CmdDemo(const DemoArgs& a, std::ostream& out) {
  if (std::string why; !CanReplaceFile(a.out, &why)) throw Failure{kExitSaveFailed, why};
  DemoOptions d;
  d.nodes = a.nodes;
  d.tags = a.alarms > a.tags ? static_cast<int>(a.alarms) : a.tags;  // an alarm needs a block
  d.alarms = a.alarms;
  d.seed = a.seed;
  d.now = Clock::now();
  // Refused before anything is made or written: a store no command could
  // load. The demo spreads its tags evenly, so the first node holds most.
  auto refuse = [](const std::string& node) {
    throw Failure{kExitUsage, "demo: node " + node + " would hold more than " +
                                  Thousands(kMaxBlocksPerNode) +
                                  " blocks, the most a node's database holds (one block per "
                                  "alarm); give more --nodes"};
  };
  const long nodes = std::clamp(d.nodes, 1, 26);
  if ((static_cast<long>(d.tags) + nodes - 1) / nodes > static_cast<long>(kMaxBlocksPerNode)) {
    refuse("PLANT1");
  }
  Plant plant = MakeDemoPlant(d);
  if (auto past = FirstBlockPastLimit(plant)) refuse(plant.blocks[*past].node);
  WritePlantTo(a.out, plant, a.relative, d.now, a.force);
  out << "Wrote " << plant.nodes.size() << " nodes, " << plant.blocks.size() << " blocks and "
      << plant.alarms.size() << " alarms to " << a.out << "\n";
}

void CmdImport(const ImportArgs& a, std::ostream& out) {
  std::string text, err;
  if (!CanReplaceFile(a.out, &err)) throw Failure{kExitSaveFailed, err};
  switch (ReadInput(a.from, -1, kPlantDocumentLimits.maxBytes, &text, &err)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kTooLarge:
      throw Failure{kExitNodeFileInvalid, err};
    default:
      throw Failure{kExitNodeFileMissing, err};
  }
  Plant plant;
  if (!ParsePlant(text, Clock::now(), &plant, &err)) {
    throw Failure{kExitNodeFileInvalid, a.from + ": " + err};
  }
  {
    // The node must take every part of it, or the store would hold a plant
    // no command can load.
    node::EmbeddedNode node;
    if (!LoadPlant(plant, node, &err)) {
      throw Failure{kExitNodeFileInvalid, a.from + " refused by the node: " + err};
    }
  }
  WritePlantTo(a.out, plant, false, Clock::now(), a.force);
  out << "Imported " << plant.nodes.size() << " nodes, " << plant.blocks.size() << " blocks, "
      << plant.alarms.size() << " alarms and " << plant.log.size() << " journal entries into "
      << a.out << "\n";
}

void CmdExport(const GlobalOptions& g, const std::string& storePath, const std::string& outPath,
               std::ostream& out) {
  std::string why;
  // Refused before the store is read, not after the whole document is made.
  if (!outPath.empty() && outPath != "-" && !CanReplaceFile(outPath, &why)) {
    throw Failure{kExitSaveFailed, why};
  }
  GlobalOptions from = g;
  if (!storePath.empty()) from.nodeFile = storePath;
  std::unique_ptr<PlantStore> store = OpenStore(from, Clock::now());
  Plant plant;
  StoreError err;
  if (!store->Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
  std::string doc = SerializePlant(plant, false, Clock::now());
  if (outPath.empty() || outPath == "-") {
    out << present::TerminalSafeJson(std::move(doc));  // reads back the same
    return;
  }
  if (!WriteFileAtomically(outPath, doc, &why)) throw Failure{kExitSaveFailed, why};
  out << "Exported " << plant.alarms.size() << " alarms to " << outPath << "\n";
}

}  // namespace tolvane::cli

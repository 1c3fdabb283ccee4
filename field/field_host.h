// A node's field connections at work: the sources file's points as blocks
// of the node, one evaluator for all of them, and a driver per source
// feeding it. The program (`ingest`, `serve --sources`) and the node daemon
// run one; a single thread calls Pump while holding whatever lock guards
// the node's store.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "field/driver.h"
#include "field/inbox.h"
#include "field/sources.h"
#include "node/embedded_node.h"
#include "node/field_evaluator.h"
#include "plant/plant.h"
#include "plant/plant_store.h"

namespace tolvane::field {

// The blocks `file` needs in `plant`: new ones (letter A for analog, D for
// digital points, the next free number on the node) and the existing ones
// by node and tag, with the file's description, areas and priority.
std::vector<plant::PlantBlock> BlocksFor(const SourcesFile& file, const plant::Plant& plant);

// Errors of points whose node `plant` does not have, "FILE:LINE:COL: ..." each.
std::vector<std::string> NodeErrors(const std::string& path, const SourcesFile& file,
                                    const plant::Plant& plant);

// Reads the sources file at `path` and makes `store` ready for it: its
// points' nodes must be in the store (restricted to `onlyNode` when not
// empty), and their blocks are added or brought up to date. *plant is the
// store's plant afterwards. False with one message a line in *errors.
bool PrepareStore(plant::PlantStore& store, const std::string& path, const std::string& onlyNode,
                  SourcesFile* file, plant::Plant* plant, std::vector<std::string>* errors);

// The same for a plant held in memory (no store): blocks are added to it.
bool PreparePlant(plant::Plant& plant, const std::string& path, const std::string& onlyNode,
                  SourcesFile* file, std::vector<std::string>* errors);

struct FieldStatus {
  std::vector<DriverStatus> drivers;
  node::FieldEvaluatorCounters evaluator;
  std::size_t points = 0, good = 0, bad = 0, comm = 0, inAlarm = 0;
};

class FieldHost {
 public:
  explicit FieldHost(node::EmbeddedNode& node);
  ~FieldHost();
  FieldHost(const FieldHost&) = delete;
  FieldHost& operator=(const FieldHost&) = delete;

  // Sets up the points of `file`, restricted to `onlyNode` when it is not
  // empty. Their blocks must be in the node's database (BlocksFor). Alarms
  // standing for them are taken over. Stops drivers of an earlier file
  // first, so a changed file applies without losing alarm states.
  bool Configure(const SourcesFile& file, const plant::Plant& plant, const std::string& onlyNode,
                 std::string* err);
  bool Start(std::string* err);
  void Stop();
  // Moves the evaluation to `node`, a node loaded afresh from the same
  // store; the drivers run on and no reading is lost.
  void Rebind(node::EmbeddedNode& node);

  // Feeds what arrived into the evaluator, waiting up to `wait` for the
  // first reading, and runs its clock. True when the summary changed.
  bool Pump(std::chrono::milliseconds wait);

  FieldStatus Status() const;
  std::size_t Points() const { return evaluator_ ? evaluator_->Size() : 0; }
  node::FieldEvaluator* evaluator() { return evaluator_.get(); }

 private:
  node::EmbeddedNode* node_;
  Inbox inbox_;
  std::unique_ptr<node::FieldEvaluator> evaluator_;
  std::vector<std::unique_ptr<Driver>> drivers_;
  std::vector<Sample> batch_;
};

// Where a store's field figures are written for `status` ("STORE-field.json"),
// and the writing (whole or not at all).
std::string StatusFileFor(const std::string& storePath);
void WriteStatusFile(const std::string& storePath, const FieldStatus& s);

// `status` as text lines and as a JSON object text.
std::string FormatStatus(const FieldStatus& s);
std::string StatusJson(const FieldStatus& s);

}  // namespace tolvane::field

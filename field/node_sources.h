// The field sources of one node's daemon: the sources file's blocks made
// ready before the node is loaded, then a host feeding the node, pumped by
// the daemon's loop under the daemon's lock. SIGHUP reads the file again.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "field/field_host.h"
#include "plant/plant_store.h"

namespace tolvane::field {

class NodeSources {
 public:
  // The sources file at `path`; only the points of node `node` are used.
  NodeSources(std::string path, std::string node);
  ~NodeSources();

  // Before the node is loaded: the points' blocks go into the store (or the
  // plant held in memory). False with one message a line.
  bool Prepare(plant::PlantStore* store, plant::Plant* plant, std::vector<std::string>* errors);
  // Starts the drivers feeding `node`, which holds the prepared plant.
  bool Start(node::EmbeddedNode& node, const plant::Plant& plant, std::string* err);
  // Runs the evaluator on what arrived; true when the summary changed.
  bool Pump();
  // Reads the file again: new blocks go into the store and the node, the
  // points are set up anew, and the alarms standing stay as they are. On
  // errors the running file stays.
  bool Reload(plant::PlantStore* store, node::EmbeddedNode& node, std::vector<std::string>* errors);
  void Stop();
  FieldStatus Status() const;

 private:
  std::string path_, node_;
  SourcesFile file_;
  plant::Plant plant_;
  std::unique_ptr<FieldHost> host_;
};

}  // namespace tolvane::field

// One whole embedded node: one of every node backend, wired together and
// installed into the library.
//
// Construction installs every backend (the exported Install*Backend
// functions), unless asked to wait for Install(); destruction uninstalls
// those still installed, so the library is left answering like a plant
// whose services are down. The library has one slot per service, so one
// node is installed at a time; another may live beside it (filled while the
// installed one serves) and take its place with Install(). Installing and
// destroying nodes must not race one another.
//
// The database reports acknowledges and removals to the queue, and the alarm
// library enters the operator messages it sends into the queue.
#pragma once

#include <string>

#include "node/alarm_areas.h"
#include "node/alarm_library.h"
#include "node/node_services.h"
#include "node/node_variables.h"
#include "node/number_format.h"
#include "node/object_registry.h"
#include "node/process_database.h"
#include "node/resource_strings.h"
#include "node/summary_queue.h"
#include "node/text_catalogue.h"

namespace tolvane::node {

class EmbeddedNode {
 public:
  enum class Installing { kNow, kLater };
  // kNow replaces whatever node is installed; kLater leaves the library
  // alone until Install(). A node's own parts work either way.
  explicit EmbeddedNode(Installing when = Installing::kNow);
  // Uninstalls only the backends that are still this node's.
  ~EmbeddedNode();
  EmbeddedNode(const EmbeddedNode&) = delete;
  EmbeddedNode& operator=(const EmbeddedNode&) = delete;

  // Puts every backend of this node in the library's slots, in place of
  // the node installed before (which keeps its state but is no longer what
  // the library reaches).
  void Install();
  // True while every slot holds this node's backend.
  bool Installed() const;

  // The local node's name and two aliases, given to the queue (for its
  // name matching) and to the node services (for the library).
  void SetLocalNames(const LocalNames& names);
  LocalNames localNames() const { return queue_.GetLocalNames(); }

  // Reads the node's settings file (node variables, number format) from
  // the settings directory; false when there is none.
  bool LoadSettings();

  SummaryQueue& queue() { return queue_; }
  ProcessDatabase& database() { return database_; }
  AlarmLibrary& alarmLibrary() { return alarmLibrary_; }
  NodeServices& nodeServices() { return nodeServices_; }
  AlarmAreas& alarmAreas() { return alarmAreas_; }
  ResourceStrings& resources() { return resources_; }
  ObjectRegistry& registry() { return registry_; }
  TextCatalogue& textCatalogue() { return catalogue_; }
  NodeVariables& variables() { return variables_; }
  NumberFormat& numberFormat() { return numbers_; }

 private:
  // Declaration order is construction order: the queue first, since the
  // database and the alarm library hold pointers to it.
  SummaryQueue queue_;
  ProcessDatabase database_;
  AlarmLibrary alarmLibrary_;
  NodeServices nodeServices_;
  AlarmAreas alarmAreas_;
  ResourceStrings resources_;
  ObjectRegistry registry_;
  TextCatalogue catalogue_;
  NodeVariables variables_;
  NumberFormat numbers_;
};

}  // namespace tolvane::node

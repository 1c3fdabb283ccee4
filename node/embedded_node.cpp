#include "node/embedded_node.h"

#include "services/borvik.h"
#include "services/lexmon.h"
#include "services/mardex.h"
#include "services/nimbex.h"
#include "services/queue_backend.h"
#include "services/quinthe.h"
#include "services/resources.h"
#include "services/tessmer.h"
#include "services/ulvoran.h"
#include "services/zuna.h"

namespace tolvane::node {

EmbeddedNode::EmbeddedNode(Installing when) : database_(&queue_), alarmLibrary_(&queue_) {
  if (when == Installing::kNow) Install();
}

void EmbeddedNode::Install() {
  InstallQueueBackend(&queue_);
  InstallDatabaseBackend(&database_);
  InstallAlarmLibraryBackend(&alarmLibrary_);
  InstallNodeServicesBackend(&nodeServices_);
  InstallAlarmAreasBackend(&alarmAreas_);
  InstallResourceBackend(&resources_);
  InstallObjectRegistryBackend(&registry_);
  InstallTextCatalogueBackend(&catalogue_);
  InstallNodeVariablesBackend(&variables_);
  InstallNumberFormatBackend(&numbers_);
}

bool EmbeddedNode::Installed() const {
  return InstalledQueueBackend() == &queue_ && InstalledDatabaseBackend() == &database_ &&
         InstalledAlarmLibraryBackend() == &alarmLibrary_ &&
         InstalledNodeServicesBackend() == &nodeServices_ &&
         InstalledAlarmAreasBackend() == &alarmAreas_ &&
         InstalledResourceBackend() == &resources_ &&
         InstalledObjectRegistryBackend() == &registry_ &&
         InstalledTextCatalogueBackend() == &catalogue_ &&
         InstalledNodeVariablesBackend() == &variables_ &&
         InstalledNumberFormatBackend() == &numbers_;
}

namespace {

// Empties the slot only while it holds `mine`: a node that went out of
// service stays out of the way of the one that replaced it.
template <class Backend>
void UninstallOwn(Backend* mine, Backend* (*installed)(), void (*install)(Backend*)) {
  if (installed() == mine) install(nullptr);
}

}  // namespace

EmbeddedNode::~EmbeddedNode() {
  // Uninstall before the members go, in the reverse order.
  UninstallOwn<NumberFormatBackend>(&numbers_, InstalledNumberFormatBackend,
                                    InstallNumberFormatBackend);
  UninstallOwn<NodeVariablesBackend>(&variables_, InstalledNodeVariablesBackend,
                                     InstallNodeVariablesBackend);
  UninstallOwn<TextCatalogueBackend>(&catalogue_, InstalledTextCatalogueBackend,
                                     InstallTextCatalogueBackend);
  UninstallOwn<ObjectRegistryBackend>(&registry_, InstalledObjectRegistryBackend,
                                      InstallObjectRegistryBackend);
  UninstallOwn<ResourceBackend>(&resources_, InstalledResourceBackend, InstallResourceBackend);
  UninstallOwn<AlarmAreasBackend>(&alarmAreas_, InstalledAlarmAreasBackend,
                                  InstallAlarmAreasBackend);
  UninstallOwn<NodeServicesBackend>(&nodeServices_, InstalledNodeServicesBackend,
                                    InstallNodeServicesBackend);
  UninstallOwn<AlarmLibraryBackend>(&alarmLibrary_, InstalledAlarmLibraryBackend,
                                    InstallAlarmLibraryBackend);
  UninstallOwn<DatabaseBackend>(&database_, InstalledDatabaseBackend, InstallDatabaseBackend);
  UninstallOwn<QueueBackend>(&queue_, InstalledQueueBackend, InstallQueueBackend);
  database_.AttachQueue(nullptr);
  alarmLibrary_.SetQueue(nullptr);
}

void EmbeddedNode::SetLocalNames(const LocalNames& names) {
  queue_.SetLocalNames(names);
  nodeServices_.SetNames(names);
}

bool EmbeddedNode::LoadSettings() {
  bool vars = variables_.LoadSettings();
  bool numbers = numbers_.LoadFile(NodeSettingsPath());
  return vars || numbers;
}

}  // namespace tolvane::node

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

EmbeddedNode::EmbeddedNode() : database_(&queue_), alarmLibrary_(&queue_) {
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

EmbeddedNode::~EmbeddedNode() {
  // Uninstall before the members go, in the reverse order.
  InstallNumberFormatBackend(nullptr);
  InstallNodeVariablesBackend(nullptr);
  InstallTextCatalogueBackend(nullptr);
  InstallObjectRegistryBackend(nullptr);
  InstallResourceBackend(nullptr);
  InstallAlarmAreasBackend(nullptr);
  InstallNodeServicesBackend(nullptr);
  InstallAlarmLibraryBackend(nullptr);
  InstallDatabaseBackend(nullptr);
  InstallQueueBackend(nullptr);
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

// A node for text tests: the embedded text catalogue and node variables
// installed, "NLSPATH" naming a fresh temporary directory.
#pragma once

#include <fstream>
#include <string>

#include "node/node_variables.h"
#include "node/text_catalogue.h"
#include "services/mardex.h"
#include "services/ulvoran.h"
#include "support/backend_guard.h"
#include "support/node_config_writer.h"

namespace tolvane::testing {

class TextEnv {
 public:
  TextEnv() { variables.Set("NLSPATH", box.dir()); }

  // Writes `text` into the file `name` of the national-language directory.
  void WriteNls(const std::string& name, const std::string& text) const {
    box.WriteFile(name, text);
  }

  SettingsSandbox box;
  node::TextCatalogue catalogue;
  node::NodeVariables variables;

 private:
  BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> catalogueGuard_{&catalogue};
  BackendGuard<NodeVariablesBackend, InstallNodeVariablesBackend> variablesGuard_{&variables};
};

}  // namespace tolvane::testing

// Loading a plant into an embedded node, for programs that embed the
// library: the built-in demo plant, a plant store, or a JSON plant document.
// The node gets a copy; nothing is written back (the `tolvane` program and
// PlantStore do that).
#pragma once

#include <string>

#include "node/embedded_node.h"

namespace tolvane::plant {

// The built-in demo plant (the program's default): three nodes, 300 tags,
// about a hundred alarms, times counted back from now. REQUIRES: a fresh node.
bool LoadDemoPlant(node::EmbeddedNode& node, std::string* err = nullptr);

// A plant store or a JSON plant document, told apart by its first bytes.
// False with a sentence in `err` when it cannot be read or the node refuses
// it. REQUIRES: a fresh node.
bool LoadPlantFile(const std::string& path, node::EmbeddedNode& node, std::string* err = nullptr);

}  // namespace tolvane::plant

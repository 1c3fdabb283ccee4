// Moving a plant into an embedded node and reading it back out.
#pragma once

#include <string>

#include "node/embedded_node.h"
#include "plant/plant.h"

namespace tolvane::plant {

// Loads `plant` into a fresh node: nodes, blocks and their fields, local
// names, the alarm queue in time order, the horn and the operator log.
// False with a message when the node's database refuses a part of it.
bool LoadPlant(const Plant& plant, node::EmbeddedNode& node, std::string* err);

// The node's state as a plant. Block descriptions, areas and priorities,
// which the database does not hold, come from `base`.
Plant CapturePlant(const Plant& base, node::EmbeddedNode& node);

// The AlarmInput that raises `alarm` in the queue.
node::AlarmInput ToAlarmInput(const PlantAlarm& alarm);

}  // namespace tolvane::plant

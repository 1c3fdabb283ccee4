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

// Nodes, local names, blocks and their fields only (no alarms, no horn).
bool LoadNodesAndBlocks(const Plant& plant, node::EmbeddedNode& node, std::string* err);

// An alarm of the plant from a queue message and its time points.
PlantAlarm AlarmFromMessage(const SUMQMSG& msg, TimePoint timeIn, TimePoint timeLast);

// The node's state as a plant. Block descriptions, areas and priorities,
// which the database does not hold, come from `base`.
Plant CapturePlant(const Plant& base, node::EmbeddedNode& node);

// The AlarmInput that raises `alarm` in the queue.
node::AlarmInput ToAlarmInput(const PlantAlarm& alarm);

}  // namespace tolvane::plant

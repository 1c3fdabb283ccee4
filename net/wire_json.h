// The bodies of database-group requests and their answers (JSON): one
// request carries every entry of one node of a group and the steps asked.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/records.h"

namespace tolvane::nats {

struct GroupEntry {
  std::string node, tag, field;
  std::optional<VSP> vsp;
  std::optional<int16_t> put;
};

struct GroupRequest {
  std::string steps;  // in order: 'R' resolve, 'r' read, 'w' write
  std::map<std::string, uint32_t> serials;
  std::vector<GroupEntry> entries;
};

struct GroupEntryResult {
  short status = 0;
  std::optional<int16_t> value;  // after a successful read
  std::optional<VSP> vsp;        // the entry's address, once resolved
};

struct GroupReply {
  short status = 0;
  uint32_t serial = 0;  // the node's serial number
  std::vector<GroupEntryResult> entries;
};

nlohmann::json GroupRequestToJson(const GroupRequest& r);
// Throws nlohmann::json::exception when the body is not a request.
GroupRequest GroupRequestFromJson(const nlohmann::json& j);
nlohmann::json GroupReplyToJson(const GroupReply& r);
// The status of one entry of a reply's "entries"; -1 when it has none.
short GroupEntryStatus(const nlohmann::json& entry);
GroupReply GroupReplyFromJson(const nlohmann::json& j);

}  // namespace tolvane::nats

#include "net/wire_json.h"

#include <cstring>

namespace tolvane::nats {

using json = nlohmann::json;

namespace {

json VspToJson(const VSP& v) {
  json a = json::array();
  const auto* p = reinterpret_cast<const unsigned char*>(&v);
  for (std::size_t i = 0; i < sizeof v; ++i) a.push_back(p[i]);
  return a;
}

VSP VspFromJson(const json& a) {
  VSP v{};
  if (!a.is_array() || a.size() != sizeof v) throw json::type_error::create(302, "bad address", &a);
  auto* p = reinterpret_cast<unsigned char*>(&v);
  for (std::size_t i = 0; i < sizeof v; ++i) p[i] = a[i].get<unsigned char>();
  return v;
}

}  // namespace

json GroupRequestToJson(const GroupRequest& r) {
  json entries = json::array();
  for (const GroupEntry& e : r.entries) {
    json j{{"node", e.node}, {"tag", e.tag}, {"field", e.field}};
    if (e.vsp) j["vsp"] = VspToJson(*e.vsp);
    if (e.put) j["put"] = *e.put;
    entries.push_back(std::move(j));
  }
  return json{{"steps", r.steps}, {"serials", r.serials}, {"entries", std::move(entries)}};
}

GroupRequest GroupRequestFromJson(const json& j) {
  GroupRequest r;
  r.steps = j.at("steps").get<std::string>();
  r.serials = j.value("serials", std::map<std::string, uint32_t>{});
  for (const json& e : j.at("entries")) {
    GroupEntry g;
    g.node = e.at("node").get<std::string>();
    g.tag = e.at("tag").get<std::string>();
    g.field = e.at("field").get<std::string>();
    if (e.contains("vsp")) g.vsp = VspFromJson(e["vsp"]);
    if (e.contains("put")) g.put = e["put"].get<int16_t>();
    r.entries.push_back(std::move(g));
  }
  return r;
}

json GroupReplyToJson(const GroupReply& r) {
  json entries = json::array();
  for (const GroupEntryResult& e : r.entries) {
    json j{{"s", e.status}};
    if (e.value) j["v"] = *e.value;
    if (e.vsp) j["vsp"] = VspToJson(*e.vsp);
    entries.push_back(std::move(j));
  }
  return json{{"status", r.status}, {"serial", r.serial}, {"entries", std::move(entries)}};
}

short GroupEntryStatus(const json& entry) {
  return entry.value("s", short{-1});
}

GroupReply GroupReplyFromJson(const json& j) {
  GroupReply r;
  r.status = j.at("status").get<short>();
  r.serial = j.value("serial", 0u);
  for (const json& e : j.at("entries")) {
    GroupEntryResult g;
    g.status = e.at("s").get<short>();
    if (e.contains("v")) g.value = e["v"].get<int16_t>();
    if (e.contains("vsp")) g.vsp = VspFromJson(e["vsp"]);
    r.entries.push_back(std::move(g));
  }
  return r;
}

}  // namespace tolvane::nats

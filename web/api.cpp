#include "web/api.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

#include "present/reference.h"
#include "present/rows.h"
#include "tolvane/alarm_view.h"
#include "tolvane/filter_diagnostic.h"
#include "tolvane/oleauto.h"
#include "tolvane/records.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"
#include "web/wire.h"

namespace tolvane::web {
namespace {

using nlohmann::json;

// The manager copies exactly 64 bytes of a reference and wants a writable text.
std::array<char, 64> RefBuffer(const std::string& ref) {
  std::array<char, 64> buf{};
  std::memcpy(buf.data(), ref.data(), std::min<std::size_t>(ref.size(), 63));
  return buf;
}

bool ParseLong(const std::string& text, long lo, long hi, long* out) {
  if (text.empty() || text.size() > 12) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

json RowJson(const present::Row& r, const TimeDisplay& times) {
  return json{{"ref", r.reference},
              {"ack", r.acknowledged},
              {"message", r.IsOperatorMessage()},
              {"dateIn", r.dateIn},
              {"timeIn", r.timeIn},
              {"dateLast", r.dateLast},
              {"timeLast", r.timeLast},
              {"shownIn", times.FormatLocal(r.dateIn, r.timeIn)},
              {"shownLast", times.FormatLocal(r.dateLast, r.timeLast)},
              {"node", r.node},
              {"tag", r.tag},
              {"priority", present::TrimRight(r.priority)},
              {"status", present::TrimRight(r.status)},
              {"value", present::TrimRight(r.value)},
              {"description", r.description},
              {"areas", r.areas}};
}

json Diagnostic(HostContext& c, const std::string& filter) {
  std::string text = filter;
  if (filter.empty() || c.mgr().ValidateFilterString(text.data()) == kOk) {
    return json{{"ok", true}};
  }
  FilterExplanation ex = ExplainFilter(filter.c_str());
  return json{{"ok", false},
              {"position", ex.position},
              {"token", std::string(FieldText(ex.token))},
              {"reason", ex.reason ? ex.reason : "does not parse"}};
}

// A filter from a request: a string of at most kMaxFilterBytes without
// NUL bytes (the manager reads it as C text).
bool FilterFrom(const json& body, std::string* filter, ApiResult* error) {
  filter->clear();
  if (!body.contains("filter")) return true;
  if (!body["filter"].is_string()) {
    *error = ApiError(400, "filter must be a string");
    return false;
  }
  *filter = body["filter"].get<std::string>();
  if (filter->size() > kMaxFilterBytes) {
    *error = ApiError(400, "filter too long: " + std::to_string(filter->size()) +
                               " bytes, at most " + std::to_string(kMaxFilterBytes));
    return false;
  }
  if (filter->find('\0') != std::string::npos) {
    *error = ApiError(400, "filter holds a NUL byte");
    return false;
  }
  return true;
}

// The alarm a reference names, as the queue holds it now.
struct Target {
  std::string ref;  // canonical form, as rows carry it
  std::string node, tag;
  char letter = 0;
  int16_t number = 0;
};

// A reference in the form rows carry it (present/reference.h), split.
bool TargetOf(const json& item, Target* t) {
  if (!item.is_string()) return false;
  std::optional<present::AlarmRef> ref = present::ParseCanonicalReference(item.get<std::string>());
  if (!ref) return false;
  t->letter = ref->letter;
  t->number = ref->number;
  t->node = ref->node;
  t->ref = present::FormatReference(*ref);
  return true;
}

// Reads body["refs"]: 1..1000 references, each naming a standing alarm.
// Nothing is done unless every one does.
bool TargetsFrom(HostContext& c, const json& body, std::vector<Target>* out, ApiResult* error) {
  if (!body.contains("refs") || !body["refs"].is_array() || body["refs"].empty() ||
      body["refs"].size() > 1000) {
    *error = ApiError(400, "refs must be a list of 1 to 1000 alarm references");
    return false;
  }
  for (const json& item : body["refs"]) {
    Target t;
    if (!TargetOf(item, &t)) {
      *error = ApiError(400, "not an alarm reference: " + DumpJson(item));
      return false;
    }
    SUMQMSG msg{};
    if (c.queue().FindVisible(t.number, t.letter, t.node.c_str(), &msg) != 0) {
      *error = ApiError(404, "no alarm has the reference " + item.get<std::string>());
      error->body["reference"] = item;
      return false;
    }
    t.node = std::string(FieldText(msg.almpak.node));
    t.tag = std::string(FieldText(msg.almpak.tagName));
    t.ref = present::FormatReference({t.letter, t.number, t.node});
    out->push_back(std::move(t));
  }
  return true;
}

std::string StatusText(short rc) {
  return std::to_string(rc) + (rc == kFailed ? " (FAILED)" : "");
}

// Runs `fn` as `user`'s action; 503 when the host could not keep it.
ApiResult RunAction(PlantHost& host, const std::string& user,
                    const std::function<void(HostContext&, ApiResult&)>& fn) {
  ApiResult result;
  std::string err;
  if (!host.Act(
          user, [&](HostContext& c) { fn(c, result); }, &err)) {
    return ApiError(503, "the change could not be kept: " + err);
  }
  return result;
}

// Runs `fn` on the alarms of body["refs"] in one action, when every one
// of them stands.
ApiResult ActOnTargets(
    PlantHost& host, const std::string& user, const json& body,
    const std::function<void(HostContext&, const std::vector<Target>&, ApiResult&)>& fn) {
  return RunAction(host, user, [&](HostContext& c, ApiResult& result) {
    std::vector<Target> targets;
    if (TargetsFrom(c, body, &targets, &result)) fn(c, targets, result);
  });
}

// One manager call per reference; 502 when the library refused any of
// them (the others stand).
ApiResult ForEachTarget(PlantHost& host, const std::string& user, const json& body,
                        const char* verb, short (*call)(HostContext&, char*)) {
  return ActOnTargets(
      host, user, body, [&](HostContext& c, const std::vector<Target>& targets, ApiResult& result) {
        json done = json::array();
        json failed = json::array();
        for (const Target& t : targets) {
          std::array<char, 64> ref = RefBuffer(t.ref);
          short rc = call(c, ref.data());
          if (rc == kOk) {
            done.push_back(t.ref);
          } else {
            failed.push_back(json{{"ref", t.ref}, {"status", StatusText(rc)}});
          }
        }
        result.body = json{{verb, done}, {"failed", failed}};
        if (!failed.empty()) {
          result.status = 502;
          result.body["error"] = "the library refused " + std::to_string(failed.size()) + " of " +
                                 std::to_string(targets.size()) + " alarm(s)";
        }
      });
}

}  // namespace

ApiResult ApiError(int status, const std::string& message) {
  ApiResult r;
  r.status = status;
  r.body = json{{"error", message}};
  return r;
}

std::string DumpJson(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

json CountsJson(const AlarmViewCounts& c) {
  json byPriority = json::array();
  for (const plant::PriorityName& p : plant::kPriorities) {
    auto id = static_cast<std::size_t>(p.id);
    std::size_t n = id < c.byPriority.size() ? c.byPriority[id] : 0;
    byPriority.push_back(json{{"id", p.id}, {"name", p.name}, {"alarms", n}});
  }
  return json{{"total", c.total},     {"matched", c.matched},
              {"alarms", c.alarms},   {"new", c.unacknowledged},
              {"messages", c.messages}, {"shelved", c.shelved},
              {"priorities", byPriority}};
}

// A view call's failure as an answer; an alarm display never shows a part
// as the whole, so a queue that cannot walk gets no page at all.
ApiResult ViewError(short rc) {
  switch (rc) {
    case kBadViewPlace:
      return ApiError(400, "the place token names no place of this view (damaged, or of another "
                           "sort order)");
    case kNotInView:
      return ApiError(404, "the view holds no such alarm (filtered out, shelved or gone)");
    case kViewUnavailable:
      return ApiError(503, "the alarm queue cannot show its whole view, so no page is shown");
    default:
      return ApiError(502, "reading the alarm view failed: " + std::string(ResultCodeName(rc)));
  }
}

ApiResult BadFilter(HostContext& c, const std::string& filter) {
  ApiResult r = ApiError(400, "the filter does not parse");
  r.body["filter"] = Diagnostic(c, filter);
  return r;
}

std::size_t PagesOf(std::size_t matched, std::size_t count) {
  return matched == 0 ? 1 : (matched + count - 1) / count;
}

}  // namespace

namespace {
// The counts of a view narrowed to one kind of record, from the counts of
// both kinds (which the host keeps per filter).
AlarmViewCounts Narrowed(AlarmViewCounts c, ViewRecords records) {
  if (records == ViewRecords::kAlarms) {
    c.matched = c.alarms;
    c.messages = 0;
  } else if (records == ViewRecords::kMessages) {
    AlarmViewCounts m;
    m.total = c.total;
    m.matched = m.messages = c.messages;
    c = m;
  }
  return c;
}

}  // namespace

ApiResult GetAlarms(PlantHost& host, const AlarmQuery& q, const TimeDisplay& times) {
  long sort = 0;
  long count = 0;
  if (!ParseLong(q.sort, -13, 13, &sort) || sort == 0) {
    return ApiError(400, "sort must be a sort code 1..13 or -1..-13");
  }
  if (!ParseLong(q.count, 1, kMaxPageRows, &count)) {
    return ApiError(400, "count must be 1.." + std::to_string(kMaxPageRows));
  }
  if (q.filter.size() > kMaxFilterBytes) {
    return ApiError(400, "filter too long: " + std::to_string(q.filter.size()) +
                             " bytes, at most " + std::to_string(kMaxFilterBytes));
  }
  if (q.filter.find('\0') != std::string::npos) return ApiError(400, "filter holds a NUL byte");
  const int ways = !q.page.empty() + !q.after.empty() + !q.before.empty() + q.last + !q.ref.empty();
  if (ways > 1) return ApiError(400, "give at most one of page, after, before, last and ref");
  long number = 0;
  if (!q.page.empty() && !ParseLong(q.page, 0, 100000000, &number)) {
    return ApiError(400, "page must be a page number 0..100000000");
  }
  std::string place;
  if ((!q.after.empty() || !q.before.empty()) &&
      !DecodePlace(q.after.empty() ? q.before : q.after, &place)) {
    return ApiError(400, "not a place token: after and before take the first or last of a page");
  }
  ViewRecords records = ViewRecords::kAll;
  if (q.records == "alarms") {
    records = ViewRecords::kAlarms;
  } else if (q.records == "messages") {
    records = ViewRecords::kMessages;
  } else if (!q.records.empty() && q.records != "all") {
    return ApiError(400, "records must be all, alarms or messages");
  }
  std::string ref;
  if (!q.ref.empty()) {
    std::optional<present::AlarmRef> r = present::ParseCanonicalReference(q.ref);
    if (!r) return ApiError(400, "not an alarm reference: " + DumpJson(q.ref));
    ref = present::FormatReference(*r);
  }

  // Under the host's lock: the page, its counts and the summary's, from
  // one state of the queue. The JSON is made after.
  ApiResult result;
  AlarmViewPage page;
  AlarmViewCounts view, whole;
  std::optional<std::size_t> pageNumber, focusRow;
  long total = 0, sequence = 0;
  bool hornEnabled = false, hornSilenced = false;
  const auto n = static_cast<std::size_t>(count);
  host.Read([&](HostContext& c) {
    AlarmView v(sort, q.filter.c_str());
    if (v.Check() == kBadFilter) {
      result = BadFilter(c, q.filter);
      return;
    }
    v.Select(records);
    short rc = host.ViewCounts(c, q.filter, &view);
    if (rc == kOk) rc = q.filter.empty() ? (whole = view, kOk) : host.ViewCounts(c, "", &whole);
    if (rc == kOk) view = Narrowed(view, records);
    if (rc == kOk) {
      if (!q.after.empty()) {
        rc = v.After(place, n, &page);
      } else if (!q.before.empty()) {
        rc = v.Before(place, n, &page);
      } else if (q.last) {
        pageNumber = PagesOf(view.matched, n) - 1;
        rc = v.Page(*pageNumber, n, &page);
      } else if (!ref.empty()) {
        std::size_t at = 0, row = 0;
        rc = v.PageHolding(ref.c_str(), n, &page, &at, &row);
        pageNumber = at;
        focusRow = row;
      } else {
        pageNumber = static_cast<std::size_t>(number);
        rc = v.Page(*pageNumber, n, &page);
      }
    }
    if (rc != kOk) {
      result = ViewError(rc);
      return;
    }
    short enabled = 0;
    c.mgr().AlarmHornEnabled(&enabled);
    hornEnabled = enabled != 0;
    hornSilenced = c.HornSilenced();
    total = c.mgr().GetTotalNumOfAlarms();
    sequence = c.mgr().GetAlarmSequenceNumber();
  });
  if (result.status != 200) return result;

  json rows = json::array();
  for (const tagAlarmStr& row : page.rows) {
    rows.push_back(
        RowJson(present::DecodeRow(reinterpret_cast<const unsigned char*>(&row)), times));
  }
  result.body = json{{"rows", std::move(rows)},
                     {"first", page.first.empty() ? "" : EncodePlace(page.first)},
                     {"last", page.last.empty() ? "" : EncodePlace(page.last)},
                     {"atStart", page.atStart},
                     {"atEnd", page.atEnd},
                     {"page", pageNumber ? json(*pageNumber) : json(nullptr)},
                     {"pages", PagesOf(view.matched, n)},
                     {"matched", view.matched},
                     {"view", CountsJson(view)},
                     {"counts", CountsJson(whole)},
                     {"total", total},
                     {"sequence", sequence},
                     {"horn", {{"enabled", hornEnabled}, {"silenced", hornSilenced}}}};
  if (focusRow) result.body["focus"] = json{{"ref", ref}, {"row", *focusRow}};
  result.body["source"] = GetSource(host).body;
  result.body["offset"] = times.OffsetNow();
  result.body["now"] = times.Format(plant::Clock::now());
  result.body["version"] = std::to_string(host.Version());
  return result;
}

ApiResult CheckFilter(PlantHost& host, const std::string& filter) {
  if (filter.size() > kMaxFilterBytes) {
    return ApiError(400, "filter too long: " + std::to_string(filter.size()) + " bytes, at most " +
                             std::to_string(kMaxFilterBytes));
  }
  ApiResult result;
  host.Read([&](HostContext& c) { result.body = Diagnostic(c, filter); });
  return result;
}

ApiResult GetSource(PlantHost& host) {
  HostSource s = host.Source();
  ApiResult r;
  r.body = json{{"kind", s.kind},
                {"name", s.name},
                {"connected", s.connected},
                {"complete", s.complete},
                {"offlineSeconds", s.offlineSeconds},
                {"alarms", s.alarms},
                {"store", host.HasStore()}};
  if (s.lastChange != TimePoint{}) r.body["lastChange"] = plant::FormatUtc(s.lastChange);
  json stale = json::array();
  for (const auto& [node, seconds] : s.staleNodes) {
    stale.push_back(json{{"node", node}, {"seconds", seconds}});
  }
  r.body["staleNodes"] = std::move(stale);
  return r;
}

ApiResult GetJournal(PlantHost& host, const std::string& limitText, const TimeDisplay& times) {
  long limit = 200;
  if (!limitText.empty() && !ParseLong(limitText, 1, 10000, &limit)) {
    return ApiError(400, "limit must be 1..10000");
  }
  json entries = json::array();
  if (!host.HasStore()) {
    ApiResult r;
    r.body = json{{"entries", entries}, {"available", false}};
    return r;
  }
  for (const plant::PlantLogEntry& e : host.Journal(static_cast<std::size_t>(limit))) {
    entries.push_back(json{
        {"time", plant::FormatUtc(e.time)}, {"shown", times.Format(e.time)}, {"node", e.node},
        {"text", e.text}, {"user", e.user}});
  }
  ApiResult r;
  r.body = json{{"entries", entries}, {"available", true}};
  return r;
}

ApiResult GetShelved(PlantHost& host, const TimeDisplay& times) {
  json list = json::array();
  for (const ShelvedAlarm& s : host.Shelved()) {
    list.push_back(json{{"ref", present::FormatReference({s.letter, s.number, s.node})},
                        {"node", s.node},
                        {"tag", s.tag},
                        {"description", s.description},
                        {"until", plant::FormatUtc(s.until)},
                        {"shownUntil", times.Format(s.until)},
                        {"reason", s.reason},
                        {"user", s.user}});
  }
  ApiResult r;
  r.body = json{{"shelved", list}};
  return r;
}

ApiResult Acknowledge(PlantHost& host, const std::string& user, const json& body) {
  return ForEachTarget(host, user, body, "acknowledged", [](HostContext& c, char* ref) {
    return c.mgr().AcknowledgeAlarmByRef(c.handle(), ref, 0);
  });
}

ApiResult Delete(PlantHost& host, const std::string& user, const json& body) {
  return ForEachTarget(host, user, body, "deleted", [](HostContext& c, char* ref) {
    return c.mgr().ManuallyDeleteAlarmByRef(c.handle(), ref, 0);
  });
}

ApiResult AcknowledgeAllPreview(PlantHost& host, const json& body) {
  ApiResult result;
  std::string filter;
  if (!FilterFrom(body, &filter, &result)) return result;
  host.Read([&](HostContext& c) {
    if (AlarmView(1, filter.c_str()).Check() == kBadFilter) {
      result = BadFilter(c, filter);
      return;
    }
    AlarmViewCounts counts;
    short rc = host.ViewCounts(c, filter, &counts);
    if (rc != kOk) {
      result = ViewError(rc);
      return;
    }
    result.body = json{{"selected", counts.unacknowledged}, {"alarms", counts.alarms},
                       {"filter", filter}};
  });
  return result;
}

ApiResult AcknowledgeAll(PlantHost& host, const std::string& user, const json& body) {
  ApiResult refused;
  std::string filter;
  if (!FilterFrom(body, &filter, &refused)) return refused;
  if (!body.contains("expect") || !body["expect"].is_number_unsigned()) {
    return ApiError(400, "expect must be the number of new alarms the preview gave "
                         "(POST /api/ack-all/preview)");
  }
  const auto expect = body["expect"].get<std::uint64_t>();
  return RunAction(host, user, [&](HostContext& c, ApiResult& result) {
    if (AlarmView(1, filter.c_str()).Check() == kBadFilter) {
      result = BadFilter(c, filter);
      return;
    }
    AlarmViewCounts counts;
    short rc = host.ViewCounts(c, filter, &counts);
    if (rc != kOk) {
      result = ViewError(rc);
      return;
    }
    // What the operator confirmed must be what would be done.
    if (counts.unacknowledged != expect) {
      result = ApiError(409, "the filter now selects " + std::to_string(counts.unacknowledged) +
                                 " new alarm(s), not " + std::to_string(expect) +
                                 ": confirm the new number");
      result.body["selected"] = counts.unacknowledged;
      result.body["expected"] = expect;
      return;
    }
    BulkOutcome out;
    if (expect > 0) {
      rc = AcknowledgeAllInView(c.mgr(), c.handle(), filter.c_str(), 0, &out);
      if (rc == kViewUnavailable) {
        result = ViewError(rc);
        return;
      }
    }
    result.body = json{{"selected", out.selected}, {"done", out.done},
                       {"status", StatusText(out.status)}};
    if (out.done < out.selected) {
      result.status = 502;
      result.body["error"] = "acknowledged " + std::to_string(out.done) + " of " +
                             std::to_string(out.selected) + "; " +
                             std::to_string(out.selected - out.done) + " still new (status " +
                             StatusText(out.status) + ")";
    }
  });
}

ApiResult Shelve(PlantHost& host, const std::string& user, const json& body) {
  if (!host.HasStore()) return ApiError(409, "shelving is kept in a plant store; a station has none");
  if (!body.contains("minutes") || !body["minutes"].is_number_integer() ||
      body["minutes"].get<long long>() < 1 || body["minutes"].get<long long>() > 7 * 24 * 60) {
    return ApiError(400, "minutes must be a whole number 1..10080 (a week)");
  }
  if (!body.contains("reason") || !body["reason"].is_string() ||
      body["reason"].get<std::string>().empty()) {
    return ApiError(400, "reason must be a text of 1 to " + std::to_string(kMaxShelveReasonChars) +
                             " characters");
  }
  if (std::string why; !CheckPlantText(body["reason"].get<std::string>(), kMaxShelveReasonChars, &why)) {
    return ApiError(400, "the reason " + why);
  }
  auto until = plant::Clock::now() + std::chrono::minutes(body["minutes"].get<long long>());
  std::string reason = body["reason"].get<std::string>();
  return ActOnTargets(host, user, body,
                      [&](HostContext& c, const std::vector<Target>& targets, ApiResult& result) {
                        json done = json::array();
                        for (const Target& t : targets) {
                          if (c.Shelve(t.node, t.letter, t.number, until, reason))
                            done.push_back(t.ref);
                        }
                        result.body = json{{"shelved", done}, {"until", plant::FormatUtc(until)}};
                      });
}

ApiResult Unshelve(PlantHost& host, const std::string& user, const json& body) {
  if (!host.HasStore()) return ApiError(409, "shelving is kept in a plant store; a station has none");
  if (!body.contains("refs") || !body["refs"].is_array() || body["refs"].empty() ||
      body["refs"].size() > 1000) {
    return ApiError(400, "refs must be a list of 1 to 1000 alarm references");
  }
  std::vector<Target> targets;
  for (const json& item : body["refs"]) {
    Target t;
    if (!TargetOf(item, &t)) return ApiError(400, "not an alarm reference: " + DumpJson(item));
    targets.push_back(std::move(t));
  }
  std::vector<ShelvedAlarm> shelved = host.Shelved();
  for (const Target& t : targets) {
    bool known = std::any_of(shelved.begin(), shelved.end(), [&](const ShelvedAlarm& s) {
      return s.letter == t.letter && s.number == t.number &&
             strcasecmp(s.node.c_str(), t.node.c_str()) == 0;
    });
    if (!known) return ApiError(404, "no shelved alarm has that reference");
  }
  return RunAction(host, user, [&](HostContext& c, ApiResult& result) {
    json done = json::array();
    for (const Target& t : targets) {
      if (c.Unshelve(t.node, t.letter, t.number)) done.push_back(t.ref);
    }
    result.body = json{{"unshelved", done}};
  });
}

ApiResult Horn(PlantHost& host, const std::string& user, const json& body) {
  if (!body.contains("action") || !body["action"].is_string()) {
    return ApiError(400, "action must be silence, enable or disable");
  }
  std::string action = body["action"].get<std::string>();
  if (action != "silence" && action != "enable" && action != "disable") {
    return ApiError(400, "action must be silence, enable or disable");
  }
  return RunAction(host, user, [&](HostContext& c, ApiResult& result) {
    short rc = action == "silence" ? c.mgr().SilenceHorn()
                                   : c.mgr().ConfigureHorn(action == "enable" ? 1 : 0);
    if (rc != kOk) {
      result = ApiError(502, "the horn refused: status " + StatusText(rc));
      return;
    }
    c.Journal("", action == "silence" ? "Horn silenced"
                                      : (action == "enable" ? "Horn enabled" : "Horn disabled"));
    short enabled = 0;
    c.mgr().AlarmHornEnabled(&enabled);
    result.body = json{{"enabled", enabled != 0}, {"silenced", c.HornSilenced()}};
  });
}

}  // namespace tolvane::web

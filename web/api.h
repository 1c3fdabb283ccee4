// The JSON API of the web display over a plant host: every fetch,
// acknowledge and delete goes through the host's CVeltAlmSummMgr. Each
// function checks its input, then answers with an HTTP status and a JSON
// body; a 4xx answer has changed nothing.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "web/plant_host.h"
#include "web/time_display.h"

namespace tolvane::web {

struct ApiResult {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
};

ApiResult ApiError(int status, const std::string& message);

// Longest filter text taken; a longer one is refused before parsing.
inline constexpr std::size_t kMaxFilterBytes = 4096;
// Most rows a page holds.
inline constexpr long kMaxPageRows = 1000;

// Which page of a view: at most one of page, after, before, last and ref
// (none: the first page).
struct AlarmQuery {
  std::string sort = "-1";  // sort code as text, ±1..13
  std::string count = "100";
  std::string filter;
  std::string page;    // page number, 0 the first
  std::string after;   // a place token a page gave: the rows after it
  std::string before;  // ... the rows before it
  bool last = false;   // the last page
  std::string ref;     // the page holding this alarm, its row marked
  // "alarms" or "messages" narrows the view to that kind; "" or "all": both.
  std::string records;
};

// A page of the whole view the filter selects, with its place tokens, the
// view's exact counts and the whole summary's, the horn and the version.
// Each time is also given as `times` shows it ("shownIn", "shownLast").
ApiResult GetAlarms(PlantHost& host, const AlarmQuery& query, const TimeDisplay& times = {});
// Whether a filter parses; where and why not.
ApiResult CheckFilter(PlantHost& host, const std::string& filter);
// Where the plant comes from: demo, store or station, and a station's state.
ApiResult GetSource(PlantHost& host);
ApiResult GetJournal(PlantHost& host, const std::string& limit, const TimeDisplay& times = {});
ApiResult GetShelved(PlantHost& host, const TimeDisplay& times = {});

// Actions. `body` is the request's parsed JSON; `user` acts.
ApiResult Acknowledge(PlantHost& host, const std::string& user, const nlohmann::json& body);
// Acknowledge-all in two steps: the preview says how many new alarms the
// filter selects; the action takes that number back in "expect" and acts
// only while it still holds (409 otherwise, with the number now).
ApiResult AcknowledgeAllPreview(PlantHost& host, const nlohmann::json& body);
ApiResult AcknowledgeAll(PlantHost& host, const std::string& user, const nlohmann::json& body);
ApiResult Delete(PlantHost& host, const std::string& user, const nlohmann::json& body);
ApiResult Shelve(PlantHost& host, const std::string& user, const nlohmann::json& body);
ApiResult Unshelve(PlantHost& host, const std::string& user, const nlohmann::json& body);
ApiResult Horn(PlantHost& host, const std::string& user, const nlohmann::json& body);

// JSON text that survives any bytes in alarm texts (8-bit code page):
// invalid UTF-8 is replaced, never thrown on.
std::string DumpJson(const nlohmann::json& value);

}  // namespace tolvane::web

// The session every command runs in and the helpers the groups share.
#include "tools/commands.h"

#include <strings.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "plant/demo_plant.h"
#include "present/output.h"
#include "tolvane/filter_diagnostic.h"

namespace tolvane::cli {
using namespace tolvane::plant;
using namespace tolvane::present;

int ExitFor(const StoreError& err) {
  switch (err.kind) {
    case StoreError::Kind::kMissing:
      return kExitNodeFileMissing;
    case StoreError::Kind::kInvalid:
    case StoreError::Kind::kRefused:
      return kExitNodeFileInvalid;
    default:
      return kExitSaveFailed;
  }
}

std::unique_ptr<PlantStore> OpenStore(const GlobalOptions& g, TimePoint now, bool forUpdate) {
  if (g.IsStation()) {
    // Never the demo plant in a station's place.
    throw Failure{kExitUsage, "this command works on a plant store, not on a station"};
  }
  StoreError err;
  std::unique_ptr<PlantStore> store;
  if (g.nodeFile.empty()) {
    DemoOptions demo;
    demo.now = now;
    store = PlantStore::InMemory(MakeDemoPlant(demo), &err);
  } else {
    store = PlantStore::Open(g.nodeFile, &err,
                             forUpdate ? PlantStore::OpenFor::kUpdate : PlantStore::OpenFor::kRead);
  }
  if (!store) throw Failure{ExitFor(err), err.message};
  store->SetUser(g.user);
  return store;
}

AlarmRef CanonicalOrFail(const std::string& ref) {
  std::optional<AlarmRef> parsed = ParseCanonicalReference(ref);
  if (!parsed) {
    throw Failure{kExitUnknownReference,
                  "\"" + EscapeForTerminal(ref) +
                      "\" is not an alarm reference: a letter, a number and a node name, "
                      "as `tolvane list` shows them (e.g. A12PLANT1)"};
  }
  return *parsed;
}

Session::Session(const GlobalOptions& g, bool forUpdate, const std::vector<std::string>* refs)
    : now_(Clock::now()) {
  if (g.IsStation()) {
    OpenStation(g);
    return;
  }
  std::vector<PlantStore::BlockAddress> only;
  if (refs) {
    for (const std::string& r : *refs) {
      AlarmRef ref = CanonicalOrFail(r);
      for (const PlantStore::BlockAddress& a : only) {
        if (a.letter == ref.letter && a.number == ref.number &&
            strcasecmp(a.node.c_str(), ref.node.c_str()) == 0) {
          throw Failure{kExitUsage, EscapeForTerminal(r) + " is given twice"};
        }
      }
      only.push_back({ref.node, ref.letter, ref.number});
    }
  }
  store_ = OpenStore(g, now_, forUpdate);
  StoreError err;
  if (!store_->Begin(forUpdate, &err)) throw Failure{ExitFor(err), err.message};
  node_.LoadSettings();
  if (!store_->Load(node_, now_, &err, refs ? &only : nullptr)) {
    throw Failure{ExitFor(err), err.message};
  }
  mgr_ = std::make_unique<CVeltAlmSummMgr>();
  handle_ = mgr_->GetAlarmClientHandle();
  if (handle_ == kNoHandle) {
    throw Failure{kExitFailed, "the alarm queue gave no client handle"};
  }
}

Session::~Session() {
  if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
  if (store_) store_->Detach();
}

void Session::Save() {
  if (!store_) return;
  StoreError err;
  if (!store_->Commit(&err)) throw Failure{kExitSaveFailed, err.message};
}

std::string Session::StationLine() const {
#ifdef TOLVANE_WITH_NATS
  if (station_) return StationStatusLine(*station_, stationFlags_);
#endif
  return {};
}

void Session::OpenStation(const GlobalOptions& g) {
#ifdef TOLVANE_WITH_NATS
  node_.LoadSettings();
  stationFlags_ = {g.natsUrl, g.station, g.credentials, 10000};
  std::string err;
  station_ = OpenStationSession(stationFlags_, &err);
  if (!station_) throw Failure{kExitFailed, err};
  mgr_ = std::make_unique<CVeltAlmSummMgr>();
  handle_ = mgr_->GetAlarmClientHandle();
  if (handle_ == kNoHandle) throw Failure{kExitFailed, "the station gave no client handle"};
#else
  (void)g;
  throw Failure{kExitUsage, "this tolvane was built without the plant-wide deployment (--nats)"};
#endif
}

void RequireFilter(Session& s, const std::string& filter) {
  if (filter.empty()) return;
  std::string text = filter;
  if (s.mgr().ValidateFilterString(text.data()) == kOk) return;
  FilterExplanation ex = ExplainFilter(filter.c_str());
  std::ostringstream msg;
  msg << "invalid filter: " << (ex.reason ? ex.reason : "does not parse");
  if (ex.position >= 0) {
    // The filter is shown escaped; the caret counts the escaped columns.
    std::size_t at = std::min(static_cast<std::size_t>(ex.position), filter.size());
    msg << " at column " << ex.position + 1;
    if (ex.token[0] != '\0') msg << " (near \"" << EscapeForTerminal(ex.token) << "\")";
    msg << "\n  " << EscapeForTerminal(filter) << "\n  "
        << std::string(DisplayWidth(EscapeForTerminal(filter.substr(0, at))), ' ') << "^";
  }
  throw Failure{kExitBadFilter, msg.str()};
}

std::vector<Row> Fetch(Session& s, long count, const std::string& filter, long sort) {
  std::vector<Row> rows;
  short rc = FetchRows(s.mgr(), s.handle(), count, filter, sort, &rows);
  if (rc == kBadFilter) RequireFilter(s, filter);
  if (rc != kOk) {
    throw Failure{kExitFailed, "fetching alarms failed: " + std::string(ResultCodeName(rc))};
  }
  return rows;
}

void RequireView(Session& s, short rc, const std::string& filter) {
  if (rc == kOk) return;
  if (rc == kBadFilter) RequireFilter(s, filter);
  if (rc == kViewUnavailable) {
    throw Failure{kExitFailed,
                  "the alarm queue cannot show its whole view, so no part of it is shown as the "
                  "whole"};
  }
  throw Failure{kExitFailed, "reading the alarm view failed: " + std::string(ResultCodeName(rc)) +
                                 " (" + std::to_string(rc) + ")"};
}

std::vector<Row> AllRows(Session& s, AlarmView& view, const std::string& filter) {
  std::vector<Row> rows;
  short rc = view.ForEach(4096, [&](tagAlarmStr* page, std::size_t n) {
    std::vector<Row> decoded = DecodeRows(page, n);
    rows.insert(rows.end(), std::make_move_iterator(decoded.begin()),
                std::make_move_iterator(decoded.end()));
    return true;
  });
  RequireView(s, rc, filter);
  return rows;
}

AlarmViewCounts CountView(Session& s, AlarmView& view, const std::string& filter) {
  AlarmViewCounts counts;
  RequireView(s, view.Count(&counts), filter);
  return counts;
}

std::string Thousands(std::size_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace tolvane::cli

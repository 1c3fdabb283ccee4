// The session every command runs in and the helpers the groups share.
#include "tools/commands.h"

#include <strings.h>

#include <algorithm>
#include <iostream>
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
    if (store && forUpdate) SweepNodeLocks(g.nodeFile);  // left by killed holders
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
  if (forUpdate && g.holdNodes) HoldNodes(g, refs);
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

void Session::HoldNodes(const GlobalOptions& g, const std::vector<std::string>* refs,
                        bool longLived) {
  if (g.nodeFile.empty()) return;  // the demo plant, in memory
  std::vector<std::string> nodes;
  node::LocalNames local = node_.localNames();
  for (const node::NodeRecord& n : node_.database().Nodes()) {
    bool wanted = !refs;
    for (std::size_t i = 0; refs && i < refs->size(); ++i) {
      std::string named = CanonicalOrFail((*refs)[i]).node;
      for (const std::string* alias : {&local.alias1, &local.alias2}) {
        if (!alias->empty() && strcasecmp(alias->c_str(), named.c_str()) == 0) named = local.name;
      }
      wanted = wanted || strcasecmp(named.c_str(), n.name.c_str()) == 0;
    }
    if (wanted) nodes.push_back(n.name);
  }
  std::string held, why;
  std::optional<NodeHolder> holder;
  // Another command's hold is waited for as long as its store write would be.
  if (!AcquireAll(g.nodeFile, nodes, ThisProcess("tolvane " + g.command, {}, longLived),
                  std::chrono::milliseconds(kStoreBusyTimeoutMs), &locks_, &held, &holder,
                  &why) &&
      holder) {
    std::string contact = holder->contact.empty() ? "URL" : holder->contact;
    throw Failure{kExitNodeHeld,
                  "node " + held + " of " + g.nodeFile + " is held by " +
                      (holder->program.empty() ? "another program" : holder->program) +
                      (holder->pid ? " (pid " + std::to_string(holder->pid) + ")" : "") +
                      ", its only writer while it runs; " +
                      (g.hasStationForm
                           ? "change it through a station: tolvane --nats " + contact +
                                 " --station NAME " + g.command
                           : std::string("a station cannot do this, so stop that program "
                                         "first"))};
  }
}

std::string Session::StationReport() const {
#ifdef TOLVANE_WITH_NATS
  if (station_) return StationStatusReport(*station_, stationFlags_);
#endif
  return {};
}

short Session::Resolve(short rc, const Row& row) {
#ifdef TOLVANE_WITH_NATS
  if (station_) return ResolveOutcome(*station_, rc, row.node, row.letter, row.number, std::cerr);
#endif
  (void)row;
  return rc;
}

std::vector<LogEntry> Session::StationLog(std::optional<TimePoint> since,
                                          std::optional<TimePoint> until) {
  std::vector<LogEntry> entries;
#ifdef TOLVANE_WITH_NATS
  std::vector<nats::JournalEntry> journal;
  std::string err;
  if (station_ && !station_->ReadJournal(since, until, &journal, &err)) {
    throw Failure{kExitFailed, err};
  }
  for (nats::JournalEntry& e : journal) {
    entries.push_back({e.time, e.node, e.station, std::move(e.text), e.flag});
  }
#endif
  (void)since, (void)until;
  return entries;
}

void Session::SettleOutcomes() {
#ifdef TOLVANE_WITH_NATS
  if (station_ && !station_->WaitOutcomes(0)) {
    std::cerr << "tolvane: some acknowledges had no definite answer: checking...\n";
    station_->WaitOutcomes(35000);
  }
#endif
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

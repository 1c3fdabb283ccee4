// ack, mark-ack, delete, remove, shelve, unshelve and horn: what changes
// alarms or the horn, each in one transaction of the store.
#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "node/process_database.h"
#include "present/output.h"
#include "services/queue_backend.h"
#include "tolvane/records.h"
#include "tolvane/text_field.h"
#include "tools/commands.h"

namespace tolvane::cli {
using namespace tolvane::plant;
using namespace tolvane::present;
namespace {

std::string StatusText(short rc) {
  if (rc == kFailed) return "100 (FAILED)";
  return std::to_string(rc) + " (" + node::DatabaseStatusName(rc) + ")";
}

// The alarm a reference names, asked of the queue directly (the local node
// or the station's view), so that alarms past any page are found too.
Row FindAlarm(Session& s, const std::string& ref) {
  std::optional<AlarmRef> parsed = CanonicalOrFail(ref);
  SUMQMSG msg{};
  QueueBackend* queue = InstalledQueueBackend();
  if (!queue || queue->Find(parsed->number, parsed->letter, parsed->node.c_str(), &msg) != 0) {
    throw Failure{kExitUnknownReference, "no alarm has the reference \"" + EscapeForTerminal(ref) +
                                             "\" (see `tolvane list`)"};
  }
  (void)s;
  Row row;
  row.node = std::string(FieldText(msg.almpak.node));
  row.tag = std::string(FieldText(msg.almpak.tagName));
  row.acknowledged = msg.ackFlag != 0;
  row.letter = msg.almpak.vsp.blockType;
  row.number = msg.almpak.vsp.blockNumber;
  // The form the rows carry: the letter and number stored, the node's own name.
  row.reference = FormatReference({row.letter, row.number, row.node});
  return row;
}

// The manager copies exactly 64 bytes of a reference.
std::array<char, 64> RefBuffer(const std::string& ref) {
  std::array<char, 64> buf{};
  std::memcpy(buf.data(), ref.data(), std::min<std::size_t>(ref.size(), 63));
  return buf;
}

bool StillThere(const Row& row) {
  SUMQMSG msg{};
  QueueBackend* queue = InstalledQueueBackend();
  return queue && queue->Find(row.number, row.letter, row.node.c_str(), &msg) == 0;
}

// Parses "90s", "15m", "2h", "1d" (or a plain number of seconds).
std::optional<std::chrono::seconds> ParseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || n <= 0 ||
      !std::isdigit(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  std::string unit(end);
  long long scale = unit.empty() || unit == "s" ? 1
                    : unit == "m"               ? 60
                    : unit == "h"               ? 3600
                    : unit == "d"               ? 86400
                                                : 0;
  if (scale == 0 || n > 366LL * 86400 / scale) return std::nullopt;  // a year at most
  return std::chrono::seconds(n * scale);
}

void RequireOneTarget(const ActOptions& o, const char* verb, bool many) {
  if (o.all && !o.refs.empty()) {
    throw Failure{kExitUsage, std::string(verb) + ": give references or --all, not both"};
  }
  if (!o.all && o.refs.empty()) {
    throw Failure{kExitUsage, std::string(verb) + ": give " +
                                  (many ? "one or more references" : "a reference") + " or --all"};
  }
  if (!o.all && o.filterGiven) {
    throw Failure{kExitUsage, std::string(verb) + ": --filter goes with --all"};
  }
  // Only --all without --filter says "every alarm".
  if (o.filterGiven && o.filter.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw Failure{kExitUsage, std::string(verb) +
                                  ": --filter is empty; leave it out to act on every alarm"};
  }
}

// A filter as the journal records it: whole up to a screenful.
std::string JournalFilter(const std::string& filter) {
  constexpr std::size_t kShown = 1000;
  if (filter.size() <= kShown) return filter;
  std::size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(filter[cut]) & 0xC0) == 0x80) --cut;
  return filter.substr(0, cut) + "... (" + std::to_string(filter.size()) + " bytes in all)";
}

// Says what a whole-view action did and fails unless it did all it set out
// to: exit 0 exactly when every selected alarm was done.
void Report(Session& s, short rc, const BulkOutcome& outcome, const std::string& filter,
            const char* what) {
  if (rc == kViewUnavailable || rc == kBadFilter) RequireView(s, rc, filter);
  if (outcome.done == outcome.selected && rc == kOk) return;
  std::size_t left = outcome.selected - std::min(outcome.done, outcome.selected);
  std::string why = outcome.status != kOk ? "the library returned " + StatusText(outcome.status)
                                          : "the library returned " + StatusText(rc);
  throw Failure{kExitFailed, Thousands(left) + " selected alarms " + what + ": " + why};
}

}  // namespace

void CmdAck(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "ack", false);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    Session s(g, true);
    RequireFilter(s, o.filter);
    // The selected set is found in one pass over the whole view and acted on
    // in node batches through the library.
    BulkOutcome outcome;
    short rc = AcknowledgeAllInView(s.mgr(), s.handle(), o.filter.c_str(), quiet, &outcome);
    s.SettleOutcomes();
    std::size_t removed = s.IsStation() ? 0 : s.store().PendingChanges().removed;
    // The library's operator messages name the node, not the filter.
    if (!o.filter.empty() && !s.IsStation()) {
      s.store().Journal(s.node().localNames().name,
                        "Acknowledged " + std::to_string(outcome.done) +
                            " alarms selected by the filter " + JournalFilter(o.filter),
                        s.now());
    }
    s.Save();
    if (outcome.selected == 0 && rc == kOk) {
      out << "Acknowledged 0 new alarms: 0 selected\n";
      return;
    }
    out << "Acknowledged " << outcome.done << " of " << outcome.selected << " new alarms";
    if (removed) out << " (" << removed << " back to normal and removed)";
    out << "\n";
    Report(s, rc, outcome, o.filter, "are still unacknowledged");
    return;
  }
  if (o.refs.size() != 1) throw Failure{kExitUsage, "ack: give one reference"};
  Session s(g, true, &o.refs);
  Row row = FindAlarm(s, o.refs[0]);
  auto buf = RefBuffer(row.reference);
  short rc = s.Resolve(s.mgr().AcknowledgeAlarmByRef(s.handle(), buf.data(), quiet), row);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed,
                  "acknowledge of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Acknowledged " << EscapeForTerminal(row.reference);
  if (!row.tag.empty()) {
    out << " (" << EscapeForTerminal(row.tag) << " on " << EscapeForTerminal(row.node) << ")";
  }
  out << "\n";
}

void CmdMarkAck(const GlobalOptions& g, const std::string& ref, std::ostream& out) {
  std::vector<std::string> refs = {ref};
  Session s(g, true, &refs);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.Resolve(s.mgr().MarkAsAcknowledgedByRef(s.handle(), buf.data()), row);
  if (!s.IsStation()) {
    s.store().Journal(row.node, "Marked " + row.reference + " acknowledged in the summary",
                      s.now());
  }
  s.Save();
  if (rc != kOk) throw Failure{kExitFailed, "mark-ack of " + row.reference + " failed"};
  out << "Marked " << EscapeForTerminal(row.reference) << " acknowledged in the alarm summary ("
      << EscapeForTerminal(row.tag) << " on " << EscapeForTerminal(row.node) << ")\n";
}

void CmdDelete(const GlobalOptions& g, const std::string& ref, bool quiet, std::ostream& out) {
  std::vector<std::string> refs = {ref};
  Session s(g, true, &refs);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.Resolve(s.mgr().ManuallyDeleteAlarmByRef(s.handle(), buf.data(), quiet ? 1 : 0),
                       row);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed, "delete of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Deleted " << EscapeForTerminal(row.reference) << " (" << EscapeForTerminal(row.tag)
      << " on " << EscapeForTerminal(row.node) << ")\n";
}

void CmdRemove(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "remove", true);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    Session s(g, true);
    RequireFilter(s, o.filter);
    BulkOutcome outcome;
    short rc = RemoveAllInView(s.mgr(), s.handle(), o.filter.c_str(), quiet, &outcome);
    // The library's own message says "All alarms removed" either way.
    if (!o.filter.empty() && !s.IsStation()) {
      s.store().Journal(s.node().localNames().name,
                        "Removed " + std::to_string(outcome.done) +
                            " alarms selected by the filter " + JournalFilter(o.filter),
                        s.now());
    }
    s.Save();
    if (outcome.selected == 0 && rc == kOk) {
      out << "Removed 0 alarms: 0 selected\n";
      return;
    }
    out << "Removed " << outcome.done << " of " << outcome.selected << " selected alarms\n";
    Report(s, rc, outcome, o.filter, "are still there");
    return;
  }
  // Every reference must name an alarm before anything is removed.
  Session s(g, true, &o.refs);
  std::vector<Row> rows;
  for (const std::string& ref : o.refs) rows.push_back(FindAlarm(s, ref));
  std::vector<char> block(rows.size() * 64, '\0');
  for (std::size_t i = 0; i < rows.size(); ++i) {
    auto buf = RefBuffer(rows[i].reference);
    std::memcpy(block.data() + i * 64, buf.data(), 64);
  }
  s.mgr().RemoveAlarmsByRef(s.handle(), block.data(), 1, static_cast<int>(rows.size()), quiet);
  s.Save();
  // The manager's result speaks for the last reference only: check each.
  std::vector<std::string> failed;
  for (const Row& r : rows) {
    if (StillThere(r)) failed.push_back(r.reference);
  }
  if (!failed.empty()) {
    std::string list;
    for (const std::string& f : failed) list += (list.empty() ? "" : ", ") + f;
    throw Failure{kExitFailed, "not removed: " + list};
  }
  out << "Removed " << rows.size() << (rows.size() == 1 ? " alarm\n" : " alarms\n");
}

void CmdShelve(const GlobalOptions& g, const ShelveOptions& o, bool shelve, std::ostream& out) {
  std::optional<std::chrono::seconds> length;
  if (shelve) {
    length = ParseDuration(o.duration);
    if (!length) {
      throw Failure{kExitUsage,
                    "shelve: --for takes a duration such as 30m, 2h or 1d (at most "
                    "a year), got \"" +
                        EscapeForTerminal(o.duration) + "\""};
    }
  }
  GlobalOptions storeOnly = g;  // shelving is the store's alone
  storeOnly.hasStationForm = false;
  Session s(storeOnly, true, &o.refs);
  std::vector<Row> rows;
  for (const std::string& ref : o.refs) rows.push_back(FindAlarm(s, ref));
  std::vector<std::string> refused;
  for (const Row& r : rows) {
    bool ok =
        shelve ? s.store().Shelve(r.node, r.letter, r.number, s.now() + *length, o.reason, s.now())
               : s.store().Unshelve(r.node, r.letter, r.number, s.now());
    if (!ok) refused.push_back(r.reference);
  }
  s.Save();
  std::size_t done = rows.size() - refused.size();
  if (shelve) {
    out << "Shelved " << done << (done == 1 ? " alarm" : " alarms") << " until "
        << FormatUtc(s.now() + *length) << "\n";
  } else {
    out << "Unshelved " << done << (done == 1 ? " alarm\n" : " alarms\n");
  }
  if (!refused.empty()) {
    std::string list;
    for (const std::string& f : refused) list += (list.empty() ? "" : ", ") + f;
    throw Failure{kExitFailed, (shelve ? "not shelved (operator messages cannot be): "
                                       : "not shelved, so not unshelved: ") +
                                   list};
  }
}

void CmdHorn(const GlobalOptions& g, const std::string& action, std::ostream& out) {
  bool change = action != "status";
  // The horn is the store's, not a node's.
  GlobalOptions hornOptions = g;
  hornOptions.holdNodes = false;
  Session s(hornOptions, change);
  short rc = kOk;
  if (action == "on") rc = s.mgr().ConfigureHorn(1);
  if (action == "off") rc = s.mgr().ConfigureHorn(0);
  if (action == "silence") rc = s.mgr().SilenceHorn();
  if (change && rc == kOk && !s.IsStation()) {
    s.store().Journal(s.node().localNames().name,
                      action == "silence"
                          ? "Horn silenced"
                          : std::string("Horn ") + (action == "on" ? "enabled" : "disabled"),
                      s.now());
  }
  if (change) s.Save();
  if (rc != kOk) throw Failure{kExitFailed, "horn " + action + " failed"};
  short enabled = 0;
  if (s.mgr().AlarmHornEnabled(&enabled) != kOk) {
    throw Failure{kExitFailed, "the horn state cannot be read"};
  }
  out << "Horn: " << (enabled ? "enabled" : "disabled");
  if (!s.IsStation() && s.node().queue().HornSilenced()) out << ", silenced";
  out << "\n";
}

}  // namespace tolvane::cli

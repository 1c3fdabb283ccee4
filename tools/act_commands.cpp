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
#include "tolvane/records.h"
#include "tolvane/text_field.h"
#include "tools/commands.h"

namespace tolvane::cli {
using namespace tolvane::plant;
using namespace tolvane::present;
namespace {

// The most messages the library reads of one view: the queue's count is 16-bit.
constexpr std::size_t kMaxQueueRead = 65535;

std::string StatusText(short rc) {
  if (rc == kFailed) return "100 (FAILED)";
  return std::to_string(rc) + " (" + node::DatabaseStatusName(rc) + ")";
}

std::vector<Row> SelectedInReach(Session& s, const std::string& filter);

// The alarm a reference names, asked of the queue directly, so that alarms
// past the longest page are found too.
Row FindAlarm(Session& s, const std::string& ref) {
  std::optional<AlarmRef> parsed = CanonicalOrFail(ref);
  if (s.IsStation()) {
    // A station's view is behind the library: search its rows.
    for (Row& r : SelectedInReach(s, "")) {
      if (r.letter == parsed->letter && r.number == parsed->number &&
          strcasecmp(r.node.c_str(), parsed->node.c_str()) == 0) {
        return std::move(r);
      }
    }
    throw Failure{kExitUnknownReference, "no alarm has the reference \"" +
                                             EscapeForTerminal(ref) + "\" (see `tolvane list`)"};
  }
  SUMQMSG msg{};
  if (s.node().queue().Find(parsed->number, parsed->letter, parsed->node.c_str(), &msg) != 0) {
    throw Failure{kExitUnknownReference, "no alarm has the reference \"" + EscapeForTerminal(ref) +
                                             "\" (see `tolvane list`)"};
  }
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

bool StillThere(Session& s, const Row& row) {
  if (s.IsStation()) {
    for (const Row& r : SelectedInReach(s, "")) {
      if (r.reference == row.reference) return true;
    }
    return false;
  }
  SUMQMSG msg{};
  return s.node().queue().Find(row.number, row.letter, row.node.c_str(), &msg) == 0;
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
}

std::size_t CountAlarms(const std::vector<Row>& rows, bool newOnly) {
  return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const Row& r) {
    return !r.IsOperatorMessage() && (!newOnly || !r.acknowledged);
  }));
}

// The filter that selects what `filter` selects and is still new: each
// acknowledge-all then works on alarms it can change, so every call makes
// progress however many alarms the filter selects.
std::string NewOnly(Session& s, const std::string& filter) {
  std::string combined = filter.empty() ? "ASF_ACK = \"Unacknowledged\""
                                        : "( " + filter + " ) AND ASF_ACK = \"Unacknowledged\"";
  std::string text = combined;
  return s.mgr().ValidateFilterString(text.data()) == kOk ? combined : filter;
}

// Every sort order, both directions: the library reads at most 65,535
// alarms of a view, from its start, so each order reaches a different part.
constexpr long kSortCodes[] = {5,  -5, 1,  -1, 2,  -2, 3,   -3, 4,   -4, 6,   -6, 7,
                               -7, 8,  -8, 9,  -9, 10, -10, 11, -11, 12, -12, 13, -13};

// The alarm rows `filter` selects in any order's reach, once each. Up to
// twice 65,535 alarms, the node order read from both ends reaches them all
// (callers read again while they make progress, since a page holds at most
// 32,767 rows); past that, every order is read, and what none reaches is
// counted by the caller.
std::vector<Row> SelectedInReach(Session& s, const std::string& filter) {
  std::vector<Row> out;
  std::set<std::string> seen;
  std::size_t held = s.IsStation()
                         ? static_cast<std::size_t>(std::max(0L, s.mgr().GetTotalNumOfAlarms()))
                         : s.store().CountVisible(false);
  std::size_t orders = held <= 2 * kMaxQueueRead ? 2 : std::size(kSortCodes);
  for (std::size_t i = 0; i < orders; ++i) {
    for (Row& r : Fetch(s, -1, filter, kSortCodes[i])) {
      if (!r.IsOperatorMessage() && seen.insert(r.reference).second) out.push_back(std::move(r));
    }
  }
  return out;
}

// Runs `step` while it makes progress (as `progress` counts it).
template <class Step, class Progress>
void WhileProgress(Step&& step, Progress&& progress) {
  for (std::size_t before = progress();;) {
    if (!step()) return;
    std::size_t now = progress();
    if (now == before) return;
    before = now;
  }
}

}  // namespace

void CmdAck(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "ack", false);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    Session s(g, true);
    RequireFilter(s, o.filter);
    std::string pending = NewOnly(s, o.filter);
    short rc = kOk;
    // A station counts by what its view shows; a local plant by its node.
    std::size_t firstSeen = s.IsStation() ? CountAlarms(Fetch(s, -1, pending, 1), true) : 0;
    auto done = [&]() -> std::size_t {
      if (s.IsStation()) {
        std::size_t now = CountAlarms(Fetch(s, -1, pending, 1), true);
        return now < firstSeen ? firstSeen - now : 0;
      }
      ChangeSummary c = s.store().PendingChanges();
      return c.acknowledged + c.removed;
    };
    // Acknowledge-all reads the first 65,535 alarms of its node-ordered view;
    // selected alarms past that are acknowledged one by one, found through
    // the other orders' reach.
    WhileProgress(
        [&] {
          WhileProgress(
              [&] {
                if (CountAlarms(Fetch(s, -1, pending, 1), true) == 0) return false;
                std::string filter = pending;
                rc = s.mgr().AcknowledgeAllAlarmsByRef(filter.data(), s.handle(), quiet);
                return rc == kOk;
              },
              done);
          for (const Row& r : SelectedInReach(s, pending)) {
            if (r.acknowledged) continue;
            auto buf = RefBuffer(r.reference);
            short one = s.mgr().AcknowledgeAlarmByRef(s.handle(), buf.data(), quiet);
            if (one != kOk && rc == kOk) rc = one;
          }
          return true;
        },
        done);
    ChangeSummary c;
    if (s.IsStation()) {
      c.acknowledged = done();
    } else {
      c = s.store().PendingChanges();
    }
    std::size_t inReach = CountAlarms(SelectedInReach(s, pending), true);
    // Without a filter every new alarm is selected: count them exactly.
    std::size_t left = o.filter.empty() && !s.IsStation() ? s.store().CountVisible(true) : inReach;
    // With a filter, new alarms out of every order's reach cannot be judged.
    std::size_t unjudged = 0;
    if (!o.filter.empty() && !s.IsStation() && s.store().CountVisible(false) > 2 * kMaxQueueRead) {
      std::size_t reachable = SelectedInReach(s, NewOnly(s, "")).size();
      std::size_t all = s.store().CountVisible(true);
      unjudged = all > reachable ? all - reachable : 0;
    }
    s.Save();
    std::size_t acked = c.acknowledged + c.removed;
    out << "Acknowledged " << acked << " of " << acked + left << " new alarms";
    if (c.removed) out << " (" << c.removed << " back to normal and removed)";
    out << "\n";
    if (left > 0) {
      throw Failure{
          kExitFailed,
          Thousands(left) + " selected alarms are still unacknowledged: " +
              (rc != kOk        ? "the library returned " + StatusText(rc)
               : left > inReach ? std::string("they lie past the 65,535 alarms the library reads "
                                              "of a view in any order")
                                : std::string("the database acknowledged none of them"))};
    }
    if (unjudged > 0) {
      throw Failure{kExitFailed, Thousands(unjudged) +
                                     " new alarms lie past the 65,535 alarms the library reads of "
                                     "a view in any order: the filter could not be checked "
                                     "against them"};
    }
    if (rc != kOk) {
      // The result is the first failing entry of any row; rows of operator
      // messages have no block to write, so they may fail with nothing left.
      std::cerr << "tolvane: note: the database reported status " << StatusText(rc)
                << " for selected rows without a block (operator messages)\n";
    }
    return;
  }
  if (o.refs.size() != 1) throw Failure{kExitUsage, "ack: give one reference"};
  Session s(g, true, &o.refs);
  Row row = FindAlarm(s, o.refs[0]);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().AcknowledgeAlarmByRef(s.handle(), buf.data(), quiet);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed,
                  "acknowledge of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Acknowledged " << row.reference;
  if (!row.tag.empty()) out << " (" << EscapeForTerminal(row.tag) << " on " << row.node << ")";
  out << "\n";
}

void CmdMarkAck(const GlobalOptions& g, const std::string& ref, std::ostream& out) {
  std::vector<std::string> refs = {ref};
  Session s(g, true, &refs);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().MarkAsAcknowledgedByRef(s.handle(), buf.data());
  if (!s.IsStation()) {
    s.store().Journal(row.node, "Marked " + row.reference + " acknowledged in the summary",
                      s.now());
  }
  s.Save();
  if (rc != kOk) throw Failure{kExitFailed, "mark-ack of " + row.reference + " failed"};
  out << "Marked " << row.reference << " acknowledged in the alarm summary ("
      << EscapeForTerminal(row.tag) << " on " << row.node << ")\n";
}

void CmdDelete(const GlobalOptions& g, const std::string& ref, bool quiet, std::ostream& out) {
  std::vector<std::string> refs = {ref};
  Session s(g, true, &refs);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().ManuallyDeleteAlarmByRef(s.handle(), buf.data(), quiet ? 1 : 0);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed, "delete of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Deleted " << row.reference << " (" << EscapeForTerminal(row.tag) << " on " << row.node
      << ")\n";
}

void CmdRemove(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "remove", true);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    Session s(g, true);
    RequireFilter(s, o.filter);
    short rc = kOk;
    auto removed = [&] { return s.store().PendingChanges().removed; };
    // As acknowledge-all: past the node-ordered view's reach, by reference.
    WhileProgress(
        [&] {
          WhileProgress(
              [&] {
                if (CountAlarms(Fetch(s, -1, o.filter, 1), false) == 0) return false;
                std::string filter = o.filter;
                rc = s.mgr().RemoveAllAlarmsByRef(s.handle(), filter.data(), quiet);
                return rc == kOk;
              },
              removed);
          std::vector<Row> found = SelectedInReach(s, o.filter);
          if (found.empty()) return false;
          std::vector<char> block(found.size() * 64, '\0');
          for (std::size_t i = 0; i < found.size(); ++i) {
            auto buf = RefBuffer(found[i].reference);
            std::memcpy(block.data() + i * 64, buf.data(), 64);
          }
          s.mgr().RemoveAlarmsByRef(s.handle(), block.data(), 1, static_cast<int>(found.size()),
                                    quiet);
          return true;
        },
        removed);
    std::size_t inReach = SelectedInReach(s, o.filter).size();
    std::size_t left = o.filter.empty() ? s.store().CountVisible(false) : inReach;
    std::size_t unjudged = 0;
    if (!o.filter.empty() && s.store().CountVisible(false) > 2 * kMaxQueueRead) {
      std::size_t reachable = SelectedInReach(s, "").size();
      std::size_t all = s.store().CountVisible(false);
      unjudged = all > reachable ? all - reachable : 0;
    }
    std::size_t gone = removed();
    s.Save();
    out << "Removed " << gone << " of " << gone + left << " selected alarms\n";
    if (left > 0) {
      throw Failure{
          kExitFailed,
          Thousands(left) + " selected alarms are still there: " +
              (rc != kOk        ? "the library returned " + std::string(ResultCodeName(rc))
               : left > inReach ? std::string("they lie past the 65,535 alarms the library reads "
                                              "of a view in any order")
                                : std::string("the queue removed none of them"))};
    }
    if (unjudged > 0) {
      throw Failure{kExitFailed, Thousands(unjudged) +
                                     " alarms lie past the 65,535 alarms the library reads of a "
                                     "view in any order: the filter could not be checked against "
                                     "them"};
    }
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
    if (StillThere(s, r)) failed.push_back(r.reference);
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
  Session s(g, true, &o.refs);
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
  Session s(g, change);
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

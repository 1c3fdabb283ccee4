#include "tools/cli.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "node/embedded_node.h"
#include "node/summary_queue_message.h"
#include "plant/demo_plant.h"
#include "plant/node_lock.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "plant/simulator.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/app.h"
#include "tolvane/filter_diagnostic.h"
#include "tolvane/notice.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"
#include "tools/output.h"
#include "tools/reference.h"
#include "tools/rows.h"
#include "tools/stats.h"
#include "tools/terminal.h"
#ifdef TOLVANE_WITH_WEB
#include "tools/web_commands.h"
#endif
#ifdef TOLVANE_WITH_NATS
#include "tools/station_commands.h"
#endif

namespace tolvane::cli {
using namespace tolvane::plant;
namespace {

constexpr const char* kTolvaneVersion = TOLVANE_VERSION;
// The most rows one view gives: its row count is 16-bit.
constexpr long kMaxRows = 32767;
// The most messages the library reads of one view: the queue's count is 16-bit.
constexpr std::size_t kMaxQueueRead = 65535;

// A failure a person can act on: the exit code and the message for stderr.
struct Failure {
  int code;
  std::string message;
};

// Notices (the library's message boxes) are collected and shown on stderr
// once, after the command, instead of one line per row.
std::vector<std::string>& Notices() {
  static std::vector<std::string> notices;
  return notices;
}

void CollectNotice(const char* text, unsigned int) {
  Notices().emplace_back(text ? text : "");
}

void FlushNotices() {
  std::map<std::string, int> counts;
  std::vector<std::string> order;
  for (const std::string& n : Notices()) {
    if (counts[n]++ == 0) order.push_back(n);
  }
  for (const std::string& n : order) {
    std::cerr << "tolvane: notice: " << n;
    if (counts[n] > 1) std::cerr << " (" << counts[n] << " times)";
    std::cerr << "\n";
  }
  Notices().clear();
}

struct GlobalOptions {
  std::string nodeFile;
  std::string color = "auto";
  std::string user;
  // A station of the plant-wide deployment instead of a local plant.
  std::string natsUrl, station, credentials;
  bool IsStation() const { return !natsUrl.empty(); }
  // The command's words without --node, for the station form of it.
  std::string command;
  bool holdNodes = true;       // a changing command holds the nodes it changes
  bool hasStationForm = true;  // a station can do this command too
};

bool UseColor(const GlobalOptions& g) {
  if (g.color == "always") return true;
  if (g.color == "never") return false;
  return IsTerminal(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
}

// The name recorded with what a person does: --user, else the login name.
std::string DefaultUser() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "unknown";
}

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

std::unique_ptr<PlantStore> OpenStore(const GlobalOptions& g, TimePoint now) {
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
    store = PlantStore::Open(g.nodeFile, &err);
    if (store) SweepNodeLocks(g.nodeFile);  // left by killed holders
  }
  if (!store) throw Failure{ExitFor(err), err.message};
  store->SetUser(g.user);
  return store;
}

// Only canonical references are taken: the library reads any text its own
// way (a number modulo 65536, blanks skipped), and a mistyped reference must
// never act on another alarm.
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

// One run's node, store and manager, with a client handle. A command that
// changes something holds the store's write lock from the start, so that
// what it read is still true when it commits.
class Session {
 public:
  // With `refs`, the node holds only the alarms and blocks they name: a
  // command about a few alarms needs no more, whatever the plant's size.
  Session(const GlobalOptions& g, bool forUpdate, const std::vector<std::string>* refs = nullptr)
      : now_(Clock::now()) {
    if (g.IsStation()) {
      OpenStation(g);
      return;
    }
    std::vector<PlantStore::BlockAddress> only;
    if (refs) {
      for (const std::string& r : *refs) {
        AlarmRef ref = CanonicalOrFail(r);
        only.push_back({ref.node, ref.letter, ref.number});
      }
    }
    store_ = OpenStore(g, now_);
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

  ~Session() {
    if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
    if (store_) store_->Detach();
  }

  // One writer per node: the nodes this command may change (those of its
  // references, else all) are held until it ends, or it is refused when a
  // daemon holds one. A store whose directory cannot take the lock file
  // cannot be written either; the commit says so.
  void HoldNodes(const GlobalOptions& g, const std::vector<std::string>* refs,
                 bool longLived = false) {
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
      throw Failure{
          kExitNodeHeld,
          "node " + held + " of " + g.nodeFile + " is held by " +
              (holder->program.empty() ? "another program" : holder->program) +
              (holder->pid ? " (pid " + std::to_string(holder->pid) + ")" : "") +
              ", its only writer while it runs; " +
              (g.hasStationForm ? "change it through a station: tolvane --nats " + contact +
                                      " --station NAME " + g.command
                                : std::string("a station cannot do this, so stop that program "
                                              "first"))};
    }
  }

  // Writes what changed to the store, in the command's one transaction. A
  // station's changes are the nodes' to keep.
  void Save() {
    if (!store_) return;
    StoreError err;
    if (!store_->Commit(&err)) throw Failure{kExitSaveFailed, err.message};
  }

  node::EmbeddedNode& node() { return node_; }
  bool IsStation() const { return !store_; }
  // The store; a station has none, and the commands that need one say so.
  PlantStore& store() {
    if (!store_) {
      throw Failure{kExitUsage, "this command works on a plant store, not on a station"};
    }
    return *store_;
  }
  std::size_t Shelved() { return store_ ? store_->Shelved().size() : 0; }
  // What a station shows in `status` and `watch`; empty for a local plant.
  std::string StationLine() const {
#ifdef TOLVANE_WITH_NATS
    if (station_) return StationStatusLine(*station_, stationFlags_);
#endif
    return {};
  }
  std::string StationReport() const {
#ifdef TOLVANE_WITH_NATS
    if (station_) return StationStatusReport(*station_, stationFlags_);
#endif
    return {};
  }
  // A station's command of unknown outcome is checked until it is known:
  // never reported failed and done later.
  short Resolve(short rc, const Row& row) {
#ifdef TOLVANE_WITH_NATS
    if (station_) return ResolveOutcome(*station_, rc, row.node, row.letter, row.number, std::cerr);
#endif
    (void)row;
    return rc;
  }
  // The journal stream as a station reads it.
  std::vector<LogEntry> StationLog(std::optional<TimePoint> since, std::optional<TimePoint> until) {
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
  void SettleOutcomes() {
#ifdef TOLVANE_WITH_NATS
    if (station_ && !station_->WaitOutcomes(0)) {
      std::cerr << "tolvane: some acknowledges had no definite answer: checking...\n";
      station_->WaitOutcomes(35000);
    }
#endif
  }
  CVeltAlmSummMgr& mgr() {
    return *mgr_;
  }
  short handle() const {
    return handle_;
  }
  TimePoint now() const {
    return now_;
  }

 private:
  void OpenStation(const GlobalOptions& g) {
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

  TimePoint now_;
  node::EmbeddedNode node_;
#ifdef TOLVANE_WITH_NATS
  // After the node: its backends go before the node's.
  StationFlags stationFlags_;
  std::unique_ptr<nats::Station> station_;
#endif
  std::unique_ptr<PlantStore> store_;             // after the node: it stops following it first
  std::vector<std::unique_ptr<NodeLock>> locks_;  // after the store: held past its commit
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
};

std::string StatusText(short rc) {
  if (rc == kFailed) return "100 (FAILED)";
  return std::to_string(rc) + " (" + node::DatabaseStatusName(rc) + ")";
}

// Fails with the parser's diagnostic when `filter` does not parse.
void RequireFilter(Session& s, const std::string& filter) {
  if (filter.empty()) return;
  std::string text = filter;
  if (s.mgr().ValidateFilterString(text.data()) == kOk) return;
  FilterExplanation ex = ExplainFilter(filter.c_str());
  std::ostringstream msg;
  msg << "invalid filter: " << (ex.reason ? ex.reason : "does not parse");
  if (ex.position >= 0) {
    msg << " at column " << ex.position + 1;
    if (ex.token[0] != '\0') msg << " (near \"" << ex.token << "\")";
    msg << "\n  " << filter << "\n  " << std::string(static_cast<std::size_t>(ex.position), ' ')
        << "^";
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

// "@FILE" reads the filter from a file, "-" from standard input: a long
// filter does not fit a command line.
std::string ResolveFilter(const std::string& text) {
  if (text != "-" && (text.empty() || text[0] != '@')) return text;
  std::string content;
  if (text == "-") {
    std::ostringstream in;
    in << std::cin.rdbuf();
    content = in.str();
  } else {
    std::ifstream in(text.substr(1), std::ios::binary);
    if (!in) {
      throw Failure{kExitUsage,
                    "cannot read the filter file " + text.substr(1) + ": " + std::strerror(errno)};
    }
    std::ostringstream all;
    all << in.rdbuf();
    content = all.str();
  }
  while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
    content.pop_back();
  }
  return content;
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

std::string Thousands(std::size_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// --- commands ---

struct ListOptions {
  std::string filter;
  long sort = 1;
  long count = -1;
  std::string format = "table";
  bool shelved = false;
};

void WriteShelved(std::ostream& out, const std::vector<ShelvedAlarm>& shelved,
                  const std::string& format) {
  if (format == "json") {
    nlohmann::json list = nlohmann::json::array();
    for (const ShelvedAlarm& s : shelved) {
      const PlantAlarm& a = s.alarm;
      list.push_back({{"reference", FormatReference({a.letter, a.number, a.node})},
                      {"node", a.node},
                      {"tag", a.tag},
                      {"description", a.description},
                      {"until", FormatUtc(s.until)},
                      {"by", a.shelvedBy},
                      {"reason", a.shelveReason}});
    }
    out << nlohmann::json{{"count", shelved.size()}, {"shelved", list}}.dump(
               2, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
    return;
  }
  for (const ShelvedAlarm& s : shelved) {
    const PlantAlarm& a = s.alarm;
    out << FormatReference({a.letter, a.number, a.node}) << "  " << EscapeForTerminal(a.tag)
        << "  until " << FormatUtc(s.until) << "  by " << EscapeForTerminal(a.shelvedBy)
        << (a.shelveReason.empty() ? "" : "  " + EscapeForTerminal(a.shelveReason)) << "\n";
  }
  out << shelved.size() << (shelved.size() == 1 ? " shelved alarm\n" : " shelved alarms\n");
}

void CmdList(const GlobalOptions& g, const ListOptions& o, std::ostream& out) {
  Session s(g, false);
  if (o.shelved) {
    WriteShelved(out, s.store().Shelved(), o.format);
    return;
  }
  RequireFilter(s, o.filter);
  std::vector<Row> rows = Fetch(s, o.count, o.filter, o.sort);
  long total = s.mgr().GetTotalNumOfAlarms();
  std::size_t shelved = s.Shelved();
  // One view holds at most 32,767 rows; say so when that hid alarms.
  bool capped =
      rows.size() == static_cast<std::size_t>(kMaxRows) && (o.count < 0 || o.count > kMaxRows);
  if (o.format == "csv") {
    WriteCsv(out, rows);
  } else if (o.format == "json") {
    WriteJson(out, rows, total);
  } else {
    TableOptions t;
    t.color = UseColor(g);
    t.total = total;
    WriteTable(out, rows, t);
  }
  if (capped) {
    std::size_t visible = total >= 0
                              ? static_cast<std::size_t>(total) -
                                    std::min<std::size_t>(shelved, static_cast<std::size_t>(total))
                              : 0;
    std::cerr << "tolvane: note: showing " << Thousands(rows.size()) << " of "
              << (o.filter.empty() ? Thousands(visible) + " alarms"
                                   : "the alarms the filter selects (a view holds at most " +
                                         Thousands(kMaxRows) + ")")
              << "; narrow with --filter\n";
  }
}

void CmdCheck(const GlobalOptions& g, const std::string& filter, std::ostream& out) {
  Session s(g, false);
  RequireFilter(s, filter);
  out << (filter.empty() ? "valid (empty: no filter)" : "valid") << "\n";
}

struct ActOptions {
  std::vector<std::string> refs;
  bool all = false;
  std::string filter;
  bool filterGiven = false;
  bool quiet = false;
};

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
    s.SettleOutcomes();
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
  short rc = s.Resolve(s.mgr().AcknowledgeAlarmByRef(s.handle(), buf.data(), quiet), row);
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
  short rc = s.Resolve(s.mgr().MarkAsAcknowledgedByRef(s.handle(), buf.data()), row);
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
  short rc =
      s.Resolve(s.mgr().ManuallyDeleteAlarmByRef(s.handle(), buf.data(), quiet ? 1 : 0), row);
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

struct ShelveOptions {
  std::vector<std::string> refs;
  std::string duration;
  std::string reason;
};

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

void CmdStatus(const GlobalOptions& g, const std::string& format, std::ostream& out) {
  Session s(g, false);
  long total = s.mgr().GetTotalNumOfAlarms();
  long seq = s.mgr().GetAlarmSequenceNumber();
  short enabled = 0;
  short hornRc = s.mgr().AlarmHornEnabled(&enabled);
  if (total < 0 || seq < 0 || hornRc != kOk) {
    throw Failure{kExitFailed, "the alarm queue header cannot be read"};
  }
  if (s.IsStation()) {
    out << s.StationReport();
    out << "Alarms in view:   " << total << "\n";
    out << "Sequence number:  " << seq << "\n";
    out << "Horn:             " << (enabled ? "enabled" : "disabled") << "\n";
    return;
  }
  StatusReport r;
  r.total = total;
  r.sequence = seq;
  r.hornEnabled = enabled != 0;
  r.hornSilenced = s.node().queue().HornSilenced();
  node::LocalNames names = s.node().localNames();
  r.localNode = names.name;
  for (const std::string* a : {&names.alias1, &names.alias2}) {
    if (!a->empty()) r.aliases.push_back(*a);
  }
  r.nodes = s.node().database().Nodes().size();
  r.blocks = s.node().database().Blocks().size();
  r.shelved = s.store().Shelved().size();
  if (!TolvaneApp().RegisterReporting()) {
    throw Failure{kExitFailed, "the object registry refused the report"};
  }
  for (const node::ObjectCount& c : s.node().registry().Collect()) {
    r.objects.push_back({c.module, c.name, c.value});
  }
  TolvaneApp().UnregisterReporting();
  if (format == "json") {
    WriteStatusJson(out, r);
  } else {
    WriteStatusText(out, r);
  }
}

struct LogOptions {
  std::string since, until, format = "text";
};

void CmdLog(const GlobalOptions& g, const LogOptions& o, std::ostream& out) {
  TimePoint now = Clock::now();
  auto when = [&](const std::string& text, const char* what) -> std::optional<TimePoint> {
    if (text.empty()) return std::nullopt;
    TimePoint t;
    if (!ParseTime(text, now, &t)) {
      throw Failure{kExitUsage, std::string("log: ") + what +
                                    " takes a time such as 2026-01-31T12:00:00Z or -2h"};
    }
    return t;
  };
  std::optional<TimePoint> since = when(o.since, "--since"), until = when(o.until, "--until");
  std::vector<LogEntry> entries;
  if (g.IsStation()) {
    entries = Session(g, false).StationLog(since, until);  // the journal stream
  } else {
    std::unique_ptr<PlantStore> store = OpenStore(g, now);
    std::vector<PlantLogEntry> log;
    StoreError err;
    if (!store->ReadJournal(since, until, &log, &err)) throw Failure{ExitFor(err), err.message};
    entries.reserve(log.size());
    for (const PlantLogEntry& e : log) entries.push_back({e.time, e.node, e.user, e.text, e.flag});
  }
  if (o.format == "json") {
    WriteLogJson(out, entries);
  } else {
    WriteLogText(out, entries);
  }
}

struct StatsOptions {
  std::string filter;
  int hours = 6;
  std::string format = "text";
};

// A row for the figures, made from a stored alarm: the figures count every
// alarm, not one view's page.
Row StatsRow(const PlantAlarm& a) {
  Row r;
  r.acknowledged = a.acknowledged;
  if (a.msgType != 8) r.reference = FormatReference({a.letter, a.number, a.node});
  r.node = a.node;
  r.tag = a.tag;
  const char* priority = PriorityNameOf(a.priority);
  r.priority = priority ? priority : std::to_string(a.priority);
  r.description = a.description;
  r.dateIn = node::detail::FormatDate(a.timeIn);
  r.timeIn = node::detail::FormatTime(a.timeIn);
  r.letter = a.letter;
  r.number = a.number;
  r.statusCode = a.status;
  return r;
}

void CmdStats(const GlobalOptions& g, const StatsOptions& o, std::ostream& out) {
  std::vector<Row> rows;
  TimePoint now = Clock::now();
  std::size_t shelved = 0;
  if (o.filter.empty()) {
    std::unique_ptr<PlantStore> store = OpenStore(g, now);
    Plant plant;
    StoreError err;
    if (!store->Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
    rows.reserve(plant.alarms.size());
    for (const PlantAlarm& a : plant.alarms) {
      if (a.shelvedUntil && *a.shelvedUntil > now) {
        ++shelved;
        continue;
      }
      rows.push_back(StatsRow(a));
    }
  } else {
    Session s(g, false);
    RequireFilter(s, o.filter);
    rows = Fetch(s, -1, o.filter, 1);
    if (rows.size() >= static_cast<std::size_t>(kMaxRows)) {
      throw Failure{kExitFailed, "the filter selects more than " + Thousands(kMaxRows) +
                                     " alarms, more than one view holds; narrow it (figures "
                                     "without a filter count every alarm)"};
    }
    shelved = s.store().Shelved().size();
  }
  AlarmStats st = ComputeStats(rows, now, o.hours);
  st.shelved = shelved;
  if (o.format == "json") {
    WriteStatsJson(out, st);
  } else {
    WriteStatsText(out, st);
  }
}

struct DemoArgs {
  std::string out;
  int nodes = 3;
  int tags = 300;
  long alarms = -1;
  uint32_t seed = 1;
  bool relative = false;
  bool force = false;
};

bool IsJsonPath(const std::string& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
}

// Writes a plant as a store, or as the exchange format for a .json path.
void WritePlantTo(const std::string& path, const Plant& plant, bool relative, TimePoint now,
                  bool force) {
  if (IsJsonPath(path)) {
    std::string err;
    if (!WriteFileAtomically(path, SerializePlant(plant, relative, now), &err)) {
      throw Failure{kExitSaveFailed, err};
    }
    return;
  }
  StoreError err;
  if (!PlantStore::Create(path, plant, force, &err)) throw Failure{kExitSaveFailed, err.message};
}

void CmdDemo(const DemoArgs& a, std::ostream& out) {
  DemoOptions d;
  d.nodes = a.nodes;
  d.tags = a.alarms > a.tags ? static_cast<int>(a.alarms) : a.tags;  // an alarm needs a block
  d.alarms = a.alarms;
  d.seed = a.seed;
  d.now = Clock::now();
  Plant plant = MakeDemoPlant(d);
  WritePlantTo(a.out, plant, a.relative, d.now, a.force);
  out << "Wrote " << plant.nodes.size() << " nodes, " << plant.blocks.size() << " blocks and "
      << plant.alarms.size() << " alarms to " << a.out << "\n";
}

struct ImportArgs {
  std::string from, out;
  bool force = false;
};

void CmdImport(const ImportArgs& a, std::ostream& out) {
  std::ifstream in(a.from, std::ios::binary);
  if (!in) {
    throw Failure{kExitNodeFileMissing, a.from + " cannot be read: " + std::strerror(errno)};
  }
  std::ostringstream text;
  text << in.rdbuf();
  Plant plant;
  std::string err;
  if (!ParsePlant(text.str(), Clock::now(), &plant, &err)) {
    throw Failure{kExitNodeFileInvalid, a.from + ": " + err};
  }
  {
    // The node must take every part of it, or the store would hold a plant
    // no command can load.
    node::EmbeddedNode node;
    if (!LoadPlant(plant, node, &err)) {
      throw Failure{kExitNodeFileInvalid, a.from + " refused by the node: " + err};
    }
  }
  WritePlantTo(a.out, plant, false, Clock::now(), a.force);
  out << "Imported " << plant.nodes.size() << " nodes, " << plant.blocks.size() << " blocks, "
      << plant.alarms.size() << " alarms and " << plant.log.size() << " journal entries into "
      << a.out << "\n";
}

void CmdExport(const GlobalOptions& g, const std::string& storePath, const std::string& outPath,
               std::ostream& out) {
  GlobalOptions from = g;
  if (!storePath.empty()) from.nodeFile = storePath;
  std::unique_ptr<PlantStore> store = OpenStore(from, Clock::now());
  Plant plant;
  StoreError err;
  if (!store->Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
  std::string doc = SerializePlant(plant, false, Clock::now());
  if (outPath.empty() || outPath == "-") {
    out << doc;
    return;
  }
  std::string why;
  if (!WriteFileAtomically(outPath, doc, &why)) throw Failure{kExitSaveFailed, why};
  out << "Exported " << plant.alarms.size() << " alarms to " << outPath << "\n";
}

struct WatchOptions {
  std::string filter;
  long sort = -1;  // newest first: what changes is on top
  long count = -1;
  double simulate = 0;
  long iterations = 0;
  double seconds = 0;
  int intervalMs = 500;
  uint32_t seed = 1;
  bool save = false;
};

// Draws one frame of the live view on a terminal: header, the table cut to
// the screen, colour by priority.
void DrawScreen(const std::vector<Row>& rows, long total, long seq, bool horn, bool color,
                const SimulatorCounts* sim, const std::string& stationLine) {
  TerminalSize size = GetTerminalSize(STDOUT_FILENO);
  std::ostringstream table;
  TableOptions t;
  t.total = total;
  WriteTable(table, rows, t);
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(table.str());
  while (std::getline(in, line)) lines.push_back(line);
  std::string screen = "\x1b[H";
  char head[256];
  std::snprintf(head, sizeof head, "tolvane watch  seq %ld  alarms %ld  horn %s%s  (q to quit)",
                seq, total, horn ? "on" : "off",
                sim ? ("  simulated +" + std::to_string(sim->raised) + " ~" +
                       std::to_string(sim->changed) + " -" + std::to_string(sim->cleared))
                          .c_str()
                    : "");
  // Cut by columns, never inside a character (the table's texts are escaped).
  auto cut = [&](const std::string& s) {
    return std::string(CutToWidth(s, static_cast<std::size_t>(std::max(size.columns, 0))));
  };
  screen += cut(head) + "\x1b[K\n" + cut(stationLine) + "\x1b[K\n";
  int room = size.rows - 3;
  for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < room; ++i) {
    bool isRow = i >= 1 && i <= rows.size();
    const char* c = color && isRow ? PriorityColor(rows[i - 1].priority) : "";
    bool last = i + 1 == lines.size() || static_cast<int>(i) + 1 == room;
    if (last && i + 1 < lines.size()) {
      screen += cut(lines.back());  // keep the footer in view
    } else {
      screen += std::string(c) + cut(lines[i]) + (*c ? "\x1b[0m" : "");
    }
    screen += "\x1b[K\n";
  }
  screen += "\x1b[J";
  std::cout << screen << std::flush;
}

int CmdWatch(const GlobalOptions& g, const WatchOptions& o) {
  auto session = std::make_unique<Session>(g, false);
  RequireFilter(*session, o.filter);
  bool station = session->IsStation();
  if (station && (o.simulate > 0 || o.save)) {
    throw Failure{kExitUsage, "watch: --simulate and --save work on a plant store, not a station"};
  }
  if (o.save) session->HoldNodes(g, nullptr, true);
  // The view is held in the node; the store is read again only when
  // another program changed it.
  if (!station) session->store().Rollback();
  std::unique_ptr<Simulator> sim;
  if (o.simulate > 0) {
    Plant plant;
    StoreError err;
    if (!session->store().Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
    sim = std::make_unique<Simulator>(session->node(), plant, o.seed);
  }
  bool tty = IsTerminal(STDOUT_FILENO);
  bool keys = tty && IsTerminal(STDIN_FILENO);
  bool color = UseColor(g);
  InstallStopHandlers();
  RawMode raw(keys ? STDIN_FILENO : -1);
  if (tty) std::cout << "\x1b[?1049h\x1b[?25l" << std::flush;  // own screen, no cursor
  auto start = std::chrono::steady_clock::now();
  auto last = start;
  long lastSeq = LONG_MIN;
  std::string lastStation;
  TerminalSize lastSize = GetTerminalSize(STDOUT_FILENO);
  for (long iteration = 0;; ++iteration) {
    if (StopRequested()) break;
    if (o.iterations > 0 && iteration >= o.iterations) break;
    auto now = std::chrono::steady_clock::now();
    if (o.seconds > 0 && std::chrono::duration<double>(now - start).count() >= o.seconds) break;
    if (sim) sim->Advance(std::chrono::duration<double>(now - last).count(), o.simulate);
    if (sim && iteration == 0) sim->Step();  // something happens at once
    last = now;
    if (station) {
      // The station follows the nodes by itself.
    } else if (session->store().EndExpiredShelves(Clock::now()), o.save) {
      StoreError err;
      if (!session->store().Begin(true, &err) || !session->store().Commit(&err)) {
        throw Failure{kExitSaveFailed, err.message};
      }
    } else if (!sim && session->store().ChangedElsewhere()) {
      session.reset();
      session = std::make_unique<Session>(g, false);
      session->store().Rollback();
      lastSeq = LONG_MIN;
    }
    Session& s = *session;
    long seq = s.mgr().GetAlarmSequenceNumber();
    std::string stationLine = s.StationLine();
    if (!stationLine.empty() && stationLine != lastStation) {
      lastStation = stationLine;
      lastSeq = LONG_MIN;  // online/offline shows at once
    }
    TerminalSize size = GetTerminalSize(STDOUT_FILENO);
    bool resized = size.rows != lastSize.rows || size.columns != lastSize.columns;
    if (seq != lastSeq || resized) {
      lastSeq = seq;
      lastSize = size;
      long count = o.count;
      if (tty && count < 0) count = std::max(1, size.rows - 5);
      std::vector<Row> rows;
      short rc = FetchRows(s.mgr(), s.handle(), count, o.filter, o.sort, &rows);
      long total = s.mgr().GetTotalNumOfAlarms();
      short horn = 0;
      s.mgr().AlarmHornEnabled(&horn);
      if (rc != kOk) {
        if (tty) std::cout << "\x1b[?25h\x1b[?1049l" << std::flush;
        throw Failure{kExitFailed, "fetching alarms failed: " + std::string(ResultCodeName(rc))};
      }
      if (tty) {
        DrawScreen(rows, total, seq, horn != 0, color, sim ? &sim->counts() : nullptr, stationLine);
      } else {
        std::ostringstream frame;
        frame << "--- sequence " << seq << ", " << total << " alarms ---\n";
        if (!stationLine.empty()) frame << stationLine << "\n";
        TableOptions t;
        t.total = total;
        t.color = color;
        WriteTable(frame, rows, t);
        std::cout << frame.str() << std::flush;
      }
    }
    if (keys) {
      int key = ReadKey(STDIN_FILENO, o.intervalMs);
      if (key == 'q' || key == 'Q' || key == 3 /* Ctrl-C in raw mode */) break;
    } else {
      // Sleep in small steps so that a stop signal ends the wait at once.
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.intervalMs);
      while (!StopRequested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(o.intervalMs, 20)));
      }
    }
  }
  if (tty) std::cout << "\x1b[?25h\x1b[?1049l" << std::flush;
  if (sim && !tty) {
    std::cout << "simulated: " << sim->counts().raised << " raised, " << sim->counts().changed
              << " changed, " << sim->counts().cleared << " cleared\n";
  }
  return kExitOk;
}

// Sort codes: magnitude 1..13 picks the key, the sign the direction.
CLI::Validator SortCode() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(text.c_str(), &end, 10);
        if (errno != 0 || end == text.c_str() || *end != '\0' || v == 0 || v < -13 || v > 13) {
          return "sort code must be 1..13 or -1..-13, got " + text;
        }
        return {};
      },
      "SORT");
}

}  // namespace

int RunCli(int argc, char** argv) {
  CLI::App app{"tolvane: the alarm summary of a plant, through the Tolvane library"};
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the subcommand
  app.set_version_flag("--version", std::string("tolvane ") + kTolvaneVersion);
  GlobalOptions g;
  g.user = DefaultUser();
  app.add_option("--node", g.nodeFile,
                 "plant store to use and, for commands that change something, to update "
                 "(default: the built-in demo plant, in memory)");
  app.add_option("--color", g.color, "colour the table: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
#ifdef TOLVANE_WITH_NATS
  app.add_option("--nats", g.natsUrl,
                 "work as a station of the plant-wide deployment at this server (nats://...)");
  app.add_option("--station", g.station, "the station's name (with --nats)");
  app.add_option("--credentials", g.credentials,
                 "a file holding user:password, or a .creds file (with --nats; default: "
                 "$TOLVANE_NATS_CREDENTIALS)");
#endif
  app.add_option("--user", g.user, "who acts, recorded in the journal (default: the login name)")
      ->check([](const std::string& u) -> std::string {
        if (u.empty() || u.size() > 32) return "a user name has 1 to 32 characters";
        for (unsigned char c : u) {
          if (c < 0x20 || c == 0x7f) return "a user name has no control characters";
        }
        return {};
      });

  ListOptions list;
  auto* cList = app.add_subcommand("list", "show a page of alarms");
  cList->add_option("--filter", list.filter,
                    "filter text, e.g. 'ASF_PRIORITY = \"HIGH\"'; @FILE or - reads it");
  cList->add_option("--sort", list.sort, "sort code (1 time in; negative: descending)")
      ->check(SortCode());
  cList->add_option("--count", list.count, "alarms wanted, -1 for all")
      ->check(CLI::Range(-1L, 65535L));
  cList->add_option("--format", list.format, "table, csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  cList->add_flag("--shelved", list.shelved, "list the shelved alarms instead");

  std::string checkFilter;
  auto* cCheck = app.add_subcommand("check", "check a filter text");
  cCheck->add_option("FILTER", checkFilter, "the filter text; @FILE or - reads it")->required();

  ActOptions ack;
  auto* cAck = app.add_subcommand("ack", "acknowledge an alarm, or all that a filter selects");
  cAck->add_option("REF", ack.refs, "alarm reference (from `tolvane list`)")->expected(0, 1);
  cAck->add_flag("--all", ack.all, "every alarm the filter selects (all without one)");
  auto* ackFilter = cAck->add_option("--filter", ack.filter, "filter text (with --all)");
  cAck->add_flag("--quiet", ack.quiet, "send no operator message");

  std::string markRef;
  auto* cMark = app.add_subcommand("mark-ack", "mark an alarm acknowledged in the summary only");
  cMark->add_option("REF", markRef, "alarm reference")->required();

  std::string deleteRef;
  bool deleteQuiet = false;
  auto* cDelete = app.add_subcommand("delete", "delete an alarm through its database block");
  cDelete->add_option("REF", deleteRef, "alarm reference")->required();
  cDelete->add_flag("--quiet", deleteQuiet, "send no operator message");

  ActOptions remove;
  auto* cRemove = app.add_subcommand("remove", "remove alarms from the summary");
  cRemove->add_option("REF", remove.refs, "alarm references");
  cRemove->add_flag("--all", remove.all, "every alarm the filter selects (all without one)");
  auto* removeFilter = cRemove->add_option("--filter", remove.filter, "filter text (with --all)");
  cRemove->add_flag("--quiet", remove.quiet, "send no operator messages");

  ShelveOptions shelve;
  auto* cShelve = app.add_subcommand("shelve", "take alarms out of the summary for a while");
  cShelve->add_option("REF", shelve.refs, "alarm references")->required();
  cShelve->add_option("--for", shelve.duration, "how long: 30m, 2h, 1d (at most a year)")
      ->required();
  cShelve->add_option("--reason", shelve.reason, "why, for the journal")
      ->check([](const std::string& r) -> std::string {
        return r.size() > 132 ? "a reason has at most 132 bytes" : "";
      });
  ShelveOptions unshelve;
  auto* cUnshelve = app.add_subcommand("unshelve", "bring shelved alarms back at once");
  cUnshelve->add_option("REF", unshelve.refs, "alarm references")->required();

  std::string hornAction;
  auto* cHorn = app.add_subcommand("horn", "switch, silence or show the alarm horn");
  cHorn->add_option("ACTION", hornAction, "on, off, silence or status")
      ->required()
      ->check(CLI::IsMember({"on", "off", "silence", "status"}));

  std::string statusFormat = "text";
  auto* cStatus = app.add_subcommand("status", "queue total, sequence number, horn, object counts");
  cStatus->add_option("--format", statusFormat, "text or json")
      ->check(CLI::IsMember({"text", "json"}));

  LogOptions log;
  auto* cLog = app.add_subcommand("log", "the journal: operator messages and who did what");
  cLog->add_option("--since", log.since, "from this time on (2026-01-31T12:00:00Z, -2h)");
  cLog->add_option("--until", log.until, "before this time");
  cLog->add_option("--format", log.format, "text or json")->check(CLI::IsMember({"text", "json"}));

  WatchOptions watch;
  auto* cWatch = app.add_subcommand("watch", "live view; q or Ctrl-C quits");
  cWatch->add_option("--filter", watch.filter, "filter text; @FILE or - reads it");
  cWatch->add_option("--sort", watch.sort, "sort code (default -1: newest first)")
      ->check(SortCode());
  cWatch->add_option("--count", watch.count, "alarms shown, -1: as many as fit")
      ->check(CLI::Range(-1L, 65535L));
  cWatch->add_option("--simulate", watch.simulate, "simulate RATE alarm events per second")
      ->check(CLI::Range(0.0, 1000.0));
  cWatch->add_option("--iterations", watch.iterations, "stop after N refresh cycles")
      ->check(CLI::Range(0L, LONG_MAX));
  cWatch->add_option("--seconds", watch.seconds, "stop after S seconds")
      ->check(CLI::Range(0.0, 1e9));
  cWatch->add_option("--interval", watch.intervalMs, "milliseconds between refreshes")
      ->check(CLI::Range(1, 60000));
  cWatch->add_option("--seed", watch.seed, "simulator seed");
  cWatch->add_flag("--save", watch.save, "write the simulated changes to the --node store");

  StatsOptions stats;
  auto* cStats = app.add_subcommand("stats", "alarm-management figures");
  cStats->add_option("--filter", stats.filter, "filter text; @FILE or - reads it");
  cStats->add_option("--hours", stats.hours, "hours of alarm rate shown")
      ->check(CLI::Range(1, 24 * 14));
  cStats->add_option("--format", stats.format, "text or json")
      ->check(CLI::IsMember({"text", "json"}));

  DemoArgs demo;
  auto* cDemo = app.add_subcommand("demo", "write a demo plant (a store; .json: exchange format)");
  cDemo->add_option("--out", demo.out, "file to write")->required();
  cDemo->add_option("--nodes", demo.nodes, "number of nodes")->check(CLI::Range(1, 26));
  cDemo->add_option("--tags", demo.tags, "number of tags")->check(CLI::Range(1, 200000));
  cDemo
      ->add_option("--alarms", demo.alarms,
                   "number of alarms (default: a third of the tags; more tags are made when "
                   "needed)")
      ->check(CLI::Range(0L, 200000L));
  cDemo->add_option("--seed", demo.seed, "random seed");
  cDemo->add_flag("--relative-times", demo.relative,
                  "with .json: write times as offsets from now (\"-15m\")");
  cDemo->add_flag("--force", demo.force, "replace an existing file");

  ImportArgs import;
  auto* cImport = app.add_subcommand("import", "make a plant store of a JSON plant document");
  cImport->add_option("FILE", import.from, "the JSON plant document")->required();
  cImport->add_option("--out", import.out, "the store to write")->required();
  cImport->add_flag("--force", import.force, "replace an existing store");

  std::string exportFrom, exportOut;
  auto* cExport = app.add_subcommand("export", "write a store as a JSON plant document");
  cExport->add_option("STORE", exportFrom, "the store (default: --node, or the demo plant)");
  cExport->add_option("--out", exportOut, "the file to write (default: standard output)");

#ifdef TOLVANE_WITH_WEB
  WebCommands web(app, &g.nodeFile);
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tolvane: error: " << e.what() << "\n(see tolvane --help)\n";
    return kExitUsage;
  }

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--node" && i + 1 < argc) {
      ++i;
    } else if (!a.starts_with("--node=")) {
      // Quoted for a shell when it needs to be.
      if (a.empty() || a.find_first_of(" \t'\"\\$`*?[]{}()<>|&;!#~") != std::string::npos) {
        std::string q = "'";
        for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        a = q + "'";
      }
      g.command += (g.command.empty() ? "" : " ") + a;
    }
  }
  SetNoticeHook(CollectNotice);
  std::ostringstream out;
  int rc = kExitOk;
  try {
    ack.filterGiven = ackFilter->count() > 0;
    remove.filterGiven = removeFilter->count() > 0;
    // Only one argument may come from standard input.
    for (std::string* f :
         {&list.filter, &checkFilter, &ack.filter, &remove.filter, &watch.filter, &stats.filter}) {
      *f = ResolveFilter(*f);
    }
#ifdef TOLVANE_WITH_WEB
    if (web.Run(&rc)) {
      FlushNotices();
      return rc;
    }
#endif
    if (cList->parsed()) CmdList(g, list, out);
    if (cCheck->parsed()) CmdCheck(g, checkFilter, out);
    if (cAck->parsed()) CmdAck(g, ack, out);
    if (cMark->parsed()) CmdMarkAck(g, markRef, out);
    if (cDelete->parsed()) CmdDelete(g, deleteRef, deleteQuiet, out);
    if (cRemove->parsed()) CmdRemove(g, remove, out);
    if (cShelve->parsed()) CmdShelve(g, shelve, true, out);
    if (cUnshelve->parsed()) CmdShelve(g, unshelve, false, out);
    if (cHorn->parsed()) CmdHorn(g, hornAction, out);
    if (cStatus->parsed()) CmdStatus(g, statusFormat, out);
    if (cLog->parsed()) CmdLog(g, log, out);
    if (cStats->parsed()) CmdStats(g, stats, out);
    if (cDemo->parsed()) CmdDemo(demo, out);
    if (cImport->parsed()) CmdImport(import, out);
    if (cExport->parsed()) CmdExport(g, exportFrom, exportOut, out);
    if (cWatch->parsed()) rc = CmdWatch(g, watch);
  } catch (const Failure& f) {
    std::cout << out.str() << std::flush;
    FlushNotices();
    std::cerr << "tolvane: error: " << f.message << "\n";
    return f.code;
  } catch (const std::exception& e) {
    std::cout << out.str() << std::flush;
    FlushNotices();
    std::cerr << "tolvane: error: " << e.what() << "\n";
    return kExitFailed;
  }
  std::cout << out.str() << std::flush;
  FlushNotices();
  return rc;
}

}  // namespace tolvane::cli

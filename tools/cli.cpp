#include "tools/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
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
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/app.h"
#include "tolvane/filter_diagnostic.h"
#include "tolvane/notice.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"
#include "plant/demo_plant.h"
#include "tools/output.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "tools/rows.h"
#include "plant/simulator.h"
#include "tools/stats.h"
#include "tools/terminal.h"

namespace tolvane::cli {
using namespace tolvane::plant;
namespace {

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
};

bool UseColor(const GlobalOptions& g) {
  if (g.color == "always") return true;
  if (g.color == "never") return false;
  return IsTerminal(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
}

// One run's node, plant and manager, with a client handle.
class Session {
 public:
  Session(const GlobalOptions& g, bool forUpdate) {
    TimePoint now = Clock::now();
    if (g.nodeFile.empty()) {
      DemoOptions demo;
      demo.now = now;
      plant_ = MakeDemoPlant(demo);
    } else {
      PlantFileError err;
      file_ = std::make_unique<PlantFile>();
      if (!file_->Open(g.nodeFile, forUpdate, now, &plant_, &err)) {
        bool missing = err.kind == PlantFileError::Kind::kMissing ||
                       err.kind == PlantFileError::Kind::kUnreadable;
        throw Failure{missing ? kExitNodeFileMissing : kExitNodeFileInvalid, err.message};
      }
    }
    node_.LoadSettings();
    std::string why;
    if (!LoadPlant(plant_, node_, &why)) {
      throw Failure{kExitNodeFileInvalid,
                    (g.nodeFile.empty() ? std::string("demo plant") : "node file " + g.nodeFile) +
                        " refused by the node: " + why + " (the file was left unchanged)"};
    }
    mgr_ = std::make_unique<CVeltAlmSummMgr>();
    handle_ = mgr_->GetAlarmClientHandle();
    if (handle_ == kNoHandle) {
      throw Failure{kExitFailed, "the alarm queue gave no client handle"};
    }
  }

  ~Session() {
    if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
  }

  // Writes the node's state back to the node file, when there is one.
  void Save() {
    if (!file_) return;
    Plant out = CapturePlant(plant_, node_);
    for (const node::OperatorMessageRecord& m : node_.alarmLibrary().OperatorMessages()) {
      out.log.push_back({m.time, m.node, m.text, m.flag, "", ""});
    }
    PlantFileError err;
    if (!file_->Save(out, &err)) throw Failure{kExitSaveFailed, err.message};
  }

  node::EmbeddedNode& node() { return node_; }
  const Plant& plant() const { return plant_; }
  CVeltAlmSummMgr& mgr() { return *mgr_; }
  short handle() const { return handle_; }

 private:
  node::EmbeddedNode node_;
  Plant plant_;
  std::unique_ptr<PlantFile> file_;
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

// The parts of a reference as the library reads it back: one letter, a
// number taken as 16 bits, a node name of at most 8 characters.
bool SplitReference(const std::string& ref, char* letter, short* number, std::string* node) {
  if (ref.size() < 3 || ref.size() > 63) return false;
  *letter = ref[0];
  const char* p = ref.c_str() + 1;
  char* end = nullptr;
  long n = std::strtol(p, &end, 10);
  if (end == p) return false;
  while (*end == ' ') ++end;
  std::string name(end);
  name = name.substr(0, name.find(' '));
  if (name.empty() || name.size() > 8) return false;
  *number = static_cast<short>(n);
  *node = name;
  return true;
}

// The alarm a reference names, asked of the queue service directly so that
// alarms past the longest page are found too. Node names match without case.
Row FindAlarm(Session& s, const std::string& ref) {
  char letter = 0;
  short number = 0;
  std::string node;
  SUMQMSG msg{};
  if (!SplitReference(ref, &letter, &number, &node) ||
      s.node().queue().Find(number, letter, node.c_str(), &msg) != 0) {
    throw Failure{kExitUnknownReference,
                  "no alarm has the reference \"" + ref + "\" (see `tolvane list`)"};
  }
  Row row;
  row.node = std::string(FieldText(msg.almpak.node));
  row.tag = std::string(FieldText(msg.almpak.tagName));
  row.acknowledged = msg.ackFlag != 0;
  // The form the rows carry: the letter and number stored, the node's own name.
  row.reference = std::string(1, msg.almpak.vsp.blockType) +
                  std::to_string(msg.almpak.vsp.blockNumber) + row.node;
  return row;
}

// The manager copies exactly 64 bytes of a reference.
std::array<char, 64> RefBuffer(const std::string& ref) {
  std::array<char, 64> buf{};
  std::memcpy(buf.data(), ref.data(), std::min<std::size_t>(ref.size(), 63));
  return buf;
}

bool StillThere(Session& s, const std::string& ref) {
  try {
    FindAlarm(s, ref);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

// --- commands ---

struct ListOptions {
  std::string filter;
  long sort = 1;
  long count = -1;
  std::string format = "table";
};

void CmdList(const GlobalOptions& g, const ListOptions& o, std::ostream& out) {
  Session s(g, false);
  RequireFilter(s, o.filter);
  std::vector<Row> rows = Fetch(s, o.count, o.filter, o.sort);
  long total = s.mgr().GetTotalNumOfAlarms();
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

std::size_t CountNew(const std::vector<Row>& rows) {
  return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const Row& r) {
    return !r.IsOperatorMessage() && !r.acknowledged;
  }));
}

void CmdAck(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "ack", false);
  Session s(g, true);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    RequireFilter(s, o.filter);
    std::vector<Row> before = Fetch(s, -1, o.filter, 1);
    std::string filter = o.filter;
    short rc = s.mgr().AcknowledgeAllAlarmsByRef(filter.data(), s.handle(), quiet);
    s.Save();
    std::vector<Row> after = Fetch(s, -1, "", 1);
    std::map<std::string, bool> now;
    for (const Row& r : after) now[r.reference] = r.acknowledged;
    std::size_t acked = 0, removed = 0;
    for (const Row& r : before) {
      if (r.IsOperatorMessage() || r.acknowledged) continue;
      auto it = now.find(r.reference);
      if (it == now.end()) {
        ++removed;
      } else if (it->second) {
        ++acked;
      }
    }
    std::size_t selected = CountNew(before);
    if (rc != kOk) {
      // The result is the first failing entry of any row, and rows of
      // operator messages have no block to write: judge by the alarms.
      if (acked + removed < selected) {
        throw Failure{kExitFailed, "acknowledge failed for some alarms: status " + StatusText(rc) +
                                       "; " + std::to_string(acked + removed) + " of " +
                                       std::to_string(selected) + " new alarms acknowledged"};
      }
      std::cerr << "tolvane: note: the database reported status " << StatusText(rc)
                << " for selected rows without a block (operator messages)\n";
    }
    out << "Acknowledged " << acked + removed << " of " << selected << " new alarms";
    if (removed) out << " (" << removed << " back to normal and removed)";
    out << "\n";
    return;
  }
  if (o.refs.size() != 1) throw Failure{kExitUsage, "ack: give one reference"};
  Row row = FindAlarm(s, o.refs[0]);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().AcknowledgeAlarmByRef(s.handle(), buf.data(), quiet);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed,
                  "acknowledge of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Acknowledged " << row.reference << " (" << row.tag << " on " << row.node << ")\n";
}

void CmdMarkAck(const GlobalOptions& g, const std::string& ref, std::ostream& out) {
  Session s(g, true);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().MarkAsAcknowledgedByRef(s.handle(), buf.data());
  s.Save();
  if (rc != kOk) throw Failure{kExitFailed, "mark-ack of " + row.reference + " failed"};
  out << "Marked " << row.reference << " acknowledged in the alarm summary (" << row.tag << " on "
      << row.node << ")\n";
}

void CmdDelete(const GlobalOptions& g, const std::string& ref, bool quiet, std::ostream& out) {
  Session s(g, true);
  Row row = FindAlarm(s, ref);
  auto buf = RefBuffer(row.reference);
  short rc = s.mgr().ManuallyDeleteAlarmByRef(s.handle(), buf.data(), quiet ? 1 : 0);
  s.Save();
  if (rc != kOk) {
    throw Failure{kExitFailed, "delete of " + row.reference + " failed: status " + StatusText(rc)};
  }
  out << "Deleted " << row.reference << " (" << row.tag << " on " << row.node << ")\n";
}

void CmdRemove(const GlobalOptions& g, const ActOptions& o, std::ostream& out) {
  RequireOneTarget(o, "remove", true);
  Session s(g, true);
  short quiet = o.quiet ? 1 : 0;
  if (o.all) {
    RequireFilter(s, o.filter);
    std::vector<Row> before = Fetch(s, -1, o.filter, 1);
    std::string filter = o.filter;
    short rc = s.mgr().RemoveAllAlarmsByRef(s.handle(), filter.data(), quiet);
    s.Save();
    if (rc != kOk) throw Failure{kExitFailed, "remove failed: " + std::string(ResultCodeName(rc))};
    // Count by reference: the operator message of the removal joins the queue.
    std::set<std::string> left;
    for (const Row& r : Fetch(s, -1, "", 1)) left.insert(r.reference);
    std::size_t selected = 0, removed = 0;
    for (const Row& r : before) {
      if (r.IsOperatorMessage()) continue;
      ++selected;
      if (!left.count(r.reference)) ++removed;
    }
    out << "Removed " << removed << " of " << selected << " selected alarms\n";
    return;
  }
  // Every reference must name an alarm before anything is removed.
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
    if (StillThere(s, r.reference)) failed.push_back(r.reference);
  }
  if (!failed.empty()) {
    std::string list;
    for (const std::string& f : failed) list += (list.empty() ? "" : ", ") + f;
    throw Failure{kExitFailed, "not removed: " + list};
  }
  out << "Removed " << rows.size() << (rows.size() == 1 ? " alarm\n" : " alarms\n");
}

void CmdHorn(const GlobalOptions& g, const std::string& action, std::ostream& out) {
  bool change = action != "status";
  Session s(g, change);
  short rc = kOk;
  if (action == "on") rc = s.mgr().ConfigureHorn(1);
  if (action == "off") rc = s.mgr().ConfigureHorn(0);
  if (action == "silence") rc = s.mgr().SilenceHorn();
  if (change) s.Save();
  if (rc != kOk) throw Failure{kExitFailed, "horn " + action + " failed"};
  short enabled = 0;
  if (s.mgr().AlarmHornEnabled(&enabled) != kOk) {
    throw Failure{kExitFailed, "the horn state cannot be read"};
  }
  out << "Horn: " << (enabled ? "enabled" : "disabled");
  if (s.node().queue().HornSilenced()) out << ", silenced";
  out << "\n";
}

void CmdStatus(const GlobalOptions& g, std::ostream& out) {
  Session s(g, false);
  long total = s.mgr().GetTotalNumOfAlarms();
  long seq = s.mgr().GetAlarmSequenceNumber();
  short enabled = 0;
  short hornRc = s.mgr().AlarmHornEnabled(&enabled);
  if (total < 0 || seq < 0 || hornRc != kOk) {
    throw Failure{kExitFailed, "the alarm queue header cannot be read"};
  }
  node::LocalNames names = s.node().localNames();
  out << "Alarms in queue:  " << total << "\n";
  out << "Sequence number:  " << seq << "\n";
  out << "Horn:             " << (enabled ? "enabled" : "disabled")
      << (s.node().queue().HornSilenced() ? ", silenced" : "") << "\n";
  out << "Local node:       " << names.name;
  if (!names.alias1.empty() || !names.alias2.empty()) {
    out << " (aliases " << names.alias1 << (names.alias2.empty() ? "" : ", " + names.alias2) << ")";
  }
  out << "\n";
  out << "Nodes:            " << s.node().database().Nodes().size() << "\n";
  out << "Blocks:           " << s.node().database().Blocks().size() << "\n";
  out << "Object counts:\n";
  if (!TolvaneApp().RegisterReporting()) {
    throw Failure{kExitFailed, "the object registry refused the report"};
  }
  std::vector<node::ObjectCount> counts = s.node().registry().Collect();
  TolvaneApp().UnregisterReporting();
  for (const node::ObjectCount& c : counts) {
    out << "  " << c.module << "  " << c.name << " = " << c.value << "\n";
  }
}

void CmdLog(const GlobalOptions& g, std::ostream& out) {
  Session s(g, false);
  std::vector<PlantLogEntry> log = s.plant().log;
  for (const node::OperatorMessageRecord& m : s.node().alarmLibrary().OperatorMessages()) {
    log.push_back({m.time, m.node, m.text, m.flag, "", ""});
  }
  for (const PlantLogEntry& e : log) {
    out << FormatUtc(e.time) << "  " << (e.node.empty() ? "-" : e.node) << "  " << e.text << "\n";
  }
  out << log.size() << (log.size() == 1 ? " operator message\n" : " operator messages\n");
}

struct StatsOptions {
  std::string filter;
  int hours = 6;
  std::string format = "text";
};

void CmdStats(const GlobalOptions& g, const StatsOptions& o, std::ostream& out) {
  Session s(g, false);
  RequireFilter(s, o.filter);
  std::vector<Row> rows = Fetch(s, -1, o.filter, 1);
  AlarmStats st = ComputeStats(rows, Clock::now(), o.hours);
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
  uint32_t seed = 1;
  bool relative = false;
};

void CmdDemo(const DemoArgs& a, std::ostream& out) {
  DemoOptions d;
  d.nodes = a.nodes;
  d.tags = a.tags;
  d.seed = a.seed;
  d.now = Clock::now();
  Plant plant = MakeDemoPlant(d);
  std::string err;
  if (!WriteFileAtomically(a.out, SerializePlant(plant, a.relative, d.now), &err)) {
    throw Failure{kExitSaveFailed, err};
  }
  out << "Wrote " << plant.nodes.size() << " nodes, " << plant.blocks.size() << " blocks and "
      << plant.alarms.size() << " alarms to " << a.out << "\n";
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
                const SimulatorCounts* sim) {
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
  auto cut = [&](const std::string& s) {
    return s.size() > static_cast<std::size_t>(size.columns) ? s.substr(0, size.columns) : s;
  };
  screen += cut(head) + "\x1b[K\n\x1b[K\n";
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
  Session s(g, o.save);
  RequireFilter(s, o.filter);
  std::unique_ptr<Simulator> sim;
  if (o.simulate > 0) sim = std::make_unique<Simulator>(s.node(), s.plant(), o.seed);
  bool tty = IsTerminal(STDOUT_FILENO);
  bool keys = tty && IsTerminal(STDIN_FILENO);
  bool color = UseColor(g);
  InstallStopHandlers();
  RawMode raw(keys ? STDIN_FILENO : -1);
  if (tty) std::cout << "\x1b[?1049h\x1b[?25l" << std::flush;  // own screen, no cursor
  auto start = std::chrono::steady_clock::now();
  auto last = start;
  long lastSeq = LONG_MIN;
  TerminalSize lastSize = GetTerminalSize(STDOUT_FILENO);
  for (long iteration = 0;; ++iteration) {
    if (StopRequested()) break;
    if (o.iterations > 0 && iteration >= o.iterations) break;
    auto now = std::chrono::steady_clock::now();
    if (o.seconds > 0 && std::chrono::duration<double>(now - start).count() >= o.seconds) break;
    if (sim) sim->Advance(std::chrono::duration<double>(now - last).count(), o.simulate);
    if (sim && iteration == 0) sim->Step();  // something happens at once
    last = now;
    long seq = s.mgr().GetAlarmSequenceNumber();
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
        DrawScreen(rows, total, seq, horn != 0, color, sim ? &sim->counts() : nullptr);
      } else {
        std::ostringstream frame;
        frame << "--- sequence " << seq << ", " << total << " alarms ---\n";
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
  if (o.save) s.Save();
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
  GlobalOptions g;
  app.add_option("--node", g.nodeFile,
                 "plant file to use and, for commands that change something, to update "
                 "(default: the built-in demo plant)");
  app.add_option("--color", g.color, "colour the table: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}));

  ListOptions list;
  auto* cList = app.add_subcommand("list", "show a page of alarms");
  cList->add_option("--filter", list.filter, "filter text, e.g. 'ASF_PRIORITY = \"HIGH\"'");
  cList->add_option("--sort", list.sort, "sort code (1 time in; negative: descending)")
      ->check(SortCode());
  cList->add_option("--count", list.count, "alarms wanted, -1 for all")
      ->check(CLI::Range(-1L, 65535L));
  cList->add_option("--format", list.format, "table, csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}));

  std::string checkFilter;
  auto* cCheck = app.add_subcommand("check", "check a filter text");
  cCheck->add_option("FILTER", checkFilter, "the filter text")->required();

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

  std::string hornAction;
  auto* cHorn = app.add_subcommand("horn", "switch, silence or show the alarm horn");
  cHorn->add_option("ACTION", hornAction, "on, off, silence or status")
      ->required()
      ->check(CLI::IsMember({"on", "off", "silence", "status"}));

  auto* cStatus = app.add_subcommand("status", "queue total, sequence number, horn, object counts");
  auto* cLog = app.add_subcommand("log", "operator messages");

  WatchOptions watch;
  auto* cWatch = app.add_subcommand("watch", "live view; q or Ctrl-C quits");
  cWatch->add_option("--filter", watch.filter, "filter text");
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
  cWatch->add_flag("--save", watch.save, "write the simulated state back to the --node file");

  StatsOptions stats;
  auto* cStats = app.add_subcommand("stats", "alarm-management figures");
  cStats->add_option("--filter", stats.filter, "filter text");
  cStats->add_option("--hours", stats.hours, "hours of alarm rate shown")
      ->check(CLI::Range(1, 24 * 14));
  cStats->add_option("--format", stats.format, "text or json")
      ->check(CLI::IsMember({"text", "json"}));

  DemoArgs demo;
  auto* cDemo = app.add_subcommand("demo", "write a demo plant file");
  cDemo->add_option("--out", demo.out, "file to write")->required();
  cDemo->add_option("--nodes", demo.nodes, "number of nodes")->check(CLI::Range(1, 26));
  cDemo->add_option("--tags", demo.tags, "number of tags")->check(CLI::Range(1, 100000));
  cDemo->add_option("--seed", demo.seed, "random seed");
  cDemo->add_flag("--relative-times", demo.relative,
                  "write times as offsets from now (\"-15m\"), so the file stays current");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  SetNoticeHook(CollectNotice);
  std::ostringstream out;
  int rc = kExitOk;
  try {
    ack.filterGiven = ackFilter->count() > 0;
    remove.filterGiven = removeFilter->count() > 0;
    if (cList->parsed()) CmdList(g, list, out);
    if (cCheck->parsed()) CmdCheck(g, checkFilter, out);
    if (cAck->parsed()) CmdAck(g, ack, out);
    if (cMark->parsed()) CmdMarkAck(g, markRef, out);
    if (cDelete->parsed()) CmdDelete(g, deleteRef, deleteQuiet, out);
    if (cRemove->parsed()) CmdRemove(g, remove, out);
    if (cHorn->parsed()) CmdHorn(g, hornAction, out);
    if (cStatus->parsed()) CmdStatus(g, out);
    if (cLog->parsed()) CmdLog(g, out);
    if (cStats->parsed()) CmdStats(g, stats, out);
    if (cDemo->parsed()) CmdDemo(demo, out);
    if (cWatch->parsed()) rc = CmdWatch(g, watch);
  } catch (const Failure& f) {
    FlushNotices();
    std::cerr << "tolvane: error: " << f.message << "\n";
    return f.code;
  } catch (const std::exception& e) {
    FlushNotices();
    std::cerr << "tolvane: error: " << e.what() << "\n";
    return kExitFailed;
  }
  std::cout << out.str() << std::flush;
  FlushNotices();
  return rc;
}

}  // namespace tolvane::cli

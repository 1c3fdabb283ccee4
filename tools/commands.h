// What the program's command groups share: the failure a command throws, the
// global options, the session each command runs in, and the commands
// themselves for RunCli to dispatch. Internal to tools/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "plant/node_lock.h"
#include "plant/plant.h"
#include "plant/plant_store.h"
#include "present/output.h"
#include "present/reference.h"
#include "present/rows.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/alarm_view.h"
#include "tolvane/result_codes.h"
#include "tools/cli.h"
#ifdef TOLVANE_WITH_NATS
#include "tools/station_commands.h"
#endif

namespace tolvane::cli {

// The most rows one view gives: its row count is 16-bit.
inline constexpr long kMaxRows = 32767;

// A failure a person can act on: the exit code and the message for stderr.
struct Failure {
  int code;
  std::string message;
};

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

int ExitFor(const plant::StoreError& err);

// The --node store, or the demo plant in memory; a station has none.
std::unique_ptr<plant::PlantStore> OpenStore(const GlobalOptions& g, plant::TimePoint now,
                                             bool forUpdate = false);

// Only canonical references are taken: the library reads any text its own
// way (a number modulo 65536, blanks skipped), and a mistyped reference must
// never act on another alarm.
present::AlarmRef CanonicalOrFail(const std::string& ref);

// One run's node, store and manager, with a client handle. A command that
// changes something holds the store's write lock from the start, so that
// what it read is still true when it commits.
class Session {
 public:
  // With `refs`, the node holds only the alarms and blocks they name: a
  // command about a few alarms needs no more, whatever the plant's size.
  Session(const GlobalOptions& g, bool forUpdate, const std::vector<std::string>* refs = nullptr);
  ~Session();

  // Writes what changed to the store, in the command's one transaction. A
  // station's changes are the nodes' to keep.
  void Save();

  node::EmbeddedNode& node() { return node_; }
  bool IsStation() const { return !store_; }
  // The store; a station has none, and the commands that need one say so.
  plant::PlantStore& store() {
    if (!store_) {
      throw Failure{kExitUsage, "this command works on a plant store, not on a station"};
    }
    return *store_;
  }
  std::size_t Shelved() { return store_ ? store_->Shelved().size() : 0; }
  // What a station shows in `status` and `watch`; empty for a local plant.
  std::string StationLine() const;
  std::string StationReport() const;
  // One writer per node: the nodes this command may change (those of its
  // references, else all) are held until it ends, or it is refused when a
  // daemon holds one.
  // longLived: held for as long as the program runs (watch --save), so
  // other commands are refused at once instead of waiting.
  void HoldNodes(const GlobalOptions& g, const std::vector<std::string>* refs,
                 bool longLived = false);
  // A station's command of unknown outcome is checked until it is known:
  // never reported failed and done later.
  short Resolve(short rc, const present::Row& row);
  // The journal stream as a station reads it.
  std::vector<present::LogEntry> StationLog(std::optional<plant::TimePoint> since,
                                            std::optional<plant::TimePoint> until);
  // Waits until every command a station sent has a definite answer.
  void SettleOutcomes();
  CVeltAlmSummMgr& mgr() { return *mgr_; }
  short handle() const { return handle_; }
  plant::TimePoint now() const { return now_; }

 private:
  void OpenStation(const GlobalOptions& g);

  plant::TimePoint now_;
  node::EmbeddedNode node_;
#ifdef TOLVANE_WITH_NATS
  // After the node: its backends go before the node's.
  StationFlags stationFlags_;
  std::unique_ptr<nats::Station> station_;
#endif
  std::unique_ptr<plant::PlantStore> store_;  // after the node: it stops following it first
  std::vector<std::unique_ptr<plant::NodeLock>> locks_;  // after the store: held past its commit
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
};

// Fails with the parser's diagnostic when `filter` does not parse.
void RequireFilter(Session& s, const std::string& filter);

// A page of rows; fails with the parser's diagnostic or the result code.
std::vector<present::Row> Fetch(Session& s, long count, const std::string& filter, long sort);

// Fails unless a view call succeeded: with the parser's diagnostic, or
// saying why the view could not be read whole.
void RequireView(Session& s, short rc, const std::string& filter);

// Every row the view selects, however many.
std::vector<present::Row> AllRows(Session& s, AlarmView& view, const std::string& filter);

// The view's figures, exact.
AlarmViewCounts CountView(Session& s, AlarmView& view, const std::string& filter);

// 1234567 as "1,234,567".
std::string Thousands(std::size_t n);

// --- view_commands.cpp: list, check, watch ---

struct ListOptions {
  std::string filter;
  long sort = 1;
  long count = -1;
  long page = 0;      // 1-based page of `count` rows; 0: from the first
  std::string after;  // a reference: the rows after it in the sort order
  std::string format = "table";
  bool shelved = false;
};

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

void CmdList(const GlobalOptions& g, const ListOptions& o, std::ostream& out);
void CmdCheck(const GlobalOptions& g, const std::string& filter, std::ostream& out);
int CmdWatch(const GlobalOptions& g, const WatchOptions& o);

// --- act_commands.cpp: ack, mark-ack, delete, remove, shelve, unshelve, horn ---

struct ActOptions {
  std::vector<std::string> refs;
  bool all = false;
  std::string filter;
  bool filterGiven = false;
  bool quiet = false;
};

struct ShelveOptions {
  std::vector<std::string> refs;
  std::string duration;
  std::string reason;
};

void CmdAck(const GlobalOptions& g, const ActOptions& o, std::ostream& out);
void CmdMarkAck(const GlobalOptions& g, const std::string& ref, std::ostream& out);
void CmdDelete(const GlobalOptions& g, const std::string& ref, bool quiet, std::ostream& out);
void CmdRemove(const GlobalOptions& g, const ActOptions& o, std::ostream& out);
// `shelve` false: unshelve.
void CmdShelve(const GlobalOptions& g, const ShelveOptions& o, bool shelve, std::ostream& out);
void CmdHorn(const GlobalOptions& g, const std::string& action, std::ostream& out);

// --- report_commands.cpp: status, log, stats ---

struct LogOptions {
  std::string since, until, format = "text";
};

struct StatsOptions {
  std::string filter;
  int hours = 6;
  std::string format = "text";
};

void CmdStatus(const GlobalOptions& g, const std::string& format, std::ostream& out);
void CmdLog(const GlobalOptions& g, const LogOptions& o, std::ostream& out);
void CmdStats(const GlobalOptions& g, const StatsOptions& o, std::ostream& out);

// --- plant_commands.cpp: demo, import, export ---

struct DemoArgs {
  std::string out;
  int nodes = 3;
  int tags = 300;
  long alarms = -1;
  uint32_t seed = 1;
  bool relative = false;
  bool force = false;
};

struct ImportArgs {
  std::string from, out;
  bool force = false;
};

void CmdDemo(const DemoArgs& a, std::ostream& out);
void CmdImport(const ImportArgs& a, std::ostream& out);
void CmdExport(const GlobalOptions& g, const std::string& storePath, const std::string& outPath,
               std::ostream& out);

}  // namespace tolvane::cli

// The plant store: a plant kept in an SQLite database (schema and
// concurrency in docs/store.md).
//
// A program opens the store, loads it into an embedded node, lets the
// library work on the node, and commits: only the alarms, blocks and horn
// state that changed are written, with the operator messages the node sent
// and the journal entries of the program, in one transaction. Update work
// runs inside Begin(true)..Commit(), so that two programs changing the same
// store run one after the other (the second waits up to the busy timeout)
// and neither loses the other's change. Readers never wait.
//
// Not thread-safe: one thread uses a store at a time. The node it is
// loaded into may be used from other threads between commits.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "node/embedded_node.h"
#include "plant/plant.h"

namespace tolvane::plant {

struct StoreError {
  enum class Kind {
    kNone,
    kMissing,  // no such file, or it cannot be read
    kInvalid,  // not a plant store, corrupt, or made by a newer program
    kWrite,    // could not be written (read-only, disk full, locked too long)
    kRefused,  // the node refused part of the plant
  };
  Kind kind = Kind::kNone;
  std::string message;  // a sentence for a person; names the file
};

// The schema this program writes; older stores are migrated on open.
inline constexpr int kStoreSchemaVersion = 2;
// How long a command waits for another one's write to finish.
inline constexpr int kStoreBusyTimeoutMs = 60000;

// What the store holds, counted in SQL (not through a capped page).
struct StoreCounts {
  std::size_t alarms = 0;  // type != 8, shelved included
  std::size_t operatorMessages = 0;
  std::size_t unacknowledged = 0;  // alarms
  std::size_t shelved = 0;
  std::size_t nodes = 0;
  std::size_t blocks = 0;
  std::size_t journal = 0;
};

// What the node did since the last commit (or load), by the alarms it
// touched.
struct ChangeSummary {
  std::size_t acknowledged = 0;  // alarms that went from new to acknowledged
  std::size_t removed = 0;       // alarms (type != 8) that left the queue
  std::size_t raised = 0;        // alarms that came in
  std::size_t changed = 0;       // other changes to alarms
  std::size_t messages = 0;      // operator messages that came in
};

// A shelved alarm, as `list --shelved` shows it.
struct ShelvedAlarm {
  PlantAlarm alarm;
  TimePoint until{};
};

class PlantStore {
 public:
  ~PlantStore();
  PlantStore(const PlantStore&) = delete;
  PlantStore& operator=(const PlantStore&) = delete;

  // Opens an existing store. A file that is not a store, or is corrupt, or
  // comes from a newer program: kInvalid with SQLite's reason; the file is
  // not touched. An older schema is migrated in one transaction.
  //
  // A log or journal left beside it by a program that died is checked
  // before SQLite may fold it in (it must fit the store, and the store read
  // with it must pass quick_check and the schema check); one that does not
  // is refused as kInvalid, and nothing is touched. The schema must be the
  // one this program makes (no trigger, no missing column): kInvalid.
  // kRead: the connection refuses every write statement; on a full disk a
  // store with no log to fold in is read as it stands instead of failing.
  enum class OpenFor { kUpdate, kRead };
  static std::unique_ptr<PlantStore> Open(const std::string& path, StoreError* err,
                                          OpenFor intent = OpenFor::kUpdate);
  // A store in memory holding `plant` (the built-in demo).
  static std::unique_ptr<PlantStore> InMemory(const Plant& plant, StoreError* err);
  // Writes `plant` as a new store at `path`. Refuses an existing file
  // unless `replace`; the new file appears whole or not at all.
  static bool Create(const std::string& path, const Plant& plant, bool replace, StoreError* err);

  const std::string& path() const { return path_; }

  // --- transactions ---
  // Begins a read (a consistent view) or write transaction.
  bool Begin(bool write, StoreError* err);
  // Writes what changed in the loaded node and the pending journal entries,
  // then commits. Without a loaded node only the journal is written.
  bool Commit(StoreError* err);
  // Drops the transaction and the pending journal entries. The node keeps
  // its state; a caller that goes on must load a fresh node.
  void Rollback();
  bool InTransaction() const;
  // True when another connection committed since this one last loaded or
  // committed: a long-running holder then loads a fresh node.
  bool ChangedElsewhere();

  // --- the node ---
  // Loads the plant into `node` (fresh: no nodes or alarms) and follows its
  // queue from then on. Shelves whose time is over at `now` end here. Needs
  // a transaction (read or write).
  // With `only`, just the blocks and alarms at those addresses (a command
  // about a few alarms need not hold them all).
  struct BlockAddress {
    std::string node;
    char letter = 0;
    int16_t number = 0;
  };
  // With `onlyNode`, just that node's blocks and alarms (a node daemon
  // holds its own node, not the plant).
  bool Load(node::EmbeddedNode& node, TimePoint now, StoreError* err,
            const std::vector<BlockAddress>* only = nullptr,
            const std::string* onlyNode = nullptr);
  // Load in steps, for a holder whose readers must not wait while the
  // store is read or a new node filled: PrepareLoad reads and checks
  // everything Load would put in a node (needs a transaction; touches no
  // node and leaves the node loaded now followed). FillPrepared puts it into
  // a fresh node, which need not be installed, and leaves the store as it
  // was: when it fails, the node loaded before is still the one followed.
  // Adopt then follows the filled node instead, and hands back what the
  // store knew of the old one, for the caller to free when it likes.
  // LoadPrepared is the two in one. Null / false with the reason, as Load.
  struct PreparedLoad;
  struct FilledLoad;
  std::shared_ptr<PreparedLoad> PrepareLoad(TimePoint now, StoreError* err,
                                            const std::vector<BlockAddress>* only = nullptr,
                                            const std::string* onlyNode = nullptr);
  std::shared_ptr<FilledLoad> FillPrepared(node::EmbeddedNode& node, const PreparedLoad& prepared,
                                           StoreError* err);
  // Cheap: no walk of the alarms. REQUIRES: `filled`'s node still lives.
  std::shared_ptr<FilledLoad> Adopt(std::shared_ptr<FilledLoad> filled);
  bool LoadPrepared(node::EmbeddedNode& node, const PreparedLoad& prepared, StoreError* err);
  // Stops following the node (before the node goes away).
  void Detach();
  // What the node did since the last commit or load.
  ChangeSummary PendingChanges() const;
  // Alarms (not operator messages) of the node that were loaded and are
  // still in its views; with `newOnly`, those not acknowledged.
  std::size_t CountVisible(bool newOnly) const;

  // The user recorded with what is journalled from now on.
  void SetUser(const std::string& user) { user_ = user; }
  const std::string& user() const { return user_; }
  // Adds an entry to the journal (written on Commit), stamped with the user.
  void Journal(const std::string& node, const std::string& text, TimePoint when);

  // Shelves the block's alarm until `until`, or ends its shelving. Shelved
  // alarms leave every view (the queue keeps them). False when the node has
  // no such alarm. Journals the action.
  bool Shelve(const std::string& node, char letter, int16_t number, TimePoint until,
              const std::string& reason, TimePoint now);
  bool Unshelve(const std::string& node, char letter, int16_t number, TimePoint now);
  // Ends the shelves that are over at `now` (long-running holders call it
  // now and then). Returns how many ended.
  std::size_t EndExpiredShelves(TimePoint now);
  // The alarms shelved in the loaded node, soonest back first.
  std::vector<ShelvedAlarm> Shelved() const;

  // Adds the blocks the store lacks and updates the description, areas and
  // priority of those it has (found by node and tag), in a write transaction
  // of its own; call it outside one, before Load. Blocks of field sources.
  bool PutBlocks(const std::vector<PlantBlock>& blocks, StoreError* err);

  // --- reading without a node ---
  bool Read(Plant* out, StoreError* err);
  // Shelved: alarms whose shelving runs past `now`.
  bool Counts(TimePoint now, StoreCounts* out, StoreError* err);
  // Journal entries with since <= time < until, oldest first.
  bool ReadJournal(std::optional<TimePoint> since, std::optional<TimePoint> until,
                   std::vector<PlantLogEntry>* out, StoreError* err);

 private:
  struct Impl;
  explicit PlantStore(std::unique_ptr<Impl> impl, std::string path);
  static std::unique_ptr<PlantStore> OpenImmutable(const std::string& path, StoreError* err);
  std::unique_ptr<Impl> impl_;
  std::string path_;
  std::string user_;
};

// What `tolvane doctor` reports of a store: one finding per thing checked.
struct HealthFinding {
  enum class Level { kOk, kNote, kProblem };
  Level level = Level::kOk;
  std::string topic;   // "file", "leftovers", "log", "integrity", "schema", "rows", "space", ...
  std::string detail;  // a sentence
};
struct StoreHealth {
  std::vector<HealthFinding> findings;
  bool storeProblem = false;  // the store cannot be trusted as it stands
  bool spaceProblem = false;  // too little room left to change it
};
struct ExamineOptions {
  // Sets aside (renames, never deletes) a log or journal beside the store
  // that does not fit it, so that the store opens as it was without it.
  bool recover = false;
  std::size_t rowsListed = 20;  // row problems listed; all are counted
};
// Checks a store without changing what it holds: the files beside it, the
// temporary files of killed writers (removed), integrity_check, the schema
// and its version, every row as import would check it, the free space, and
// whether a node daemon holds it.
StoreHealth ExamineStore(const std::string& path, const ExamineOptions& options);

// Whether a running program (a node daemon, a command) holds a node of the
// store (one writer per node, plant/node_lock.h); `detail` names them.
bool DaemonHoldsStore(const std::string& path, std::string* detail);

// Removes what killed writers of a new store at `path` (Create) left: their
// ".NAME.new-PID" files, when no live writer holds their lock, and the
// journal files beside them. Returns how many files went.
std::size_t RemoveAbandonedStoreTemporaries(const std::string& path);

// Why the log or journal that a program which died left beside the store at
// `path` (a real path, symlinks followed) must not be folded into it; empty
// when there is none, it is live (another program has the store open) or it
// fits. `checked`: whether a log was read and tried.
std::string LeftoverLogProblem(const std::string& path, bool* checked);

}  // namespace tolvane::plant

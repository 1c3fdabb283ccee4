// The embedded process database: the nodes' blocks and their 16-bit fields,
// served to the library through the database-access backend (groups of
// field entries that are resolved, read and written together).
//
// Addresses (VSP) carry the node's serial number in their field part, so an
// address made before ReloadNode no longer matches and fails instead of
// touching a field. Writes of the alarm fields reach the alarm queue:
// "B_NALM" <- 0 acknowledges the block's alarm, "B_DALM" <- 1 removes it.
//
// Thread-safe: every public member may be called from any thread. Lock
// order: the database's lock, then the queue's; the queue must never call
// back into the database.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "node/fault_injection.h"
#include "services/zuna.h"
#include "tolvane/records.h"

namespace tolvane::node {

class SummaryQueue;

// Entry statuses of the embedded database besides 0 (success).
namespace dbstatus {
inline constexpr short kUnknownTag = 1701;       // resolve: no block of that tag on the node
inline constexpr short kStaleAddress = 1702;     // VSP made for an older load of the node
inline constexpr short kBadAddress = 1703;       // VSP names no block/field, or not the named one
inline constexpr short kNotResolved = 1704;      // read or write of an entry with no address
inline constexpr short kNothingPut = 1705;       // write of an entry without a put value
inline constexpr short kNotExecuted = 1706;      // no step has run on the entry yet
inline constexpr short kReadOnlyField = 1707;    // the field is not written through groups
inline constexpr short kBadEntry = 1708;         // no such entry handle in the group
inline constexpr short kBadGroup = 1709;         // group unknown or already freed
inline constexpr short kNoRequest = 1710;        // execute with nothing requested
inline constexpr short kUnknownNode = 1711;      // the entry's node is gone
inline constexpr short kNoValue = 1712;          // get before a successful read
inline constexpr short kNothingToDelete = 1713;  // "B_DALM" <- 1 with no standing alarm
}  // namespace dbstatus

// Short name of a status above ("STALE_ADDRESS", ...), "OK" for 0, or "UNKNOWN".
const char* DatabaseStatusName(short status);

// The fields every block has, in field-index order.
inline constexpr std::array<const char*, 7> kFieldNames = {
    "B_NALM",   // nonzero: the block's alarm is new (unacknowledged)
    "B_DALM",   // command: writing 1 removes the block's alarm; reads back 0
    "B_CUALM",  // current alarm status code, 0 when not in alarm; set by the host only
    "B_PRI",    // alarm priority id
    "B_CV",     // current value
    "B_HILIM",  // high alarm limit
    "B_LOLIM",  // low alarm limit
};
inline constexpr std::size_t kFieldCount = kFieldNames.size();

// Index of a field name (case-blind), or -1.
int FieldIndex(const std::string& name);

struct NodeRecord {
  std::string name;
  uint32_t serial = 0;
};

struct BlockRecord {
  std::string node;
  std::string tag;
  char letter = 0;
  int16_t number = 0;
  uint16_t word = 0;  // the block word that resolve puts into a VSP
  std::array<int16_t, kFieldCount> fields{};
};

// The step of a group that an entry fault applies to.
enum class Step { kAny, kResolve, kRead, kWrite };

// What the benchmark and tests read: steps actually carried out by Execute.
struct DatabaseCounters {
  uint64_t executes = 0;
  uint64_t resolves = 0;     // resolve steps
  uint64_t reads = 0;        // read steps
  uint64_t writes = 0;       // write steps
  uint64_t nameLookups = 0;  // entries resolved by tag name (incl. re-resolves)
};

class ProcessDatabase : public DatabaseBackend {
 public:
  // `queue` (may be null) receives acknowledges and removals; it must
  // outlive the database or be detached first.
  explicit ProcessDatabase(SummaryQueue* queue = nullptr);
  ~ProcessDatabase() override;
  ProcessDatabase(const ProcessDatabase&) = delete;
  ProcessDatabase& operator=(const ProcessDatabase&) = delete;

  void AttachQueue(SummaryQueue* queue);

  // --- host API: node and block names compare without case ---

  // Adds a node of at most 8 characters. `serial` 0 picks a fresh one; a
  // given serial must not be in use by another node. False when the name is
  // bad or taken, or the serial is in use.
  bool AddNode(const std::string& name, uint32_t serial = 0);
  // Gives the node a new serial number, as reloading its database would.
  // Returns the new serial, or 0 for an unknown node.
  uint32_t ReloadNode(const std::string& name);
  // The node's serial number, or 0 for an unknown node.
  uint32_t NodeSerial(const std::string& name) const;
  std::vector<NodeRecord> Nodes() const;

  // Adds a block of a tag of 1..30 characters. False when the node is
  // unknown, the tag is bad or taken on that node, the letter is 0, or
  // (letter, number) is taken on that node.
  bool AddBlock(const std::string& node, const std::string& tag, char letter, int16_t number);
  // The same, with the block's fields in kFieldNames order (one lookup for a
  // whole block, for loading a plant).
  bool AddBlock(const std::string& node, const std::string& tag, char letter, int16_t number,
                const std::array<int16_t, kFieldCount>& fields);
  std::optional<BlockRecord> FindBlock(const std::string& node, const std::string& tag) const;
  std::optional<BlockRecord> FindBlockAt(const std::string& node, char letter,
                                         int16_t number) const;
  // Every block of every node, nodes and blocks in the order added.
  std::vector<BlockRecord> Blocks() const;

  // Host access to a field, with no side effect on the queue. False (or
  // nothing) for an unknown node, tag or field.
  bool SetField(const std::string& node, const std::string& tag, const std::string& field,
                int16_t value);
  std::optional<int16_t> GetField(const std::string& node, const std::string& tag,
                                  const std::string& field) const;

  // The address that resolve gives a field, or nothing.
  std::optional<VSP> AddressOf(const std::string& node, const std::string& tag,
                               const std::string& field) const;

  // Forgets every node, block and group.
  void Reset();

  // --- faults and figures ---

  // Call-level faults, by the zuna call name ("zuna_group_add", ...).
  FaultInjector& faults() { return faults_; }
  // Entries of `node`/`tag`/`field` get `status` from the given step instead
  // of running it. An empty tag matches every tag. `times` < 0: until
  // cleared; otherwise for that many steps.
  void InjectEntryFault(const std::string& node, const std::string& tag, const std::string& field,
                        short status, Step step = Step::kAny, int times = -1);
  void ClearEntryFaults();

  DatabaseCounters Counters() const;
  void ResetCounters();
  std::size_t OpenGroups() const;
  // The option word most recently set on any group (0 before any).
  uint32_t LastOption() const;

  // --- DatabaseBackend ---
  zunagroup* GroupCreate(int kind, int flags) override;
  void GroupFree(zunagroup* group) override;
  unsigned int GroupAdd(zunagroup* group, const char* node, const char* tag, const char* field,
                        const VSP* vsp) override;
  void EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag, char* field,
                 VSP* vsp) override;
  unsigned short SerialCount(zunagroup* group) override;
  void SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) override;
  void SerialSet(zunagroup* group, const char* node, uint32_t serial) override;
  void SetOption(zunagroup* group, uint32_t option) override;
  void Resolve(zunagroup* group) override;
  void Read(zunagroup* group) override;
  void Write(zunagroup* group) override;
  short Execute(zunagroup* group) override;
  short EntryStatus(zunagroup* group, unsigned int entry) override;
  short EntryGet(zunagroup* group, unsigned int entry, short* value) override;
  short EntryPut(zunagroup* group, unsigned int entry, short value) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  FaultInjector faults_;
};

}  // namespace tolvane::node

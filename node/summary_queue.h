// The embedded alarm summary queue service.
//
// Holds the node's active alarms as SUMQMSG records, serves client handles
// with their own cursors over sorted views, and lets a host raise, update,
// acknowledge and clear alarms. Thread-safe: every public member may be
// called from any thread. No backend call and no bool-returning host call
// throws; running out of memory there is a status (kQueueNoMemory) or false.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "node/fault_injection.h"
#include "services/queue_backend.h"
#include "tolvane/records.h"

namespace tolvane::node {

using Clock = std::chrono::system_clock;

// Statuses of the queue service besides 0 (success).
inline constexpr short kQueueNoAlarm = 1;         // no such alarm
inline constexpr short kQueueNoHandle = 2;        // handle not open
inline constexpr short kQueueTooManyClients = 3;  // every client slot is taken
inline constexpr short kQueueNotOnAlarm = 4;   // cursor not on an alarm, or a move ran off the view
inline constexpr short kQueueNoMemory = 5;     // a list could not be allocated
inline constexpr short kQueueBadArgument = 6;  // e.g. a negative page count

// Most client handles open at once.
inline constexpr std::size_t kMaxClients = 64;
// Sort keys 0..14; anything above sorts as key 0.
inline constexpr int kSortKeys = 15;
// Most messages one Get returns: its count is 16-bit.
inline constexpr std::size_t kMaxListLength = 65535;

// What a host gives to raise an alarm.
struct AlarmInput {
  std::string physicalNode;  // at most 8 characters are kept
  std::string node;          // node whose database holds the tag
  std::string tag;
  char blockLetter = 'A';
  int16_t blockNumber = 0;
  int16_t priority = 7;     // id of the priority table (3 CRITICAL .. 9 INFO)
  int32_t msgType = 1;      // 8: operator message
  int32_t statusCode = -1;  // id of the alarm-status table; -1 none
  _AlmCanonicalValue value = ClearedValue();
  std::string description;
  std::vector<std::string> areas;  // at most 15 are kept
  int16_t extKind = 0;
  std::string ext1, ext2;
  std::array<uint8_t, 170> fieldBlock{};  // used when extKind is 1
  bool acknowledged = false;
};

// The names by which the node knows itself; node names compare without case,
// and the local name also answers to its aliases.
struct LocalNames {
  std::string name;
  std::string alias1;
  std::string alias2;
};

class SummaryQueue : public QueueBackend {
 public:
  SummaryQueue();
  ~SummaryQueue() override;

  // --- host API ---
  void SetLocalNames(const LocalNames& names);
  LocalNames GetLocalNames() const;

  // Raises an alarm for a block. An alarm already standing for the same
  // block (node, letter, number) is updated in place: its last-change time,
  // status, value and priority change and it becomes unacknowledged again.
  void Raise(const AlarmInput& alarm, Clock::time_point when = Clock::now());
  // Changes a standing alarm's status and value; false when none stands.
  bool Update(const std::string& node, char letter, int16_t number, int32_t statusCode,
              const _AlmCanonicalValue& value, Clock::time_point when = Clock::now());
  // Removes a standing alarm; false when none stands.
  bool Clear(const std::string& node, char letter, int16_t number);
  // Marks a standing alarm acknowledged; false when none stands.
  bool Acknowledge(const std::string& node, char letter, int16_t number);
  // Enters an operator message (type 8) for `node` (may be empty).
  void AddOperatorMessage(const std::string& text, const std::string& node,
                          Clock::time_point when = Clock::now());
  // Takes a standing alarm out of every client's view (shelves it) or puts it
  // back; it stays in the queue. False when none stands.
  bool SetSuppressed(const std::string& node, char letter, int16_t number, bool suppressed);
  // Every alarm, in time-in order (for saving a plant).
  std::vector<SUMQMSG> Snapshot() const;
  // The time-in of each alarm of Snapshot(), in the same order.
  std::vector<Clock::time_point> SnapshotTimesIn() const;
  // The time of last change of each alarm of Snapshot(), in the same order.
  std::vector<Clock::time_point> SnapshotTimesLast() const;
  // Replaces the whole queue (for loading a plant). A message without a
  // matching time point takes it from its date and time texts (local time),
  // or now when they do not read. Open handles stay open, their cursors
  // go home.
  void Restore(const std::vector<SUMQMSG>& messages, const std::vector<Clock::time_point>& timesIn,
               const std::vector<Clock::time_point>& timesLast);
  std::size_t Size() const;
  int32_t SequenceNumber() const;

  // --- for hosts that keep the queue's state elsewhere (a store, a stream) ---

  // One alarm as the queue holds it, with what its message does not carry.
  struct HeldAlarm {
    uint64_t id = 0;  // the queue's own, unique while the queue lives
    SUMQMSG msg{};
    Clock::time_point timeIn{};
    Clock::time_point timeLast{};
    bool suppressed = false;
  };
  // Told the id of every alarm or message that is added, changed or removed,
  // while the queue's lock is held: it must be quick and must not call back
  // into the queue. Restore tells nothing. An empty function stops it.
  using ChangeListener = std::function<void(uint64_t id)>;
  void SetChangeListener(ChangeListener listener);
  // The listener set now (empty when none), so that a second host can chain it.
  ChangeListener CurrentChangeListener() const;
  // What happened to one alarm or operator message, for counting: `before`
  // is null when it was added, `after` null when it was removed. Told while
  // the queue's lock is held (quick, no calls back into the queue), once per
  // change, and each change told moves the sequence number on by one;
  // Restore and Append, which load a plant, tell nothing (but move it on).
  struct Event {
    const SUMQMSG* before = nullptr;
    const SUMQMSG* after = nullptr;
    Clock::time_point timeIn{};
    bool suppressedBefore = false, suppressedAfter = false;
  };
  using EventListener = std::function<void(const Event&)>;
  // Any number of listeners, each told every event in the order they were
  // added. The token (never 0) removes one; once RemoveEventListener
  // returns, that listener is not called again. Neither may be called from
  // inside a listener. Removing a token that is not there does nothing.
  using ListenerToken = uint64_t;
  ListenerToken AddEventListener(EventListener listener);
  void RemoveEventListener(ListenerToken token);
  // Calls `fn` for every alarm and operator message, shelved ones too, in
  // no particular order, under the queue's lock: one pass for a tally.
  void Tally(const std::function<void(const SUMQMSG& msg, bool suppressed)>& fn) const;
  // The alarm of `id`; false when it is gone.
  bool Inspect(uint64_t id, HeldAlarm* out) const;
  // Adds an alarm or operator message as it stands, never merged into a
  // standing alarm of its block (for loading a plant). Its id, or 0 when
  // memory ran out.
  uint64_t Append(const AlarmInput& alarm, Clock::time_point timeIn, Clock::time_point timeLast,
                  bool suppressed = false);
  // Sets a block's alarm to `msg` as another queue holds it (a station
  // mirroring a node): a standing alarm is changed in place, so cursors on it
  // stay; otherwise it is added. An unacknowledged change sounds the horn
  // again. Nothing changes (and the sequence number stays) when the alarm
  // already stands so. False when memory ran out.
  bool Put(const SUMQMSG& msg, Clock::time_point timeIn, Clock::time_point timeLast,
           bool suppressed);
  // The id of the oldest alarm of a block, shelved or not; 0 when none.
  uint64_t IdOf(const std::string& node, char letter, int16_t number) const;
  bool HornEnabled() const;
  bool HornSilenced() const;
  std::size_t OpenHandles() const;

  FaultInjector& faults() { return faults_; }

  // --- QueueBackend ---
  short Open(unsigned short* handle, unsigned char* flag) override;
  short Close(unsigned short handle) override;
  short HornEnable() override;
  short HornDisable() override;
  short HornSquelch() override;
  short GetHeader(SUMQHDR* hdr) override;
  short Home(const SORT_CNTL& sort, unsigned short handle) override;
  short End(const SORT_CNTL& sort, unsigned short handle) override;
  short NextPage(const SORT_CNTL& sort, int count, unsigned short handle) override;
  short PrevPage(const SORT_CNTL& sort, int count, unsigned short handle) override;
  short Get(const SORT_CNTL& sort, unsigned short count, unsigned short handle, SUMQMSG** list,
            unsigned short* n) override;
  void FreeList(SUMQMSG* list) override;
  short Find(short number, char letter, const char* node, SUMQMSG* msg) override;
  short FindVisible(short number, char letter, const char* node, SUMQMSG* msg) override;
  short FindByTagname(const char* node, const char* tag, SUMQMSG* msg) override;
  short MarkAcknowledged(short number, char letter, const char* node,
                         unsigned short handle) override;
  short DeleteByPhysicalNode(const SORT_CNTL& sort, short number, char letter,
                             const char* physicalNode, unsigned short handle) override;
  bool CanVisit() const override { return true; }
  // Counts as a "sumqGet" call for fault injection.
  short Visit(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
              QueueRecordVisitor& visitor) override;
  bool CanWalk() const override { return true; }
  // A saved place holds the record's sort key, id, times and message, so a
  // walk resumes exactly after it even when the record has gone. Both count
  // as "sumqGet" calls for fault injection.
  short Walk(const SORT_CNTL& sort, const std::string& after, bool backward,
             QueueViewWalker& walker) override;
  short WalkShelved(QueueViewWalker& walker) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  FaultInjector faults_;
};

}  // namespace tolvane::node

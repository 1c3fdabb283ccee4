// A station: any program that embeds the library and shows the plant-wide
// alarm summary. It keeps its own ordered view of every node's alarms (the
// embedded queue, fed from the alarm stream), so fetches stay local; its
// horn and client handles are its own. Acknowledges, deletes, operator
// messages and database groups go to the node that owns them, by request
// with a timeout; a node that does not answer, or a server that refuses the
// station a command, gives failure statuses, never success.
//
// The subject is the authority: a message counts only when what its body
// says it is about is what its subject names (which the server ties to one
// node's user); anything else is dropped and counted (Status().rejected).
//
// A command either has a definite answer or is "unknown, checking" (23,
// 1724): then the station resolves it from the stream and the node
// (WaitOutcome), so nothing is reported failed and done later.
//
// Each daemon beats on its own subject; a node whose beat is older than
// staleAfterMs is stale (Status().nodes), and its commands fail with 24 /
// 1725. While no server is reachable the station keeps serving its last
// view and says so; on reconnect it catches up by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/connection.h"
#include "node/summary_queue.h"
#include "services/borvik.h"
#include "services/queue_backend.h"
#include "services/zuna.h"

namespace tolvane::nats {

struct StationOptions {
  ConnectOptions connect;
  std::string name;  // the station's name, sent with its operator messages
  // Per node request: longer than a daemon's confirmation window (2 s), so
  // an answer that is on its way is waited for.
  int requestTimeoutMs = 3500;
  int startTimeoutMs = 30000;  // Connect waits this long for a complete view
  int staleAfterMs = 3500;     // a node beating less recently is stale
  // How long an unknown outcome is checked before it stays unknown.
  int outcomeCheckMs = 30000;
};

// A node as its daemon's heartbeat shows it.
struct NodeLiveness {
  std::string node;          // node token
  bool stale = true;         // no beat for staleAfterMs, never one, or it said it stopped
  bool stopped = false;      // its daemon said it stopped
  int64_t ageMs = -1;        // since its last beat; -1: never heard
  uint64_t dropped = 0;      // messages its daemon dropped on its command subjects
  uint64_t unpublished = 0;  // changes its daemon had yet to store in the stream
  int wireMajor = 0, wireMinor = 0;
};

// A stream as the servers report it.
struct StreamHealth {
  std::string name;
  bool known = false;  // the servers answered
  int replicas = 0;    // configured
  int current = 0;     // replicas up to date, the leader included
  int offline = 0;     // replicas the leader cannot reach
  uint64_t lag = 0;    // the most any replica is behind the leader
  std::string leader;
  uint64_t lastSequence = 0;
};

struct StationStatus {
  bool connected = false;
  bool complete = false;  // the view holds everything the stream held when it was read
  // The server confirmed it has nothing more to deliver and the station
  // holds every message it delivered. False: the view may be partial.
  bool confirmed = false;
  std::size_t alarms = 0;
  int32_t sequence = 0;
  uint64_t lag = 0;           // messages the server had yet to deliver at the last one
  uint64_t applied = 0;       // stream messages applied since start
  uint64_t heldSequence = 0;  // the highest stream sequence applied
  // Followers replaced since start: read afresh (every subject's last
  // message) or resumed from where a lost one stopped.
  uint64_t rereads = 0, resumes = 0;
  // The stream was disturbed (a leader change, a lost replica, a resumed
  // follower): the view is read afresh once every replica is current.
  bool rereadDue = false;
  uint64_t rejected = 0;      // messages dropped: unreadable, or not about their subject
  std::map<std::string, uint64_t> rejectedBySource;  // node token -> count
  // Alarms shown as unreadable because their node writes a newer format.
  std::size_t newerFormat = 0;
  int newestMajor = 0;              // the newest format major met; 0: none newer
  std::size_t unknownOutcomes = 0;  // commands still being checked
  std::vector<NodeLiveness> nodes;
  std::vector<StreamHealth> streams;
  std::string server;                                    // the URL connected to
  std::chrono::system_clock::time_point lastChange{};    // of the view; epoch when none
  std::chrono::steady_clock::time_point offlineSince{};  // when not connected
};

enum class CommandOutcome { kDone, kFailed, kUnknown };

// An operator message as the journal stream holds it.
struct JournalEntry {
  std::chrono::system_clock::time_point time{};
  std::string node;     // the node that journalled it
  std::string station;  // the station that sent it
  std::string text;
  int flag = 0;
};

class Station {
 public:
  // Connects and reads the stream until the view is complete (or the start
  // timeout passes: then null with a message). A server that cannot serve
  // JetStream is left for the next one. Installs nothing.
  static std::unique_ptr<Station> Connect(const StationOptions& options, std::string* err);
  // Uninstalls the backends it installed.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Installs the queue, database and alarm-library backends into the
  // library; they stay until the station goes.
  void Install();

  QueueBackend& queue();
  DatabaseBackend& database();
  AlarmLibraryBackend& alarmLibrary();
  // The station's own ordered view, for reading what it holds.
  const node::SummaryQueue& view() const;
  // Told what happens to each alarm of the view (SummaryQueue::Event), on
  // the station's threads: for counting. Beside any other listener; the
  // token removes it (SummaryQueue::AddEventListener).
  node::SummaryQueue::ListenerToken AddViewListener(node::SummaryQueue::EventListener listener);
  void RemoveViewListener(node::SummaryQueue::ListenerToken token);

  StationStatus Status() const;
  // Waits until the view has caught up with the stream and the station is
  // connected.
  bool WaitCurrent(int timeoutMs);
  // True when the node's daemon beats (not stale).
  bool NodeAlive(const std::string& node) const;

  // What became of the last command about the block that was answered
  // "unknown, checking" (23, 1724): waits up to `timeoutMs` for it to be
  // resolved from the stream or the node (kUnknown when it was not).
  // Nothing when no command about the block was of unknown outcome.
  std::optional<CommandOutcome> WaitOutcome(const std::string& node, char letter, int16_t number,
                                            int timeoutMs);
  // Waits until no command of this station is of unknown outcome; false
  // when some still are after `timeoutMs`.
  bool WaitOutcomes(int timeoutMs);

  // The journal entries stored from `since` (all when unset) and before
  // `until`, oldest first. An entry counts only when it names the node of
  // its subject; others are dropped and counted (Status().rejected).
  bool ReadJournal(std::optional<std::chrono::system_clock::time_point> since,
                   std::optional<std::chrono::system_clock::time_point> until,
                   std::vector<JournalEntry>* out, std::string* err);

  struct Impl;

 private:
  explicit Station(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The one call for a program that embeds the library: connects as
// `station`, installs its backends and keeps them until the result goes.
// `credentials`: "user:password", a .creds file, or empty.
std::unique_ptr<Station> InstallBackends(const std::string& url, const std::string& station,
                                         const std::string& credentials, std::string* err);

// The same with a start timeout, for the command-line program.
std::unique_ptr<Station> ConnectStation(const std::string& url, const std::string& name,
                                        const std::string& credentials, int timeoutMs,
                                        std::string* err);

}  // namespace tolvane::nats

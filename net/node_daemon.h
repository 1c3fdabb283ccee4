// The core of `tolvane-node`: the only writer of one node's alarms. It
// publishes each alarm's whole state to the alarm stream (one subject per
// alarm, tombstone when it leaves), serves database groups and the queue
// commands acting on its alarms by request/reply on its own subjects,
// journals operator messages, and says it is alive on its own heartbeat
// subject.
//
// Everything that changes the node (commands, the simulator, loading) runs
// under work(); the daemon answers a command once what it changed is
// committed, saying whether the stream has stored it yet.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/connection.h"
#include "node/embedded_node.h"

namespace tolvane::nats {

struct StreamOptions {
  int replicas = 1;  // when the streams are made
  std::chrono::hours journalAge{24 * 30};
  // A node whose daemon stopped for good leaves the node stream after this.
  std::chrono::hours nodeAge{24 * 7};
};

struct DaemonOptions {
  std::string node;  // the node this daemon owns
  StreamOptions streams;
  // How long a command waits for its changes to be stored in the stream
  // before it answers "committed, not yet confirmed". Stations wait longer.
  int confirmTimeoutMs = 2000;
  int heartbeatMs = 1000;
  // Asked while the daemon waits at start (for the streams, say): true stops
  // the wait.
  std::function<bool()> stopRequested;
  // For metrics, on the daemon's threads (quick, no calls back): a batch
  // of `messages` stored in the stream `seconds` after it was taken up; a
  // command's wait for its changes to be stored (`confirmed` false when
  // it answered before they were).
  std::function<void(double seconds, std::size_t messages)> onPublished;
  std::function<void(double seconds, bool confirmed)> onConfirm;
};

struct DaemonCounters {
  uint64_t published = 0;  // alarm states and tombstones stored
  uint64_t commands = 0;   // requests answered
  uint64_t retries = 0;    // publish batches sent again after a failure
  uint64_t dropped = 0;    // messages on our command subjects that were not requests to us
  uint64_t skipped = 0;    // alarms the stream already held as they are, at start
  uint64_t unpublished = 0;  // changes not yet stored in the stream
};

class NodeDaemon {
 public:
  // REQUIRES: `conn` and `node` outlive the daemon; `node` holds the plant.
  NodeDaemon(Connection& conn, node::EmbeddedNode& node, DaemonOptions options);
  ~NodeDaemon();
  NodeDaemon(const NodeDaemon&) = delete;
  NodeDaemon& operator=(const NodeDaemon&) = delete;

  // Waits for the streams (making them when this user may), replaces what
  // the stream holds for this node with the node's truth (tombstones for
  // alarms it no longer has; alarms the stream holds as they are are not
  // sent again), then serves requests and beats. False with a message.
  bool Start(std::string* err);
  // Says it stopped on its heartbeat subject, then stops.
  void Stop();

  // Held around every change to the node made outside the daemon.
  std::mutex& work() { return work_; }
  // Called under work() after each command that changed the node (the
  // store commits here). A false return fails the command.
  void SetPersist(std::function<bool()> persist);
  // Called under work() with each operator message journalled.
  void SetJournalHook(std::function<void(const std::string& node, const std::string& text)> hook);

  // Waits until every change made so far is stored in the stream.
  bool WaitPublished(int timeoutMs);
  DaemonCounters Counters() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::mutex work_;
};

// Makes the alarm, journal and node streams when missing. False with a
// message; `refused` tells a user the server does not let make streams
// (only an admin may) from other failures.
bool EnsureStreams(Connection& conn, const StreamOptions& options, std::string* err,
                   bool* refused = nullptr);

// Removes the tombstones under `filter` (e.g. "tolvane.alarm.>") older than
// `age`: each subject's messages up to its tombstone, so a state published
// meanwhile stays. Needs a user allowed to purge (admin). The count removed
// goes to `purged`. False with a message.
bool AgeTombstones(Connection& conn, const std::string& filter, std::chrono::seconds age,
                   std::size_t* purged, std::string* err);

// Whether a reply subject is an inbox: commands come only as requests.
bool IsInboxSubject(std::string_view subject);

}  // namespace tolvane::nats

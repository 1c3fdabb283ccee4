// The core of `tolvane-node`: the only writer of one node's alarms. It
// publishes each alarm's whole state to the alarm stream (one subject per
// alarm, tombstone when it leaves), serves database groups and the queue
// commands acting on its alarms by request/reply on its own subjects, and
// journals operator messages.
//
// Everything that changes the node (commands, the simulator, loading) runs
// under work(); the daemon answers a command only once what it changed is
// stored in the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/connection.h"
#include "node/embedded_node.h"

namespace tolvane::nats {

struct DaemonOptions {
  std::string node;  // the node this daemon owns
  int replicas = 1;  // stream replicas, when this daemon creates the streams
  std::chrono::hours journalAge{24 * 30};
  // How long a command waits for its changes to be stored in the stream.
  int confirmTimeoutMs = 5000;
};

struct DaemonCounters {
  uint64_t published = 0;  // alarm states and tombstones stored
  uint64_t commands = 0;   // requests answered
  uint64_t retries = 0;    // publish batches sent again after a failure
};

class NodeDaemon {
 public:
  // REQUIRES: `conn` and `node` outlive the daemon; `node` holds the plant.
  NodeDaemon(Connection& conn, node::EmbeddedNode& node, DaemonOptions options);
  ~NodeDaemon();
  NodeDaemon(const NodeDaemon&) = delete;
  NodeDaemon& operator=(const NodeDaemon&) = delete;

  // Makes the streams if they are missing, replaces what the stream holds
  // for this node with the node's truth (tombstones for alarms it no longer
  // has), then serves requests. False with a message on failure.
  bool Start(std::string* err);
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

// Makes the alarm and journal streams when missing. False with a message.
bool EnsureStreams(jsCtx* js, int replicas, std::chrono::hours journalAge, std::string* err);

}  // namespace tolvane::nats

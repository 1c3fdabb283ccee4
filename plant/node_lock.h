// One writer per node of a plant store (docs/store.md, "One writer per
// node"). A program that keeps a node for a while (the node daemon, a field
// data source) holds the node's lock as long as it runs; a program that
// changes the node now and then (the command line) takes the same lock for
// the length of its command, and is refused while someone else holds it.
//
// The lock is flock(2) on a file beside the store,
// "<store>.node-<NODE>.lock", which the holder fills with who it is. The
// kernel releases it when the holder's process ends, however it ends; a
// file left behind by a crash is taken over by the next holder. Holders on
// one machine only: flock does not reach across network file systems.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::plant {

// Who holds a node, as the holder wrote it.
struct NodeHolder {
  int pid = 0;
  std::string program;  // e.g. "tolvane-node", "tolvane ack"
  // Where the node can be changed instead while it is held, e.g. the NATS
  // servers of the daemon ("nats://srv1:4222"); empty: nowhere.
  std::string contact;
  std::string since;  // ISO 8601 UTC
  // Holds the node while it runs (a daemon, a data source, `watch --save`),
  // not just for one command: others do not wait for it.
  bool longLived = false;
};

class NodeLock {
 public:
  // Takes `node` of the store at `storePath` without waiting long (a
  // moment, for another process only looking). Null when someone else holds
  // it: `holder` then gets who; or when the lock file cannot be made:
  // `err` says why and `holder` stays unset.
  static std::unique_ptr<NodeLock> TryAcquire(const std::string& storePath, const std::string& node,
                                              const NodeHolder& me,
                                              std::optional<NodeHolder>* holder, std::string* err);
  // As TryAcquire, waiting up to `wait` for the holder to go.
  static std::unique_ptr<NodeLock> Acquire(const std::string& storePath, const std::string& node,
                                           const NodeHolder& me, std::chrono::milliseconds wait,
                                           std::optional<NodeHolder>* holder, std::string* err);
  // Releases the node and removes the file.
  ~NodeLock();
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;

  const std::string& node() const { return node_; }
  const std::string& path() const { return path_; }

 private:
  NodeLock(int fd, std::string node, std::string path)
      : fd_(fd), node_(std::move(node)), path_(std::move(path)) {}
  int fd_;
  std::string node_;
  std::string path_;
};

// The lock file of `node` of the store: beside the store's real path, so
// that every name of one store finds the same file.
std::string NodeLockPath(const std::string& storePath, const std::string& node);

// Who holds `node` now; nothing when nobody does.
std::optional<NodeHolder> HolderOf(const std::string& storePath, const std::string& node);

// Takes every node of `nodes` or none, in one order whoever asks (two
// callers never wait for each other crosswise). A node held for one command
// is waited for, up to `wait`; one held by a long-lived holder is not. On a
// refusal `heldNode` and `holder` name the node and its holder; `err` says
// why otherwise.
bool AcquireAll(const std::string& storePath, std::vector<std::string> nodes, const NodeHolder& me,
                std::chrono::milliseconds wait, std::vector<std::unique_ptr<NodeLock>>* locks,
                std::string* heldNode, std::optional<NodeHolder>* holder, std::string* err);

// Removes the lock files of the store's nodes that nobody holds (left by
// holders that were killed). Any program opening the store may call it.
void SweepNodeLocks(const std::string& storePath);

// A holder description of this process.
NodeHolder ThisProcess(std::string program, std::string contact = {}, bool longLived = false);

}  // namespace tolvane::plant

// Where the web display's plant comes from: one embedded node with its
// manager and client handle, behind one lock, with the journal of who did
// what; or a station's view of the whole plant. The server never touches
// the plant but through a host.
//
// The library reaches one installed EmbeddedNode per process, so only one
// host may live in a process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "node/embedded_node.h"
#include "plant/plant.h"
#include "plant/plant_store.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "services/queue_backend.h"
#include "tolvane/alarm_view.h"

namespace tolvane::web {

using plant::TimePoint;

struct ShelvedAlarm {
  std::string node, tag, description;
  char letter = 0;
  int16_t number = 0;
  TimePoint until{};
  std::string reason, user;
};

// What a read or an action works with, valid during the call only.
class HostContext {
 public:
  virtual ~HostContext() = default;
  virtual CVeltAlmSummMgr& mgr() = 0;
  virtual short handle() = 0;
  // The queue the library reads (the node's, or a station's view).
  virtual QueueBackend& queue() = 0;
  virtual bool HornSilenced() = 0;
  // Actions only: shelve the block's alarm until `until` or end its shelve
  // (false when the node has none), and journal a line as the acting user.
  virtual bool Shelve(const std::string& node, char letter, int16_t number, TimePoint until,
                      const std::string& reason) = 0;
  virtual bool Unshelve(const std::string& node, char letter, int16_t number) = 0;
  virtual void Journal(const std::string& node, const std::string& text) = 0;
};

// Where the plant shown comes from, for every page to say.
struct HostSource {
  std::string kind;  // "demo" (built-in, in memory), "store" or "station"
  std::string name;  // the store's file or the station's name and server
  bool connected = true;  // a station reaching its server
  bool complete = true;   // a station's view holds what the stream held
  double offlineSeconds = 0;
  std::size_t alarms = 0;
  TimePoint lastChange{};  // of a station's view; epoch when unknown
  // A station's nodes whose daemons are not heard (their alarms may be
  // old): name and seconds since the last heartbeat, -1 never heard.
  std::vector<std::pair<std::string, long>> staleNodes;
};

class PlantHost {
 public:
  virtual ~PlantHost() = default;

  // Runs `fn` as a read of the node and the manager. Reads run side by side
  // and never wait for the store (its transactions, commits or a reload's
  // reading of it); they wait only while a change is applied in memory.
  virtual void Read(const std::function<void(HostContext&)>& fn) = 0;
  // Runs `fn` as `user`'s action, alone on the node; what the node sent
  // (operator messages) is journalled with the user's name. False with a
  // message when the change could not be kept (the node is then loaded
  // again from what was kept).
  virtual bool Act(const std::string& user, const std::function<void(HostContext&)>& fn,
                   std::string* err) = 0;

  // Changes whenever what a display shows may have changed: the queue's
  // sequence number, the journal, the shelves. Cheap; any thread.
  virtual uint64_t Version() = 0;
  // Exact counts of the view `filter` selects (AlarmView::Count), not
  // walked afresh for each page: a store host walks a filter's view once
  // and then keeps its counts current as the alarms change (a filter with
  // a date term it walks again after each change); a station's are kept
  // until the version changes. REQUIRES: called inside Read or Act.
  virtual short ViewCounts(HostContext& c, const std::string& filter, AlarmViewCounts* out) = 0;
  // The shelved alarms, as of the last change kept; never waits for the store.
  virtual std::vector<ShelvedAlarm> Shelved() = 0;
  // The newest `limit` journal entries of the last week, oldest first (read
  // on a connection of its own, so not behind a writer).
  virtual std::vector<plant::PlantLogEntry> Journal(std::size_t limit) = 0;
  virtual HostSource Source() = 0;
  // Shelving and the journal live in a plant store; a station has none.
  virtual bool HasStore() const = 0;
  // Called every ~200 ms by the server: ends shelves that are over, runs
  // the simulator, notices changes made elsewhere.
  virtual void Tick(TimePoint now) = 0;
};

struct HostOptions {
  double simulateRate = 0;  // alarm events per second; 0: no simulator
  uint32_t seed = 1;
  bool demo = false;  // the built-in demo plant: every page says so
  std::string name;   // the store's file, for the pages
  // Told how long each commit to the store took (metrics); under the
  // store's lock, not the node's.
  std::function<void(double seconds, bool ok)> onCommit;
  // Told of each node the host loads (at start and after every reload),
  // under the node's lock, before any change reaches it: a listener on
  // the old node's queue does not follow to the new one.
  std::function<void(node::EmbeddedNode&)> onNodeLoaded;
  // Told how long each reload that swapped in a new node held the node's
  // lock (figures); after it is released.
  std::function<void(double seconds)> onReload;
  // Tests: called with "reload" once a reload has read the store, with
  // "filled" once it has filled the new node or failed to (both before the
  // node is replaced), and with "commit" before each commit; all hold the
  // store's lock only, so a test may hold them to see readers go on.
  std::function<void(const char* stage)> pause;
};


// A host over a plant store: the store is loaded into the node once, each
// action runs in a write transaction with the acting user set on the
// store, and the node is loaded afresh when another program changed the
// store (read and filled into a new node while pages are served from the
// old one, then swapped in). Simulated events are committed as the user
// "simulator". Null with a message when the store cannot be loaded.
std::unique_ptr<PlantHost> MakeStoreHost(std::unique_ptr<plant::PlantStore> store,
                                         const HostOptions& options, std::string* err);

}  // namespace tolvane::web

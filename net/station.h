// A station: any program that embeds the library and shows the plant-wide
// alarm summary. It keeps its own ordered view of every node's alarms (the
// embedded queue, fed from the alarm stream), so fetches stay local; its
// horn and client handles are its own. Acknowledges, deletes, operator
// messages and database groups go to the node that owns them, by request
// with a timeout; a node that does not answer, or a server that refuses the
// station a command, gives failure statuses, never success.
//
// While no server is reachable the station keeps serving its last view
// and says so (Status); on reconnect it catches up by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "net/connection.h"
#include "node/summary_queue.h"
#include "services/borvik.h"
#include "services/queue_backend.h"
#include "services/zuna.h"

namespace tolvane::nats {

struct StationOptions {
  ConnectOptions connect;
  std::string name;             // the station's name, sent with its operator messages
  int requestTimeoutMs = 2000;  // per node request
  int startTimeoutMs = 30000;   // Connect waits this long for a complete view
};

struct StationStatus {
  bool connected = false;
  bool complete = false;  // the view holds everything the stream held when it was read
  std::size_t alarms = 0;
  int32_t sequence = 0;
  uint64_t lag = 0;      // messages the server had yet to deliver at the last one
  uint64_t applied = 0;  // stream messages applied since start
  uint64_t rejected = 0;  // messages dropped: unreadable, or not about their subject's alarm
  std::chrono::system_clock::time_point lastChange{};    // of the view; epoch when none
  std::chrono::steady_clock::time_point offlineSince{};  // when not connected
};

class Station {
 public:
  // Connects and reads the stream until the view is complete (or the start
  // timeout passes: then null with a message). Installs nothing.
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

  StationStatus Status() const;
  // Waits until the view has caught up with the stream and the station is
  // connected.
  bool WaitCurrent(int timeoutMs);

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

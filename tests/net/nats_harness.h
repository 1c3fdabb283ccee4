// Real nats-server processes and tolvane-node daemons for the deployment
// tests: loopback ports picked here, a temporary store, every process
// killed when its owner goes (and when this test process dies).
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "net/connection.h"
#include "net/station.h"

namespace tolvane::testing {

std::string ReadAll(const std::filesystem::path& path);
// True when nats-server can be run; otherwise `why` says what is missing.
bool HaveNatsServer(std::string* why);
// A free TCP port on 127.0.0.1.
int FreePort();
// Writes `userPassword` to a file only its owner can read, as programs take
// credentials; returns its path.
std::string CredentialsFile(const std::filesystem::path& dir, const std::string& userPassword);
// Runs `tolvane-node --make-streams` as `admin` (a credentials file, or
// empty); true when it made or found them.
bool MakeStreams(const std::filesystem::path& dir, const std::string& url,
                 const std::string& adminCredentials, int replicas = 1);

// A child process, killed (SIGKILL) when this object or the test process goes.
class Child {
 public:
  // Starts `args`; its stdout and stderr go to `logPath`.
  bool Start(const std::vector<std::string>& args, const std::string& logPath);
  // SIGTERM, then SIGKILL after `graceMs`.
  void Stop(int graceMs = 3000);
  void Kill();
  bool Running();
  // Waits until the log holds `text`.
  bool WaitForLog(const std::string& text, int timeoutMs);
  ~Child() { Kill(); }
  int pid() const { return pid_; }
  // How the process ended ("exited with code 3", "killed by signal 11"), or "".
  const std::string& ended() const { return ended_; }
  // Waits for the process to end; its exit code, or -1.
  int Wait(int timeoutMs);

 private:
  int pid_ = -1;
  std::string log_;
  std::string ended_;
};

class TempTree {
 public:
  TempTree();
  ~TempTree();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One nats-server with JetStream; optionally one of a cluster.
class NatsServer {
 public:
  // `extra`: more configuration (users, cluster block).
  NatsServer(const std::filesystem::path& dir, const std::string& name, std::string extra = "");
  bool Start();
  // The last Start failed because another process held one of its ports.
  bool PortTaken() const { return portTaken_; }
  void Stop() { child_.Stop(); }
  void Kill() { child_.Kill(); }
  // SIGSTOP / SIGCONT: a server that hangs.
  void Pause();
  void Resume();
  const std::string& name() const { return name_; }
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  int clusterPort() const { return clusterPort_; }
  void SetExtra(std::string extra) { extra_ = std::move(extra); }

 private:
  std::filesystem::path dir_;
  std::string name_;
  std::string extra_;
  int port_;
  int clusterPort_;
  bool started_ = false;
  bool portTaken_ = false;
  Child child_;
};

// A tolvane-node process.
class Daemon {
 public:
  Daemon(const std::filesystem::path& dir, std::string url, std::string node,
         std::vector<std::string> extra = {});
  bool Start(int timeoutMs = 30000);
  void Stop() { child_.Stop(); }
  void Kill() { child_.Kill(); }
  // SIGSTOP / SIGCONT: a daemon that hangs.
  void Pause();
  void Resume();
  bool Running() { return child_.Running(); }
  const std::string& node() const { return node_; }
  std::string log() const;

 private:
  std::filesystem::path logPath_;
  std::string url_, node_;
  std::vector<std::string> extra_;
  Child child_;
};

// An alarm as compared between a node and a station.
struct AlarmFact {
  std::string subject;
  int ack = 0;
  int status = 0;
  auto operator<=>(const AlarmFact&) const = default;
};

// What the node daemon of `node` holds, asked of the daemon itself.
// `lastChange`, when given, gets each alarm's time of last change.
bool NodeTruth(nats::Connection& conn, const std::string& node, std::vector<AlarmFact>* out,
               std::map<std::string, std::chrono::system_clock::time_point>* lastChange = nullptr);
// What a station's view holds of `node` (every node when empty).
std::vector<AlarmFact> StationFacts(const nats::Station& s, const std::string& node = "");
// Waits until the station's view of each node has equalled that node's
// truth, each node at an instant of its own.
bool WaitConverged(nats::Connection& conn, const nats::Station& s,
                   const std::vector<std::string>& nodes, int timeoutMs, std::string* diff);

std::unique_ptr<nats::Station> OpenStation(const std::string& url, const std::string& name,
                                           const std::string& credentials = "",
                                           int requestTimeoutMs = 3500);

}  // namespace tolvane::testing

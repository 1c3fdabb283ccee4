// The operations listener of a Tolvane program: /metrics (Prometheus text,
// from a registry of prometheus-cpp), /healthz (answers while the process
// does) and /readyz (200 when every readiness check passes; otherwise 503
// with one line per failing check). No sign-in: bind it to loopback or to
// a network only the monitoring reaches (docs/metrics.md).
#pragma once

#include <prometheus/registry.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CivetServer;

namespace tolvane::ops {

// A check returns an empty string when it passes, else why it fails.
using ReadyCheck = std::function<std::string()>;

class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();  // stops
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  prometheus::Registry& registry() { return *registry_; }
  // Run before every scrape, one at a time: brings gauges up to date from
  // the program's state. Add before Start.
  void OnScrape(std::function<void()> refresh);
  // Named readiness checks, asked on every /readyz. Add before Start.
  void AddReadyCheck(std::string name, ReadyCheck check);

  // Serves on HOST:PORT ("127.0.0.1:9464", "[::1]:0"; port 0 picks one).
  // False with a message when it cannot.
  bool Start(const std::string& listen, std::string* err);
  void Stop();
  int port() const { return port_; }

  // What the endpoints answer, for the handlers and for tests.
  std::string Scrape();
  // True when ready; `reasons` gets "name: why" a line for each failing check.
  bool Ready(std::string* reasons);

 private:
  std::shared_ptr<prometheus::Registry> registry_;
  std::vector<std::function<void()>> refreshers_;
  std::vector<std::pair<std::string, ReadyCheck>> checks_;
  std::mutex scrapeM_;
  struct Handlers;
  std::unique_ptr<Handlers> handlers_;
  std::unique_ptr<CivetServer> server_;
  int port_ = 0;
};

// Splits "HOST:PORT" ("[::1]:9464" for IPv6); false when it does not read.
// The host must be given: there is no listening on every address by default.
bool SplitHostPort(const std::string& listen, std::string* host, int* port);

}  // namespace tolvane::ops

// The web display's HTTP server: the page, the JSON API (web/api.h), sign-in
// and sessions, server-sent events when the host's version changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "web/plant_host.h"
#include "web/time_display.h"

namespace tolvane::web {

struct ServerOptions {
  // HOST:PORT; port 0 picks a free one (see WebServer::port()).
  std::string listen = "127.0.0.1:8080";
  std::string usersFile = "tolvane-users";
  // HTTPS when both are given (PEM files).
  std::string certFile;
  std::string keyFile;
  // Mark the session cookie Secure without serving HTTPS ourselves (behind
  // a proxy that does).
  bool secureCookie = false;
  std::chrono::seconds sessionIdle{std::chrono::hours(8)};
  std::chrono::seconds sessionLifetime{std::chrono::hours(24)};
  // Failed sign-ins allowed before the waits start growing: for one name
  // from one address, for one name from anywhere, from one address for
  // any names. A count ends `signInWindow` after its last failure.
  int signInFreePair = 4;
  int signInFreeName = 20;
  int signInFreeAddress = 100;
  std::chrono::seconds signInWindow{900};
  int hashWorkers = 2;   // passwords hashed at once (each takes tens of MiB) ...
  int hashQueue = 32;    // ... and sign-ins waiting for one; more get 503
  // Names the Host header may carry (without the port), besides the
  // listening address and, on loopback, localhost.
  std::vector<std::string> hostNames;
  std::size_t maxBodyBytes = 16 * 1024;
  std::chrono::milliseconds poll{200};  // how often the host's version is read
  // API requests (store reads, filters, actions) run on `workers` threads,
  // at most `workQueue` more waiting; past that the answer is 503. Pages,
  // assets and live pages take no worker.
  int workers = 4;
  int workQueue = 64;
  // Open connections in all (live pages and idle ones included) and from
  // one address. Behind a proxy every browser has the proxy's address.
  int maxConnections = 1024;
  int maxPerAddress = 64;
  // Bounds on slow clients, before any sign-in: a request's line and
  // headers must be in within `headerTimeout` of the connection being
  // ready for it, its body within `bodyTimeout` of the headers, and a
  // connection doing nothing closes after `idleTimeout`. The request line
  // and headers take at most `maxHeaderBytes` (414 or 431 past it).
  std::chrono::seconds headerTimeout{10};
  std::chrono::seconds bodyTimeout{10};
  std::chrono::seconds idleTimeout{5};
  std::size_t maxHeaderBytes = 32 * 1024;
  // How the page shows times; the session answer tells the page.
  TimeDisplay times;
};

// What the server has done since it started, for its metrics.
struct WebStats {
  std::size_t sessions = 0;         // signed-in sessions alive now
  std::size_t livePages = 0;        // open event streams now
  std::size_t connections = 0;      // open connections now
  std::uint64_t signInsRefused = 0;  // wrong passwords, unknown names, limited
  std::map<int, std::uint64_t> requestsByStatus;  // HTTP status -> answered
};

class WebServer {
 public:
  WebServer(const ServerOptions& options, PlantHost& host);
  ~WebServer();  // stops
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Reads the users file, binds and serves on threads of its own. False
  // with a message a person can act on.
  bool Start(std::string* err);
  // Stops serving; open event streams end. Safe to call twice.
  void Stop();
  int port() const;
  bool https() const;
  WebStats Stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Splits "HOST:PORT" ("[::1]:8080" for IPv6); false when it does not read.
bool SplitListen(const std::string& listen, std::string* host, int* port);

}  // namespace tolvane::web

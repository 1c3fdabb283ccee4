#include "tools/web_commands.h"

#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <ctime>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>

#include "ops/alarm_metrics.h"
#include "ops/event_log.h"
#include "ops/metrics_server.h"
#include "ops/service_notify.h"
#include "ops/store_metrics.h"
#include "ops/web_metrics.h"
#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/config_commands.h"
#include "web/plant_host.h"
#include "web/station_host.h"
#include "web/server.h"
#include "web/time_display.h"
#include "web/users.h"
#ifdef TOLVANE_WITH_FIELD
#include "field/field_host.h"
#include "ops/field_metrics.h"
#include "tools/field_commands.h"
#endif
#ifdef TOLVANE_WITH_NATS
#include "ops/nats_metrics.h"
#endif

namespace tolvane::cli {

struct WebCommands::Options {
  const GlobalOptions* global = nullptr;
  CLI::App* root = nullptr;
  CLI::App* serve = nullptr;
  std::string config;
  CLI::App* userAdd = nullptr;
  web::ServerOptions server;
  double simulate = 0;
  uint32_t seed = 1;
  double sessionHours = 8;
  std::string userName;
  std::string role;
  bool passwordStdin = false;
  std::string sources;
  std::string metricsListen;
  std::string timeZone = "local";
  std::string dateFormat = "iso";
};

namespace {

// Reads a password from the terminal without echo, or one line of stdin.
bool ReadPassword(bool fromStdin, std::string* password) {
  bool tty = !fromStdin && isatty(STDIN_FILENO);
  termios saved{};
  if (tty) {
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  auto ask = [&](const char* prompt, std::string* out) {
    if (tty) std::cerr << prompt << std::flush;
    bool ok = static_cast<bool>(std::getline(std::cin, *out));
    if (tty) std::cerr << "\n";
    return ok;
  };
  std::string again;
  bool ok = ask("Password: ", password) && (!tty || ask("Again: ", &again));
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (ok && tty && again != *password) {
    std::cerr << "tolvane: error: the two passwords differ\n";
    return false;
  }
  if (!ok) std::cerr << "tolvane: error: no password given\n";
  return ok;
}

int Serve(WebCommands::Options& o);

}  // namespace

WebCommands::WebCommands(CLI::App& app, const GlobalOptions* global)
    : o_(std::make_unique<Options>()) {
  Options& o = *o_;
  o.global = global;
  o.root = &app;
  o.serve = app.add_subcommand("serve", "serve the alarm summary to browsers (docs/web.md)");
  o.serve->add_option("--config", o.config,
                      "a TOML file of serve's options (docs/configuration.md); the command line "
                      "wins");
  o.serve->add_option("--listen", o.server.listen, "HOST:PORT (default 127.0.0.1:8080)")
      ->check([](const std::string& v) -> std::string {
        std::string host;
        int port = 0;
        return web::SplitListen(v, &host, &port) ? "" : "HOST:PORT, such as 127.0.0.1:8080";
      });
  o.serve->add_option("--users", o.server.usersFile,
                      "users file (default ./tolvane-users; `tolvane user add` writes it)");
  o.serve->add_option("--cert", o.server.certFile, "TLS certificate (PEM): serve HTTPS");
  o.serve->add_option("--key", o.server.keyFile, "TLS private key (PEM)");
  o.serve->add_option("--host-name", o.server.hostNames,
                      "a name the server is reached by (the Host header), besides the listening "
                      "address; repeat for more");
  o.serve->add_flag("--secure-cookie", o.server.secureCookie,
                    "mark the session cookie Secure (behind a proxy that serves HTTPS)");
  o.serve->add_option("--simulate", o.simulate, "simulate RATE alarm events per second")
      ->check(CLI::Range(0.0, 1000.0));
  o.serve->add_option("--seed", o.seed, "simulator seed");
#ifdef TOLVANE_WITH_FIELD
  o.serve->add_option("--sources", o.sources, "feed the --node store from field sources");
#endif
  o.serve->add_option("--metrics-listen", o.metricsListen,
                      "serve /metrics, /healthz and /readyz on HOST:PORT (default: off; "
                      "docs/metrics.md)");
  o.serve
      ->add_option("--max-connections", o.server.maxConnections,
                   "open connections in all, live pages included (default 1024)")
      ->check(CLI::Range(1, 1000000));
  o.serve
      ->add_option("--max-per-address", o.server.maxPerAddress,
                   "open connections from one address (default 64; behind a proxy every browser "
                   "has the proxy's address)")
      ->check(CLI::Range(1, 1000000));
  o.serve
      ->add_option("--workers", o.server.workers,
                   "threads answering API requests (default 4; live pages take none)")
      ->check(CLI::Range(1, 256));
  o.serve
      ->add_option("--time-zone", o.timeZone,
                   "show the page's times in local (the server's zone, default), utc or a fixed "
                   "offset +HH:MM / -HH:MM; always with the offset")
      ->check([](const std::string& v) {
        web::TimeDisplay t;
        std::string err;
        return web::ParseTimeZone(v, &t, &err) ? std::string() : err;
      });
  o.serve
      ->add_option("--date-format", o.dateFormat,
                   "iso (2026-12-09 14:03:07 +01:00, default) or iso-t "
                   "(2026-12-09T14:03:07+01:00)")
      ->check([](const std::string& v) {
        web::TimeDisplay t;
        std::string err;
        return web::ParseDateFormat(v, &t, &err) ? std::string() : err;
      });
  o.serve
      ->add_option("--session-hours", o.sessionHours,
                   "sign out after this many hours without a request (default 8)")
      ->check(CLI::Range(0.01, 24.0 * 30));

  CLI::App* user = app.add_subcommand("user", "manage the web display's users");
  user->require_subcommand(1);
  o.userAdd = user->add_subcommand("add", "add a user, or change a user's role and password");
  o.userAdd->add_option("NAME", o.userName, "user name")->required();
  o.userAdd->add_option("--role", o.role, "operator (may act) or viewer (sees only)")
      ->required()
      ->check(CLI::IsMember({"operator", "viewer"}));
  o.userAdd->add_option("--users", o.server.usersFile, "users file (default ./tolvane-users)");
  o.userAdd->add_flag("--password-stdin", o.passwordStdin,
                      "read the password as one line of standard input");
}

WebCommands::~WebCommands() = default;

bool WebCommands::Run(int* exitCode) {
  Options& o = *o_;
  if (o.serve->parsed()) {
    if (!o.config.empty() && !ApplyConfigOrSay(o.config, ServeConfigKeys(*o.root, *o.serve))) {
      *exitCode = kExitUsage;
      return true;
    }
    std::string err;
    if (!web::ParseTimeZone(o.timeZone, &o.server.times, &err) ||
        !web::ParseDateFormat(o.dateFormat, &o.server.times, &err)) {
      std::cerr << "tolvane: error: " << err << "\n";
      *exitCode = kExitUsage;
      return true;
    }
    *exitCode = Serve(o);
    return true;
  }
  if (!o.userAdd->parsed()) return false;
  std::string password;
  if (!ReadPassword(o.passwordStdin, &password)) {
    *exitCode = kExitUsage;
    return true;
  }
  std::string err;
  if (!web::AddUser(o.server.usersFile, o.userName, *web::ParseRole(o.role), password, &err)) {
    std::cerr << "tolvane: error: " << err << "\n";
    *exitCode = kExitFailed;
    return true;
  }
  std::cout << "User " << o.userName << " (" << o.role << ") written to " << o.server.usersFile
            << "\n";
  *exitCode = kExitOk;
  return true;
}

namespace {

// Serves until SIGINT or SIGTERM, telling the service manager when it
// listens and when it stops, with the metrics listener beside the web
// server when asked for. `poll` runs about once a second meanwhile.
int RunService(WebCommands::Options& o, web::PlantHost& host, ops::MetricsServer& metrics,
               const std::function<void()>& poll = {}) {
  const web::ServerOptions& options = o.server;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a browser gone mid-answer is not our end
  web::WebServer server(options, host);
  std::string err;
  if (!server.Start(&err)) {
    ops::Events().Error("listen_failed", {{"listen", options.listen}, {"reason", err}});
    return 1;
  }
  std::optional<ops::WebMetrics> webMetrics;
  if (!o.metricsListen.empty()) {
    webMetrics.emplace(metrics.registry());
    metrics.OnScrape([&] { webMetrics->Refresh(server.Stats()); });
    if (!metrics.Start(o.metricsListen, &err)) {
      ops::Events().Error("metrics_listen_failed",
                          {{"listen", o.metricsListen}, {"reason", err}});
      return 1;
    }
    std::cerr << "tolvane: metrics on port " << metrics.port() << "\n";
  }
  std::string address;
  int port = 0;
  web::SplitListen(options.listen, &address, &port);
  std::string url = std::string(server.https() ? "https" : "http") + "://" +
                    (address.find(':') != std::string::npos ? "[" + address + "]" : address) +
                    ":" + std::to_string(server.port()) + "/";
  std::cerr << "tolvane: serving the alarm summary on " << url << " (Ctrl-C stops)\n";
  ops::Events().Info("ready", {{"url", url}});
  ops::NotifyReady("serving on " + url);
  ops::Watchdog watchdog;
  timespec tick{1, 0};
  if (watchdog.enabled() && watchdog.period() < std::chrono::seconds(1)) {
    tick = {0, static_cast<long>(watchdog.period().count()) * 1000};
  }
  while (sigtimedwait(&stop, nullptr, &tick) < 0) {
    watchdog.Tick();
    if (poll) poll();
    ops::Events().Flush();
  }
  ops::NotifyStopping();
  ops::Events().Info("stopping", {{"url", url}});
  metrics.Stop();
  server.Stop();
  std::cerr << "tolvane: stopped\n";
  ops::Events().Flush();
  ops::Events().Info("stopped", {{"url", url}});
  return 0;
}

#ifdef TOLVANE_WITH_NATS
// The plant the station sees, acted on through the owning nodes.
int ServeStation(WebCommands::Options& o) {
  const GlobalOptions& g = *o.global;
  if (o.simulate > 0) {
    std::cerr << "tolvane: error: --simulate needs a plant store; a station shows the nodes' own\n";
    return kExitUsage;
  }
  node::EmbeddedNode node;  // text, settings and the other local services
  node.LoadSettings();
  StationFlags flags{g.natsUrl, g.station, g.credentials, 10000};
  std::string err;
  std::unique_ptr<nats::Station> station = OpenStationSession(flags, &err);
  if (!station) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitFailed;
  }
  nats::Station& st = *station;
  ops::MetricsServer metrics;
  ops::AlarmMetrics alarmMetrics(metrics.registry(), flags.name);
  ops::StationMetrics stationMetrics(metrics.registry(), flags.name);
  node::SummaryQueue::ListenerToken listening = 0;
  if (!o.metricsListen.empty()) {
    listening = st.AddViewListener([&](const auto& e) { alarmMetrics.OnEvent(e); });
    metrics.OnScrape([&] {
      alarmMetrics.Refresh(st.view());
      stationMetrics.Refresh(st.Status());
    });
    metrics.AddReadyCheck("nats", [&] { return ops::StationNotReady(st.Status()); });
  }
  // The station outlives the metrics its view tells.
  std::shared_ptr<void> unlisten(nullptr, [&](void*) { st.RemoveViewListener(listening); });
  auto status = [&st, flags] {
    nats::StationStatus now = st.Status();
    web::HostSource s;
    s.kind = "station";
    s.name = flags.name + " on " + flags.url;
    s.connected = now.connected;
    s.complete = now.complete;
    if (!now.connected) {
      s.offlineSeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - now.offlineSince).count();
    }
    s.alarms = now.alarms;
    s.lastChange = now.lastChange;
    for (const nats::NodeLiveness& n : now.nodes) {
      // Whole seconds, so that the page changes once a second, not per beat.
      if (n.stale) s.staleNodes.emplace_back(n.node, n.ageMs < 0 ? -1L : long(n.ageMs / 1000));
    }
    return s;
  };
  web::ViewChanges changes;
  changes.add = [&st](node::SummaryQueue::EventListener l) {
    return st.AddViewListener(std::move(l));
  };
  changes.remove = [&st](node::SummaryQueue::ListenerToken t) { st.RemoveViewListener(t); };
  std::unique_ptr<web::PlantHost> host = web::MakeStationHost(st.view(), status, &err, changes);
  if (!host) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitFailed;
  }
  o.server.sessionIdle = std::chrono::seconds(static_cast<long>(o.sessionHours * 3600));
  // Connection loss and regain, as the station sees them.
  bool connected = true;
  auto watchConnection = [&] {
    bool now = st.Status().connected;
    if (now == connected) return;
    connected = now;
    if (now) {
      ops::Events().Info("nats_reconnected", {{"station", flags.name}});
    } else {
      ops::Events().Warn("nats_disconnected", {{"station", flags.name}});
    }
  };
  int rc = RunService(o, *host, metrics, watchConnection);
  host.reset();  // its client handle goes before the station's backends
  return rc == 0 ? kExitOk : kExitFailed;
}
#endif

int Serve(WebCommands::Options& o) {
  if (o.global->IsStation()) {
#ifdef TOLVANE_WITH_NATS
    return ServeStation(o);
#else
    std::cerr << "tolvane: error: this tolvane was built without the plant-wide deployment\n";
    return kExitUsage;
#endif
  }
  plant::StoreError storeErr;
  std::unique_ptr<plant::PlantStore> store;
  const bool demo = o.global->nodeFile.empty();
  // Made before the host, whose node reports to them.
  ops::MetricsServer metrics;
  ops::AlarmMetrics alarmMetrics(metrics.registry(), demo ? "demo" : "local");
  std::optional<ops::StoreMetrics> storeMetrics;
  if (!demo) storeMetrics.emplace(metrics.registry(), o.global->nodeFile);
  if (demo) {
    plant::DemoOptions demo;
    demo.now = plant::Clock::now();
    store = plant::PlantStore::InMemory(plant::MakeDemoPlant(demo), &storeErr);
  } else {
    store = plant::PlantStore::Open(o.global->nodeFile, &storeErr);
  }
  if (!store) {
    std::cerr << "tolvane: error: " << storeErr.message << "\n";
    return storeErr.kind == plant::StoreError::Kind::kMissing ? kExitNodeFileMissing
                                                              : kExitNodeFileInvalid;
  }
  web::HostOptions hostOptions;
  hostOptions.simulateRate = o.simulate;
  hostOptions.seed = o.seed;
  hostOptions.demo = demo;
  hostOptions.name = o.global->nodeFile;
  if (storeMetrics && !o.metricsListen.empty()) {
    hostOptions.onCommit = [&](double s, bool ok) { storeMetrics->ObserveCommit(s, ok); };
  }
  // The token of the listener on the node loaded last (under the node's lock).
  node::SummaryQueue::ListenerToken listening = 0;
  if (!o.metricsListen.empty()) {
    hostOptions.onNodeLoaded = [&](node::EmbeddedNode& n) {
      listening = n.queue().AddEventListener([&](const auto& e) { alarmMetrics.OnEvent(e); });
    };
  }
  std::string err;
  std::unique_ptr<web::PlantHost> host = web::MakeStoreHost(std::move(store), hostOptions, &err);
  if (!host) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitNodeFileInvalid;
  }
  o.server.sessionIdle = std::chrono::seconds(static_cast<long>(o.sessionHours * 3600));
#ifdef TOLVANE_WITH_FIELD
  std::unique_ptr<IngestProcess> ingest;
  if (!o.sources.empty()) {
    if (o.global == nullptr || o.global->nodeFile.empty()) {
      std::cerr << "tolvane: error: serve --sources needs a plant store (--node FILE)\n";
      return kExitUsage;
    }
    if (!(ingest = StartIngest(o.global->nodeFile, o.sources, &err))) {
      std::cerr << "tolvane: error: " << err << "\n";
      return kExitUsage;
    }
  }
#endif
  // The host's queue is the node's own.
  auto queueOf = [](web::HostContext& c) { return dynamic_cast<node::SummaryQueue*>(&c.queue()); };
  if (!o.metricsListen.empty()) {
    metrics.OnScrape([&] {
      host->Read([&](web::HostContext& c) {
        if (node::SummaryQueue* q = queueOf(c)) alarmMetrics.Refresh(*q);
      });
      if (storeMetrics) storeMetrics->Refresh();
    });
    if (storeMetrics) metrics.AddReadyCheck("store", [&] { return storeMetrics->Writable(); });
  }
#ifdef TOLVANE_WITH_FIELD
  // The field points of the ingest beside us, as it last told them; while
  // it tells nothing (ended, hung) its sources count as not connected.
  std::optional<ops::FieldMetrics> fieldMetrics;
  std::mutex fieldM;
  field::FieldStatus fieldLast;
  std::string fieldWhy;
  auto readField = [&] {
    std::lock_guard lock(fieldM);
    field::FieldStatus now;
    if (ingest->Status(&now, &fieldWhy)) {
      fieldLast = std::move(now);
      fieldWhy.clear();
    } else {
      for (field::DriverStatus& d : fieldLast.drivers) d.connected = false;
    }
    return std::pair(fieldLast, fieldWhy);
  };
  if (ingest && !o.metricsListen.empty()) {
    fieldMetrics.emplace(metrics.registry());
    metrics.OnScrape([&] { fieldMetrics->Refresh(readField().first); });
    metrics.AddReadyCheck("field", [&] {
      auto [status, why] = readField();
      return why.empty() ? ops::FieldNotReady(status) : why;
    });
  }
#endif
  std::function<void()> poll;
#ifdef TOLVANE_WITH_FIELD
  // An ingest that ends leaves the store unfed: said once, as an event.
  bool ingestEnded = false;
  if (ingest) {
    poll = [&] {
      std::string why;
      if (!ingestEnded && ingest->Ended(&why)) {
        ingestEnded = true;
        ops::Events().Error("ingest_ended", {{"sources", o.sources}, {"reason", why}});
      }
    };
  }
#endif
  int rc = RunService(o, *host, metrics, poll);
  if (!o.metricsListen.empty()) {
    host->Read([&](web::HostContext& c) {
      if (node::SummaryQueue* q = queueOf(c)) q->RemoveEventListener(listening);
    });
  }
  return rc == 0 ? kExitOk : kExitFailed;
}

}  // namespace

}  // namespace tolvane::cli

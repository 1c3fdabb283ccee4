// tolvane-node: the daemon of one control node in the plant-wide
// deployment (docs/deployment.md). It holds its node of the plant store (no
// other program changes it meanwhile), publishes the node's alarms to the
// alarm stream, beats, and serves requests for them until it is stopped
// (SIGINT/SIGTERM). With --make-streams or --age-tombstones it does that
// administration instead and exits.
#include <CLI/CLI.hpp>
#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "net/node_daemon.h"
#include "net/protocol.h"
#include "plant/demo_plant.h"
#include "plant/node_lock.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "plant/simulator.h"
#include "ops/alarm_metrics.h"
#include "ops/config_file.h"
#include "ops/event_log.h"
#include "ops/metrics_server.h"
#include "ops/nats_metrics.h"
#include "ops/service_notify.h"
#include "ops/store_metrics.h"
#include "tools/node_options.h"
#ifdef TOLVANE_WITH_FIELD
#include "field/node_sources.h"
#include "ops/field_metrics.h"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}
volatile std::sig_atomic_t g_hangup = 0;
void OnHangup(int) {
  g_hangup = 1;
}

// Exit codes (docs/deployment.md).
constexpr int kExitUsage = 2;
constexpr int kExitPlant = 2;
constexpr int kExitServers = 3;
constexpr int kExitHeld = 4;  // another program holds the node

// "7d", "12h", "30m", "45s".
std::optional<std::chrono::seconds> ParseAge(const std::string& text) {
  if (text.size() < 2) return std::nullopt;
  long n = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i])) || n > 100000000) return std::nullopt;
    n = n * 10 + (text[i] - '0');
  }
  switch (text.back()) {
    case 'd':
      return std::chrono::seconds(n * 86400);
    case 'h':
      return std::chrono::seconds(n * 3600);
    case 'm':
      return std::chrono::seconds(n * 60);
    case 's':
      return std::chrono::seconds(n);
    default:
      return std::nullopt;
  }
}

// Server URLs as a holder's contact: without any user information.
std::string Contact(const std::string& urls) {
  std::string out;
  for (std::string u : tolvane::nats::SplitUrls(urls)) {
    std::size_t scheme = u.find("://");
    std::size_t at = u.find('@');
    if (at != std::string::npos)
      u.erase(scheme == std::string::npos ? 0 : scheme + 3,
              at + 1 - (scheme == std::string::npos ? 0 : scheme + 3));
    out += (out.empty() ? "" : ",") + u;
  }
  return out;
}

bool SameName(const std::string& a, const std::string& b) {
  return tolvane::nats::NodeToken(a) == tolvane::nats::NodeToken(b);
}

// The part of a plant one node's daemon holds: that node, marked local,
// with its blocks, alarms and log.
tolvane::plant::Plant NodePart(const tolvane::plant::Plant& plant, const std::string& name) {
  using namespace tolvane::plant;
  Plant out;
  out.hornEnabled = plant.hornEnabled;
  for (PlantNode n : plant.nodes) {
    if (!SameName(n.name, name)) continue;
    n.local = true;
    out.nodes.push_back(n);
  }
  for (const PlantBlock& b : plant.blocks) {
    if (SameName(b.node, name)) out.blocks.push_back(b);
  }
  for (const PlantAlarm& a : plant.alarms) {
    if (a.msgType != 8 && SameName(a.node, name)) out.alarms.push_back(a);
  }
  for (const PlantLogEntry& e : plant.log) {
    if (SameName(e.node, name)) out.log.push_back(e);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tolvane;
  CLI::App app{"tolvane-node: one control node's daemon in the plant-wide deployment"};
  cli::NodeDaemonOptions options;
  cli::AddNodeDaemonOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  // The configuration file fills in what the command line left out.
  if (!options.config.empty()) {
    std::vector<ops::ConfigProblem> problems;
    if (!ops::ApplyConfigFile(options.config, ops::KeysOf({&app}), &problems)) {
      for (const ops::ConfigProblem& p : problems) {
        ops::Events().Log(ops::Level::kError, "config_invalid",
                          {{"at", p.Where()}, {"reason", p.reason}},
                          p.Text());
      }
      return kExitUsage;
    }
  }
  std::string& url = options.url;
  std::string& nodeName = options.nodeName;
  std::string& credentialsArg = options.credentials;
  std::string& caFile = options.caFile;
  std::string& plantFile = options.plantFile;
  std::string& storePath = options.storePath;
  std::string& tombstoneAge = options.tombstoneAge;
  int& demoTags = options.demoTags;
  int& demoNodes = options.demoNodes;
  uint32_t& seed = options.seed;
  double& simulate = options.simulate;
  int& replicas = options.replicas;
  bool& makeStreams = options.makeStreams;
  int& heartbeatMs = options.heartbeatMs;
  std::string& sourcesFile = options.sourcesFile;
  std::string& metricsListen = options.metricsListen;
  // Failures a supervisor sees as one event line each (exit codes above).
  auto fail = [&](const char* event, const std::string& why, int code) {
    ops::Events().Error(event, {{"node", nodeName}, {"reason", why}});
    return code;
  };
#ifdef TOLVANE_WITH_FIELD
  std::unique_ptr<field::NodeSources> sources;
  if (!sourcesFile.empty()) sources = std::make_unique<field::NodeSources>(sourcesFile, nodeName);
  // The sources' blocks are made before the node loads.
  auto prepare = [&](plant::PlantStore* s, plant::Plant* p) {
    std::vector<std::string> errors;
    if (!sources || sources->Prepare(s, p, &errors)) return true;
    for (const std::string& e : errors) {
      ops::Events().Log(ops::Level::kError, "bad_sources", {{"node", nodeName}, {"reason", e}}, e);
    }
    return false;
  };
#else
  auto prepare = [](plant::PlantStore*, plant::Plant*) { return true; };
#endif

  std::string why;
  std::string credentials;
  if (!nats::ReadCredentials(credentialsArg, &credentials, &why)) {
    return fail("bad_credentials", why, kExitUsage);
  }
  nats::ConnectOptions co;
  co.url = url;
  co.credentials = credentials;
  co.caFile = caFile;

  // Administration: the streams are the admin's to make and look after.
  if (makeStreams || !tombstoneAge.empty()) {
    std::optional<std::chrono::seconds> age;
    if (!tombstoneAge.empty() && !(age = ParseAge(tombstoneAge))) {
      std::cerr << "tolvane-node: --age-tombstones takes 7d, 12h, 30m or 45s\n";
      return kExitUsage;
    }
    co.name = "tolvane-node admin";
    auto conn = nats::Connection::Open(co, &why);
    if (!conn) {
      std::cerr << "tolvane-node: " << why << "\n";
      return kExitServers;
    }
    if (makeStreams) {
      nats::StreamOptions so;
      so.replicas = replicas;
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      bool refused = false;
      // A new cluster elects its JetStream leader first.
      while (!nats::EnsureStreams(*conn, so, &why, &refused)) {
        if (refused || std::chrono::steady_clock::now() > until) {
          std::cerr << "tolvane-node: " << why << "\n";
          return kExitServers;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
      std::cout << "streams ready" << std::endl;
    }
    if (age) {
      std::size_t purged = 0;
      std::string filter =
          nodeName.empty() ? nats::kAlarmSubjects : nats::NodeAlarmFilter(nodeName);
      if (!nats::AgeTombstones(*conn, filter, *age, &purged, &why)) {
        std::cerr << "tolvane-node: " << why << "\n";
        return kExitServers;
      }
      std::cout << "removed " << purged << " tombstones older than " << tombstoneAge << std::endl;
    }
    return 0;
  }
  if (nodeName.empty()) return fail("bad_arguments", "--node is required", kExitUsage);
  ops::Events().Info("start", {{"node", nodeName},
                               {"servers", Contact(url)},
                               {"store", storePath},
                               {"pid", std::to_string(getpid())}});
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  plant::Plant whole;
  plant::Plant mine;
  node::EmbeddedNode node;  // outlives the store, which follows it
  std::unique_ptr<plant::NodeLock> held;
  std::unique_ptr<plant::PlantStore> store;
  if (!storePath.empty()) {
    // One writer per node: this daemon holds its node of the store while it
    // runs (a command holding it for a moment is waited for).
    std::optional<plant::NodeHolder> holder;
    std::vector<std::unique_ptr<plant::NodeLock>> locks;
    std::string heldNode;
    if (plant::AcquireAll(storePath, {nodeName},
                          plant::ThisProcess("tolvane-node", Contact(url), true),
                          std::chrono::milliseconds(plant::kStoreBusyTimeoutMs), &locks, &heldNode,
                          &holder, &why)) {
      held = std::move(locks.front());
    }
    if (!held) {
      if (holder) {
        return fail("node_held",
                    "node " + nodeName + " of " + storePath + " is held by " +
                        (holder->program.empty() ? "a program" : holder->program) +
                        (holder->pid ? " (pid " + std::to_string(holder->pid) + ")" : "") +
                        ": one writer per node",
                    kExitHeld);
      }
      return fail("store_error", why, kExitPlant);
    }
    // The store holds the whole plant; this daemon loads, serves and
    // changes only its own node.
    plant::StoreError serr;
    store = plant::PlantStore::Open(storePath, &serr);
    // A sources file's blocks are made in the store before the node loads.
    if (store && !prepare(store.get(), &whole)) return kExitPlant;
    if (!store || !store->Begin(false, &serr) ||
        !store->Load(node, plant::Clock::now(), &serr, nullptr, &nodeName) ||
        !store->Commit(&serr)) {
      return fail("store_error", serr.message, kExitPlant);
    }
    bool known = false;
    for (const auto& n : node.database().Nodes()) known = known || SameName(n.name, nodeName);
    if (!known) {
      return fail("bad_plant", "the plant has no node " + nodeName, kExitPlant);
    }
    // Only the simulator and field sources need the node's blocks as the
    // plant describes them.
    if (simulate > 0 || !sourcesFile.empty()) {
      plant::StoreError rerr;
      if (!store->Read(&whole, &rerr)) {
        return fail("store_error", rerr.message, kExitPlant);
      }
      mine = NodePart(whole, nodeName);
      whole = plant::Plant{};
    }
  } else {
    if (!plantFile.empty()) {
      std::ifstream in(plantFile);
      std::stringstream text;
      text << in.rdbuf();
      if (!in || !plant::ParsePlant(text.str(), plant::Clock::now(), &whole, &why)) {
        return fail("bad_plant", plantFile + ": " + (why.empty() ? "cannot read" : why),
                    kExitPlant);
      }
    } else {
      plant::DemoOptions d;
      d.nodes = demoNodes;
      d.tags = demoTags;
      d.seed = seed;
      whole = plant::MakeDemoPlant(d);
    }
    if (!prepare(nullptr, &whole)) return kExitPlant;
    mine = NodePart(whole, nodeName);
    whole = plant::Plant{};
    if (mine.nodes.empty()) {
      return fail("bad_plant", "the plant has no node " + nodeName, kExitPlant);
    }
    if (!plant::LoadPlant(mine, node, &why)) return fail("bad_plant", why, kExitPlant);
  }

  co.name = "node " + nodeName;
  ops::NotifyStatus("connecting to " + Contact(url));
  auto conn = nats::Connection::Open(co, &why);
  if (!conn) return fail("nats_unreachable", why, kExitServers);
  // Connection loss and regain, from the client library's thread.
  conn->SetStateListener([&nodeName, c = conn.get()](bool connected) {
    if (connected) {
      ops::Events().Info("nats_reconnected", {{"node", nodeName}, {"server", Contact(c->ConnectedUrl())}});
    } else {
      ops::Events().Warn("nats_disconnected", {{"node", nodeName}});
    }
  });
  nats::DaemonOptions dopt;
  dopt.node = nodeName;
  dopt.streams.replicas = replicas;
  dopt.heartbeatMs = heartbeatMs;
  dopt.stopRequested = [] { return g_stop != 0; };
  // Metrics: made before the daemon, whose threads report to them.
  ops::MetricsServer metrics;
  ops::AlarmMetrics alarmMetrics(metrics.registry(), nodeName);
  ops::DaemonMetrics daemonMetrics(metrics.registry(), nodeName);
  std::optional<ops::StoreMetrics> storeMetrics;
  if (store) storeMetrics.emplace(metrics.registry(), storePath);
  node::SummaryQueue::ListenerToken listening = 0;
  if (!metricsListen.empty()) {
    dopt.onPublished = [&](double s, std::size_t n) { daemonMetrics.ObservePublish(s, n); };
    dopt.onConfirm = [&](double s, bool ok) { daemonMetrics.ObserveConfirm(s, ok); };
    listening = node.queue().AddEventListener([&](const auto& e) { alarmMetrics.OnEvent(e); });
  }
  // The queue outlives the metrics it tells.
  std::shared_ptr<void> unlisten(nullptr,
                                 [&](void*) { node.queue().RemoveEventListener(listening); });
  nats::NodeDaemon daemon(*conn, node, dopt);
  // Every change is committed before it is confirmed to a station.
  auto persist = [&]() -> bool {
    if (!store) return true;
    plant::StoreError serr;
    auto begun = std::chrono::steady_clock::now();
    bool ok = store->Begin(true, &serr) && store->Commit(&serr);
    storeMetrics->ObserveCommit(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(), ok);
    if (ok) return true;
    if (store->InTransaction()) store->Rollback();
    ops::Events().Error("store_error", {{"node", nodeName}, {"reason", serr.message}});
    return false;
  };
  daemon.SetPersist(persist);
  daemon.SetJournalHook([&](const std::string& n, const std::string& text) {
    if (store) store->Journal(n.empty() ? nodeName : n, text, plant::Clock::now());
  });
  ops::NotifyStatus("waiting for the streams");
  if (!daemon.Start(&why)) {
    if (g_stop) return 0;
    return fail("streams_unavailable", why, kExitServers);
  }
#ifdef TOLVANE_WITH_FIELD
  if (sources) {
    std::lock_guard lock(daemon.work());
    if (!sources->Start(node, mine, &why)) {
      daemon.Stop();
      return fail("bad_sources", why, kExitUsage);
    }
    std::signal(SIGHUP, OnHangup);
  }
  auto lastStatus = std::chrono::steady_clock::now();
  std::mutex fieldM;  // the field status the metrics read, taken in the loop below
  field::FieldStatus fieldNow = sources ? sources->Status() : field::FieldStatus{};
  std::optional<ops::FieldMetrics> fieldMetrics;
  if (sources) {
    fieldMetrics.emplace(metrics.registry());
    metrics.OnScrape([&] {
      std::lock_guard lock(fieldM);
      fieldMetrics->Refresh(fieldNow);
    });
    metrics.AddReadyCheck("field", [&] {
      std::lock_guard lock(fieldM);
      return ops::FieldNotReady(fieldNow);
    });
  }
#endif
  if (!metricsListen.empty()) {
    metrics.OnScrape([&] {
      alarmMetrics.Refresh(node.queue());
      daemonMetrics.Refresh(conn->Connected(), daemon.Counters());
      if (storeMetrics) storeMetrics->Refresh();
    });
    metrics.AddReadyCheck("nats", [&]() -> std::string {
      return conn->Connected() ? "" : "not connected to a NATS server";
    });
    metrics.AddReadyCheck("stream", [&] { return daemonMetrics.Current(daemon.Counters()); });
    if (storeMetrics) metrics.AddReadyCheck("store", [&] { return storeMetrics->Writable(); });
    if (!metrics.Start(metricsListen, &why)) {
      daemon.Stop();
      return fail("metrics_listen_failed", why, kExitUsage);
    }
    std::cout << "metrics on port " << metrics.port() << std::endl;
  }
  std::cout << "ready " << nodeName << " alarms=" << node.queue().Size() << std::endl;
  // Connected, streams there, the node's truth published: stations can use it.
  ops::Events().Info("ready", {{"node", nodeName},
                               {"alarms", std::to_string(node.queue().Size())},
                               {"server", Contact(conn->ConnectedUrl())}});
  ops::NotifyReady("serving node " + nodeName);
  ops::Watchdog watchdog;
  auto lastFlush = std::chrono::steady_clock::now();

  std::unique_ptr<plant::Simulator> sim;
  if (simulate > 0) sim = std::make_unique<plant::Simulator>(node, mine, seed);
  auto last = std::chrono::steady_clock::now();
  auto lastSave = last;
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto now = std::chrono::steady_clock::now();
    watchdog.Tick();
    if (now - lastFlush > std::chrono::seconds(1)) {
      ops::Events().Flush();
      lastFlush = now;
    }
    double dt = std::chrono::duration<double>(now - last).count();
    last = now;
    if (sim) {
      std::lock_guard lock(daemon.work());
      sim->Advance(dt, simulate);
      // Simulated changes are committed in batches; commands commit at once.
      if (now - lastSave > std::chrono::milliseconds(200)) {
        persist();
        lastSave = now;
      }
    }
#ifdef TOLVANE_WITH_FIELD
    // Field changes are committed as they come: a reading to a stored alarm
    // stays well inside a poll.
    if (sources) {
      std::lock_guard lock(daemon.work());
      if (g_hangup) {
        g_hangup = 0;
        std::vector<std::string> errors;
        if (!sources->Reload(store.get(), node, &errors)) {
          for (const std::string& e : errors) {
            ops::Events().Log(ops::Level::kError, "bad_sources",
                              {{"node", nodeName}, {"reason", e}}, e);
          }
        }
      }
      if (sources->Pump()) persist();
      if (now - lastStatus > std::chrono::seconds(1)) {
        lastStatus = now;
        field::FieldStatus fs = sources->Status();
        if (store) field::WriteStatusFile(storePath, fs);
        std::lock_guard flock(fieldM);
        fieldNow = std::move(fs);
      }
    }
#endif
  }
  ops::NotifyStopping();
  ops::Events().Info("stopping", {{"node", nodeName}});
#ifdef TOLVANE_WITH_FIELD
  if (sources) sources->Stop();
#endif
  metrics.Stop();
  daemon.WaitPublished(2000);
  daemon.Stop();
  if (store) {
    std::lock_guard lock(daemon.work());
    persist();
    store->Detach();
  }
  conn->SetStateListener(nullptr);
  ops::Events().Flush();
  ops::Events().Info("stopped", {{"node", nodeName}});
  return 0;
}

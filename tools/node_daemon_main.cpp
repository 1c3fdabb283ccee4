// tolvane-node: the daemon of one control node in the plant-wide
// deployment (docs/deployment.md). It loads its node's part of the plant,
// publishes the node's alarms to the alarm stream and serves requests for
// them until it is stopped (SIGINT/SIGTERM).
#include <CLI/CLI.hpp>
#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "net/node_daemon.h"
#include "net/protocol.h"
#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "plant/simulator.h"
#ifdef TOLVANE_WITH_FIELD
#include "field/node_sources.h"
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
  std::string url = "nats://127.0.0.1:4222";
  std::string nodeName;
  std::string credentials;
  std::string caFile;
  std::string plantFile;
  std::string storePath;
  int demoTags = 300;
  int demoNodes = 3;
  uint32_t seed = 1;
  double simulate = 0;
  int replicas = 1;
  app.add_option("--nats", url, "NATS server URL(s), comma-separated");
  app.add_option("--node", nodeName, "the node this daemon owns")->required();
  app.add_option("--credentials", credentials, "user:password, or a .creds file");
  app.add_option("--ca", caFile, "trusted certificates for tls:// servers");
  app.add_option("--store", storePath, "the plant store (SQLite) holding this node");
  app.add_option("--plant", plantFile, "plant exchange file (JSON); default: the demo plant")
      ->excludes("--store");
  app.add_option("--demo-tags", demoTags, "tags of the demo plant over all nodes");
  app.add_option("--demo-nodes", demoNodes, "nodes of the demo plant");
  app.add_option("--seed", seed, "seed of the demo plant and the simulator");
  app.add_option("--simulate", simulate, "alarm events per second on this node");
  app.add_option("--replicas", replicas, "stream replicas when this daemon makes the streams");
  std::string sourcesFile;
#ifdef TOLVANE_WITH_FIELD
  app.add_option("--sources", sourcesFile, "field sources of this node (docs/sources.md)");
#endif
  CLI11_PARSE(app, argc, argv);
#ifdef TOLVANE_WITH_FIELD
  std::unique_ptr<field::NodeSources> sources;
  if (!sourcesFile.empty()) sources = std::make_unique<field::NodeSources>(sourcesFile, nodeName);
  // The sources' blocks are made before the node loads.
  auto prepare = [&](plant::PlantStore* s, plant::Plant* p) {
    std::vector<std::string> errors;
    if (!sources || sources->Prepare(s, p, &errors)) return true;
    for (const std::string& e : errors) std::cerr << "tolvane-node: " << e << "\n";
    return false;
  };
#else
  auto prepare = [](plant::PlantStore*, plant::Plant*) { return true; };
#endif

  plant::Plant whole;
  std::unique_ptr<plant::PlantStore> store;
  node::EmbeddedNode node;
  std::string why;
  if (!storePath.empty()) {
    // The store holds the whole plant; this daemon serves and changes only
    // its own node's part of it.
    plant::StoreError serr;
    store = plant::PlantStore::Open(storePath, &serr);
    if (store && !prepare(store.get(), &whole)) return 2;
    if (!store || !store->Read(&whole, &serr) || !store->Begin(false, &serr) ||
        !store->Load(node, plant::Clock::now(), &serr) || !store->Commit(&serr)) {
      std::cerr << "tolvane-node: " << serr.message << "\n";
      return 2;
    }
  } else {
    if (!plantFile.empty()) {
      std::ifstream in(plantFile);
      std::stringstream text;
      text << in.rdbuf();
      if (!in || !plant::ParsePlant(text.str(), plant::Clock::now(), &whole, &why)) {
        std::cerr << "tolvane-node: " << plantFile << ": " << (why.empty() ? "cannot read" : why)
                  << "\n";
        return 2;
      }
    } else {
      plant::DemoOptions d;
      d.nodes = demoNodes;
      d.tags = demoTags;
      d.seed = seed;
      whole = plant::MakeDemoPlant(d);
    }
    if (!prepare(nullptr, &whole)) return 2;
  }
  plant::Plant mine = NodePart(whole, nodeName);
  if (mine.nodes.empty()) {
    std::cerr << "tolvane-node: the plant has no node " << nodeName << "\n";
    return 2;
  }
  if (!store && !plant::LoadPlant(mine, node, &why)) {
    std::cerr << "tolvane-node: " << why << "\n";
    return 2;
  }

  nats::ConnectOptions co;
  co.url = url;
  co.credentials = credentials;
  co.caFile = caFile;
  co.name = "node " + nodeName;
  auto conn = nats::Connection::Open(co, &why);
  if (!conn) {
    std::cerr << "tolvane-node: " << why << "\n";
    return 3;
  }
  nats::DaemonOptions dopt;
  dopt.node = nodeName;
  dopt.replicas = replicas;
  nats::NodeDaemon daemon(*conn, node, dopt);
  // Every change is committed before it is confirmed to a station.
  auto persist = [&]() -> bool {
    if (!store) return true;
    plant::StoreError serr;
    if (store->Begin(true, &serr) && store->Commit(&serr)) return true;
    if (store->InTransaction()) store->Rollback();
    std::cerr << "tolvane-node: " << serr.message << "\n";
    return false;
  };
  daemon.SetPersist(persist);
  daemon.SetJournalHook([&](const std::string& n, const std::string& text) {
    if (store) store->Journal(n.empty() ? nodeName : n, text, plant::Clock::now());
  });
  if (!daemon.Start(&why)) {
    std::cerr << "tolvane-node: " << why << "\n";
    return 3;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
#ifdef TOLVANE_WITH_FIELD
  if (sources) {
    std::lock_guard lock(daemon.work());
    if (!sources->Start(node, mine, &why)) {
      std::cerr << "tolvane-node: " << why << "\n";
      daemon.Stop();
      return 2;
    }
    std::signal(SIGHUP, OnHangup);
  }
  auto lastStatus = std::chrono::steady_clock::now();
#endif
  std::cout << "ready " << nodeName << " alarms=" << node.queue().Size() << std::endl;

  std::unique_ptr<plant::Simulator> sim;
  if (simulate > 0) sim = std::make_unique<plant::Simulator>(node, mine, seed);
  auto last = std::chrono::steady_clock::now();
  auto lastSave = last;
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto now = std::chrono::steady_clock::now();
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
          for (const std::string& e : errors) std::cerr << "tolvane-node: " << e << "\n";
        }
      }
      if (sources->Pump()) persist();
      if (store && now - lastStatus > std::chrono::seconds(1)) {
        lastStatus = now;
        field::WriteStatusFile(storePath, sources->Status());
      }
    }
#endif
  }
#ifdef TOLVANE_WITH_FIELD
  if (sources) sources->Stop();
#endif
  daemon.WaitPublished(2000);
  daemon.Stop();
  if (store) {
    std::lock_guard lock(daemon.work());
    persist();
    store->Detach();
  }
  return 0;
}

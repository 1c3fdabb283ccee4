// Figures of the plant-wide deployment, run through bench/nats_figures.sh
// (three servers, three node daemons on one plant store, loopback):
//   - acknowledge on one station to visible on another (median, p99, max),
//     with one server killed during the run
//   - a killed daemon's node shown stale on every station
//   - a station's start after the server loss
//   - a daemon's memory beside its node's share of the whole plant's
//
//   nats_figures whole-plant STORE        memory of one process holding the
//                                         whole plant (the share's baseline)
//   nats_figures run URLS --servers NAME=PID,... --kill follower|leader
//                --kill-daemon NODE=PID --daemons PID,PID,... [--acks N]
// The server killed is one that follows the alarm stream, or its leader
// (the worst case: the stream elects a new leader meanwhile).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"
#include "net/station.h"
#include "node/embedded_node.h"
#include "plant/plant_store.h"
#include "tolvane/text_field.h"

using namespace tolvane;
using Steady = std::chrono::steady_clock;

namespace {

double Ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Resident memory of a process, in MB.
double RssMb(int pid) {
  std::ifstream in("/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

std::unique_ptr<nats::Station> Open(const std::string& urls, const std::string& name,
                                    double* seconds) {
  nats::StationOptions o;
  o.connect.url = urls;
  o.name = name;
  o.startTimeoutMs = 60000;
  std::string err;
  auto t0 = Steady::now();
  auto s = nats::Station::Connect(o, &err);
  if (seconds) *seconds = std::chrono::duration<double>(Steady::now() - t0).count();
  if (!s) std::fprintf(stderr, "station %s: %s\n", name.c_str(), err.c_str());
  return s;
}

int WholePlant(const std::string& path) {
  double before = RssMb(0);
  plant::StoreError err;
  node::EmbeddedNode node;  // outlives the store, which follows it
  auto store = plant::PlantStore::Open(path, &err);
  if (!store || !store->Begin(false, &err) || !store->Load(node, plant::Clock::now(), &err)) {
    std::fprintf(stderr, "%s\n", err.message.c_str());
    return 1;
  }
  std::printf("whole plant in one process: %zu alarms, %.0f MB (%.0f MB before loading)\n",
              node.queue().Size(), RssMb(0), before);
  store->Detach();
  return 0;
}

// The alarm stream's leader, by server name.
std::string StreamLeader(const std::string& urls) {
  nats::ConnectOptions co;
  co.url = urls;
  std::string err;
  auto c = nats::Connection::Open(co, &err);
  if (!c) return {};
  jsStreamInfo* si = nullptr;
  jsErrCode jerr{};
  std::string leader;
  if (js_GetStreamInfo(&si, c->js(), nats::kAlarmStream, nullptr, &jerr) == NATS_OK) {
    if (si->Cluster && si->Cluster->Leader) leader = si->Cluster->Leader;
    jsStreamInfo_Destroy(si);
  }
  return leader;
}

int Run(const std::string& urls, const std::map<std::string, int>& servers, bool killLeader,
        const std::string& staleNode, int killDaemon, const std::vector<int>& daemons, int acks) {
  std::string leader = StreamLeader(urls);
  int killServer = 0;
  std::string killed;
  for (const auto& [name, pid] : servers) {
    if ((name == leader) == killLeader && killServer == 0) {
      killServer = pid;
      killed = name;
    }
  }
  std::printf("alarm stream leader %s; the run kills %s (%s)\n", leader.c_str(), killed.c_str(),
              killLeader ? "the leader" : "a follower");
  for (int pid : daemons) std::printf("daemon pid %d: %.0f MB resident\n", pid, RssMb(pid));
  double startA = 0, startB = 0;
  auto a = Open(urls, "FIG-A", &startA);
  auto b = Open(urls, "FIG-B", &startB);
  if (!a || !b) return 1;
  std::printf("stations started in %.2f s and %.2f s (%zu alarms)\n", startA, startB,
              b->view().Size());

  // Acknowledge to visible on the other station, a server killed a third
  // of the way through.
  std::vector<SUMQMSG> open;
  for (const SUMQMSG& m : a->view().Snapshot()) {
    if (m.almpak.msgType != 8 && m.ackFlag == 0) open.push_back(m);
  }
  std::vector<double> latency, answered;
  int unknown = 0, failed = 0, notSeen = 0, unknownNotDone = 0;
  unsigned short h = 0;
  a->queue().Open(&h, nullptr);
  Steady::time_point killedAt{};
  for (int i = 0; i < acks && i < static_cast<int>(open.size()); ++i) {
    if (i == acks / 3 && killServer > 0) {
      ::kill(killServer, SIGKILL);
      killedAt = Steady::now();
      std::printf("killed server %s after %d acknowledges\n", killed.c_str(), i);
    }
    const _ALMPAK& p = open[static_cast<std::size_t>(i) * (open.size() / acks)].almpak;
    std::string node(FieldText(p.node));
    auto t0 = Steady::now();
    short st = a->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, node.c_str(), h);
    answered.push_back(Ms(Steady::now() - t0));
    if (nats::IsUnknownOutcome(st)) ++unknown;
    if (st != 0 && !nats::IsUnknownOutcome(st)) {
      ++failed;
      continue;
    }
    SUMQMSG seen{};
    bool visible = false;
    while (Steady::now() - t0 < std::chrono::seconds(30)) {
      if (b->queue().Find(p.vsp.blockNumber, p.vsp.blockType, node.c_str(), &seen) == 0 &&
          seen.ackFlag) {
        visible = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!visible && nats::IsUnknownOutcome(st) &&
        a->WaitOutcome(node, p.vsp.blockType, p.vsp.blockNumber, 40000) ==
            nats::CommandOutcome::kFailed) {
      ++unknownNotDone;  // resolved: not done, so never to be seen
      continue;
    }
    if (!visible) {
      ++notSeen;
      continue;
    }
    latency.push_back(Ms(Steady::now() - t0));
  }
  std::printf(
      "acknowledge to visible on the other station: %zu acks, median %.1f ms, p99 %.1f ms, max "
      "%.1f ms (%d of unknown outcome then resolved, %d of them not done; %d failed, %d never "
      "seen)\n",
      latency.size(), Percentile(latency, 0.5), Percentile(latency, 0.99),
      latency.empty() ? 0 : *std::max_element(latency.begin(), latency.end()), unknown,
      unknownNotDone, failed, notSeen);
  std::printf(
      "  of which the acking station's request, answered after the stream stored it: "
      "median %.1f ms, p99 %.1f ms\n",
      Percentile(answered, 0.5), Percentile(answered, 0.99));
  std::vector<double> before(latency.begin(),
                             latency.begin() + std::min<std::ptrdiff_t>(acks / 3, latency.size()));
  std::printf("  before the kill: median %.1f ms, p99 %.1f ms\n", Percentile(before, 0.5),
              Percentile(before, 0.99));
  for (auto* st : {a.get(), b.get()}) {
    nats::StationStatus ss = st->Status();
    std::printf("  a station read the stream afresh %llu times and resumed %llu times\n",
                static_cast<unsigned long long>(ss.rereads),
                static_cast<unsigned long long>(ss.resumes));
  }

  // A station's start with one server of three gone.
  for (int i = 0; i < 3; ++i) {
    double secs = 0;
    double since = std::chrono::duration<double>(Steady::now() - killedAt).count();
    auto c = Open(urls, "FIG-C" + std::to_string(i), &secs);
    std::printf("station start %.1f s after the server loss: %.2f s (%zu alarms)\n", since, secs,
                c ? c->view().Size() : 0);
  }

  // A killed daemon: stale on every station.
  if (killDaemon > 0) {
    auto t0 = Steady::now();
    ::kill(killDaemon, SIGKILL);
    std::map<std::string, double> seenAt;
    while (Steady::now() - t0 < std::chrono::seconds(30) && seenAt.size() < 2) {
      if (!seenAt.count("A") && !a->NodeAlive(staleNode)) seenAt["A"] = Ms(Steady::now() - t0);
      if (!seenAt.count("B") && !b->NodeAlive(staleNode)) seenAt["B"] = Ms(Steady::now() - t0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("killed daemon %s shown stale: station A after %.0f ms, B after %.0f ms\n",
                staleNode.c_str(), seenAt["A"], seenAt["B"]);
  }
  for (int pid : daemons) {
    if (pid != killDaemon)
      std::printf("daemon pid %d at the end: %.0f MB resident\n", pid, RssMb(pid));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "whole-plant") return WholePlant(argv[2]);
  if (argc < 3 || std::string(argv[1]) != "run") {
    std::fprintf(stderr,
                 "usage: nats_figures whole-plant STORE\n"
                 "       nats_figures run URLS --servers NAME=PID,... --kill follower|leader "
                 "--kill-daemon NODE=PID --daemons PID,... [--acks N]\n");
    return 2;
  }
  std::string urls = argv[2];
  int killDaemon = 0, acks = 300;
  bool killLeader = false;
  std::string staleNode;
  std::vector<int> daemons;
  std::map<std::string, int> servers;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--kill") killLeader = v == "leader";
    if (k == "--servers") {
      std::stringstream in(v);
      std::string one;
      while (std::getline(in, one, ',')) {
        servers[one.substr(0, one.find('='))] = std::stoi(one.substr(one.find('=') + 1));
      }
    }
    if (k == "--acks") acks = std::stoi(v);
    if (k == "--kill-daemon") {
      staleNode = v.substr(0, v.find('='));
      killDaemon = std::stoi(v.substr(v.find('=') + 1));
    }
    if (k == "--daemons") {
      std::stringstream in(v);
      std::string one;
      while (std::getline(in, one, ',')) daemons.push_back(std::stoi(one));
    }
  }
  return Run(urls, servers, killLeader, staleNode, killDaemon, daemons, acks);
}

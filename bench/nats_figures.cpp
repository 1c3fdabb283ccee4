// Figures of the plant-wide deployment, run by hand through
// bench/nats_figures.sh (a server and two node daemons on loopback):
//   - acknowledge-to-visible latency on the other station (median, p99)
//   - a station's cold start with 100,000 alarms beside loading the same
//     plant from the store locally
//   - alarm changes per second from the stream into a station's view
//   - fetch speed on a station beside the embedded node (ratio)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"
#include "net/station.h"
#include "node/embedded_node.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "services/borvik.h"
#include "services/queue_backend.h"
#include "services/zuna.h"
#include "tolvane/CVeltAlmSummMgr.h"
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

// A plant of two nodes (a node holds at most 65535 blocks) with `n`
// alarms on as many blocks.
plant::Plant BenchPlant(int n) {
  plant::Plant p;
  for (const char* name : {"BENCHA", "BENCHB"}) {
    plant::PlantNode node;
    node.name = node.physical = name;
    node.local = p.nodes.empty();
    p.nodes.push_back(node);
  }
  auto now = plant::Clock::now();
  for (int i = 0; i < n; ++i) {
    std::string nodeName = i < n / 2 ? "BENCHA" : "BENCHB";
    plant::PlantBlock b;
    b.node = nodeName;
    b.tag = "T" + std::to_string(i);
    b.letter = static_cast<char>('A' + i / 30000);
    b.number = static_cast<int16_t>(i % 30000);
    b.fields = {{"B_NALM", 1}, {"B_CUALM", 1539}};
    p.blocks.push_back(b);
    plant::PlantAlarm a;
    a.node = a.physical = nodeName;
    a.tag = b.tag;
    a.letter = b.letter;
    a.number = b.number;
    a.priority = static_cast<int16_t>(3 + i % 7);
    a.status = 1539;
    a.description = "BENCH ALARM " + std::to_string(i);
    a.areas = {"AREA" + std::to_string(i % 10)};
    a.timeIn = a.timeLast = now - std::chrono::seconds(n - i);
    p.alarms.push_back(a);
  }
  return p;
}

// Publishes every alarm of the queue as a daemon would.
bool PublishAll(nats::Connection& conn, node::SummaryQueue& q, bool flipAck) {
  std::vector<SUMQMSG> msgs = q.Snapshot();
  std::vector<plant::Clock::time_point> in = q.SnapshotTimesIn(), last = q.SnapshotTimesLast();
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    nats::AlarmState s{msgs[i], in[i], last[i], false};
    if (flipAck) s.msg.ackFlag = 1;
    const _ALMPAK& p = s.msg.almpak;
    std::string subject = nats::AlarmSubject(FieldText(p.node), p.vsp.blockType, p.vsp.blockNumber);
    std::string body = nats::EncodeAlarm(s);
    if (js_PublishAsync(conn.js(), subject.c_str(), body.data(), static_cast<int>(body.size()),
                        nullptr) != NATS_OK) {
      return false;
    }
  }
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = 60000;
  return js_PublishAsyncComplete(conn.js(), &po) == NATS_OK;
}

double FetchMs(int rounds) {
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  char filter[] = "";
  Steady::time_point t0 = Steady::now();
  for (int i = 0; i < rounds; ++i) {
    VARIANT v;
    short rows = 0;
    mgr.FetchAlarmsByRef(&v, 200, filter, 1, h, &rows);
    VariantClear(&v);
  }
  double ms = Ms(Steady::now() - t0) / rounds;
  mgr.FreeAlarmClientHandle(h);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url = argc > 1 ? argv[1] : "nats://127.0.0.1:4222";
  int big = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::string err;

  // --- acknowledge to visible, on the daemons' alarms ---
  auto s1 = nats::ConnectStation(url, "BENCH1", "", 60000, &err);
  nats::StationOptions o2;
  o2.connect.url = url;
  o2.name = "BENCH2";
  auto s2 = nats::Station::Connect(o2, &err);
  if (!s1 || !s2) {
    std::fprintf(stderr, "nats_figures: %s\n", err.c_str());
    return 1;
  }
  std::printf("daemons' alarms held by each station: %zu\n", s1->view().Size());
  unsigned short h = 0;
  s1->queue().Open(&h, nullptr);
  std::vector<double> visible, confirmed;
  for (const SUMQMSG& m : s1->view().Snapshot()) {
    if (visible.size() >= 500) break;
    if (m.almpak.msgType == 8 || m.ackFlag) continue;
    const _ALMPAK& p = m.almpak;
    std::string n(FieldText(p.node));
    Steady::time_point t0 = Steady::now();
    if (s1->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, n.c_str(), h) != 0)
      continue;
    confirmed.push_back(Ms(Steady::now() - t0));
    SUMQMSG seen{};
    while (!(s2->queue().Find(p.vsp.blockNumber, p.vsp.blockType, n.c_str(), &seen) == 0 &&
             seen.ackFlag)) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    visible.push_back(Ms(Steady::now() - t0));
  }
  std::printf(
      "acknowledge to visible on the other station (%zu acks): median %.2f ms, p99 %.2f ms"
      " (target p99 < 50 ms); confirmed to the acking station: median %.2f ms\n",
      visible.size(), Percentile(visible, 0.5), Percentile(visible, 0.99),
      Percentile(confirmed, 0.5));
  s1.reset();
  s2.reset();

  // --- cold start with `big` alarms ---
  plant::Plant bp = BenchPlant(big);
  std::optional<node::EmbeddedNode> local;  // one may live at a time
  local.emplace();
  plant::LoadPlant(bp, *local, &err);
  nats::ConnectOptions co;
  co.url = url;
  auto conn = nats::Connection::Open(co, &err);
  if (!conn || !PublishAll(*conn, local->queue(), false)) {
    std::fprintf(stderr, "nats_figures: cannot publish the bench node: %s\n", err.c_str());
    return 1;
  }
  std::string dbPath = (std::filesystem::temp_directory_path() /
                        ("nats-figures-" + std::to_string(::getpid()) + ".db"))
                           .string();
  plant::StoreError serr;
  plant::PlantStore::Create(dbPath, bp, true, &serr);
  Steady::time_point t0 = Steady::now();
  auto cold = nats::Station::Connect(o2, &err);
  double coldMs = Ms(Steady::now() - t0);
  if (!cold) {
    std::fprintf(stderr, "nats_figures: %s\n", err.c_str());
    return 1;
  }
  double storeMs = 0;
  {
    // The same plant from the store into a fresh node.
    local.reset();
    local.emplace();
    Steady::time_point t1 = Steady::now();
    auto store = plant::PlantStore::Open(dbPath, &serr);
    bool ok = store && store->Begin(false, &serr) &&
              store->Load(*local, plant::Clock::now(), &serr) && store->Commit(&serr);
    storeMs = Ms(Steady::now() - t1);
    if (!ok) std::fprintf(stderr, "store: %s\n", serr.message.c_str());
    if (store) store->Detach();
  }
  std::printf(
      "cold start with %zu alarms held: station %.0f ms, loading the store locally %.0f ms"
      " (target < 3000 ms)\n",
      cold->view().Size(), coldMs, storeMs);

  // --- changes per second into a station's view ---
  uint64_t before = cold->Status().applied;
  t0 = Steady::now();
  PublishAll(*conn, local->queue(), true);
  while (cold->Status().applied < before + static_cast<uint64_t>(big)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double secs = Ms(Steady::now() - t0) / 1000.0;
  std::printf("changes into a station's view: %.0f /s (%d changes)\n", big / secs, big);

  // --- fetch on the station beside the embedded node, same alarms ---
  // The embedded node gets exactly what the station holds. Taken in turns,
  // the best of each.
  local->queue().Restore(cold->view().Snapshot(), cold->view().SnapshotTimesIn(),
                         cold->view().SnapshotTimesLast());
  double embedded = 1e9, station = 1e9;
  for (int round = 0; round < 5; ++round) {
    InstallQueueBackend(&local->queue());
    InstallDatabaseBackend(&local->database());
    InstallAlarmLibraryBackend(&local->alarmLibrary());
    embedded = std::min(embedded, FetchMs(200));
    cold->Install();
    station = std::min(station, FetchMs(200));
  }
  std::printf(
      "fetch of 200 rows over %zu alarms: embedded %.3f ms, station %.3f ms,"
      " ratio %.2f (target <= 1.1)\n",
      cold->view().Size(), embedded, station, station / embedded);
  cold.reset();
  std::filesystem::remove(dbPath);
  return 0;
}

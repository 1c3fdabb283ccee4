// Acknowledge-all over 10,000 alarms on 20 nodes: the first call of a
// manager (cold field-ID cache) against a later one (warm cache), with the
// number of resolve steps and name lookups each made.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "node/embedded_node.h"
#include "tolvane/CVeltAlmSummMgr.h"

namespace {

using tolvane::node::AlarmInput;

constexpr int kAlarms = 10000;
constexpr int kNodes = 20;

AlarmInput Nth(int i) {
  AlarmInput a;
  a.node = a.physicalNode = "NODE" + std::to_string(i % kNodes);
  a.tag = "TAG" + std::to_string(i);
  a.blockLetter = 'A';
  a.blockNumber = static_cast<int16_t>(i / kNodes);
  a.priority = 5;
  a.statusCode = 1539;
  return a;
}

struct Plant {
  tolvane::node::EmbeddedNode node;
  Plant() {
    for (int n = 0; n < kNodes; ++n) node.database().AddNode("NODE" + std::to_string(n));
    for (int i = 0; i < kAlarms; ++i) {
      AlarmInput a = Nth(i);
      node.database().AddBlock(a.node, a.tag, a.blockLetter, a.blockNumber);
      node.database().SetField(a.node, a.tag, "B_CUALM", 1539);
    }
    Reraise();
  }
  // Every alarm new again, as before an acknowledge.
  void Reraise() {
    for (int i = 0; i < kAlarms; ++i) {
      AlarmInput a = Nth(i);
      node.database().SetField(a.node, a.tag, "B_NALM", 1);
      node.queue().Raise(a);
    }
  }
};

Plant& ThePlant() {
  static Plant plant;
  return plant;
}

void Run(benchmark::State& state, bool warm) {
  Plant& p = ThePlant();
  auto mgr = std::make_unique<CVeltAlmSummMgr>();
  short handle = mgr->GetAlarmClientHandle();
  char all[] = "";
  if (warm) mgr->AcknowledgeAllAlarmsByRef(all, handle, 1);
  tolvane::node::DatabaseCounters per{};
  short result = 0;
  for (auto _ : state) {
    state.PauseTiming();
    p.Reraise();
    if (!warm) {
      // The last manager going empties the cache: the next call starts cold.
      mgr->FreeAlarmClientHandle(handle);
      mgr.reset();
      mgr = std::make_unique<CVeltAlmSummMgr>();
      handle = mgr->GetAlarmClientHandle();
    }
    p.node.database().ResetCounters();
    state.ResumeTiming();
    result = mgr->AcknowledgeAllAlarmsByRef(all, handle, 1);
    state.PauseTiming();
    per = p.node.database().Counters();
    state.ResumeTiming();
  }
  mgr->FreeAlarmClientHandle(handle);
  state.counters["result"] = result;
  state.counters["resolve_steps"] = static_cast<double>(per.resolves);
  state.counters["name_lookups"] = static_cast<double>(per.nameLookups);
  state.counters["executes"] = static_cast<double>(per.executes);
}

void BM_AckAll_ColdCache(benchmark::State& state) { Run(state, false); }
void BM_AckAll_WarmCache(benchmark::State& state) { Run(state, true); }

BENCHMARK(BM_AckAll_ColdCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AckAll_WarmCache)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Cost of paging and changing the embedded summary queue at plant size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "node/summary_queue.h"

namespace {

using tolvane::node::AlarmInput;
using tolvane::node::Clock;
using tolvane::node::SummaryQueue;

constexpr int kAlarms = 100000;
const Clock::time_point kT0 = Clock::from_time_t(1700000000);

AlarmInput Nth(int i) {
  AlarmInput a;
  a.node = "NODE" + std::to_string(i % 20);
  a.physicalNode = "SCADA" + std::to_string(i % 3);
  a.tag = "TAG" + std::to_string((i * 7919) % kAlarms);
  a.blockLetter = static_cast<char>('A' + i / 60000);
  a.blockNumber = static_cast<int16_t>(i % 60000 - 30000);
  a.priority = static_cast<int16_t>(3 + i % 7);
  a.statusCode = 1539;
  a.description = "LEVEL HIGH IN TANK " + std::to_string(i % 997);
  a.areas = {"AREA" + std::to_string(i % 13)};
  return a;
}

struct Plant {
  SummaryQueue queue;
  unsigned short handle = 0;
  Plant() {
    for (int i = 0; i < kAlarms; ++i) {
      queue.Raise(Nth(i), kT0 + std::chrono::milliseconds((i * 104729LL) % 86400000));
    }
    queue.Open(&handle, nullptr);
  }
};

Plant& ThePlant() {
  static Plant plant;
  return plant;
}

SORT_CNTL Sort(int key, bool descending) {
  SORT_CNTL s{};
  s.key = static_cast<uint8_t>(key);
  s.direction = descending ? 1 : 0;
  return s;
}

void HomeAndGet(benchmark::State& state, unsigned short count) {
  Plant& p = ThePlant();
  SORT_CNTL s = Sort(static_cast<int>(state.range(0)), state.range(1) != 0);
  p.queue.Home(s, p.handle);  // first use builds the key's index outside the timing
  std::size_t got = 0;
  for (auto _ : state) {
    SUMQMSG* list = nullptr;
    unsigned short n = 0;
    p.queue.Home(s, p.handle);
    p.queue.Get(s, count, p.handle, &list, &n);
    got = n;
    p.queue.FreeList(list);
  }
  state.counters["messages"] = static_cast<double>(got);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * got));
}

void BM_HomeGetAll(benchmark::State& state) {
  HomeAndGet(state, 0);
}
void BM_HomeGet100(benchmark::State& state) {
  HomeAndGet(state, 100);
}

void KeyArgs(benchmark::internal::Benchmark* b) {
  for (int key : {0, 2, 3, 6}) b->Args({key, 0});
  b->Args({0, 1});
}
BENCHMARK(BM_HomeGetAll)->Apply(KeyArgs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HomeGet100)->Apply(KeyArgs)->Unit(benchmark::kMicrosecond);

// Paging a display down the view, a page of 100 at a time.
void BM_NextPageAndGet100(benchmark::State& state) {
  Plant& p = ThePlant();
  SORT_CNTL s = Sort(2, true);
  p.queue.Home(s, p.handle);
  for (auto _ : state) {
    if (p.queue.NextPage(s, 100, p.handle) != 0) p.queue.Home(s, p.handle);
    SUMQMSG* list = nullptr;
    unsigned short n = 0;
    p.queue.Get(s, 100, p.handle, &list, &n);
    p.queue.FreeList(list);
  }
}
BENCHMARK(BM_NextPageAndGet100)->Unit(benchmark::kMicrosecond);

// A new alarm and its clearing while 100,000 are held and several keys'
// indexes are live.
void BM_RaiseClear(benchmark::State& state) {
  Plant& p = ThePlant();
  for (int key : {0, 1, 2, 3, 6}) p.queue.Home(Sort(key, false), p.handle);
  AlarmInput a = Nth(7);
  a.node = "EXTRA";
  Clock::time_point when = kT0;
  for (auto _ : state) {
    when += std::chrono::milliseconds(1);
    p.queue.Raise(a, when);
    p.queue.Clear("EXTRA", a.blockLetter, a.blockNumber);
  }
}
BENCHMARK(BM_RaiseClear)->Unit(benchmark::kMicrosecond);

// A standing alarm raised again: it moves in every live index.
void BM_RaiseAgain(benchmark::State& state) {
  Plant& p = ThePlant();
  for (int key : {0, 1, 2, 3, 6}) p.queue.Home(Sort(key, false), p.handle);
  AlarmInput a = Nth(12345);
  Clock::time_point when = kT0;
  for (auto _ : state) {
    when += std::chrono::milliseconds(1);
    p.queue.Raise(a, when);
  }
}
BENCHMARK(BM_RaiseAgain)->Unit(benchmark::kMicrosecond);

// First use of a sort key: its index is built once from every alarm.
void BM_FirstUseOfAKey(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    {
      SummaryQueue q;
      q.Restore(ThePlant().queue.Snapshot(), ThePlant().queue.SnapshotTimesIn(),
                ThePlant().queue.SnapshotTimesLast());
      unsigned short h = 0;
      q.Open(&h, nullptr);
      state.ResumeTiming();
      q.Home(Sort(static_cast<int>(state.range(0)), false), h);
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstUseOfAKey)->Arg(0)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();

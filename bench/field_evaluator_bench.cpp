// Value updates through the node's field evaluator: 10,000 points, values
// that wander inside their limits (the steady state of a plant) and values
// that cross a limit on every update (an alarm flood).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "node/field_evaluator.h"
#include "node/process_database.h"
#include "node/summary_queue.h"

namespace {

using tolvane::node::Clock;
using tolvane::node::FieldEvaluator;
using tolvane::node::FieldPointConfig;

struct Plant {
  tolvane::node::SummaryQueue queue;
  tolvane::node::ProcessDatabase db{&queue};
  FieldEvaluator ev{queue, db};
  explicit Plant(int points) {
    db.AddNode("PLANT1");
    for (int i = 0; i < points; ++i) {
      std::string tag = "T" + std::to_string(i);
      db.AddBlock("PLANT1", tag, 'A', static_cast<int16_t>(i + 1));
      FieldPointConfig p;
      p.node = "PLANT1";
      p.tag = tag;
      p.number = static_cast<int16_t>(i + 1);
      p.hihi = 95;
      p.hi = 80;
      p.lo = 20;
      p.lolo = 5;
      p.deadband = 1;
      p.onDelay = std::chrono::milliseconds(500);
      p.staleAfter = std::chrono::seconds(10);
      p.ackRequired = false;
      ev.Add(p);
    }
    ev.Adopt(Clock::now());
  }
};

void Steady(benchmark::State& state) {
  const int points = static_cast<int>(state.range(0));
  Plant plant(points);
  std::size_t i = 0;
  double v = 40;
  auto t = Clock::now();
  for (auto _ : state) {
    plant.ev.Value(i, v, t);
    if (++i == static_cast<std::size_t>(points)) {
      i = 0;
      v = v == 40 ? 60 : 40;  // the database field changes on every round
      t += std::chrono::milliseconds(1);
      plant.ev.Tick(t);
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Steady)->Arg(10000);

void Flood(benchmark::State& state) {
  const int points = static_cast<int>(state.range(0));
  Plant plant(points);
  std::size_t i = 0;
  bool high = true;
  auto t = Clock::now();
  for (auto _ : state) {
    plant.ev.Value(i, high ? 99 : 50, t);  // raise or clear on every update
    if (++i == static_cast<std::size_t>(points)) {
      i = 0;
      high = !high;
      t += std::chrono::seconds(1);  // past the on-delay
      plant.ev.Tick(t);
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["alarms"] = static_cast<double>(plant.queue.Size());
}
BENCHMARK(Flood)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();

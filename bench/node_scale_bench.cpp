// How the embedded queue's own operations grow from 100,000 to 1,000,000
// alarms, side by side in one process (one queue alive at a time):
//
//   node_scale_bench [repetitions] [small] [large]   default 3 100000 1000000
//   node_scale_bench 1 N 0       one size only, no table (for a profiler)
//
// Per size: loading by Append (as a plant store does, no view built yet),
// the first use of several sort keys, raising / changing / clearing alarms
// while the views a display uses are live, and destroying the queue. Each
// line gives both sizes, the large ÷ small ratio per repetition and its
// min / median / max. Times are the process's CPU time, so that other work
// on a shared machine does not count.
#include <benchmark/benchmark.h>  // linked for every bench; DoNotOptimize only

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "node/summary_queue.h"

namespace {

using tolvane::node::AlarmInput;
using tolvane::node::Clock;
using tolvane::node::SummaryQueue;

// The process's CPU time (single-threaded here), kernel time included: a
// page fault is part of the cost.
struct CpuClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<CpuClock>;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return time_point(duration(ts.tv_sec * 1000000000LL + ts.tv_nsec));
  }
};
using Steady = CpuClock;

const Clock::time_point kT0 = Clock::from_time_t(1700000000);
const char* kPrefixes[] = {"FIC", "TIC", "LIC", "PIC", "FAL", "TAH"};

std::string Num(const char* prefix, unsigned n) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%u", prefix, n);
  return buf;
}

// Alarm `i` of a plant of 10,000 blocks a node; tags, priorities and
// descriptions spread so that every view's order differs from time order.
AlarmInput Nth(unsigned i, unsigned salt) {
  unsigned r = (i * 2654435761u) ^ salt;
  AlarmInput a;
  a.node = Num("NODE", i / 10000);
  a.physicalNode = Num("SCADA", i / 10000 % 7);
  a.tag = Num(kPrefixes[r % 6], r % 1000003);
  a.blockLetter = 'A';
  a.blockNumber = static_cast<int16_t>(i % 10000);
  a.priority = static_cast<int16_t>(3 + r % 7);
  a.statusCode = 1539;
  a.value.kind = 1;
  a.value.value.i16 = static_cast<int16_t>(r % 1000);
  a.description = Num(r % 3 ? "TEMPERATURE HIGH ON UNIT " : "LEVEL LOW IN TANK ", r % 997);
  a.areas = {Num("AREA", r % 13)};
  return a;
}

SORT_CNTL Sort(int key) {
  SORT_CNTL s{};
  s.key = static_cast<uint8_t>(key);
  return s;
}

double Ms(Steady::time_point since) {
  return std::chrono::duration<double, std::milli>(Steady::now() - since).count();
}

constexpr int kFirstUseKeys[] = {0, 2, 3, 6, 10};
constexpr int kLiveKeys[] = {0, 2, 3};  // what a display typically has open
constexpr unsigned kOps = 20000;

// Figures of one size: name -> value (ms, or µs per operation).
using Figures = std::map<std::string, double>;

Figures Run(unsigned alarms) {
  Figures f;
  auto q = std::make_unique<SummaryQueue>();
  std::vector<AlarmInput> inputs;
  inputs.reserve(alarms);
  for (unsigned i = 0; i < alarms; ++i) inputs.push_back(Nth(i, 0));
  {
    auto t = Steady::now();
    for (unsigned i = 0; i < alarms; ++i) {
      Clock::time_point at = kT0 + std::chrono::milliseconds(i);
      q->Append(inputs[i], at, at);
    }
    f["append, µs each"] = Ms(t) * 1000.0 / alarms;
  }
  inputs.clear();
  inputs.shrink_to_fit();
  unsigned short h = 0;
  q->Open(&h, nullptr);
  for (int key : kFirstUseKeys) {
    auto t = Steady::now();
    q->Home(Sort(key), h);
    f["first use of key " + std::to_string(key) + ", ms"] = Ms(t);
  }
  // The operations below run with keys 0, 2 and 3 live; the others dropped
  // by a fresh queue would cost a rebuild, so they are simply left live too.
  for (int key : kLiveKeys) q->Home(Sort(key), h);

  // Alarms of blocks not yet in the queue, on nodes of their own.
  std::vector<AlarmInput> extra;
  extra.reserve(kOps);
  for (unsigned i = 0; i < kOps; ++i) {
    AlarmInput a = Nth(i, 0x9e3779b9u);
    a.node = Num("XNODE", i / 10000);
    extra.push_back(std::move(a));
  }
  Clock::time_point now = kT0 + std::chrono::hours(1);
  {
    auto t = Steady::now();
    for (const AlarmInput& a : extra) q->Raise(a, now += std::chrono::milliseconds(1));
    f["raise new, µs each"] = Ms(t) * 1000.0 / kOps;
  }
  {
    _AlmCanonicalValue v{};
    v.kind = 1;
    auto t = Steady::now();
    for (unsigned i = 0; i < kOps; ++i) {
      v.value.i16 = static_cast<int16_t>(i % 977);
      q->Update(extra[i].node, 'A', extra[i].blockNumber, 1540, v,
                now += std::chrono::milliseconds(1));
    }
    f["update, µs each"] = Ms(t) * 1000.0 / kOps;
  }
  {
    auto t = Steady::now();
    for (const AlarmInput& a : extra) q->Raise(a, now += std::chrono::milliseconds(1));
    f["raise standing again, µs each"] = Ms(t) * 1000.0 / kOps;
  }
  {
    auto t = Steady::now();
    for (const AlarmInput& a : extra) q->Clear(a.node, a.blockLetter, a.blockNumber);
    f["clear, µs each"] = Ms(t) * 1000.0 / kOps;
  }
  q->Close(h);
  {
    auto t = Steady::now();
    q.reset();
    f["destroy the queue, ms"] = Ms(t);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  const unsigned small = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 100000;
  const unsigned large = argc > 3 ? static_cast<unsigned>(std::atol(argv[3])) : 1000000;
  if (reps < 1 || small == 0) {
    std::fprintf(stderr, "usage: %s [repetitions] [small] [large]\n", argv[0]);
    return 2;
  }
  std::vector<Figures> smalls, larges;
  for (int r = 0; r < reps; ++r) {
    smalls.push_back(Run(small));
    if (large == 0) return 0;
    larges.push_back(Run(large));
    std::fprintf(stderr, "repetition %d done\n", r + 1);
  }
  std::printf("%u vs %u alarms, %d repetitions (medians; ratio min / median / max)\n\n", small,
              large, reps);
  std::printf("| %-32s | %10s | %10s | %-22s |\n", "operation", "small", "large", "large / small");
  std::printf("|---|---:|---:|---|\n");
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  for (const auto& [name, unused] : smalls[0]) {
    std::vector<double> s, l, ratio;
    for (int r = 0; r < reps; ++r) {
      s.push_back(smalls[static_cast<std::size_t>(r)][name]);
      l.push_back(larges[static_cast<std::size_t>(r)][name]);
      ratio.push_back(l.back() / s.back());
    }
    std::sort(ratio.begin(), ratio.end());
    std::printf("| %-32s | %10.3f | %10.3f | %5.2f / %5.2f / %5.2f |\n", name.c_str(), median(s),
                median(l), ratio.front(), median(ratio), ratio.back());
  }
  return 0;
}

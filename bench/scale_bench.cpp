// How the manager's bulk operations grow with the queue: one size per run
// (so that peak memory belongs to that size alone).
//
//   scale_bench [alarms]      default 10000; docs/scale.md uses 10k, 100k, 1M
//
// For each operation: wall time, the process's CPU time (what counts on a
// shared machine) and the peak resident memory it added (VmHWM after the
// call, reset before it, less VmRSS before it). A fetch
// reads at most 65,535 messages and keeps at most 32,767 rows, so the
// whole-queue operations act on at most 32,767 alarms per call.
#include <benchmark/benchmark.h>  // linked for every bench; DoNotOptimize only

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "node/embedded_node.h"
#include "tolvane/CVeltAlmSummMgr.h"

namespace {

using tolvane::node::AlarmInput;
using Clock = std::chrono::steady_clock;

constexpr int kBlocksPerNode = 10000;  // block numbers are 16-bit

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  }
  return -1;
}

// Lets VmHWM restart from the current resident size.
void ResetPeak() {
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Measure {
  const char* what;
  long rssBefore = 0;
  Clock::time_point start;
  double cpuStart = 0;
  explicit Measure(const char* w) : what(w) {
    ResetPeak();
    rssBefore = StatusKb("VmRSS:");
    start = Clock::now();
    cpuStart = CpuMs();
  }
  void Done(const std::string& note) const {
    double cpu = CpuMs() - cpuStart;
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    long peak = StatusKb("VmHWM:") - rssBefore;
    std::printf("| %-22s | %10.1f | %10.1f | %10.1f | %s |\n", what, ms, cpu, peak / 1024.0,
                note.c_str());
  }
};

// Built with snprintf: string concatenation here trips a false -Wrestrict of GCC 12 at -O3.
std::string Name(const char* prefix, int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%d", prefix, n);
  return buf;
}

AlarmInput Nth(int i) {
  AlarmInput a;
  a.node = a.physicalNode = Name("N", i / kBlocksPerNode);
  a.tag = Name("TAG", i);
  a.blockLetter = 'A';
  a.blockNumber = static_cast<int16_t>(i % kBlocksPerNode);
  a.priority = static_cast<int16_t>(3 + i % 7);
  a.statusCode = 1539;
  a.value.kind = 1;
  a.value.value.i16 = static_cast<int16_t>(i % 1000);
  a.description = Name("LEVEL HIGH ", i);
  a.areas = {Name("AREA", i % 10)};
  return a;
}

short Fetch(CVeltAlmSummMgr& mgr, short handle, long count, short* rows, std::size_t* bytes) {
  VARIANT v;
  VariantInit(&v);
  char filter[] = "";
  short r = mgr.FetchAlarmsByRef(&v, count, filter, 1, handle, rows);
  *bytes = v.parray ? v.parray->rgsabound[0].cElements : 0;
  benchmark::DoNotOptimize(v.parray);
  VariantClear(&v);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int alarms = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (alarms <= 0) {
    std::fprintf(stderr, "usage: %s [alarms]\n", argv[0]);
    return 2;
  }
  std::printf("alarms: %d, resident at start: %.1f MiB\n\n", alarms, StatusKb("VmRSS:") / 1024.0);
  std::printf("| %-22s | %10s | %10s | %10s | %s |\n", "operation", "wall ms", "CPU ms",
              "peak+ MiB", "note");
  std::printf("|%s|%s|%s|%s|---|\n", std::string(24, '-').c_str(), std::string(12, '-').c_str(),
              std::string(12, '-').c_str(), std::string(12, '-').c_str());

  auto node = std::make_unique<tolvane::node::EmbeddedNode>();
  node->SetLocalNames({"PLANT1", "PLANT1A", "PLANT1B"});
  {
    Measure m("raise");
    for (int n = 0; n * kBlocksPerNode < alarms; ++n) node->database().AddNode(Name("N", n));
    for (int i = 0; i < alarms; ++i) {
      AlarmInput a = Nth(i);
      node->database().AddBlock(a.node, a.tag, a.blockLetter, a.blockNumber);
      node->database().SetField(a.node, a.tag, "B_NALM", 1);
      node->database().SetField(a.node, a.tag, "B_CUALM", 1539);
      node->queue().Raise(a);
    }
    m.Done(std::to_string(node->queue().Size()) + " alarms in the queue and database");
  }

  CVeltAlmSummMgr mgr;
  short handle = mgr.GetAlarmClientHandle();
  short rows = 0;
  std::size_t bytes = 0;
  for (int rep = 0; rep < 2; ++rep) {
    Measure m(rep ? "fetch first 100 (warm)" : "fetch first 100");
    short r = Fetch(mgr, handle, 100, &rows, &bytes);
    m.Done("result " + std::to_string(r) + ", " + std::to_string(rows) + " rows");
  }
  for (int rep = 0; rep < 2; ++rep) {
    Measure m(rep ? "fetch all (warm)" : "fetch all");
    short r = Fetch(mgr, handle, -1, &rows, &bytes);
    m.Done("result " + std::to_string(r) + ", " + std::to_string(rows) + " rows kept of " +
           std::to_string(bytes / sizeof(tagAlarmStr)) + " messages");
  }
  {
    char filter[] = "";
    Measure m("acknowledge all");
    short r = mgr.AcknowledgeAllAlarmsByRef(filter, handle, 1);
    m.Done("result " + std::to_string(r));
    int acked = 0;
    for (int i = 0; i < alarms; ++i) {
      AlarmInput a = Nth(i);
      acked += node->database().GetField(a.node, a.tag, "B_NALM").value_or(1) == 0;
    }
    std::printf("|   acknowledged | | | | %d alarms (B_NALM 0) |\n", acked);
  }
  {
    char filter[] = "";
    std::size_t before = node->queue().Size();
    Measure m("remove all");
    short r = mgr.RemoveAllAlarmsByRef(handle, filter, 1);
    m.Done("result " + std::to_string(r) + ", " + std::to_string(before - node->queue().Size()) +
           " alarms removed");
  }
  std::printf("\npeak resident of the run: %.1f MiB (since the last reset)\n",
              StatusKb("VmHWM:") / 1024.0);
  mgr.FreeAlarmClientHandle(handle);
  return 0;
}

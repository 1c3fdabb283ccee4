// The plant store beside the JSON path it replaced, on one large plant, in
// one run: `tolvane list --count 100`, one `ack`, `ack --all` and `stats`,
// each timed as a whole process with its peak memory.
//
// The store path runs the real program. The JSON path does what the program
// did before the store: read and parse the whole document, load every alarm
// into the node, act through the library, capture the node's state and
// rewrite the whole document. Each run of a changing command gets a fresh
// copy of its file.
//
//   plant_store_bench [--alarms N] [--runs R]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "node/summary_queue_message.h"
#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "present/rows.h"
#include "present/stats.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

namespace {

namespace fs = std::filesystem;
using namespace tolvane;
using plant::Clock;

struct Sample {
  double seconds = 0;
  long maxRssKb = 0;
  int status = 0;
};

// Runs `work` in a child process: wall time and the child's own peak RSS.
Sample InChild(const std::function<int()>& work) {
  std::fflush(nullptr);  // the child must not print the parent's buffer again
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = work();
    } catch (...) {
    }
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  Sample s;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.maxRssKb = ru.ru_maxrss;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return s;
}

// The real program, quiet.
int Program(std::vector<std::string> args) {
  args.insert(args.begin(), TOLVANE_PROGRAM);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::freopen("/dev/null", "w", stdout);
  execv(TOLVANE_PROGRAM, argv.data());
  return 127;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// --- the JSON path, as the program worked before the store ---

struct JsonSession {
  plant::Plant plant;
  node::EmbeddedNode node;
  std::unique_ptr<CVeltAlmSummMgr> mgr;
  short handle = 32;

  explicit JsonSession(const std::string& path) {
    std::string err;
    if (!plant::ParsePlant(ReadAll(path), Clock::now(), &plant, &err))
      throw std::runtime_error(err);
    if (!plant::LoadPlant(plant, node, &err)) throw std::runtime_error(err);
    mgr = std::make_unique<CVeltAlmSummMgr>();
    handle = mgr->GetAlarmClientHandle();
  }
  ~JsonSession() { mgr->FreeAlarmClientHandle(handle); }

  void Save(const std::string& path) {
    plant::Plant out = plant::CapturePlant(plant, node);
    for (const node::OperatorMessageRecord& m : node.alarmLibrary().OperatorMessages()) {
      out.log.push_back({m.time, m.node, m.text, m.flag, "", ""});
    }
    std::string err;
    if (!plant::WriteFileAtomically(path, plant::SerializePlant(out), &err)) {
      throw std::runtime_error(err);
    }
  }
};

int JsonList(const std::string& path) {
  JsonSession s(path);
  std::vector<present::Row> rows;
  short rc = present::FetchRows(*s.mgr, s.handle, 100, "", 1, &rows);
  return rc == kOk && rows.size() == 100 ? 0 : 1;
}

int JsonAck(const std::string& path, const std::string& ref) {
  JsonSession s(path);
  std::array<char, 64> buf{};
  std::copy(ref.begin(), ref.end(), buf.begin());
  short rc = s.mgr->AcknowledgeAlarmByRef(s.handle, buf.data(), 0);
  s.Save(path);
  return rc == kOk ? 0 : 1;
}

int JsonAckAll(const std::string& path) {
  JsonSession s(path);
  std::string pending = "ASF_ACK = \"Unacknowledged\"";
  for (int round = 0; round < 16; ++round) {
    std::vector<present::Row> rows;
    present::FetchRows(*s.mgr, s.handle, -1, pending, 1, &rows);
    if (rows.empty()) break;
    std::string f = pending;
    if (s.mgr->AcknowledgeAllAlarmsByRef(f.data(), s.handle, 1) != kOk) break;
  }
  s.Save(path);
  return 0;
}

int JsonStats(const std::string& path) {
  plant::Plant p;
  std::string err;
  if (!plant::ParsePlant(ReadAll(path), Clock::now(), &p, &err)) return 1;
  std::vector<present::Row> rows;
  for (const plant::PlantAlarm& a : p.alarms) {
    present::Row r;
    r.acknowledged = a.acknowledged;
    r.node = a.node;
    r.tag = a.tag;
    const char* pri = plant::PriorityNameOf(a.priority);
    r.priority = pri ? pri : "";
    r.dateIn = node::detail::FormatDate(a.timeIn);
    r.timeIn = node::detail::FormatTime(a.timeIn);
    if (a.msgType != 8) r.reference = "x";
    rows.push_back(std::move(r));
  }
  present::AlarmStats st = present::ComputeStats(rows, Clock::now(), 6);
  return st.alarms > 0 ? 0 : 1;
}

struct Figures {
  std::vector<double> seconds;
  long maxRssKb = 0;
};

std::string Range(const std::vector<double>& v) {
  std::vector<double> s = v;
  std::sort(s.begin(), s.end());
  char buf[96];
  std::snprintf(buf, sizeof buf, "%.3f / %.3f / %.3f", s.front(), s[s.size() / 2], s.back());
  return buf;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  long alarms = 100000;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--alarms") alarms = std::atol(argv[i + 1]);
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  fs::path dir = fs::temp_directory_path() / ("tolvane-store-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string json = (dir / "plant.json").string(), store = (dir / "plant.db").string();
  // Made in a child, so that the parent stays small: a forked child's peak
  // memory counts what it inherits.
  Sample made = InChild([&] {
    plant::DemoOptions d;
    d.tags = static_cast<int>(alarms);
    d.alarms = alarms;
    d.now = Clock::now();
    plant::Plant p = plant::MakeDemoPlant(d);
    std::string err;
    plant::StoreError serr;
    if (!plant::WriteFileAtomically(json, plant::SerializePlant(p), &err) ||
        !plant::PlantStore::Create(store, p, true, &serr)) {
      std::fprintf(stderr, "cannot write the plant: %s%s\n", err.c_str(), serr.message.c_str());
      return 1;
    }
    // A new alarm to acknowledge: the same on both paths.
    for (const plant::PlantAlarm& a : p.alarms) {
      if (a.msgType != 8 && !a.acknowledged) {
        std::ofstream(dir / "ref") << a.letter << a.number << a.node;
        break;
      }
    }
    return 0;
  });
  if (made.status != 0) return 1;
  std::string ref = ReadAll((dir / "ref").string());
  std::printf("plant: %ld alarms; JSON %.1f MB, store %.1f MB\n", alarms, fs::file_size(json) / 1e6,
              fs::file_size(store) / 1e6);

  struct Op {
    const char* name;
    bool changes;
    std::function<int(const std::string&)> viaJson;
    std::function<int(const std::string&)> viaStore;
  };
  std::vector<Op> ops = {
      {"list --count 100", false, JsonList,
       [](const std::string& s) {
         return Program({"--node", s, "list", "--count", "100"});
       }},
      {"ack REF", true, [&](const std::string& s) { return JsonAck(s, ref); },
       [&](const std::string& s) {
         return Program({"--node", s, "ack", ref});
       }},
      {"ack --all", true, JsonAckAll,
       [](const std::string& s) {
         return Program({"--node", s, "ack", "--all", "--quiet"});
       }},
      {"stats", false, JsonStats,
       [](const std::string& s) {
         return Program({"--node", s, "stats"});
       }},
  };

  std::printf("\n%-18s %-26s %-26s %8s %12s %12s %9s\n", "command", "JSON s (min/med/max)",
              "store s (min/med/max)", "JSON/st", "JSON RSS MB", "store RSS MB", "KB/alarm");
  for (const Op& op : ops) {
    Figures viaJson, viaStore;
    for (int r = 0; r < runs; ++r) {
      // Side by side: each run times both paths before the next run.
      for (int path = 0; path < 2; ++path) {
        std::string src = path == 0 ? json : store;
        std::string file = src;
        if (op.changes) {
          file = (dir / (path == 0 ? "work.json" : "work.db")).string();
          fs::copy_file(src, file, fs::copy_options::overwrite_existing);
        }
        const auto& work = path == 0 ? op.viaJson : op.viaStore;
        Sample s = InChild([&] { return work(file); });
        if (s.status != 0) {
          std::fprintf(stderr, "%s (%s) failed with %d\n", op.name, path == 0 ? "JSON" : "store",
                       s.status);
          return 1;
        }
        Figures& f = path == 0 ? viaJson : viaStore;
        f.seconds.push_back(s.seconds);
        f.maxRssKb = std::max(f.maxRssKb, s.maxRssKb);
      }
    }
    std::printf("%-18s %-26s %-26s %7.1fx %12.1f %12.1f %9.2f\n", op.name,
                Range(viaJson.seconds).c_str(), Range(viaStore.seconds).c_str(),
                Median(viaJson.seconds) / Median(viaStore.seconds), viaJson.maxRssKb / 1024.0,
                viaStore.maxRssKb / 1024.0, static_cast<double>(viaStore.maxRssKb) / alarms);
  }
  fs::remove_all(dir);
  return 0;
}

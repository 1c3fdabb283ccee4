// How long a reload of the web display's store host holds page readers off
// (docs/web.md, "A reload's hold on page readers"), beside the way it used to reload:
// the old node freed and the new one made and filled inside the node's
// lock. Both in one run, on one store file of ALARMS alarms.
//
//   cmake --build build --target web_reload && build/web/web_reload [ALARMS] [ROUNDS] [STORE]
//
// Each round another connection commits a journal line, so the host sees a
// store changed elsewhere and reloads on its next tick. "Read waited" is the
// longest a page read started meanwhile (every 2 ms) waited for the lock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "node/embedded_node.h"
#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
#include "web/plant_host.h"

using namespace tolvane;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
  double median = 0, max = 0;
};
Stats Summarise(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.back()};
}

// Another program's change: one journal line, committed.
bool ChangeElsewhere(const std::string& path) {
  plant::StoreError e;
  auto other = plant::PlantStore::Open(path, &e);
  if (!other || !other->Begin(true, &e)) return false;
  other->SetUser("bench");
  other->Journal("", "changed elsewhere", plant::Clock::now());
  return other->Commit(&e);
}

// The reload as it was: under the lock, the old node, manager and handle
// go, and a new node is made, filled and given a manager and handle.
std::vector<double> Before(const std::string& path, int rounds) {
  std::vector<double> held;
  plant::StoreError e;
  auto store = plant::PlantStore::Open(path, &e);
  if (!store) return held;
  auto node = std::make_unique<node::EmbeddedNode>();
  if (!store->Begin(false, &e) || !store->Load(*node, plant::Clock::now(), &e)) return held;
  store->Rollback();
  auto mgr = std::make_unique<CVeltAlmSummMgr>();
  short handle = mgr->GetAlarmClientHandle();
  for (int i = 0; i < rounds; ++i) {
    if (!store->Begin(false, &e)) break;
    auto prepared = store->PrepareLoad(plant::Clock::now(), &e);  // outside, as before
    if (!prepared) break;
    auto begun = Clock::now();
    mgr->FreeAlarmClientHandle(handle);
    mgr.reset();
    store->Detach();
    node.reset();
    node = std::make_unique<node::EmbeddedNode>();
    node->LoadSettings();
    bool ok = store->LoadPrepared(*node, *prepared, &e);
    mgr = std::make_unique<CVeltAlmSummMgr>();
    handle = mgr->GetAlarmClientHandle();
    held.push_back(Ms(Clock::now() - begun));
    store->Rollback();
    if (!ok || handle == kNoHandle) break;
  }
  mgr->FreeAlarmClientHandle(handle);
  store->Detach();
  return held;
}

struct After {
  std::vector<double> held, whole, waited;
};

// The host as it is: filled beside, swapped in under the lock.
After Now(const std::string& path, int rounds) {
  After out;
  plant::StoreError e;
  auto store = plant::PlantStore::Open(path, &e);
  if (!store) return out;
  web::HostOptions options;
  std::vector<double> held;
  options.onReload = [&](double s) { held.push_back(s * 1000); };
  std::string err;
  auto host = web::MakeStoreHost(std::move(store), options, &err);
  if (!host) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return out;
  }
  held.clear();  // the first load
  for (int i = 0; i < rounds; ++i) {
    if (!ChangeElsewhere(path)) break;
    std::atomic<bool> done{false};
    double waited = 0;
    std::thread reader([&] {
      while (!done) {
        auto asked = Clock::now();
        host->Read([](web::HostContext& c) { (void)c.HornSilenced(); });
        waited = std::max(waited, Ms(Clock::now() - asked));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    auto begun = Clock::now();
    host->Tick(plant::Clock::now());
    out.whole.push_back(Ms(Clock::now() - begun));
    done = true;
    reader.join();
    out.waited.push_back(waited);
  }
  out.held = held;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const long alarms = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string path = argc > 3 ? argv[3] : "/tmp/tolvane-web-reload.db";
  std::filesystem::remove(path);
  plant::StoreError e;
  {
    plant::DemoOptions demo;
    demo.nodes = 10;
    demo.tags = static_cast<int>(std::max(alarms, 300L));
    demo.alarms = alarms;
    if (!plant::PlantStore::Create(path, plant::MakeDemoPlant(demo), true, &e)) {
      std::fprintf(stderr, "%s\n", e.message.c_str());
      return 1;
    }
  }
  std::printf("%ld alarms in %s, %d reloads each\n", alarms, path.c_str(), rounds);
  Stats before = Summarise(Before(path, rounds));
  After now = Now(path, rounds);
  if (now.held.empty()) {
    std::fprintf(stderr, "the host did not reload\n");
    return 1;
  }
  Stats held = Summarise(now.held), whole = Summarise(now.whole), waited = Summarise(now.waited);
  std::printf("%-44s %10s %10s\n", "", "median", "max");
  std::printf("%-44s %8.3f ms %7.3f ms\n", "before: node lock held (replace inside)", before.median,
              before.max);
  std::printf("%-44s %8.3f ms %7.3f ms\n", "now: node lock held (swap only)", held.median,
              held.max);
  std::printf("%-44s %8.3f ms %7.3f ms\n", "now: longest a page read waited", waited.median,
              waited.max);
  std::printf("%-44s %8.3f ms %7.3f ms\n", "now: whole reload (read, fill, swap, free)",
              whole.median, whole.max);
  std::filesystem::remove(path);
  return 0;
}

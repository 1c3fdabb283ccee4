// Figures of the field drivers on this machine, against real peers on
// loopback that bench/field_figures.sh starts:
//   latency   MQTT publish -> alarm committed in the store, 1,000 points
//             changing once a second (one machine, as `ingest` runs)
//   modbus    10,000 registers from one server in <= 125-register requests
//   flood     10,000 alarms in one poll -> all committed in the store
// Usage: field_figures MQTT_PORT MODBUS_PORT [SECONDS]
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "field/field_host.h"
#include "field/modbus_driver.h"
#include "plant/plant_store.h"

namespace {

using namespace std::chrono;
using namespace tolvane;
using SteadyTime = steady_clock::time_point;

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

plant::Plant OneNode() {
  plant::Plant p;
  plant::PlantNode n;
  n.name = n.physical = "PLANT1";
  n.local = true;
  p.nodes.push_back(n);
  return p;
}

// A store fed by `sources`, committed as `ingest` commits.
struct Store {
  std::filesystem::path dir;
  std::unique_ptr<plant::PlantStore> store;
  field::SourcesFile file;
  plant::Plant plant;
  node::EmbeddedNode node;
  std::unique_ptr<field::FieldHost> host;

  explicit Store(const std::string& sources) {
    dir =
        std::filesystem::temp_directory_path() / ("tolvane-figures-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "s.toml") << sources;
    plant::StoreError err;
    plant::PlantStore::Create((dir / "p.db").string(), OneNode(), true, &err);
    store = plant::PlantStore::Open((dir / "p.db").string(), &err);
    std::vector<std::string> errors;
    if (!field::PrepareStore(*store, (dir / "s.toml").string(), "", &file, &plant, &errors)) {
      for (auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
      std::exit(2);
    }
    store->Begin(false, &err);
    store->Load(node, plant::Clock::now(), &err);
    store->Commit(&err);
    host = std::make_unique<field::FieldHost>(node);
    std::string why;
    if (!host->Configure(file, plant, "", &why) || !host->Start(&why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      std::exit(2);
    }
  }
  ~Store() {
    host.reset();
    store->Detach();
    std::filesystem::remove_all(dir);
  }
  void Commit() {
    plant::StoreError err;
    if (!store->Begin(true, &err) || !store->Commit(&err)) std::exit(3);
  }
};

void Latency(int port, int seconds) {
  constexpr int kPoints = 1000;
  std::ostringstream s;
  s << "[[mqtt]]\nname = \"gw\"\nurl = \"mqtt://127.0.0.1:" << port << "\"\nqos = 0\n";
  for (int i = 0; i < kPoints; ++i) {
    s << "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"P" << i << "\"\ntopic = \"f/" << i
      << "\"\nhi = 80\nack_required = false\n";
  }
  Store st(s.str());
  // The publisher: every point once a second, each value on the other side
  // of the limit, so that every message raises or clears an alarm.
  std::vector<SteadyTime> sent(kPoints);
  std::mutex m;
  std::atomic<bool> stop{false};
  mosquitto_lib_init();
  mosquitto* pub = mosquitto_new("figures-pub", true, nullptr);
  mosquitto_connect(pub, "127.0.0.1", port, 30);
  mosquitto_loop_start(pub);
  std::this_thread::sleep_for(milliseconds(500));
  std::thread publisher([&] {
    auto next = steady_clock::now();
    for (int round = 0; !stop; ++round) {
      for (int i = 0; i < kPoints && !stop; ++i) {
        std::string topic = "f/" + std::to_string(i);
        const char* v = round % 2 == 0 ? "90" : "50";
        {
          std::lock_guard lock(m);
          sent[static_cast<std::size_t>(i)] = steady_clock::now();
        }
        mosquitto_publish(pub, nullptr, topic.c_str(), 2, v, 0, false);
        next += microseconds(1000000 / kPoints);
        std::this_thread::sleep_until(next);
      }
    }
  });
  std::vector<node::FieldCondition> shown(kPoints, node::FieldCondition::kNormal);
  std::vector<double> ms;
  auto end = steady_clock::now() + std::chrono::seconds(seconds);
  while (steady_clock::now() < end) {
    if (!st.host->Pump(milliseconds(20))) continue;
    st.Commit();
    auto now = steady_clock::now();
    std::lock_guard lock(m);
    for (int i = 0; i < kPoints; ++i) {
      auto c = st.host->evaluator()->State(static_cast<std::size_t>(i)).shown;
      if (c != shown[static_cast<std::size_t>(i)]) {
        shown[static_cast<std::size_t>(i)] = c;
        ms.push_back(duration<double, std::milli>(now - sent[static_cast<std::size_t>(i)]).count());
      }
    }
  }
  stop = true;
  publisher.join();
  mosquitto_loop_stop(pub, true);
  mosquitto_destroy(pub);
  std::printf(
      "latency: MQTT publish -> alarm committed in the store, %d points once a second, "
      "%zu changes: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
      kPoints, ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99),
      ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()));
}

std::string ModbusSources(int port, int points, const char* poll) {
  std::ostringstream s;
  s << "[[modbus]]\nname = \"plc\"\nport = " << port << "\npoll = \"" << poll
    << "\"\ntimeout = \"2s\"\n";
  for (int i = 0; i < points; ++i) {
    s << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"R" << i << "\"\nregister = \"holding:" << i
      << "\"\nhi = 100\nack_required = false\n";
  }
  return s.str();
}

void Modbus(int port, int seconds) {
  constexpr int kRegisters = 10000;
  {
    // As fast as the server answers (a 10 ms poll): how long one whole cycle takes.
    Store st(ModbusSources(port, kRegisters, "10ms"));
    auto start = steady_clock::now();
    while (steady_clock::now() - start < std::chrono::seconds(seconds))
      st.host->Pump(milliseconds(20));
    double secs = duration<double>(steady_clock::now() - start).count();
    auto d = st.host->Status().drivers.at(0);
    double cycles = static_cast<double>(d.readings) / kRegisters;
    std::printf(
        "modbus: %d registers in %.0f requests a cycle (<= 125 registers each): "
        "%.1f cycles/s, %.0f ms a cycle, %llu timeouts, %llu exceptions\n",
        kRegisters, static_cast<double>(d.requests) / std::max(1.0, cycles), cycles / secs,
        1000 * secs / std::max(1.0, cycles), static_cast<unsigned long long>(d.timeouts),
        static_cast<unsigned long long>(d.exceptions));
  }
  {
    // A flood: every register over its limit at once, polled every second.
    Store st(ModbusSources(port, kRegisters, "1s"));
    auto until = steady_clock::now() + std::chrono::seconds(10);
    while (st.host->Status().good < kRegisters && steady_clock::now() < until) {
      st.host->Pump(milliseconds(20));
    }
    std::printf("flood: set every register over its limit now\n");
    std::fflush(stdout);
    // The script sets the registers when it reads the line above.
    auto start = steady_clock::now();
    std::size_t committed = 0;
    SteadyTime first{}, last{};
    while (steady_clock::now() - start < std::chrono::seconds(15) && committed < kRegisters) {
      if (st.host->Pump(milliseconds(20))) {
        st.Commit();
        if (first == SteadyTime{}) first = steady_clock::now();
        last = steady_clock::now();
        committed = st.node.queue().Size();
      }
    }
    std::printf(
        "flood: %zu alarms raised and committed %.0f ms after the registers were set "
        "(a 1 s poll; %.0f ms from the first commit to the last)\n",
        committed, duration<double, std::milli>(last - start).count(),
        duration<double, std::milli>(last - first).count());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: field_figures MQTT_PORT MODBUS_PORT [SECONDS]\n");
    return 2;
  }
  int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
  Latency(std::atoi(argv[1]), seconds);
  Modbus(std::atoi(argv[2]), std::max(3, seconds / 2));
  return 0;
}

// Plant-wide figures of the field drivers, run through
// bench/field_station_figures.sh (a nats-server, a mosquitto broker and a
// node daemon with --sources on loopback):
//   latency  MQTT publish -> alarm visible on a station, 1,000 points
//            changing once a second
//   flood    10,000 alarms published within a second -> all visible on
//            two stations
// Usage: field_station_figures NATS_URL MQTT_PORT latency|flood POINTS [SECONDS]
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/station.h"
#include "tolvane/text_field.h"

using namespace tolvane;
using namespace std::chrono;

namespace {

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::unique_ptr<nats::Station> Station(const std::string& url, const std::string& name) {
  nats::StationOptions o;
  o.connect.url = url;
  o.connect.name = name;
  o.name = name;
  std::string err;
  auto s = nats::Station::Connect(o, &err);
  if (!s) {
    std::fprintf(stderr, "station: %s\n", err.c_str());
    std::exit(2);
  }
  return s;
}

// Tags of the alarms standing in the station's view (status != OK).
std::map<std::string, bool> Standing(const nats::Station& s) {
  std::map<std::string, bool> out;
  for (const SUMQMSG& m : s.view().Snapshot()) {
    if (m.almpak.msgType != 8) out[std::string(FieldText(m.almpak.tagName))] = true;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(
        stderr, "usage: field_station_figures NATS_URL MQTT_PORT latency|flood POINTS [SECONDS]\n");
    return 2;
  }
  std::string url = argv[1], mode = argv[3];
  int port = std::atoi(argv[2]), points = std::atoi(argv[4]);
  int seconds = argc > 5 ? std::atoi(argv[5]) : 10;
  auto s1 = Station(url, "FIG1");
  auto s2 = Station(url, "FIG2");
  mosquitto_lib_init();
  mosquitto* pub = mosquitto_new("figures-pub", true, nullptr);
  if (mosquitto_connect(pub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return 2;
  mosquitto_loop_start(pub);
  auto publish = [&](int i, const char* v) {
    std::string topic = "f/" + std::to_string(i);
    mosquitto_publish(pub, nullptr, topic.c_str(), static_cast<int>(std::strlen(v)), v, 0, false);
  };
  if (mode == "flood") {
    // Every point into alarm within a second; both stations must see all.
    auto start = steady_clock::now();
    for (int i = 0; i < points; ++i) publish(i, "90");
    double sent = duration<double, std::milli>(steady_clock::now() - start).count();
    double seen[2] = {-1, -1};
    auto until = start + std::chrono::seconds(30);
    while (steady_clock::now() < until && (seen[0] < 0 || seen[1] < 0)) {
      for (int k = 0; k < 2; ++k) {
        auto& s = k == 0 ? *s1 : *s2;
        if (seen[k] < 0 && s.Status().alarms >= static_cast<std::size_t>(points) &&
            Standing(s).size() >= static_cast<std::size_t>(points)) {
          seen[k] = duration<double, std::milli>(steady_clock::now() - start).count();
        }
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    std::printf(
        "flood: %d alarms published in %.0f ms; all on station 1 after %.0f ms, on "
        "station 2 after %.0f ms (-1: not all within 30 s); station 1 holds %zu, station "
        "2 %zu\n",
        points, sent, seen[0], seen[1], Standing(*s1).size(), Standing(*s2).size());
  } else {
    // Each point once a second, every value raising or clearing its alarm.
    std::vector<steady_clock::time_point> sent(static_cast<std::size_t>(points));
    std::mutex m;
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
      auto next = steady_clock::now();
      for (int round = 0; !stop; ++round) {
        for (int i = 0; i < points && !stop; ++i) {
          {
            std::lock_guard lock(m);
            sent[static_cast<std::size_t>(i)] = steady_clock::now();
          }
          publish(i, round % 2 == 0 ? "90" : "50");
          next += microseconds(1000000 / points);
          std::this_thread::sleep_until(next);
        }
      }
    });
    std::map<std::string, bool> before = Standing(*s1);
    int32_t seq = s1->Status().sequence;
    std::vector<double> ms;
    auto end = steady_clock::now() + std::chrono::seconds(seconds);
    while (steady_clock::now() < end) {
      std::this_thread::sleep_for(milliseconds(1));
      int32_t now = s1->Status().sequence;
      if (now == seq) continue;
      seq = now;
      auto t = steady_clock::now();
      std::map<std::string, bool> after = Standing(*s1);
      std::lock_guard lock(m);
      for (int i = 0; i < points; ++i) {
        std::string tag = "P" + std::to_string(i);
        if (after.count(tag) != before.count(tag)) {
          ms.push_back(duration<double, std::milli>(t - sent[static_cast<std::size_t>(i)]).count());
        }
      }
      before = std::move(after);
    }
    stop = true;
    publisher.join();
    std::printf(
        "latency: MQTT publish -> alarm visible on a station, %d points once a second, "
        "%zu changes: p50 %.1f ms, p90 %.1f ms, p99 %.1f ms, max %.1f ms\n",
        points, ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99),
        ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()));
  }
  mosquitto_loop_stop(pub, true);
  mosquitto_destroy(pub);
  return 0;
}

// Figures of the web display with many alarms held (docs/web.md): time to
// the first rows, a page of 100 rows as JSON, the delay from an acknowledge
// in one session to its display in another, and the server's memory. Each
// HTTP figure is set beside the library's own fetch of the same page, in
// the same run.
//
//   cmake --build build --target web_figures && build/web/web_figures [ALARMS] [ROUNDS] [STORE]
//
// With STORE (a file name; made afresh, replacing it) the plant is kept in a
// store file, so every acknowledge commits to disk; without it, in memory.
// While the 20 clients page, an operator acknowledges one alarm every 100 ms.
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "web_bench_host.h"

#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tolvane/oleauto.h"
#include "web/plant_host.h"
#include "web/server.h"
#include "web/users.h"

using namespace tolvane;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Stats {
  double median, p90, max;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

void Print(const char* what, const Stats& s) {
  std::printf("%-58s median %8.2f  p90 %8.2f  max %8.2f ms\n", what, s.median, s.p90, s.max);
}

struct Session {
  std::string cookie, csrf;
  httplib::Headers Headers() const { return {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}; }
};

Session SignIn(httplib::Client& c, const std::string& user, const std::string& pw) {
  auto r = c.Post("/api/login", json{{"user", user}, {"password", pw}}.dump(), "application/json");
  if (!r || r->status != 200) {
    std::fprintf(stderr, "sign-in failed\n");
    std::exit(1);
  }
  std::string set = r->get_header_value("Set-Cookie");
  return {set.substr(0, set.find(';')), json::parse(r->body)["csrf"]};
}

}  // namespace

int main(int argc, char** argv) {
  long alarms = argc > 1 ? std::atol(argv[1]) : 100000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
  char tmpl[] = "/tmp/tolvane-web-figures-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  std::string users = dir + "/users";
  std::string err;
  web::AddUser(users, "a", web::Role::kOperator, "password-a", &err, web::HashCost::kMinimal);
  web::AddUser(users, "b", web::Role::kViewer, "password-b", &err, web::HashCost::kMinimal);

  long rss0 = RssKb();
  auto t0 = Clock::now();
  auto host = bench::MakeBenchHost(alarms, argc > 3 ? argv[3] : "");
  if (!host) return 1;
  long rssLoaded = RssKb();
  std::printf("alarms held: %ld (plant made and loaded in %.0f ms)\n", alarms,
              Ms(Clock::now() - t0));

  web::ServerOptions so;
  so.listen = "127.0.0.1:0";
  so.usersFile = users;
  web::WebServer server(so, *host);
  if (!server.Start(&err)) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  httplib::Client a("127.0.0.1", server.port());
  httplib::Client b("127.0.0.1", server.port());
  a.set_read_timeout(60);
  b.set_read_timeout(60);

  // Time to first rows: what the page asks for on opening, one after the
  // other, the first time after the queue changed (the node sorts its view).
  {
    Session sa = SignIn(a, "a", "password-a");
    auto start = Clock::now();
    a.Get("/", sa.Headers());
    a.Get("/app.js", sa.Headers());
    a.Get("/app.css", sa.Headers());
    a.Get("/api/session", sa.Headers());
    auto r = a.Get("/api/alarms?sort=-1&count=100", sa.Headers());
    std::printf("%-58s %8.2f ms (%zu bytes of JSON)\n",
                "time to first rows, first open (page, assets, 100 rows)", Ms(Clock::now() - start),
                r ? r->body.size() : 0);
  }

  Session sa = SignIn(a, "a", "password-a");
  Session sb = SignIn(b, "b", "password-b");

  // A page of 100 rows as JSON over HTTP, beside the library's fetch of it.
  std::vector<double> http, lib, httpPrio, httpFilter;
  for (int i = 0; i < rounds; ++i) {
    auto s = Clock::now();
    a.Get("/api/alarms?sort=-1&count=100", sa.Headers());
    http.push_back(Ms(Clock::now() - s));
    s = Clock::now();
    a.Get("/api/alarms?sort=-3&count=100", sa.Headers());
    httpPrio.push_back(Ms(Clock::now() - s));
    host->Read([&](web::HostContext& c) {
      VARIANT v;
      VariantInit(&v);
      char filter[] = "";
      short n = 0;
      auto s2 = Clock::now();
      c.mgr().FetchAlarmsByRef(&v, 100, filter, -1, c.handle(), &n);
      lib.push_back(Ms(Clock::now() - s2));
      VariantClear(&v);
    });
  }
  for (int i = 0; i < std::max(3, rounds / 5); ++i) {
    auto s = Clock::now();
    a.Get("/api/alarms?sort=-1&count=100&filter=ASF_PRIORITY%20%3E%3D%20%22HIGH%22", sa.Headers());
    httpFilter.push_back(Ms(Clock::now() - s));
  }
  // Pages of a filtered view through the view layer: first pages, and pages
  // deep in the view by number and by the next-page token.
  std::vector<double> httpFilterDeep;
  for (int i = 0; i < rounds; ++i) {
    auto s = Clock::now();
    auto r = a.Get("/api/alarms?sort=-1&count=100&page=20&filter=ASF_NODE%20IN%20%22PLANT2%22",
                   sa.Headers());
    httpFilterDeep.push_back(Ms(Clock::now() - s));
    if (!r || r->status != 200) std::printf("deep page failed\n");
  }
  Stats h = Summarise(http), l = Summarise(lib);
  Print("page of 100 rows, JSON over HTTP (sort -1)", h);
  Print("page of 100 rows, JSON over HTTP (sort -3)", Summarise(httpPrio));
  Print("page of 100 rows, the library's fetch alone (sort -1)", l);
  Print("page of 100 rows with a filter, JSON over HTTP", Summarise(httpFilter));
  Print("page 21 of a one-node filter (page=20), JSON over HTTP", Summarise(httpFilterDeep));
  std::printf("%-58s %8.2f\n", "ratio HTTP page / library fetch (medians)", h.median / l.median);

  // Acknowledge in session A; session B learns it by its event stream and
  // fetches the page, as the browser does.
  std::mutex m;
  std::condition_variable cv;
  long events = 0;
  std::atomic<bool> stop{false};
  std::thread listener([&] {
    httplib::Client sse("127.0.0.1", server.port());
    sse.set_read_timeout(30);
    sse.Get("/api/events", sb.Headers(), [&](const char* data, size_t n) {
      std::string chunk(data, n);
      if (chunk.find("data:") != std::string::npos) {
        std::lock_guard<std::mutex> lock(m);
        ++events;
        cv.notify_all();
      }
      return !stop.load();
    });
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return events > 0; });
  }
  auto page = json::parse(a.Get("/api/alarms?sort=-1&count=1000", sa.Headers())->body);
  std::vector<std::string> fresh;
  for (const json& r : page["rows"]) {
    if (!r["ack"].get<bool>() && !r["message"].get<bool>()) fresh.push_back(r["ref"]);
  }
  std::vector<double> delays;
  for (int i = 0; i < rounds && i < static_cast<int>(fresh.size()); ++i) {
    long before;
    {
      std::lock_guard<std::mutex> lock(m);
      before = events;
    }
    auto s = Clock::now();
    a.Post("/api/ack", sa.Headers(), json{{"refs", {fresh[i]}}}.dump(), "application/json");
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return events > before; })) {
      std::printf("no event within 5 s\n");
      continue;
    }
    lock.unlock();
    auto r = b.Get("/api/alarms?sort=-1&count=100", sb.Headers());
    delays.push_back(Ms(Clock::now() - s));
  }
  Print("acknowledge in A to B's page showing it (event + fetch)", Summarise(delays));

  // 20 clients at once, each with a filter of its own, paging through its
  // view (first page, then next by token, back to the first at the end).
  auto clientsRun = [&](bool withOperator) {
    const int clients = 20;
    const auto runFor = std::chrono::seconds(10);
    const char* filters[] = {"ASF_NODE IN \"PLANT1\"", "ASF_NODE IN \"PLANT2\"",
                             "ASF_PRIORITY >= \"HIGH\"", "ASF_ACK = \"Unacknowledged\"",
                             "ASF_NODE IN \"PLANT2\" AND ASF_PRIORITY >= \"MEDIUM\""};
    std::vector<std::vector<double>> times(clients);
    std::vector<std::thread> threads;
    std::atomic<long> failures{0};
    auto until = Clock::now() + runFor;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        httplib::Client c("127.0.0.1", server.port());
        c.set_read_timeout(60);
        Session s = SignIn(c, i % 2 ? "a" : "b", i % 2 ? "password-a" : "password-b");
        std::string base = "/api/alarms?sort=" + std::to_string(i % 2 ? -1 : 3) +
                           "&count=100&filter=" + httplib::detail::encode_query_param(filters[i % 5]);
        std::string next;
        while (Clock::now() < until) {
          auto t = Clock::now();
          auto r = c.Get(base + (next.empty() ? "" : "&after=" + next), s.Headers());
          times[static_cast<std::size_t>(i)].push_back(Ms(Clock::now() - t));
          if (!r || r->status != 200) {
            ++failures;
            next.clear();
            continue;
          }
          json j = json::parse(r->body);
          next = j["atEnd"].get<bool>() ? "" : j["last"].get<std::string>();
        }
      });
    }
    // Meanwhile an operator acknowledges an alarm every 100 ms: each commit
    // changes the counts of every client's view.
    std::vector<double> acks;
    std::thread op([&] {
      if (!withOperator) return;
      auto rows = json::parse(a.Get("/api/alarms?sort=1&count=1000&filter=" +
                                        httplib::detail::encode_query_param(
                                            "ASF_ACK = \"Unacknowledged\""),
                                    sa.Headers())
                                  ->body)["rows"];
      std::size_t next = 0;
      while (Clock::now() < until && next < rows.size()) {
        if (rows[next]["message"].get<bool>()) {
          ++next;
          continue;
        }
        auto t = Clock::now();
        auto r = a.Post("/api/ack", sa.Headers(), json{{"refs", {rows[next++]["ref"]}}}.dump(),
                        "application/json");
        acks.push_back(Ms(Clock::now() - t));
        if (!r || r->status != 200) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    for (auto& t : threads) t.join();
    op.join();
    if (!acks.empty()) {
      std::sort(acks.begin(), acks.end());
      std::printf("%-58s n %zu, median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                  "acknowledge every 100 ms meanwhile", acks.size(), acks[acks.size() / 2],
                  acks[acks.size() * 99 / 100], acks.back());
    }
    std::vector<double> all;
    for (auto& v : times) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    std::printf("%-58s %8.1f pages/s, median %.1f ms, p99 %.1f ms, %ld failed\n",
                withOperator ? "20 clients with filters, pages of 100 (10 s), operator acks"
                             : "20 clients with filters, pages of 100 (10 s)",
                static_cast<double>(all.size()) / std::chrono::duration<double>(runFor).count(),
                all[all.size() / 2], all[all.size() * 99 / 100], failures.load());
  };
  clientsRun(false);
  clientsRun(true);
  std::printf("%-58s %8ld KiB, +%ld KiB for the plant, %ld KiB serving\n", "server memory (VmRSS)",
              rss0, rssLoaded - rss0, RssKb());
  stop = true;
  a.Post("/api/horn", sa.Headers(), R"({"action":"silence"})", "application/json");
  listener.join();
  server.Stop();
  std::filesystem::remove_all(dir);
  return 0;
}

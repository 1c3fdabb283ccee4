// One web display under load (docs/web.md): many live pages (event
// streams) and slow-loris connections held open while a signed-in operator
// acknowledges alarms and fetches pages of 100 rows. Reports the operator's
// latencies (median, p99, max), the events the live pages got, and how the
// slow connections fared.
//
//   cmake --build build --target web_load
//   build/web/web_load [ALARMS=100000] [LIVE=500] [LORIS=200] [SECONDS=30] [STORE]
//
// With STORE (a file name; made afresh, replacing it) the plant is kept in a
// store file, so every acknowledge commits to disk; without it, in memory.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "web_bench_host.h"

#include "plant/demo_plant.h"
#include "plant/plant_store.h"
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

void Print(const char* what, std::vector<double> v) {
  if (v.empty()) return void(std::printf("%-34s no samples\n", what));
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
  };
  std::printf("%-34s n %5zu  median %7.2f  p99 %7.2f  max %7.2f ms\n", what, v.size(), at(0.5),
              at(0.99), v.back());
}

// A loopback connection from `source` (127.0.x.y: each a client of its own).
int Connect(int port, const std::string& source) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Source(int block, int i) {
  // 50 clients an address, under the default per-address limit.
  return "127." + std::to_string(block) + "." + std::to_string(i / 50) + "." +
         std::to_string(1 + i % 50);
}

}  // namespace

int main(int argc, char** argv) {
  long alarms = argc > 1 ? std::atol(argv[1]) : 100000;
  int live = argc > 2 ? std::atoi(argv[2]) : 500;
  int loris = argc > 3 ? std::atoi(argv[3]) : 200;
  int seconds = argc > 4 ? std::atoi(argv[4]) : 30;
  // Both ends of every connection are in this process.
  rlimit nofile{};
  getrlimit(RLIMIT_NOFILE, &nofile);
  nofile.rlim_cur = nofile.rlim_max;
  setrlimit(RLIMIT_NOFILE, &nofile);

  char tmpl[] = "/tmp/tolvane-web-load-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  std::string users = dir + "/users";
  std::string err;
  web::AddUser(users, "op", web::Role::kOperator, "password-op", &err, web::HashCost::kMinimal);

  auto host = bench::MakeBenchHost(alarms, argc > 5 ? argv[5] : "");
  if (!host) return 1;

  web::ServerOptions so;  // the defaults `serve` runs with
  so.listen = "127.0.0.1:0";
  so.usersFile = users;
  web::WebServer server(so, *host);
  if (!server.Start(&err)) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  const int port = server.port();
  const std::string hostHeader = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

  httplib::Client op("127.0.0.1", port);
  op.set_read_timeout(30);
  auto in = op.Post("/api/login", json{{"user", "op"}, {"password", "password-op"}}.dump(),
                    "application/json");
  if (!in || in->status != 200) return std::fprintf(stderr, "sign-in failed\n"), 1;
  std::string setCookie = in->get_header_value("Set-Cookie");
  httplib::Headers headers{{"Cookie", setCookie.substr(0, setCookie.find(';'))},
                           {"X-CSRF-Token", json::parse(in->body)["csrf"].get<std::string>()}};

  // New alarms to acknowledge, one a round.
  std::vector<std::string> refs;
  for (int page = 0; page < 5 && refs.size() < 2000; ++page) {
    auto r = op.Get("/api/alarms?count=1000&records=alarms&page=" + std::to_string(page), headers);
    if (!r || r->status != 200) {
      std::fprintf(stderr, "alarms: %d %s\n", r ? r->status : -1,
                   r ? r->body.substr(0, 200).c_str() : "");
      break;
    }
    json body = json::parse(r->body);
    for (const json& row : body["rows"]) {
      if (!row["ack"].get<bool>()) refs.push_back(row["ref"]);
    }
  }

  // Live pages: event streams of the operator's session, from addresses of
  // their own, read by one thread.
  int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> pages;
  for (int i = 0; i < live; ++i) {
    int fd = Connect(port, Source(10, i));
    if (fd < 0) break;
    std::string get = "GET /api/events HTTP/1.1\r\n" + hostHeader +
                      "Cookie: " + headers.find("Cookie")->second + "\r\n\r\n";
    send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    epoll_event e{EPOLLIN, {.fd = fd}};
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    pages.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::atomic<long> events{0}, pagesLost{0};
  std::thread reader([&] {
    epoll_event got[64];
    char buf[4096];
    while (!stop) {
      int n = epoll_wait(ep, got, 64, 100);
      for (int i = 0; i < n; ++i) {
        ssize_t r = recv(got[i].data.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r <= 0) {
          ++pagesLost;
          epoll_ctl(ep, EPOLL_CTL_DEL, got[i].data.fd, nullptr);
          continue;
        }
        std::string_view text(buf, static_cast<std::size_t>(r));
        for (std::size_t p = text.find("data:"); p != std::string_view::npos;
             p = text.find("data:", p + 1)) {
          ++events;
        }
      }
    }
  });

  // Slow loris: half a request each, then a byte every 2 s; one cut off is
  // opened again, so `loris` are held all along.
  std::atomic<long> lorisCut{0}, lorisAnswered{0};
  std::thread slow([&] {
    std::vector<int> fds(static_cast<std::size_t>(loris), -1);
    auto open = [&](int i) {
      fds[static_cast<std::size_t>(i)] = Connect(port, Source(20, i));
      std::string head = "GET /api/alarms HTTP/1.1\r\n" + hostHeader + "X-Slow: ";
      send(fds[static_cast<std::size_t>(i)], head.data(), head.size(), MSG_NOSIGNAL);
    };
    for (int i = 0; i < loris; ++i) open(i);
    while (!stop) {
      for (int i = 0; i < loris && !stop; ++i) {
        int& fd = fds[static_cast<std::size_t>(i)];
        char c;
        ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT);
        if (r > 0) ++lorisAnswered;
        if (r == 0 || (r < 0 && errno != EAGAIN) ||
            send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) <= 0) {
          ++lorisCut;
          close(fd);
          open(i);
        }
      }
      for (int t = 0; t < 20 && !stop; ++t)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int fd : fds) close(fd);
  });

  std::this_thread::sleep_for(std::chrono::seconds(1));
  web::WebStats held = server.Stats();
  std::printf("alarms %ld; live pages %zu, connections %zu open (asked: %d live, %d slow)\n",
              alarms, held.livePages, held.connections, live, loris);

  // The operator: a round every 100 ms, acknowledge one alarm, then a page
  // of 100 rows (pages 0..9 in turn).
  std::vector<double> ack, page;
  long failed = 0;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  for (std::size_t i = 0; Clock::now() < end && i < refs.size(); ++i) {
    auto round = Clock::now();
    auto t = Clock::now();
    auto a = op.Post("/api/ack", headers, json{{"refs", {refs[i]}}}.dump(), "application/json");
    if (a && a->status == 200)
      ack.push_back(Ms(Clock::now() - t));
    else
      ++failed;
    t = Clock::now();
    auto p = op.Get("/api/alarms?sort=-1&count=100&page=" + std::to_string(i % 10), headers);
    if (p && p->status == 200)
      page.push_back(Ms(Clock::now() - t));
    else
      ++failed;
    std::this_thread::sleep_until(round + std::chrono::milliseconds(100));
  }
  web::WebStats after = server.Stats();
  stop = true;
  reader.join();
  slow.join();

  Print("acknowledge one alarm", ack);
  Print("page of 100 rows", page);
  std::printf("operator requests failed: %ld\n", failed);
  std::printf("events read by the live pages: %ld (%.1f a page), live pages lost: %ld\n",
              events.load(), pages.empty() ? 0.0 : double(events) / double(pages.size()),
              pagesLost.load());
  std::printf("slow connections cut off and opened again: %ld; answered: %ld\n", lorisCut.load(),
              lorisAnswered.load());
  std::printf("at the end: live pages %zu, connections %zu, sessions %zu\n", after.livePages,
              after.connections, after.sessions);
  for (int fd : pages) close(fd);
  close(ep);
  server.Stop();
  std::filesystem::remove_all(dir);
  return 0;
}

// `tolvane serve --sources` with its metrics listener: the field points of
// the ingest it runs, over a real mosquitto on loopback, in /metrics, and
// /readyz following the broker.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "peers.h"
#include "program_runner.h"
#include "web/users.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

struct Answer {
  int status = -1;
  std::string body;
};

Answer Get(int port, const std::string& path) {
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(2, 0);
  c.set_read_timeout(5, 0);
  auto r = c.Get(path);
  return r ? Answer{r->status, r->body} : Answer{};
}

// The ingest serve started for `db` (its command line names the store).
pid_t IngestOf(const std::string& db) {
  const std::string want = std::string("tolvane") + '\0' + "--node" + '\0' + db + '\0' + "ingest";
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = ReadFile(e.path() / "cmdline");
    if (cmdline.rfind(want, 0) == 0) return static_cast<pid_t>(std::stol(name));
  }
  return -1;
}

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

TEST(ServeSources, ExportsTheFieldPointsAndIsReadyOnlyWhileTheSourceIsConnected) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  TempDir dir;
  std::string db = (dir / "plant.db").string(), sources = (dir / "plant1.toml").string(),
              users = (dir / "users").string();
  ASSERT_EQ(
      RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1", "--alarms", "0"}).exitCode,
      0);
  WriteFile(sources, "[[mqtt]]\nname = \"gw1\"\nurl = \"mqtt://127.0.0.1:" +
                         std::to_string(broker.port()) +
                         "\"\n[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"FT900\"\n"
                         "description = \"FIELD FLOW\"\ntopic = \"p/FT900\"\nhihi = 95.0\n"
                         "hi = 80.0\n");
  ASSERT_TRUE(broker.Publish("p/FT900", "99", true));
  std::string err;
  ASSERT_TRUE(web::AddUser(users, "op", web::Role::kOperator, "a long enough password", &err))
      << err;

  const int metrics = FreeLoopbackPort();
  Child serve;
  ASSERT_TRUE(serve.Start({TOLVANE_PROGRAM, "--node", db, "serve", "--listen", "127.0.0.1:0",
                           "--users", users, "--sources", sources, "--metrics-listen",
                           "127.0.0.1:" + std::to_string(metrics)},
                          false));
  ASSERT_TRUE(WaitForListener(metrics, 20s));

  // The point raised, its source connected, as the ingest beside serve tells.
  Answer scrape;
  EXPECT_TRUE(WaitFor(
      [&] {
        scrape = Get(metrics, "/metrics");
        return scrape.body.find("tolvane_field_points_in_alarm 1") != std::string::npos &&
               scrape.body.find("tolvane_field_source_connected{kind=\"mqtt\",source=\"gw1\"} 1") !=
                   std::string::npos;
      },
      20s))
      << scrape.body;
  EXPECT_NE(scrape.body.find("tolvane_field_points{quality=\"good\"} 1"), std::string::npos)
      << scrape.body;
  Answer ready;
  EXPECT_TRUE(WaitFor([&] { return (ready = Get(metrics, "/readyz")).status == 200; }, 10s))
      << ready.status << " " << ready.body;

  // The broker goes: not ready, naming the source; the series says so too.
  broker.Stop();
  EXPECT_TRUE(WaitFor([&] { return (ready = Get(metrics, "/readyz")).status == 503; }, 20s))
      << ready.status << " " << ready.body;
  EXPECT_NE(ready.body.find("field: mqtt gw1 (127.0.0.1:" + std::to_string(broker.port()) +
                            ") not connected"),
            std::string::npos)
      << ready.body;
  EXPECT_NE(Get(metrics, "/metrics")
                .body.find("tolvane_field_source_connected{kind=\"mqtt\",source=\"gw1\"} 0"),
            std::string::npos);

  // The ingest is ended from outside: readiness says so rather than its last word.
  pid_t ingest = IngestOf(db);
  ASSERT_GT(ingest, 0);
  ASSERT_EQ(::kill(ingest, SIGTERM), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        ready = Get(metrics, "/readyz");
        return ready.body.find("field: the ingest exited with status 0") != std::string::npos;
      },
      10s))
      << ready.status << " " << ready.body;
  serve.Stop();
}

}  // namespace
}  // namespace tolvane::testing

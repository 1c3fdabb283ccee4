// tolvane-node and `tolvane serve` (as a station) with their metrics
// listeners, scraped by a real Prometheus server on loopback, over a real
// nats-server: a flood and an acknowledge as Prometheus stores them, the
// exposition and the alert rules as promtool reads them, and readiness
// following the NATS server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include <sqlite3.h>

#include "nats_harness.h"
#include "tolvane/text_field.h"
#include "web/users.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

bool Have(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

std::optional<httplib::Result> Get(int port, const std::string& path) {
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(2, 0);
  c.set_read_timeout(5, 0);
  auto r = c.Get(path);
  if (!r) return std::nullopt;
  return r;
}

// The value of one series in an exposition text; nothing when absent.
std::optional<double> Series(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  }
  return std::nullopt;
}

// Runs a command with `input` on its standard input (a file); its exit code.
int RunShell(const std::string& command, const std::filesystem::path& input,
        const std::filesystem::path& log) {
  std::string c = command + " < '" + input.string() + "' > '" + log.string() + "' 2>&1";
  int rc = std::system(c.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class OpsPrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
    server_ = std::make_unique<NatsServer>(tmp_.path(), "s1");
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(MakeStreams(tmp_.path(), server_->url(), ""));
  }

  // The daemon of PLANT1, simulating `rate` events a second.
  void StartDaemon(double rate) {
    daemonMetrics_ = FreePort();
    daemon_ = std::make_unique<Daemon>(
        tmp_.path(), server_->url(), "PLANT1",
        std::vector<std::string>{"--demo-nodes", "2", "--demo-tags", "240", "--simulate",
                                 std::to_string(rate), "--metrics-listen",
                                 "127.0.0.1:" + std::to_string(daemonMetrics_)});
    ASSERT_TRUE(daemon_->Start()) << daemon_->log();
  }

  // `tolvane serve` as the station OPS.
  void StartServe() {
    std::string err;
    ASSERT_TRUE(web::AddUser((tmp_.path() / "users").string(), "op", web::Role::kOperator,
                             "a long enough password", &err))
        << err;
    serveMetrics_ = FreePort();
    serveLog_ = (tmp_.path() / "serve.log").string();
    ASSERT_TRUE(serve_.Start({TOLVANE_PROGRAM, "--nats", server_->url(), "--station", "OPS",
                              "serve", "--listen", "127.0.0.1:" + std::to_string(FreePort()),
                              "--users", (tmp_.path() / "users").string(), "--metrics-listen",
                              "127.0.0.1:" + std::to_string(serveMetrics_)},
                             serveLog_));
    ASSERT_TRUE(serve_.WaitForLog("metrics on port", 30000)) << ReadAll(serveLog_);
  }

  TempTree tmp_;
  std::unique_ptr<NatsServer> server_;
  std::unique_ptr<Daemon> daemon_;
  Child serve_;
  std::string serveLog_;
  int daemonMetrics_ = 0, serveMetrics_ = 0;
};

TEST_F(OpsPrograms, PrometheusStoresTheFloodAndTheAcknowledgeOfDaemonAndStation) {
  if (!Have("prometheus")) GTEST_SKIP() << "no prometheus server";
  StartDaemon(60);
  StartServe();

  // A flood: the simulator raises well over 10 new alarms within seconds.
  std::string text;
  ASSERT_TRUE(WaitFor(
      [&] {
        auto r = Get(daemonMetrics_, "/metrics");
        if (r && (*r)->status == 200) text = (*r)->body;
        auto n = Series(text, "tolvane_alarm_events_total{event=\"raised\",node=\"PLANT1\"}");
        return n && *n > 15;
      },
      20s))
      << text;

  // An acknowledge from a station of the test's own.
  auto station = OpenStation(server_->url(), "T");
  ASSERT_TRUE(station);
  std::optional<SUMQMSG> target;
  for (const SUMQMSG& m : station->view().Snapshot()) {
    if (m.almpak.msgType != 8 && m.ackFlag == 0 && FieldText(m.almpak.node) == "PLANT1") {
      target = m;
      break;
    }
  }
  ASSERT_TRUE(target);
  unsigned short h = 0;
  ASSERT_EQ(station->queue().Open(&h, nullptr), 0);
  ASSERT_EQ(station->queue().MarkAcknowledged(target->almpak.vsp.blockNumber,
                                              target->almpak.vsp.blockType, "PLANT1", h),
            0);

  // Prometheus scraping both, once a second.
  int promPort = FreePort();
  std::filesystem::path config = tmp_.path() / "prometheus.yml";
  std::ofstream(config) << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                        << "scrape_configs:\n"
                        << "  - job_name: node\n    static_configs:\n      - targets: ['127.0.0.1:"
                        << daemonMetrics_ << "']\n"
                        << "  - job_name: serve\n    static_configs:\n      - targets: ['127.0.0.1:"
                        << serveMetrics_ << "']\n";
  Child prometheus;
  std::string promLog = (tmp_.path() / "prometheus.log").string();
  ASSERT_TRUE(prometheus.Start(
      {"prometheus", "--config.file=" + config.string(),
       "--storage.tsdb.path=" + (tmp_.path() / "tsdb").string(),
       "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
      promLog));
  auto query = [&](const std::string& q) -> std::vector<std::pair<json, double>> {
    httplib::Client c("127.0.0.1", promPort);
    c.set_read_timeout(5, 0);
    auto r = c.Get("/api/v1/query", httplib::Params{{"query", q}}, httplib::Headers{});
    std::vector<std::pair<json, double>> out;
    if (!r || r->status != 200) return out;
    json j = json::parse(r->body, nullptr, false);
    if (j.is_discarded() || j["status"] != "success") return out;
    for (const json& s : j["data"]["result"]) {
      out.emplace_back(s["metric"], std::stod(s["value"][1].get<std::string>()));
    }
    return out;
  };
  auto one = [&](const std::string& q) -> std::optional<double> {
    auto r = query(q);
    if (r.size() != 1) return std::nullopt;
    return r.front().second;
  };
  ASSERT_TRUE(WaitFor([&] { return one("sum(up)") == 2.0; }, 60s)) << ReadAll(promLog);

  for (const char* job : {"node", "serve"}) {
    std::string j = std::string("job=\"") + job + "\"";
    SCOPED_TRACE(job);
    // The acknowledge, exactly once: the simulator never acknowledges.
    EXPECT_TRUE(WaitFor(
        [&] {
          return one("tolvane_alarm_events_total{" + j +
                     ",event=\"acknowledged\",node=\"PLANT1\"}") == 1.0;
        },
        20s))
        << ReadAll(promLog);
    EXPECT_EQ(one("tolvane_alarm_flood{" + j + ",node=\"PLANT1\"}"), 1.0);
    // Every raise counted is within the 10 minutes, so the two agree in one scrape.
    auto raised = one("tolvane_alarm_events_total{" + j + ",event=\"raised\",node=\"PLANT1\"}");
    auto recent = one("tolvane_alarms_new_last_10m{" + j + ",node=\"PLANT1\"}");
    ASSERT_TRUE(raised && recent);
    EXPECT_GT(*recent, 10);
    EXPECT_EQ(*raised, *recent);
    // The standing alarms by state add up to what the station's view holds
    // of the node, give or take what the simulator did between the reads.
    auto standing = one("sum(tolvane_alarms{" + j + ",node=\"PLANT1\"})");
    ASSERT_TRUE(standing);
    EXPECT_GT(*standing, 0);
  }
  EXPECT_EQ(one("tolvane_position_alarm_flood{job=\"serve\",position=\"OPS\"}"), 1.0);
  EXPECT_EQ(one("tolvane_node_stale{job=\"serve\",node=\"PLANT1\"}"), 0.0);
  auto age = one("tolvane_node_heartbeat_age_seconds{job=\"serve\",node=\"PLANT1\"}");
  ASSERT_TRUE(age);
  EXPECT_LT(*age, 5);
  EXPECT_EQ(one("tolvane_nats_connected{job=\"node\"}"), 1.0);
  EXPECT_EQ(one("tolvane_station_view_complete{job=\"serve\",station=\"OPS\"}"), 1.0);
  auto publishes = one("tolvane_publish_duration_seconds_count{job=\"node\",node=\"PLANT1\"}");
  ASSERT_TRUE(publishes);
  EXPECT_GT(*publishes, 0);
  // The acknowledge was a command: its confirmation was timed.
  EXPECT_GE(one("tolvane_confirm_duration_seconds_count{job=\"node\",node=\"PLANT1\"}"), 1.0);
  // Bounded cardinality: the standing alarms are by node, priority and state only.
  auto series = query("count(tolvane_alarms{job=\"node\"})");
  ASSERT_EQ(series.size(), 1u);
  EXPECT_LE(series.front().second, 2 * 16 * 3);
  prometheus.Stop();

  if (!Have("promtool")) GTEST_SKIP() << "no promtool";
  for (int port : {daemonMetrics_, serveMetrics_}) {
    auto r = Get(port, "/metrics");
    ASSERT_TRUE(r);
    std::filesystem::path body = tmp_.path() / ("metrics-" + std::to_string(port));
    std::ofstream(body) << (*r)->body;
    std::filesystem::path log = tmp_.path() / "promtool.log";
    EXPECT_EQ(RunShell("promtool check metrics", body, log), 0) << ReadAll(log);
  }
}

TEST(OpsRules, AlertRulesPassPromtoolAndItsRuleTests) {
  if (!Have("promtool")) GTEST_SKIP() << "no promtool";
  TempTree tmp;
  std::filesystem::path log = tmp.path() / "rules.log";
  std::string rules = std::string(TOLVANE_SOURCE_DIR) + "/docs/alerts.rules.yml";
  EXPECT_EQ(RunShell("promtool check rules '" + rules + "'", "/dev/null", log), 0) << ReadAll(log);
  std::string tests = std::string(TOLVANE_SOURCE_DIR) + "/docs/alerts.test.yml";
  EXPECT_EQ(RunShell("cd '" + std::string(TOLVANE_SOURCE_DIR) + "/docs' && promtool test rules '" +
                    tests + "'",
                "/dev/null", log),
            0)
      << ReadAll(log);
}

TEST_F(OpsPrograms, ReadinessFollowsTheNatsServer) {
  StartDaemon(2);
  StartServe();
  struct Step {
    const char* name;
    std::function<void()> act;
    int status;
    const char* reason;  // in the body when not ready
  };
  const Step steps[] = {
      {"running", [] {}, 200, "ready"},
      {"server stopped", [&] { server_->Stop(); }, 503, "nats: "},
      {"server back", [&] { ASSERT_TRUE(server_->Start()); }, 200, "ready"},
  };
  for (const Step& s : steps) {
    s.act();
    for (int port : {daemonMetrics_, serveMetrics_}) {
      std::string body;
      int status = 0;
      EXPECT_TRUE(WaitFor(
          [&] {
            auto r = Get(port, "/readyz");
            if (!r) return false;
            status = (*r)->status;
            body = (*r)->body;
            return status == s.status;
          },
          30s))
          << s.name << " port " << port << ": " << status << " " << body;
      EXPECT_NE(body.find(s.reason), std::string::npos) << s.name << ": " << body;
      auto h = Get(port, "/healthz");
      ASSERT_TRUE(h) << s.name;
      EXPECT_EQ((*h)->status, 200) << s.name;
    }
  }
}

// The sum of every series of one metric family in an exposition text.
double Sum(const std::string& text, const std::string& family) {
  std::istringstream in(text);
  std::string line;
  double sum = 0;
  while (std::getline(in, line)) {
    if (line.rfind(family + "{", 0) == 0 || line.rfind(family + " ", 0) == 0) {
      sum += std::stod(line.substr(line.rfind(' ') + 1));
    }
  }
  return sum;
}

// serve over a store file reloads its node when another program changes the
// store; the alarm events of the new node must still be counted.
TEST(ServeMetrics, AlarmEventsAreCountedAfterAnotherProgramChangesTheStore) {
  TempTree tmp;
  std::string store = (tmp.path() / "plant.db").string();
  ASSERT_EQ(std::system((std::string(TOLVANE_PROGRAM) + " demo --out '" + store +
                         "' --alarms 500 > /dev/null")
                            .c_str()),
            0);
  std::string err;
  ASSERT_TRUE(web::AddUser((tmp.path() / "users").string(), "op", web::Role::kOperator,
                           "a long enough password", &err))
      << err;
  int port = FreePort();
  std::string log = (tmp.path() / "serve.log").string();
  Child serve;
  ASSERT_TRUE(serve.Start({TOLVANE_PROGRAM, "--node", store, "serve", "--listen",
                           "127.0.0.1:" + std::to_string(FreePort()), "--users",
                           (tmp.path() / "users").string(), "--simulate", "40",
                           "--metrics-listen", "127.0.0.1:" + std::to_string(port)},
                          log));
  ASSERT_TRUE(serve.WaitForLog("metrics on port", 30000)) << ReadAll(log);
  auto events = [&] {
    auto r = Get(port, "/metrics");
    return r && (*r)->status == 200 ? Sum((*r)->body, "tolvane_alarm_events_total") : -1.0;
  };
  ASSERT_TRUE(WaitFor([&] { return events() > 0; }, 20s)) << ReadAll(log);

  // Another program acknowledges an alarm behind serve's back.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(store.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE alarms SET acknowledged = 1 WHERE id = "
                         "(SELECT min(id) FROM alarms WHERE acknowledged = 0 AND type <> 8)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  std::this_thread::sleep_for(3s);  // serve notices within a tick and reloads
  double before = events();
  EXPECT_TRUE(WaitFor([&] { return events() > before; }, 20s))
      << "no alarm event counted after the reload; " << before << " before";
}

}  // namespace
}  // namespace tolvane::testing

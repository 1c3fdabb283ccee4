// Field sources in the long-running programs: the node daemon (seen from a
// station over a real nats-server) and the web server, each fed by a real
// mosquitto on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "peers.h"
#include "program_runner.h"

namespace {

using namespace std::chrono_literals;
using tolvane::testing::Broker;
using tolvane::testing::Child;
using tolvane::testing::FreeLoopbackPort;
using tolvane::testing::ProgramResult;
using tolvane::testing::RunProgram;
using tolvane::testing::TempDir;
using tolvane::testing::WaitForListener;
using tolvane::testing::WriteFile;

const char kFlow[] =
    "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"FT900\"\ndescription = \"FIELD FLOW\"\n"
    "topic = \"p/FT900\"\nhihi = 95.0\nhi = 80.0\n";
const char kPressure[] =
    "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"PT901\"\ntopic = \"p/PT901\"\nlo = 10.0\n";

std::string Source(int port) {
  return "[[mqtt]]\nname = \"gw1\"\nurl = \"mqtt://127.0.0.1:" + std::to_string(port) + "\"\n";
}

// Runs `list` until its CSV satisfies `done` (15 s at most); the last output.
std::string ListUntil(const std::vector<std::string>& where,
                      const std::function<bool(const std::string&)>& done) {
  std::vector<std::string> args = where;
  args.insert(args.end(), {"list", "--format", "csv"});
  std::string out;
  auto until = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < until) {
    out = RunProgram(args).out;
    if (done(out)) break;
    std::this_thread::sleep_for(100ms);
  }
  return out;
}

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// The CSV line of `tag`, or "".
std::string LineOf(const std::string& csv, const std::string& tag) {
  std::size_t at = csv.find(tag);
  if (at == std::string::npos) return "";
  std::size_t start = csv.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return csv.substr(start, csv.find('\n', at) - start);
}

#ifdef TOLVANE_NODE_PROGRAM
TEST(NodeDaemonSources, FieldValuesRaiseAndClearOnAStationAndStayInTheStore) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  TempDir dir;
  int natsPort = FreeLoopbackPort();
  Child nats;
  ASSERT_TRUE(nats.Start({"nats-server", "-js", "-a", "127.0.0.1", "-p", std::to_string(natsPort),
                          "-sd", (dir / "js").string()},
                         false));
  ASSERT_TRUE(WaitForListener(natsPort, 10s));
  std::string url = "nats://127.0.0.1:" + std::to_string(natsPort);
  std::string db = (dir / "plant.db").string(), sources = (dir / "plant1.toml").string();
  ASSERT_EQ(
      RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1", "--alarms", "0"}).exitCode,
      0);
  WriteFile(sources, Source(broker.port()) + kFlow);
  ASSERT_TRUE(broker.Publish("p/FT900", "99", true));

  Child daemon;
  ASSERT_TRUE(daemon.Start({TOLVANE_NODE_PROGRAM, "--nats", url, "--node", "PLANT1", "--store", db,
                            "--sources", sources},
                           true));
  std::string line;
  ASSERT_TRUE(daemon.ReadLine(&line, 30s));
  EXPECT_EQ(line.rfind("ready PLANT1", 0), 0u) << line;

  const std::vector<std::string> station = {"--nats", url, "--station", "FIELDTEST"};
  std::string csv = ListUntil(station, [](const std::string& out) {
    return Has(LineOf(out, "FT900"), "HIHI");
  });
  EXPECT_TRUE(Has(LineOf(csv, "FT900"), "HIHI")) << csv;

  // Back inside its limits: the alarm stays, unacknowledged, but is no longer HIHI.
  ASSERT_TRUE(broker.Publish("p/FT900", "50", true));
  csv = ListUntil(station, [](const std::string& out) {
    std::string l = LineOf(out, "FT900");
    return !l.empty() && !Has(l, "HIHI");
  });
  EXPECT_FALSE(LineOf(csv, "FT900").empty()) << csv;
  EXPECT_FALSE(Has(LineOf(csv, "FT900"), "HIHI")) << csv;

  // A point added to the file is read on SIGHUP, while the daemon runs.
  WriteFile(sources, Source(broker.port()) + kFlow + kPressure);
  ASSERT_TRUE(broker.Publish("p/PT901", "5", true));
  daemon.Signal(SIGHUP);
  csv = ListUntil(station, [](const std::string& out) { return Has(LineOf(out, "PT901"), "LO"); });
  EXPECT_TRUE(Has(LineOf(csv, "PT901"), "LO")) << csv;

  // Stopped, the daemon leaves what it raised committed in its node's store.
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(20s), 0);
  ProgramResult r = RunProgram({"--node", db, "list", "--format", "csv"});
  EXPECT_TRUE(Has(LineOf(r.out, "PT901"), "LO")) << r.out;
  EXPECT_FALSE(LineOf(r.out, "FT900").empty()) << r.out;
}
#endif

TEST(ServeSources, FieldValuesReachTheStoreTheWebServes) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  TempDir dir;
  std::string db = (dir / "plant.db").string(), sources = (dir / "plant1.toml").string();
  ASSERT_EQ(
      RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1", "--alarms", "0"}).exitCode,
      0);
  WriteFile(sources, Source(broker.port()) + kFlow);
  ASSERT_TRUE(broker.Publish("p/FT900", "99", true));
  // The server starts only with a users file.
  std::string users = (dir / "users").string();
  Child add;
  ASSERT_TRUE(add.Start({TOLVANE_PROGRAM, "user", "add", "op1", "--role", "operator", "--users",
                         users, "--password-stdin"},
                        true));
  ASSERT_TRUE(add.WriteLine("correct horse battery staple"));
  ASSERT_EQ(add.Wait(30s), 0);
  int port = FreeLoopbackPort();
  Child serve;
  ASSERT_TRUE(serve.Start({TOLVANE_PROGRAM, "--node", db, "serve", "--sources", sources,
                           "--listen", "127.0.0.1:" + std::to_string(port), "--users", users},
                          false));
  ASSERT_TRUE(WaitForListener(port, 20s));
  std::string csv = ListUntil({"--node", db}, [](const std::string& out) {
    return Has(LineOf(out, "FT900"), "HIHI");
  });
  EXPECT_TRUE(Has(LineOf(csv, "FT900"), "HIHI")) << csv;

  // Without a store there is nothing to feed: refused, nothing served.
  ProgramResult r = RunProgram({"serve", "--sources", sources, "--listen", "127.0.0.1:0"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Has(r.err, "needs a plant store")) << r.err;
}

}  // namespace

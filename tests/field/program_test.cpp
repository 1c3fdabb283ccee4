// `tolvane sources check` and `tolvane ingest`, the built program end to end.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "peers.h"
#include "program_runner.h"

namespace {

using tolvane::testing::Broker;
using tolvane::testing::ProgramResult;
using tolvane::testing::RunProgram;
using tolvane::testing::TempDir;
using tolvane::testing::WriteFile;

std::string Sources(int port) {
  return "[[mqtt]]\nname = \"gw1\"\nurl = \"mqtt://127.0.0.1:" + std::to_string(port) +
         "\"\n[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"FT900\"\ndescription = \"FIELD FLOW\"\n"
         "topic = \"p/FT900\"\nhihi = 95.0\nhi = 80.0\n";
}

TEST(SourcesCheck, ListsEveryErrorWithItsPlace) {
  TempDir dir;
  WriteFile(dir / "bad.toml", Sources(1883) + "lo = 90.0\nbogus = 1\n");
  ProgramResult r = RunProgram({"sources", "check", (dir / "bad.toml").string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("bad.toml:10:6: limits out of order"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bad.toml:12:1: unknown key \"bogus\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2 errors"), std::string::npos) << r.err;

  WriteFile(dir / "good.toml", Sources(1883));
  r = RunProgram({"sources", "check", (dir / "good.toml").string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("valid: 1 MQTT and 0 Modbus sources, 1 points"), std::string::npos);

  // Against a store, the point's node must be one of its nodes.
  std::string db = (dir / "plant.db").string();
  ASSERT_EQ(RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1"}).exitCode, 0);
  WriteFile(dir / "other.toml",
            "[[modbus]]\nname = \"plc\"\n[[modbus.point]]\nnode = \"UTIL9\"\n"
            "tag = \"T\"\nregister = \"coil:1\"\n");
  r = RunProgram({"--node", db, "sources", "check", (dir / "other.toml").string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("other.toml:3:1: tag T is on no node"), std::string::npos) << r.err;
}

TEST(Ingest, RaisesIntoTheStoreAndKeepsItAcrossRuns) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  TempDir dir;
  std::string db = (dir / "plant.db").string(), sources = (dir / "plant1.toml").string();
  ASSERT_EQ(
      RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1", "--alarms", "0"}).exitCode,
      0);
  WriteFile(sources, Sources(broker.port()));
  ASSERT_TRUE(broker.Publish("p/FT900", "99", true));
  ProgramResult r = RunProgram({"--node", db, "ingest", "--sources", sources, "--for", "3s"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Field points: 1 (1 good"), std::string::npos) << r.out;
  r = RunProgram({"--node", db, "list", "--format", "csv"});
  EXPECT_NE(r.out.find("FT900"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HIHI"), std::string::npos) << r.out;
  r = RunProgram({"--node", db, "status"});
  EXPECT_NE(r.out.find("Field sources"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Source mqtt gw1"), std::string::npos) << r.out;

  // The next run takes the alarm over; the value's return leaves it, new, as OK.
  ASSERT_TRUE(broker.Publish("p/FT900", "50", true));
  r = RunProgram({"--node", db, "ingest", "--sources", sources, "--for", "3s"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("1 returned"), std::string::npos) << r.out;
  r = RunProgram({"--node", db, "list", "--format", "csv"});
  EXPECT_NE(r.out.find("FT900"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("HIHI"), std::string::npos) << r.out;

  r = RunProgram({"--node", db, "ingest", "--sources", sources, "--for", "soon"});
  EXPECT_EQ(r.exitCode, 2);
  r = RunProgram({"ingest", "--sources", sources});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("works on a plant store"), std::string::npos);
}

TEST(Ingest, AChangedFileAppliesOnHangupAndAlarmsStay) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  TempDir dir;
  std::string db = (dir / "plant.db").string(), sources = (dir / "plant1.toml").string();
  ASSERT_EQ(
      RunProgram({"demo", "--out", db, "--nodes", "1", "--tags", "1", "--alarms", "0"}).exitCode,
      0);
  WriteFile(sources, Sources(broker.port()));
  ASSERT_TRUE(broker.Publish("p/FT900", "99", true));
  tolvane::testing::Child ingest;
  ASSERT_TRUE(ingest.Start({TOLVANE_PROGRAM, "--node", db, "ingest", "--sources", sources}, true));
  std::string line;
  ASSERT_TRUE(ingest.ReadLine(&line, std::chrono::seconds(10)));
  EXPECT_EQ(line, "ingesting 1 points into " + db);
  // Lists the store until `tag` is in it (10 s at most).
  auto listWith = [&](const std::string& tag) {
    ProgramResult r;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      r = RunProgram({"--node", db, "list", "--format", "csv"});
      if (r.out.find(tag) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return r;
  };
  ProgramResult r = listWith("FT900");
  ASSERT_NE(r.out.find("FT900"), std::string::npos) << r.out;
  // A second point: applied on SIGHUP.
  WriteFile(sources, Sources(broker.port()) +
                         "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"PT901\"\ntopic = \"p/PT901\"\n"
                         "lo = 10.0\n");
  ASSERT_TRUE(broker.Publish("p/PT901", "5", true));
  ingest.Signal(SIGHUP);
  ASSERT_TRUE(ingest.ReadLine(&line, std::chrono::seconds(10)));
  EXPECT_EQ(line, "sources file read again: " + sources);
  r = listWith("PT901");
  EXPECT_NE(r.out.find("PT901"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FT900"), std::string::npos) << r.out;  // still standing
  ingest.Stop();
  r = RunProgram({"--node", db, "list", "--format", "csv"});
  EXPECT_NE(r.out.find("HIHI"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LO"), std::string::npos) << r.out;
}

}  // namespace

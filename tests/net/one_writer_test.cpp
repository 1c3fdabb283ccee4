// One writer per node: while a daemon holds its node of the store, the
// command line refuses to change that node, with its own exit code and the
// station form of the same command; other nodes, and the node after the
// daemon is gone (killed), stay the command line's to change.
#include <gtest/gtest.h>

#include <thread>

#include "nats_harness.h"
#include "net/protocol.h"
#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

// Runs the program; its exit code, with what it said in `output`.
int RunProgram(const std::filesystem::path& dir, std::vector<std::string> args,
               std::string* output) {
  static int runs = 0;
  std::string log = (dir / ("tolvane-" + std::to_string(++runs) + ".log")).string();
  args.insert(args.begin(), TOLVANE_PROGRAM);
  Child c;
  if (!c.Start(args, log)) return -1;
  int rc = c.Wait(60000);
  *output = ReadAll(log);
  return rc;
}

std::string Reference(const SUMQMSG& m) {
  return std::string(1, m.almpak.vsp.blockType) + std::to_string(m.almpak.vsp.blockNumber) +
         std::string(FieldText(m.almpak.node));
}

int AckOf(nats::Connection& conn, const SUMQMSG& m) {
  std::string node(FieldText(m.almpak.node));
  std::vector<AlarmFact> facts;
  if (!NodeTruth(conn, node, &facts)) return -1;
  std::string subject = nats::AlarmSubject(node, m.almpak.vsp.blockType, m.almpak.vsp.blockNumber);
  for (const AlarmFact& f : facts) {
    if (f.subject == subject) return f.ack;
  }
  return -1;
}

TEST(OneWriter, CommandLineRefusesANodeItsDaemonHoldsAndPointsAtTheStationForm) {
  std::string why;
  if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
  TempTree tmp;
  plant::DemoOptions d;
  d.nodes = 2;
  d.tags = 240;
  plant::StoreError serr;
  std::string store = (tmp.path() / "plant.db").string();
  ASSERT_TRUE(plant::PlantStore::Create(store, plant::MakeDemoPlant(d), false, &serr))
      << serr.message;
  NatsServer server(tmp.path(), "s1");
  ASSERT_TRUE(server.Start());
  Daemon plant1(tmp.path(), server.url(), "PLANT1", {"--store", store});
  ASSERT_TRUE(plant1.Start()) << plant1.log();
  // A second daemon for the same node of the same store is refused too.
  Daemon twin(tmp.path(), server.url(), "PLANT1", {"--store", store});
  EXPECT_FALSE(twin.Start(20000));
  EXPECT_NE(twin.log().find("is held by tolvane-node"), std::string::npos) << twin.log();

  auto station = OpenStation(server.url(), "S1");
  ASSERT_TRUE(station);
  nats::ConnectOptions co;
  co.url = server.url();
  auto conn = nats::Connection::Open(co, &why);
  ASSERT_TRUE(conn) << why;
  std::optional<SUMQMSG> held;
  for (const SUMQMSG& m : station->view().Snapshot()) {
    if (m.almpak.msgType != 8 && m.ackFlag == 0 && FieldText(m.almpak.node) == "PLANT1") held = m;
  }
  ASSERT_TRUE(held);
  std::string ref = Reference(*held);

  std::string out;
  // Every changing command about the held node: refused, nothing changed.
  for (const std::vector<std::string>& cmd : std::vector<std::vector<std::string>>{
           {"ack", ref}, {"ack", "--all"}, {"remove", ref}, {"shelve", ref, "--for", "1h"}}) {
    std::vector<std::string> args = {"--node", store};
    args.insert(args.end(), cmd.begin(), cmd.end());
    EXPECT_EQ(RunProgram(tmp.path(), args, &out), 8) << cmd[0] << ": " << out;
    EXPECT_NE(out.find("node PLANT1 of " + store + " is held by tolvane-node"), std::string::npos)
        << out;
  }
  EXPECT_NE(out.find("a station cannot do this"), std::string::npos) << out;  // shelve
  ASSERT_EQ(RunProgram(tmp.path(), {"--node", store, "ack", ref}, &out), 8);
  std::string form = "tolvane --nats " + server.url() + " --station NAME ack " + ref;
  EXPECT_NE(out.find(form), std::string::npos) << out;
  EXPECT_EQ(AckOf(*conn, *held), 0);
  // Reading is not changing; doctor names who holds what.
  EXPECT_EQ(RunProgram(tmp.path(), {"--node", store, "list", "--count", "5"}, &out), 0) << out;
  EXPECT_EQ(RunProgram(tmp.path(), {"--node", store, "doctor"}, &out), 0) << out;
  EXPECT_NE(out.find("held: PLANT1 by tolvane-node (pid "), std::string::npos) << out;

  // The station form does it, through the daemon.
  EXPECT_EQ(RunProgram(tmp.path(), {"--nats", server.url(), "--station", "CLI", "ack", ref}, &out),
            0)
      << out;
  EXPECT_EQ(AckOf(*conn, *held), 1);

  // A node no daemon holds is the command line's.
  plant::Plant before;
  {
    auto s = plant::PlantStore::Open(store, &serr);
    ASSERT_TRUE(s && s->Read(&before, &serr)) << serr.message;
  }
  std::string other;
  for (const plant::PlantAlarm& a : before.alarms) {
    if (a.msgType != 8 && !a.acknowledged && a.node == "PLANT2") {
      other = std::string(1, a.letter) + std::to_string(a.number) + a.node;
    }
  }
  ASSERT_FALSE(other.empty());
  EXPECT_EQ(RunProgram(tmp.path(), {"--node", store, "ack", other}, &out), 0) << out;

  // A killed daemon holds nothing.
  plant1.Kill();
  EXPECT_EQ(RunProgram(tmp.path(), {"--node", store, "doctor"}, &out), 0) << out;
  EXPECT_NE(out.find("no node is held by a running program"), std::string::npos) << out;
  EXPECT_EQ(RunProgram(tmp.path(), {"--node", store, "shelve", ref, "--for", "1h"}, &out), 0)
      << out;
}

}  // namespace
}  // namespace tolvane::testing

// What keeps a station honest about the plant: a dead daemon is a stale
// node, never a quiet one; alarms in a newer wire format are shown as such,
// not dropped; a large node's state pages; a server without JetStream is
// left for the next; old tombstones go.
#include <gtest/gtest.h>

#include <thread>

#include "nats_harness.h"
#include "net/node_daemon.h"
#include "net/protocol.h"
#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tolvane/text_field.h"
#include "tools/station_commands.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = Steady::now() + timeout;
  while (!f()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::optional<SUMQMSG> FirstOf(const nats::Station& s, const std::string& node) {
  for (const SUMQMSG& m : s.view().Snapshot()) {
    if (m.almpak.msgType != 8 && m.ackFlag == 0 && FieldText(m.almpak.node) == node) return m;
  }
  return std::nullopt;
}

class Liveness : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
    server_ = std::make_unique<NatsServer>(tmp_.path(), "s1");
    ASSERT_TRUE(server_->Start());
  }

  void StartDaemons(std::vector<std::string> args = {"--demo-nodes", "2", "--demo-tags", "120"}) {
    for (const char* n : {"PLANT1", "PLANT2"}) {
      daemons_.push_back(std::make_unique<Daemon>(tmp_.path(), server_->url(), n, args));
      ASSERT_TRUE(daemons_.back()->Start()) << daemons_.back()->log();
    }
  }

  std::unique_ptr<nats::Connection> Client() {
    nats::ConnectOptions co;
    co.url = server_->url();
    std::string err;
    auto c = nats::Connection::Open(co, &err);
    EXPECT_TRUE(c) << err;
    return c;
  }

  TempTree tmp_;
  std::unique_ptr<NatsServer> server_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
};

// Killed, hung or stopped: every station shows the node stale, its
// commands fail saying so, and it is alive again when its daemon returns.
TEST_F(Liveness, ADeadOrHungDaemonIsAStaleNodeNeverAQuietOne) {
  StartDaemons();
  nats::StationOptions o;
  o.connect.url = server_->url();
  o.name = "S1";
  o.staleAfterMs = 2000;
  o.requestTimeoutMs = 1000;
  std::string err;
  auto s1 = nats::Station::Connect(o, &err);
  ASSERT_TRUE(s1) << err;
  ASSERT_TRUE(WaitFor([&] { return s1->NodeAlive("PLANT1") && s1->NodeAlive("PLANT2"); }, 5s));
  auto target = FirstOf(*s1, "PLANT2");
  ASSERT_TRUE(target);
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);
  const _ALMPAK& p = target->almpak;
  cli::StationFlags flags{server_->url(), "S1", "", 10000};

  enum class End { kKilled, kHung, kStopped };
  for (End end : {End::kKilled, End::kHung, End::kStopped}) {
    SCOPED_TRACE(static_cast<int>(end));
    if (end == End::kKilled) daemons_[1]->Kill();
    if (end == End::kHung) daemons_[1]->Pause();
    if (end == End::kStopped) daemons_[1]->Stop();
    ASSERT_TRUE(WaitFor([&] { return !s1->NodeAlive("PLANT2"); }, 10s));
    EXPECT_TRUE(s1->NodeAlive("PLANT1"));
    std::string line = cli::StationStatusLine(*s1, flags);
    EXPECT_NE(line.find("STALE: PLANT2"), std::string::npos) << line;
    if (end == End::kStopped) {
      EXPECT_NE(line.find("daemon stopped"), std::string::npos) << line;
    }
    // Its alarms are still shown; a command about them fails saying the
    // node is stale (a hung daemon's may be of unknown outcome instead).
    EXPECT_GT(s1->view().Size(), 0u);
    short st = s1->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, "PLANT2", h);
    if (end == End::kHung) {
      EXPECT_TRUE(st == nats::kQueueNodeStale || st == nats::kQueueUnknown) << st;
    } else {
      EXPECT_EQ(st, nats::kQueueNodeStale);
    }
    zunagroup* g = s1->database().GroupCreate(1, 0);
    unsigned e =
        s1->database().GroupAdd(g, "PLANT2", FieldText(p.tagName).data(), "B_CUALM", nullptr);
    s1->database().Resolve(g);
    s1->database().Read(g);
    EXPECT_EQ(s1->database().Execute(g), nats::netstatus::kNodeStale);
    EXPECT_EQ(s1->database().EntryStatus(g, e), nats::netstatus::kNodeStale);
    s1->database().GroupFree(g);
    // A station started meanwhile knows at once from the stream.
    o.name = "LATE";
    auto late = nats::Station::Connect(o, &err);
    ASSERT_TRUE(late) << err;
    EXPECT_FALSE(late->NodeAlive("PLANT2"));
    EXPECT_TRUE(WaitFor([&] { return late->NodeAlive("PLANT1"); }, 5s));

    if (end == End::kHung) {
      daemons_[1]->Resume();
      // The acknowledge it got while hung had expired when it woke: never
      // done late, and the station learns that from it.
      if (st == nats::kQueueUnknown) {
        EXPECT_EQ(s1->WaitOutcome("PLANT2", p.vsp.blockType, p.vsp.blockNumber, 20000),
                  nats::CommandOutcome::kFailed);
      }
      auto c = Client();
      std::vector<AlarmFact> truth;
      ASSERT_TRUE(NodeTruth(*c, "PLANT2", &truth));
      std::string subject = nats::AlarmSubject("PLANT2", p.vsp.blockType, p.vsp.blockNumber);
      for (const AlarmFact& f : truth) {
        if (f.subject == subject) {
          EXPECT_EQ(f.ack, 0);
        }
      }
    } else {
      ASSERT_TRUE(daemons_[1]->Start()) << daemons_[1]->log();
    }
    EXPECT_TRUE(WaitFor([&] { return s1->NodeAlive("PLANT2"); }, 10s));
    s1->WaitOutcomes(10000);
  }
}

// A newer daemon's alarm reaches an older station: shown as an alarm the
// station cannot read, said in its status, never dropped. Later minors and
// the older major read as they are.
TEST_F(Liveness, AlarmsInANewerFormatAreShownAndSaidNotDropped) {
  StartDaemons();
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1);
  auto target = FirstOf(*s1, "PLANT1");
  ASSERT_TRUE(target);
  const _ALMPAK& p = target->almpak;
  std::string subject = nats::AlarmSubject("PLANT1", p.vsp.blockType, p.vsp.blockNumber);
  auto conn = Client();
  auto publish = [&](const std::string& body) {
    jsErrCode jerr{};
    ASSERT_EQ(js_Publish(nullptr, conn->js(), subject.c_str(), body.data(),
                         static_cast<int>(body.size()), nullptr, &jerr),
              NATS_OK);
  };
  nats::AlarmState state;
  state.msg = *target;
  state.timeIn = state.timeLast = std::chrono::system_clock::now();
  SUMQMSG seen{};
  auto description = [&] {
    if (s1->queue().Find(p.vsp.blockNumber, p.vsp.blockType, "PLANT1", &seen) != 0)
      return std::string();
    return std::string(FieldText(seen.almpak.description));
  };
  const std::string original(FieldText(p.description));

  publish(nats::EncodeAlarmAs(state, nats::kWireMajor + 1, 0));
  ASSERT_TRUE(WaitFor([&] { return s1->Status().newerFormat == 1; }, 5s));
  EXPECT_NE(description().find("UPGRADE THIS STATION"), std::string::npos) << description();
  EXPECT_EQ(seen.ackFlag, 0);
  EXPECT_EQ(s1->Status().newestMajor, nats::kWireMajor + 1);
  EXPECT_EQ(s1->Status().rejected, 0u);
  cli::StationFlags flags{server_->url(), "S1", "", 10000};
  EXPECT_NE(cli::StationStatusLine(*s1, flags).find("UPGRADE THIS STATION"), std::string::npos);

  // A later minor adds header fields this station skips; the old major reads.
  for (int major : {static_cast<int>(nats::kWireMajor), 1}) {
    std::string text = original + " V" + std::to_string(major);
    SetFieldTextPadded(state.msg.almpak.description, sizeof state.msg.almpak.description, text);
    publish(major == 1 ? nats::EncodeAlarmAs(state, 1, 0)
                       : nats::EncodeAlarmAs(state, nats::kWireMajor, nats::kWireMinor + 1,
                                             "a field of a later minor"));
    ASSERT_TRUE(WaitFor([&] { return description() == text; }, 5s)) << description();
    EXPECT_EQ(s1->Status().newerFormat, 0u);
  }
  EXPECT_EQ(s1->Status().rejected, 0u);
}

// 30,000 alarms on one node: its state is answered in pages under the
// server's message limit, and a station holds all of them.
TEST_F(Liveness, StateOfA30000AlarmNodeComesInPages) {
  plant::DemoOptions d;
  d.nodes = 1;
  d.tags = 30500;
  d.alarms = 30000;
  plant::StoreError serr;
  std::string store = (tmp_.path() / "big.db").string();
  ASSERT_TRUE(plant::PlantStore::Create(store, plant::MakeDemoPlant(d), false, &serr))
      << serr.message;
  Daemon big(tmp_.path(), server_->url(), "PLANT1", {"--store", store});
  ASSERT_TRUE(big.Start(120000)) << big.log();
  auto conn = Client();
  std::string reply;
  ASSERT_EQ(conn->Request(nats::CommandSubject("PLANT1", "state"), "{}", 10000, &reply),
            nats::RequestResult::kOk);
  EXPECT_LT(reply.size(), 1024u * 1024u);
  EXPECT_NE(reply.find("\"next\""), std::string::npos);
  std::vector<AlarmFact> truth;
  ASSERT_TRUE(NodeTruth(*conn, "PLANT1", &truth));
  EXPECT_EQ(truth.size(), 30000u);
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1);
  std::string diff;
  EXPECT_TRUE(WaitConverged(*conn, *s1, {"PLANT1"}, 30000, &diff)) << diff;
}

// The first server a station tries has no JetStream (its store is gone,
// say): the station moves on to the next instead of failing.
TEST_F(Liveness, AStationLeavesAServerThatCannotServeJetStream) {
  StartDaemons();
  // A server of its own, without JetStream.
  TempTree other;
  int port = FreePort();
  Child plain;
  std::string log = (other.path() / "plain.log").string();
  ASSERT_TRUE(plain.Start({"nats-server", "-a", "127.0.0.1", "-p", std::to_string(port)}, log));
  ASSERT_TRUE(plain.WaitForLog("Server is ready", 15000)) << ReadAll(log);
  nats::StationOptions o;
  o.connect.url = "nats://127.0.0.1:" + std::to_string(port) + "," + server_->url();
  o.connect.inOrder = true;
  o.name = "S1";
  o.startTimeoutMs = 20000;
  std::string err;
  auto s1 = nats::Station::Connect(o, &err);
  ASSERT_TRUE(s1) << err;
  EXPECT_EQ(s1->Status().server, server_->url());
  EXPECT_GT(s1->view().Size(), 0u);
}

// Daemons before heartbeats made no node stream: a station of this version
// still starts, shows their nodes as never heard, and follows the node
// stream once it exists.
TEST_F(Liveness, AStationStartsWithoutTheNodeStreamOfOlderDaemons) {
  auto conn = Client();
  jsStreamConfig cfg;
  jsStreamConfig_Init(&cfg);
  cfg.Name = nats::kAlarmStream;
  const char* subjects[] = {nats::kAlarmSubjects};
  cfg.Subjects = subjects;
  cfg.SubjectsLen = 1;
  cfg.MaxMsgsPerSubject = 1;
  jsErrCode jerr{};
  ASSERT_EQ(js_AddStream(nullptr, conn->js(), &cfg, nullptr, &jerr), NATS_OK);
  nats::AlarmState old;
  old.msg.almpak.vsp.blockType = 'A';
  old.msg.almpak.vsp.blockNumber = 1;
  SetFieldTextPadded(old.msg.almpak.node, sizeof old.msg.almpak.node, "OLDNODE");
  std::string body = nats::EncodeAlarmAs(old, 1, 0);
  std::string subject = nats::AlarmSubject("OLDNODE", 'A', 1);
  ASSERT_EQ(js_Publish(nullptr, conn->js(), subject.c_str(), body.data(),
                       static_cast<int>(body.size()), nullptr, &jerr),
            NATS_OK);
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1);
  EXPECT_EQ(s1->view().Size(), 1u);
  auto st = s1->Status();
  ASSERT_EQ(st.nodes.size(), 1u);
  EXPECT_EQ(st.nodes[0].node, "OLDNODE");
  EXPECT_TRUE(st.nodes[0].stale);
  EXPECT_EQ(st.nodes[0].ageMs, -1);
  // The upgraded daemon comes.
  StartDaemons();
  EXPECT_TRUE(WaitFor([&] { return s1->NodeAlive("PLANT1"); }, 10s));
}

// Tombstones older than the age go; a subject whose alarm came back after
// its tombstone keeps the alarm; younger tombstones stay.
TEST_F(Liveness, OldTombstonesAreRemovedAndNothingElse) {
  auto conn = Client();
  std::string err;
  ASSERT_TRUE(nats::EnsureStreams(*conn, nats::StreamOptions{}, &err)) << err;
  const std::string gone = nats::AlarmSubject("PLANT1", 'A', 1);
  const std::string back = nats::AlarmSubject("PLANT1", 'A', 2);
  const std::string young = nats::AlarmSubject("PLANT1", 'A', 3);
  nats::AlarmState alive;
  alive.msg.almpak.vsp.blockType = 'A';
  alive.msg.almpak.vsp.blockNumber = 2;
  SetFieldTextPadded(alive.msg.almpak.node, sizeof alive.msg.almpak.node, "PLANT1");
  std::string body = nats::EncodeAlarm(alive);
  auto publish = [&](const std::string& subject, const std::string& b) {
    jsErrCode jerr{};
    ASSERT_EQ(js_Publish(nullptr, conn->js(), subject.c_str(), b.data(), static_cast<int>(b.size()),
                         nullptr, &jerr),
              NATS_OK);
  };
  publish(gone, "");
  publish(back, "");
  std::this_thread::sleep_for(1500ms);
  publish(back, body);
  publish(young, "");
  std::size_t purged = 0;
  ASSERT_TRUE(nats::AgeTombstones(*conn, nats::kAlarmSubjects, 1s, &purged, &err)) << err;
  EXPECT_EQ(purged, 1u);
  auto last = [&](const std::string& subject) -> std::optional<std::string> {
    natsMsg* m = nullptr;
    jsErrCode jerr{};
    if (js_GetLastMsg(&m, conn->js(), nats::kAlarmStream, subject.c_str(), nullptr, &jerr) !=
        NATS_OK) {
      return std::nullopt;
    }
    std::string data(natsMsg_GetData(m), static_cast<std::size_t>(natsMsg_GetDataLength(m)));
    natsMsg_Destroy(m);
    return data;
  };
  EXPECT_FALSE(last(gone));
  EXPECT_EQ(last(back), body);
  EXPECT_EQ(last(young), std::string());
}

}  // namespace
}  // namespace tolvane::testing

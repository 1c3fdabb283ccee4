// The plant-wide deployment end to end: real nats-server processes, real
// tolvane-node daemons, stations in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "nats_harness.h"
#include "net/protocol.h"
#include "node/embedded_node.h"
#include "node/process_database.h"
#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/alarm_view.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kNodes = {"PLANT1", "PLANT2"};
const std::vector<std::string> kDemo = {"--demo-nodes", "2", "--demo-tags", "240"};

std::vector<std::string> DemoArgs(std::vector<std::string> more = {}) {
  std::vector<std::string> a = kDemo;
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// The first unacknowledged alarm of `node` in a station's view.
std::optional<SUMQMSG> Unacknowledged(const nats::Station& s, const std::string& node) {
  for (const SUMQMSG& m : s.view().Snapshot()) {
    if (m.almpak.msgType != 8 && m.ackFlag == 0 && FieldText(m.almpak.node) == node) return m;
  }
  return std::nullopt;
}

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
  }

  // One server, a daemon per node, a connection of the test's own.
  void StartPlant(const std::vector<std::string>& daemonArgs = DemoArgs()) {
    server_ = std::make_unique<NatsServer>(tmp_.path(), "s1");
    ASSERT_TRUE(server_->Start());
    for (const std::string& n : kNodes) {
      daemons_.push_back(std::make_unique<Daemon>(tmp_.path(), server_->url(), n, daemonArgs));
      ASSERT_TRUE(daemons_.back()->Start()) << daemons_.back()->log();
    }
    std::string err;
    nats::ConnectOptions co;
    co.url = server_->url();
    conn_ = nats::Connection::Open(co, &err);
    ASSERT_TRUE(conn_) << err;
  }

  void ExpectConverged(const nats::Station& s, int timeoutMs = 10000) {
    std::string diff;
    EXPECT_TRUE(WaitConverged(*conn_, s, kNodes, timeoutMs, &diff)) << diff;
  }

  TempTree tmp_;
  std::unique_ptr<NatsServer> server_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::unique_ptr<nats::Connection> conn_;
};

TEST_F(Deployment, AcknowledgeOnOneStationIsSeenOnTheOtherAndDatabaseReadsReachTheOwner) {
  StartPlant();
  auto s1 = OpenStation(server_->url(), "S1");
  auto s2 = OpenStation(server_->url(), "S2");
  ASSERT_TRUE(s1 && s2);
  ExpectConverged(*s1);
  ExpectConverged(*s2);
  ASSERT_GT(s1->view().Size(), 10u);
  EXPECT_TRUE(s1->queue().CanVisit());  // pages read in place, as on the embedded node

  auto target = Unacknowledged(*s1, "PLANT2");
  ASSERT_TRUE(target);
  const _ALMPAK& p = target->almpak;
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);
  int32_t seq2 = s2->view().SequenceNumber();
  ASSERT_EQ(s1->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, "PLANT2", h), 0);
  SUMQMSG seen{};
  EXPECT_TRUE(WaitFor(
      [&] {
        return s2->queue().Find(p.vsp.blockNumber, p.vsp.blockType, "PLANT2", &seen) == 0 &&
               seen.ackFlag == 1;
      },
      5s));
  EXPECT_NE(s2->view().SequenceNumber(), seq2);
  ExpectConverged(*s2);

  // One group over both nodes: each node resolves and reads its own entry.
  DatabaseBackend& db = s2->database();
  zunagroup* g = db.GroupCreate(1, 0);
  std::string tag1, tag2;
  for (const SUMQMSG& m : s2->view().Snapshot()) {
    std::string n(FieldText(m.almpak.node));
    if (n == "PLANT1" && tag1.empty()) tag1 = FieldText(m.almpak.tagName);
    if (n == "PLANT2" && m.ackFlag == 1 && tag2.empty()) tag2 = FieldText(m.almpak.tagName);
  }
  unsigned e1 = db.GroupAdd(g, "PLANT1", tag1.c_str(), "B_CUALM", nullptr);
  unsigned e2 = db.GroupAdd(g, "PLANT2", tag2.c_str(), "B_NALM", nullptr);
  unsigned e3 = db.GroupAdd(g, "PLANT2", "NO-SUCH-TAG", "B_NALM", nullptr);
  db.Resolve(g);
  db.Read(g);
  // The node's own statuses come back: the read of an entry that did not
  // resolve reports that.
  EXPECT_EQ(db.Execute(g), node::dbstatus::kNotResolved);
  short v = -1;
  EXPECT_EQ(db.EntryStatus(g, e1), 0);
  EXPECT_EQ(db.EntryGet(g, e1, &v), 0);
  EXPECT_NE(v, 0);  // in alarm
  EXPECT_EQ(db.EntryStatus(g, e2), 0);
  EXPECT_EQ(db.EntryGet(g, e2, &v), 0);
  EXPECT_EQ(v, 0);  // acknowledged
  EXPECT_EQ(db.EntryStatus(g, e3), node::dbstatus::kNotResolved);
  EXPECT_EQ(db.SerialCount(g), 2);
  db.GroupFree(g);
}

TEST_F(Deployment, AcknowledgeAllByFilterAcknowledgesExactlyTheSelectedOnBothNodes) {
  StartPlant();
  auto s2 = OpenStation(server_->url(), "S2");
  node::EmbeddedNode local;  // text, settings and the other local services
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1 && s2);
  s1->Install();
  std::map<std::string, bool> selected;  // subject -> priority HIGH or above
  std::set<int> nodesSelected;
  for (const SUMQMSG& m : s1->view().Snapshot()) {
    const _ALMPAK& p = m.almpak;
    if (p.msgType == 8 || m.ackFlag) continue;
    std::string n(FieldText(p.node));
    bool high = p.priority >= 3 && p.priority <= 5;
    selected[nats::AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber)] = high;
    if (high) nodesSelected.insert(n == "PLANT1" ? 1 : 2);
  }
  ASSERT_EQ(nodesSelected.size(), 2u) << "the demo plant should have high alarms on both nodes";

  // The station's view is walked whole, as the embedded node's is.
  std::size_t highNew = 0;
  for (const auto& [subject, high] : selected) highNew += high;
  AlarmView view(1, "ASF_PRIORITY >= \"HIGH\" AND ASF_ACK = \"Unacknowledged\"");
  AlarmViewCounts counts;
  ASSERT_EQ(view.Count(&counts), kOk);
  EXPECT_EQ(counts.alarms, highNew);
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  BulkOutcome outcome;
  ASSERT_EQ(AcknowledgeAllInView(mgr, h, "ASF_PRIORITY >= \"HIGH\"", 1, &outcome), 0);
  EXPECT_EQ(outcome.selected, highNew);
  EXPECT_EQ(outcome.done, highNew);
  mgr.FreeAlarmClientHandle(h);

  ExpectConverged(*s2);
  for (const std::string& n : kNodes) {
    std::vector<AlarmFact> truth;
    ASSERT_TRUE(NodeTruth(*conn_, n, &truth));
    for (const AlarmFact& f : truth) {
      auto it = selected.find(f.subject);
      if (it == selected.end()) continue;  // was acknowledged before
      EXPECT_EQ(f.ack, it->second ? 1 : 0) << f.subject;
    }
  }
}

TEST_F(Deployment, StationRestartedMidRunComesBackWithTheFullState) {
  StartPlant(DemoArgs({"--simulate", "40"}));
  auto s1 = OpenStation(server_->url(), "S1");
  auto s2 = OpenStation(server_->url(), "S2");
  ASSERT_TRUE(s1 && s2);
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);
  for (int i = 0; i < 5; ++i) {
    s2.reset();  // gone while changes go on
    for (const std::string& n : kNodes) {
      if (auto m = Unacknowledged(*s1, n)) {
        short st = s1->queue().MarkAcknowledged(m->almpak.vsp.blockNumber, m->almpak.vsp.blockType,
                                                n.c_str(), h);
        EXPECT_TRUE(st == 0 || st == node::kQueueNoAlarm) << st;  // the simulator may clear it
      }
    }
    std::this_thread::sleep_for(100ms);
    s2 = OpenStation(server_->url(), "S2");
    ASSERT_TRUE(s2);
    EXPECT_TRUE(s2->Status().complete);
  }
  ExpectConverged(*s2);
  ExpectConverged(*s1);
}

TEST_F(Deployment, StationKeepsItsViewWhileOfflineFailsCommandsAndCatchesUpAfter) {
  StartPlant(DemoArgs({"--simulate", "30"}));
  auto s1 = OpenStation(server_->url(), "S1", "", 500);
  ASSERT_TRUE(s1);
  ExpectConverged(*s1);
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);

  server_->Stop();
  ASSERT_TRUE(WaitFor([&] { return !s1->Status().connected; }, 10s));
  std::size_t held = s1->view().Size();
  EXPECT_GT(held, 0u);
  SUMQMSG page[1];
  (void)page;
  auto m = Unacknowledged(*s1, "PLANT1");
  ASSERT_TRUE(m);
  EXPECT_EQ(
      s1->queue().MarkAcknowledged(m->almpak.vsp.blockNumber, m->almpak.vsp.blockType, "PLANT1", h),
      nats::kQueueUnreachable);
  zunagroup* g = s1->database().GroupCreate(1, 0);
  unsigned e =
      s1->database().GroupAdd(g, "PLANT1", FieldText(m->almpak.tagName).data(), "B_NALM", nullptr);
  s1->database().Resolve(g);
  EXPECT_EQ(s1->database().Execute(g), nats::netstatus::kNodeUnreachable);
  EXPECT_EQ(s1->database().EntryStatus(g, e), nats::netstatus::kNodeUnreachable);
  s1->database().GroupFree(g);
  EXPECT_EQ(s1->view().Size(), held);  // the last view is still served
  SUMQHDR hdr{};
  EXPECT_EQ(s1->queue().GetHeader(&hdr), 0);

  std::this_thread::sleep_for(1s);  // the simulators go on meanwhile
  ASSERT_TRUE(server_->Start());
  EXPECT_TRUE(s1->WaitCurrent(20000));
  ExpectConverged(*s1, 20000);
}

// A message about one alarm on another alarm's subject is dropped and
// counted: the subject, which the server ties to one node, is the authority.
TEST_F(Deployment, StationDropsAlarmsWhoseBodyIsNotAboutTheirSubject) {
  StartPlant();
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1);
  ExpectConverged(*s1);
  auto victim = Unacknowledged(*s1, "PLANT2");
  ASSERT_TRUE(victim);
  std::optional<SUMQMSG> own;  // a PLANT1 alarm on another block than the victim's
  for (const SUMQMSG& m : s1->view().Snapshot()) {
    if (m.almpak.msgType != 8 && FieldText(m.almpak.node) == "PLANT1" &&
        (m.almpak.vsp.blockType != victim->almpak.vsp.blockType ||
         m.almpak.vsp.blockNumber != victim->almpak.vsp.blockNumber)) {
      own = m;
      break;
    }
  }
  ASSERT_TRUE(own);
  nats::AlarmState forged;
  forged.msg = *victim;
  SetFieldTextPadded(forged.msg.almpak.description, sizeof forged.msg.almpak.description, "FORGED");
  const _ALMPAK& v = victim->almpak;
  const _ALMPAK& o = own->almpak;
  std::string body = nats::EncodeAlarm(forged);
  // PLANT2's alarm on a PLANT1 subject, then on PLANT1's subject of another
  // block, then garbage.
  for (const std::string& subject :
       {nats::AlarmSubject("PLANT1", v.vsp.blockType, v.vsp.blockNumber),
        nats::AlarmSubject("PLANT1", o.vsp.blockType, o.vsp.blockNumber)}) {
    ASSERT_EQ(natsConnection_Publish(conn_->nc(), subject.c_str(), body.data(),
                                     static_cast<int>(body.size())),
              NATS_OK);
  }
  std::string junk = "\x7fjunk";
  // A subject of its own: the stream keeps one message per subject, so a
  // later one on the same subject may replace an earlier before delivery.
  std::string junkSubject = nats::AlarmSubject("PLANT1", 'Z', 32000);
  ASSERT_EQ(natsConnection_Publish(conn_->nc(), junkSubject.c_str(), junk.data(),
                                   static_cast<int>(junk.size())),
            NATS_OK);
  EXPECT_TRUE(WaitFor([&] { return s1->Status().rejected == 3; }, 5s))
      << s1->Status().rejected << " " << junkSubject;
  SUMQMSG seen{};
  ASSERT_EQ(s1->queue().Find(v.vsp.blockNumber, v.vsp.blockType, "PLANT2", &seen), 0);
  EXPECT_EQ(FieldText(seen.almpak.description), FieldText(v.description));
  // A station started afterwards reads the forged messages from the stream
  // and drops them too.
  auto s2 = OpenStation(server_->url(), "S2");
  ASSERT_TRUE(s2);
  ASSERT_EQ(s2->queue().Find(v.vsp.blockNumber, v.vsp.blockType, "PLANT2", &seen), 0);
  EXPECT_EQ(FieldText(seen.almpak.description), FieldText(v.description));
  EXPECT_GE(s2->Status().rejected, 1u);
}

// Without permissions anyone may serve a node's subjects: an answer that
// speaks for another node, or does not read, is dropped and counted, and the
// command fails instead of taking it.
TEST_F(Deployment, StationDropsAnswersNotFromTheNodeAsked) {
  StartPlant();
  auto s1 = OpenStation(server_->url(), "S1", "", 1000);
  ASSERT_TRUE(s1);
  daemons_[1]->Kill();
  auto target = Unacknowledged(*s1, "PLANT2");
  ASSERT_TRUE(target);
  const _ALMPAK& p = target->almpak;
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);
  for (const std::string& answer :
       {std::string(R"({"status":0,"node":"PLANT1"})"), std::string("not json")}) {
    natsSubscription* rogue = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(
                  &rogue, conn_->nc(), nats::CommandSubject("PLANT2", "ack").c_str(),
                  [](natsConnection* nc, natsSubscription*, natsMsg* m, void* text) {
                    auto* t = static_cast<std::string*>(text);
                    natsConnection_Publish(nc, natsMsg_GetReply(m), t->data(),
                                           static_cast<int>(t->size()));
                    natsMsg_Destroy(m);
                  },
                  const_cast<std::string*>(&answer)),
              NATS_OK);
    natsConnection_Flush(conn_->nc());
    uint64_t before = s1->Status().rejected;
    EXPECT_EQ(s1->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, "PLANT2", h),
              nats::kQueueBadReply);
    EXPECT_EQ(s1->Status().rejected, before + 1);
    natsSubscription_Unsubscribe(rogue);
    natsSubscription_Destroy(rogue);
  }
  SUMQMSG seen{};
  ASSERT_EQ(s1->queue().Find(p.vsp.blockNumber, p.vsp.blockType, "PLANT2", &seen), 0);
  EXPECT_EQ(seen.ackFlag, 0);
}

TEST_F(Deployment, KilledDaemonFailsItsBatchOfAcknowledgeAllAndStationsConvergeAfterRestart) {
  StartPlant();
  node::EmbeddedNode local;
  auto s1 = OpenStation(server_->url(), "S1", "", 1000);
  auto s2 = OpenStation(server_->url(), "S2");
  ASSERT_TRUE(s1 && s2);
  s1->Install();
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  char filter[] = "";
  std::thread killer([&] {
    std::this_thread::sleep_for(2ms);
    daemons_[1]->Kill();
  });
  short rc = mgr.AcknowledgeAllAlarmsByRef(filter, h, 1);
  killer.join();
  mgr.FreeAlarmClientHandle(h);
  // PLANT2's batch could not be done: never reported as success. PLANT1's
  // alarms are all acknowledged.
  EXPECT_NE(rc, 0);
  std::vector<AlarmFact> plant1;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &plant1));
  for (const AlarmFact& f : plant1) EXPECT_EQ(f.ack, 1) << f.subject;
  // Every acknowledge a station shows for the dead node is in the stream:
  // a fresh station sees the same.
  auto s3 = OpenStation(server_->url(), "S3");
  ASSERT_TRUE(s3);
  EXPECT_TRUE(
      WaitFor([&] { return StationFacts(*s2, "PLANT2") == StationFacts(*s3, "PLANT2"); }, 5s));
  ASSERT_TRUE(daemons_[1]->Start());
  ExpectConverged(*s1);
  ExpectConverged(*s2);
}

TEST_F(Deployment, ConfirmedAcknowledgeSurvivesAKilledDaemonThroughThePlantStore) {
  plant::DemoOptions d;
  d.nodes = 2;
  d.tags = 240;
  plant::StoreError serr;
  std::string storePath = (tmp_.path() / "plant.db").string();
  ASSERT_TRUE(plant::PlantStore::Create(storePath, plant::MakeDemoPlant(d), false, &serr))
      << serr.message;
  StartPlant({"--store", storePath});
  auto s1 = OpenStation(server_->url(), "S1");
  ASSERT_TRUE(s1);
  ExpectConverged(*s1);
  auto m = Unacknowledged(*s1, "PLANT1");
  ASSERT_TRUE(m);
  unsigned short h = 0;
  ASSERT_EQ(s1->queue().Open(&h, nullptr), 0);
  ASSERT_EQ(
      s1->queue().MarkAcknowledged(m->almpak.vsp.blockNumber, m->almpak.vsp.blockType, "PLANT1", h),
      0);
  daemons_[0]->Kill();
  ASSERT_TRUE(daemons_[0]->Start());
  std::vector<AlarmFact> truth;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &truth));
  std::string subject =
      nats::AlarmSubject("PLANT1", m->almpak.vsp.blockType, m->almpak.vsp.blockNumber);
  auto it = std::find_if(truth.begin(), truth.end(),
                         [&](const AlarmFact& f) { return f.subject == subject; });
  ASSERT_NE(it, truth.end());
  EXPECT_EQ(it->ack, 1);
  ExpectConverged(*s1);
}

}  // namespace
}  // namespace tolvane::testing

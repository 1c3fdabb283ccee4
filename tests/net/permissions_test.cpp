// The users and permissions of docs/nats-users.conf, each refusal in turn:
// a view-only station sends no command, a node daemon publishes and serves
// only its own node.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "nats_harness.h"
#include "net/protocol.h"
#include "node/process_database.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
    server_ = std::make_unique<NatsServer>(
        tmp_.path(), "secure", ReadAll(std::string(TOLVANE_SOURCE_DIR) + "/docs/nats-users.conf"));
    ASSERT_TRUE(server_->Start());
    for (const char* n : {"PLANT1", "PLANT2"}) {
      std::string user = std::string("node-") + n;
      std::string pass = std::string(n) == "PLANT1" ? "plant1-secret" : "plant2-secret";
      daemons_.push_back(std::make_unique<Daemon>(
          tmp_.path(), server_->url(), n,
          std::vector<std::string>{"--demo-nodes", "2", "--demo-tags", "120", "--credentials",
                                   user + ":" + pass}));
      ASSERT_TRUE(daemons_.back()->Start()) << daemons_.back()->log();
    }
    viewer_ = OpenStation(server_->url(), "V1", "viewer:viewer-secret", 1000);
    op_ = OpenStation(server_->url(), "O1", "operator:operator-secret", 1000);
    ASSERT_TRUE(viewer_ && op_);
    nats::ConnectOptions co;
    co.url = server_->url();
    co.credentials = "operator:operator-secret";
    std::string err;
    conn_ = nats::Connection::Open(co, &err);
    ASSERT_TRUE(conn_) << err;
  }

  TempTree tmp_;
  std::unique_ptr<NatsServer> server_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::unique_ptr<nats::Station> viewer_, op_;
  std::unique_ptr<nats::Connection> conn_;
};

TEST_F(Permissions, ViewOnlyStationIsRefusedEveryCommandAndChangesNothing) {
  std::vector<AlarmFact> before;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &before));
  std::optional<SUMQMSG> target;
  for (const SUMQMSG& m : viewer_->view().Snapshot()) {
    if (m.ackFlag == 0 && FieldText(m.almpak.node) == "PLANT1") target = m;
  }
  ASSERT_TRUE(target);
  const _ALMPAK& p = target->almpak;
  unsigned short h = 0;
  ASSERT_EQ(viewer_->queue().Open(&h, nullptr), 0);
  EXPECT_EQ(viewer_->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, "PLANT1", h),
            nats::kQueueRefused);
  SORT_CNTL sort{};
  std::string physical(FieldText(p.physicalNode));
  EXPECT_EQ(viewer_->queue().DeleteByPhysicalNode(sort, p.vsp.blockNumber, p.vsp.blockType,
                                                  physical.c_str(), h),
            nats::kQueueRefused);
  EXPECT_EQ(viewer_->alarmLibrary().SendOperatorMessage("hello", "PLANT1", 0), nats::kQueueRefused);

  // Reads are allowed, writes refused entry by entry.
  DatabaseBackend& db = viewer_->database();
  zunagroup* g = db.GroupCreate(1, 0);
  std::string tag(FieldText(p.tagName));
  unsigned e = db.GroupAdd(g, "PLANT1", tag.c_str(), "B_NALM", nullptr);
  db.Resolve(g);
  db.Read(g);
  EXPECT_EQ(db.Execute(g), 0);
  db.EntryPut(g, e, 0);
  db.Write(g);
  EXPECT_EQ(db.Execute(g), nats::netstatus::kRefused);
  EXPECT_EQ(db.EntryStatus(g, e), nats::netstatus::kRefused);
  db.GroupFree(g);

  std::vector<AlarmFact> after;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &after));
  EXPECT_EQ(after, before);

  // The operator station may.
  EXPECT_EQ(op_->queue().Open(&h, nullptr), 0);
  EXPECT_EQ(op_->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, "PLANT1", h), 0);
  EXPECT_EQ(op_->alarmLibrary().SendOperatorMessage("shift change", "PLANT1", 0), 0);
}

TEST_F(Permissions, NodeDaemonMayNeitherPublishNorServeAnotherNode) {
  // PLANT1's user running as PLANT2: refused its subjects, it does not start.
  Daemon impostor(
      tmp_.path(), server_->url(), "PLANT2",
      {"--demo-nodes", "2", "--demo-tags", "120", "--credentials", "node-PLANT1:plant1-secret"});
  EXPECT_FALSE(impostor.Start(15000));
  EXPECT_NE(impostor.log().find("refuses"), std::string::npos) << impostor.log();

  // Nor can it write into PLANT2's alarms directly.
  nats::ConnectOptions co;
  co.url = server_->url();
  co.credentials = "node-PLANT1:plant1-secret";
  std::string err;
  auto node1 = nats::Connection::Open(co, &err);
  ASSERT_TRUE(node1) << err;
  std::string subject = nats::AlarmSubject("PLANT2", 'A', 1);
  auto since = std::chrono::steady_clock::now();
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = 1000;
  jsErrCode jerr{};
  EXPECT_NE(js_Publish(nullptr, node1->js(), subject.c_str(), "", 0, &po, &jerr), NATS_OK);
  EXPECT_TRUE(node1->RefusedSince(subject, since));

  // A wrong password never connects.
  co.credentials = "operator:wrong";
  EXPECT_FALSE(nats::Connection::Open(co, &err));
}

}  // namespace
}  // namespace tolvane::testing

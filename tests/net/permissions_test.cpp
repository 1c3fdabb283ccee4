// The users and permissions of docs/nats-users.conf, against a real server
// running exactly that file: every refusal it lists is tried by a raw client
// of ours, and what the server cannot refuse (a node publishing nonsense on
// its own subjects, a consumer delivering into a node's command subjects) is
// dropped by stations and daemons and counted where an operator sees it.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "nats_harness.h"
#include "net/node_daemon.h"
#include "net/protocol.h"
#include "node/process_database.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

const std::map<std::string, std::string> kPasswords = {{"node-PLANT1", "plant1-secret"},
                                                       {"node-PLANT2", "plant2-secret"},
                                                       {"operator", "operator-secret"},
                                                       {"viewer", "viewer-secret"},
                                                       {"admin", "admin-secret"}};

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = Steady::now() + timeout;
  while (!f()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

const nats::NodeLiveness* FindNode(const nats::StationStatus& s, const std::string& token) {
  for (const auto& n : s.nodes) {
    if (n.node == token) return &n;
  }
  return nullptr;
}

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
    server_ = std::make_unique<NatsServer>(
        tmp_.path(), "secure", ReadAll(std::string(TOLVANE_SOURCE_DIR) + "/docs/nats-users.conf"));
    ASSERT_TRUE(server_->Start());
    // Only the admin makes streams.
    ASSERT_TRUE(MakeStreams(tmp_.path(), server_->url(), Credentials("admin")));
    for (const char* n : {"PLANT1", "PLANT2"}) {
      daemons_.push_back(std::make_unique<Daemon>(
          tmp_.path(), server_->url(), n,
          std::vector<std::string>{"--demo-nodes", "2", "--demo-tags", "120", "--credentials",
                                   Credentials(std::string("node-") + n)}));
      ASSERT_TRUE(daemons_.back()->Start()) << daemons_.back()->log();
    }
    viewer_ = OpenStation(server_->url(), "V1", Login("viewer"), 1000);
    op_ = OpenStation(server_->url(), "O1", Login("operator"), 1000);
    ASSERT_TRUE(viewer_ && op_);
    conn_ = Client("operator");
    ASSERT_TRUE(conn_);
  }

  std::string Login(const std::string& user) { return user + ":" + kPasswords.at(user); }
  std::string Credentials(const std::string& user) {
    return CredentialsFile(tmp_.path(), Login(user));
  }
  // A raw client of ours: a bare connection as `user`.
  std::unique_ptr<nats::Connection> Client(const std::string& user) {
    nats::ConnectOptions co;
    co.url = server_->url();
    co.credentials = Login(user);
    std::string err;
    auto c = nats::Connection::Open(co, &err);
    EXPECT_TRUE(c) << user << ": " << err;
    return c;
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
      {"--demo-nodes", "2", "--demo-tags", "120", "--credentials", Credentials("node-PLANT1")});
  EXPECT_FALSE(impostor.Start(15000));
  EXPECT_NE(impostor.log().find("refuses"), std::string::npos) << impostor.log();

  // A wrong password never connects.
  nats::ConnectOptions co;
  co.url = server_->url();
  co.credentials = "operator:wrong";
  std::string err;
  EXPECT_FALSE(nats::Connection::Open(co, &err));
}

// Everything a role does not need, tried by a raw client: each refused by
// the server, and the streams unharmed afterwards.
TEST_F(Permissions, RawClientsAreRefusedWhatTheirRoleDoesNotNeed) {
  struct Attempt {
    const char* user;
    enum { kPublish, kSubscribe } how;
    const char* subject;
    const char* body;
  };
  const Attempt attempts[] = {
      // Forging another node's alarms, journal or heartbeat.
      {"node-PLANT1", Attempt::kPublish, "tolvane.alarm.PLANT2.A1", ""},
      {"node-PLANT1", Attempt::kPublish, "tolvane.journal.PLANT2", "{}"},
      {"node-PLANT1", Attempt::kPublish, "tolvane.node.PLANT2", "{}"},
      {"operator", Attempt::kPublish, "tolvane.alarm.PLANT1.A1", ""},
      {"viewer", Attempt::kPublish, "tolvane.cmd.PLANT1.ack", "{}"},
      // Serving or snooping on others' subjects and replies.
      {"node-PLANT1", Attempt::kSubscribe, "tolvane.cmd.PLANT2.*", nullptr},
      {"node-PLANT1", Attempt::kSubscribe, "_INBOX.>", nullptr},
      {"node-PLANT1", Attempt::kSubscribe, "_INBOX_operator.>", nullptr},
      {"operator", Attempt::kSubscribe, "_INBOX_viewer.>", nullptr},
      {"viewer", Attempt::kSubscribe, "tolvane.alarm.>", nullptr},
      {"operator", Attempt::kSubscribe, "tolvane.cmd.*.*", nullptr},
      // Making, changing, purging or deleting streams: the admin's alone.
      {"operator", Attempt::kPublish, "$JS.API.STREAM.CREATE.TOLVANE_ALARMS", "{}"},
      {"viewer", Attempt::kPublish, "$JS.API.STREAM.CREATE.TOLVANE_ALARMS", "{}"},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.STREAM.CREATE.TOLVANE_ALARMS", "{}"},
      {"operator", Attempt::kPublish, "$JS.API.STREAM.UPDATE.TOLVANE_ALARMS", "{}"},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.STREAM.PURGE.TOLVANE_ALARMS", "{}"},
      {"operator", Attempt::kPublish, "$JS.API.STREAM.PURGE.TOLVANE_ALARMS", "{}"},
      {"viewer", Attempt::kPublish, "$JS.API.STREAM.DELETE.TOLVANE_ALARMS", ""},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.STREAM.DELETE.TOLVANE_NODES", ""},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.STREAM.MSG.DELETE.TOLVANE_ALARMS", "{\"seq\":1}"},
      // No consumers beyond the role's ephemeral ordered ones.
      {"operator", Attempt::kPublish, "$JS.API.CONSUMER.DURABLE.CREATE.TOLVANE_ALARMS.X", "{}"},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.CONSUMER.CREATE.TOLVANE_JOURNAL", "{}"},
      {"node-PLANT1", Attempt::kPublish, "$JS.API.CONSUMER.CREATE.TOLVANE_NODES", "{}"},
  };
  std::map<std::string, std::unique_ptr<nats::Connection>> clients;
  for (const Attempt& a : attempts) {
    auto& c = clients[a.user];
    if (!c) c = Client(a.user);
    ASSERT_TRUE(c);
    auto since = Steady::now();
    natsSubscription* sub = nullptr;
    if (a.how == Attempt::kPublish) {
      natsConnection_PublishRequestString(c->nc(), a.subject, (c->inboxPrefix() + ".x").c_str(),
                                          a.body);
    } else {
      natsConnection_SubscribeSync(&sub, c->nc(), a.subject);
    }
    natsConnection_FlushTimeout(c->nc(), 2000);
    EXPECT_TRUE(WaitFor([&] { return c->RefusedSince(a.subject, since); }, 3s))
        << a.user << " was not refused " << (a.how == Attempt::kPublish ? "publish" : "subscribe")
        << " on " << a.subject;
    if (sub) natsSubscription_Destroy(sub);
  }
  // The streams are whole.
  auto admin = Client("admin");
  for (const char* stream : {nats::kAlarmStream, nats::kNodeStream}) {
    jsStreamInfo* si = nullptr;
    jsErrCode jerr{};
    ASSERT_EQ(js_GetStreamInfo(&si, admin->js(), stream, nullptr, &jerr), NATS_OK) << stream;
    EXPECT_GT(si->State.Msgs, 0u) << stream;
    jsStreamInfo_Destroy(si);
  }
}

// Requests whose bodies do not read within bounds (nested past reason,
// one name twice, not JSON) are answered as unreadable, change nothing,
// and leave the daemon serving.
TEST_F(Permissions, HostileRequestBodiesAreAnsweredAsUnreadable) {
  std::vector<AlarmFact> before;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &before));
  auto op = Client("operator");
  ASSERT_TRUE(op);
  const std::string bodies[] = {
      std::string(100000, '[') + std::string(100000, ']'),
      R"({"id": "a", "id": "b", "block": 1})",
      "{\"id\": ",
  };
  for (const std::string& body : bodies) {
    std::string reply;
    ASSERT_EQ(op->Request(nats::CommandSubject("PLANT1", "ack"), body, 3000, &reply),
              nats::RequestResult::kOk);
    nlohmann::json answer = nlohmann::json::parse(reply);
    EXPECT_EQ(answer.value("status", 0), nats::kQueueBadReply) << body.substr(0, 40);
  }
  std::vector<AlarmFact> after;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT1", &after));
  EXPECT_EQ(after, before);
  EXPECT_EQ(op_->alarmLibrary().SendOperatorMessage("still serving", "PLANT1", 0), 0);
}

// Replies and deliveries go to each user's own inboxes: a node that tries to
// read them is refused and gets nothing while stations work.
TEST_F(Permissions, NobodyReadsAnotherUsersReplies) {
  auto node1 = Client("node-PLANT1");
  std::atomic<int> seen{0};
  std::vector<natsSubscription*> subs;
  for (const char* snoop : {">", "_INBOX.>", "_INBOX_operator.>", "_INBOX_viewer.>"}) {
    natsSubscription* sub = nullptr;
    natsConnection_Subscribe(
        &sub, node1->nc(), snoop,
        [](natsConnection*, natsSubscription*, natsMsg* m, void* n) {
          ++*static_cast<std::atomic<int>*>(n);
          natsMsg_Destroy(m);
        },
        &seen);
    subs.push_back(sub);
  }
  natsConnection_FlushTimeout(node1->nc(), 2000);
  std::vector<AlarmFact> facts;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(NodeTruth(*conn_, "PLANT2", &facts));
    DatabaseBackend& db = viewer_->database();
    zunagroup* g = db.GroupCreate(1, 0);
    db.GroupAdd(g, "PLANT2", "NO-SUCH-TAG", "B_NALM", nullptr);
    db.Resolve(g);
    db.Execute(g);
    db.GroupFree(g);
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(seen.load(), 0);
  for (natsSubscription* s : subs) natsSubscription_Destroy(s);
}

// A node may publish anything on its own subjects; stations take an alarm or
// a heartbeat only when its body is about what the subject names, and show
// the count by source.
TEST_F(Permissions, ForgeriesOnANodesOwnSubjectsAreDroppedAndCounted) {
  std::optional<SUMQMSG> victim;
  for (const SUMQMSG& m : op_->view().Snapshot()) {
    if (m.almpak.msgType != 8 && FieldText(m.almpak.node) == "PLANT2") {
      victim = m;
      if (m.ackFlag) break;  // an acknowledged one shows a cleared flag best
    }
  }
  ASSERT_TRUE(victim);
  const _ALMPAK& v = victim->almpak;
  nats::AlarmState forged;
  forged.msg = *victim;
  forged.msg.ackFlag = 0;
  SetFieldTextPadded(forged.msg.almpak.description, sizeof forged.msg.almpak.description,
                     "FORGED BY NODE-PLANT1");
  std::string body = nats::EncodeAlarm(forged);
  auto node1 = Client("node-PLANT1");
  std::string own = nats::AlarmSubject("PLANT1", v.vsp.blockType, v.vsp.blockNumber);
  jsErrCode jerr{};
  // The server takes it: the subject is PLANT1's.
  ASSERT_EQ(js_Publish(nullptr, node1->js(), own.c_str(), body.data(),
                       static_cast<int>(body.size()), nullptr, &jerr),
            NATS_OK);
  // An operator message in PLANT1's journal that claims to be PLANT2's.
  std::string entry =
      nlohmann::json{{"node", "PLANT2"}, {"text", "FORGED"}, {"flag", 0}, {"time", 1}}.dump();
  ASSERT_EQ(js_Publish(nullptr, node1->js(), nats::JournalSubject("PLANT1").c_str(), entry.data(),
                       static_cast<int>(entry.size()), nullptr, &jerr),
            NATS_OK);
  ASSERT_EQ(op_->alarmLibrary().SendOperatorMessage("shift change", "PLANT2", 0), 0);
  std::vector<nats::JournalEntry> journal;
  std::string err;
  ASSERT_TRUE(op_->ReadJournal(std::nullopt, std::nullopt, &journal, &err)) << err;
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].node, "PLANT2");
  EXPECT_EQ(journal[0].text, "shift change");
  EXPECT_EQ(journal[0].station, "O1");
  std::string beat = nlohmann::json{{"node", "PLANT2"}, {"stopped", true}}.dump();
  ASSERT_EQ(js_Publish(nullptr, node1->js(), nats::NodeSubject("PLANT1").c_str(), beat.data(),
                       static_cast<int>(beat.size()), nullptr, &jerr),
            NATS_OK);
  EXPECT_TRUE(WaitFor(
      [&] {
        auto s = op_->Status();
        return s.rejectedBySource.count("PLANT1") && s.rejectedBySource.at("PLANT1") >= 3;
      },
      5s));
  SUMQMSG seen{};
  ASSERT_EQ(op_->queue().Find(v.vsp.blockNumber, v.vsp.blockType, "PLANT2", &seen), 0);
  EXPECT_EQ(FieldText(seen.almpak.description), FieldText(v.description));
  EXPECT_EQ(seen.ackFlag, victim->ackFlag);
  EXPECT_TRUE(op_->NodeAlive("PLANT2"));  // the forged "stopped" beat did not count
  // A station started afterwards reads the forgery from the stream and drops it too.
  auto late = OpenStation(server_->url(), "LATE", Login("viewer"));
  ASSERT_TRUE(late);
  ASSERT_EQ(late->queue().Find(v.vsp.blockNumber, v.vsp.blockType, "PLANT2", &seen), 0);
  EXPECT_EQ(FieldText(seen.almpak.description), FieldText(v.description));
  EXPECT_GE(late->Status().rejectedBySource["PLANT1"], 1u);
}

// The server lets a user's consumer deliver to any subject: node-PLANT1
// stores a delete command on its own subject and points a consumer at
// PLANT2's delete subject. PLANT2's daemon takes commands only as requests
// answered to an inbox: it drops the delivery, and every station shows the
// count from PLANT2's heartbeat.
TEST_F(Permissions, CommandsDeliveredThroughAConsumerAreDroppedAndCounted) {
  std::optional<SUMQMSG> target;
  for (const SUMQMSG& m : op_->view().Snapshot()) {
    if (m.almpak.msgType != 8 && FieldText(m.almpak.node) == "PLANT2") target = m;
  }
  ASSERT_TRUE(target);
  const _ALMPAK& p = target->almpak;
  std::string physical(FieldText(p.physicalNode));
  auto node1 = Client("node-PLANT1");
  const std::string carrier = nats::AlarmSubject("PLANT1", 'Z', 31000);
  nlohmann::json del{{"physical", physical},
                     {"letter", static_cast<unsigned char>(p.vsp.blockType)},
                     {"number", static_cast<int16_t>(p.vsp.blockNumber)}};
  std::string body = del.dump();
  jsErrCode jerr{};
  ASSERT_EQ(js_Publish(nullptr, node1->js(), carrier.c_str(), body.data(),
                       static_cast<int>(body.size()), nullptr, &jerr),
            NATS_OK);
  std::vector<AlarmFact> before;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT2", &before));
  for (const char* kind : {"delete", "opmsg"}) {
    nlohmann::json cfg{{"stream_name", nats::kAlarmStream},
                       {"config",
                        {{"deliver_subject", nats::CommandSubject("PLANT2", kind)},
                         {"filter_subject", carrier},
                         {"deliver_policy", "last_per_subject"},
                         {"ack_policy", "none"}}}};
    std::string req = cfg.dump();
    std::string reply;
    ASSERT_EQ(node1->Request(std::string("$JS.API.CONSUMER.CREATE.") + nats::kAlarmStream, req,
                             3000, &reply),
              nats::RequestResult::kOk);
    ASSERT_EQ(reply.find("\"error\""), std::string::npos) << reply;
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        const nats::StationStatus status = op_->Status();
        const nats::NodeLiveness* n = FindNode(status, "PLANT2");
        return n && n->dropped >= 2;
      },
      5s));
  std::vector<AlarmFact> after;
  ASSERT_TRUE(NodeTruth(*conn_, "PLANT2", &after));
  EXPECT_EQ(after, before);
  EXPECT_NE(daemons_[1]->log().find("dropped a message on tolvane.cmd.PLANT2."), std::string::npos)
      << daemons_[1]->log();
}

}  // namespace
}  // namespace tolvane::testing

// Acknowledge and delete: the exact database call sequences (against a
// recording database) and their effect on the embedded node.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "services/zuna.h"
#include "support/manager_fixture.h"
#include "support/manager_peer.h"
#include "support/node_config_writer.h"
#include "support/recording_database.h"

namespace tolvane::testing {
namespace {

using Lines = std::vector<std::string>;

// The embedded node, but every database call goes to a recording double.
class RecordedAckTest : public ManagerFixture {
 protected:
  void SetUp() override {
    ManagerFixture::SetUp();
    InstallDatabaseBackend(&rec_);
  }
  void TearDown() override {
    InstallDatabaseBackend(&db());
    ManagerFixture::TearDown();
  }
  std::vector<node::OperatorMessageRecord> Messages() {
    return node_->alarmLibrary().OperatorMessages();
  }
  RecordingDatabase rec_;
};

TEST_F(RecordedAckTest, HandleThirtyTwoMakesNoCallAnywhere) {
  Raise({.tag = "FIC101"});
  int32_t seq = queue().SequenceNumber();
  char ref[64] = "A1PLANT1";
  char refs[128] = "A1PLANT1";
  char filter[] = "";
  EXPECT_EQ(mgr_->AcknowledgeAlarmByRef(kNoHandle, ref, 0), kFailed);
  EXPECT_EQ(mgr_->MarkAsAcknowledgedByRef(kNoHandle, ref), kFailed);
  EXPECT_EQ(mgr_->ManuallyDeleteAlarmByRef(kNoHandle, ref, 0), kFailed);
  EXPECT_EQ(mgr_->RemoveAlarmsByRef(kNoHandle, refs, 1, 1, 0), kFailed);
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(kNoHandle, filter, 0), kFailed);
  EXPECT_EQ(mgr_->AcknowledgeAllAlarmsByRef(filter, kNoHandle, 0), kFailed);
  EXPECT_TRUE(rec_.Calls().empty());
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(queue().SequenceNumber(), seq);
  EXPECT_EQ(queue().Size(), 1u);
}

TEST_F(RecordedAckTest, AcknowledgeWritesZeroToNalmInThisOrder) {
  Raise({.tag = "FIC101", .letter = 'A', .number = 1});
  char ref[64] = "A1PLANT1";
  ASSERT_EQ(mgr_->AcknowledgeAlarmByRef(handle_, ref, 0), kOk);
  EXPECT_EQ(rec_.Calls(), (Lines{"group_create(1,0)", "group_add(G1,PLANT1,FIC101,B_NALM,null)",
                                 "set_option(G1,0xFFFF)", "resolve(G1)", "execute(G1)",
                                 "entry_status(G1,0)", "entry_put(G1,0,0)", "write(G1)",
                                 "execute(G1)", "entry_status(G1,0)", "group_free(G1)"}));
  auto msgs = Messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "Alarm FIC101 acknowledged");
  EXPECT_EQ(msgs[0].node, "PLANT1");
  EXPECT_EQ(msgs[0].flag, 0);
}

TEST_F(RecordedAckTest, AcknowledgeStopsAtTheFirstFailingStatusAndStaysQuiet) {
  Raise({.tag = "FIC101"});
  rec_.SetStatuses("FIC101", "B_NALM", DbStep::kWrite, {1234});
  char ref[64] = "A1PLANT1";
  EXPECT_EQ(mgr_->AcknowledgeAlarmByRef(handle_, ref, 0), 1234);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(rec_.OpenGroups(), 0u);

  rec_.FailAdd("B_NALM");
  EXPECT_EQ(mgr_->AcknowledgeAlarmByRef(handle_, ref, 0), kFailed);
  EXPECT_EQ(rec_.OpenGroups(), 0u);
}

TEST_F(RecordedAckTest, AlarmNotInTheQueueAcknowledgesAsSuccessButDeletesAsFailure) {
  char ref[64] = "A9PLANT1";
  EXPECT_EQ(mgr_->AcknowledgeAlarmByRef(handle_, ref, 0), kOk);
  EXPECT_TRUE(rec_.CallsStartingWith("entry_put").empty());
  EXPECT_EQ(mgr_->ManuallyDeleteAlarmByRef(handle_, ref, 0), kFailed);
  EXPECT_TRUE(rec_.CallsStartingWith("entry_put").empty());
  EXPECT_EQ(rec_.OpenGroups(), 0u);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(RecordedAckTest, DeleteCountsStatus1713AsSuccessAndAnnouncesALeftAlarm) {
  Raise({.tag = "FIC101"});
  rec_.SetStatuses("FIC101", "B_DALM", DbStep::kWrite, {kDeleteAlreadyGone});
  rec_.SetValues("FIC101", "B_CUALM", {0});
  char ref[64] = "A1PLANT1";
  ASSERT_EQ(mgr_->ManuallyDeleteAlarmByRef(handle_, ref, 0), kOk);
  EXPECT_EQ(rec_.Calls(),
            (Lines{"group_create(1,0)", "set_option(G1,0xFFFF)",
                   "group_add(G1,PLANT1,FIC101,B_DALM,null)", "resolve(G1)", "execute(G1)",
                   "entry_status(G1,0)", "entry_put(G1,0,1)", "write(G1)", "execute(G1)",
                   "entry_status(G1,0)", "group_create(1,0)", "set_option(G2,0x8000DBBB)",
                   "group_add(G2,PLANT1,FIC101,B_CUALM,null)", "resolve(G2)", "execute(G2)",
                   "read(G2)", "execute(G2)", "entry_status(G2,0)", "entry_get(G2,0)",
                   "group_free(G2)", "group_free(G1)"}));
  auto msgs = Messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "Alarm FIC101 deleted");  // template 2, not 3
  EXPECT_EQ(msgs[0].flag, 0);
}

TEST_F(RecordedAckTest, DeleteOfABlockStillInAlarmSendsNoMessage) {
  Raise({.tag = "FIC101"});
  rec_.SetValues("FIC101", "B_CUALM", {1539});
  char ref[64] = "A1PLANT1";
  EXPECT_EQ(mgr_->ManuallyDeleteAlarmByRef(handle_, ref, 0), kOk);
  EXPECT_TRUE(Messages().empty());
  rec_.SetValues("FIC101", "B_CUALM", {267});
  EXPECT_EQ(mgr_->ManuallyDeleteAlarmByRef(handle_, ref, 1), kOk);  // quiet: no status read
  EXPECT_TRUE(rec_.CallsStartingWith("set_option(G4").empty());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(RecordedAckTest, FilteredAcknowledgeMakesOneBatchPerRunOfANode) {
  // Rows of nodes A, A, B, A: three batches.
  std::vector<tagAlarmStr> rows(4);
  const char* nodes[] = {"NODEA", "NODEA", "NODEB", "NODEA"};
  for (int i = 0; i < 4; ++i) {
    std::memset(&rows[i], 0, sizeof rows[i]);
    std::strcpy(rows[i].node, nodes[i]);
    std::snprintf(rows[i].tagName, sizeof rows[i].tagName, "T%d", i);
    std::snprintf(rows[i].reference, sizeof rows[i].reference, "A%d%s", i, nodes[i]);
    rows[i].vsp.blockType = 'A';
    rows[i].vsp.blockNumber = static_cast<int16_t>(i);
  }
  rec_.SetValues("", "B_NALM", {1});  // every alarm new
  rec_.SetValues("", "B_CUALM", {1539});
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::AckFiltered(*mgr_, rows.data(), 4, 0, handle_), kOk);
  EXPECT_EQ(rec_.CallsStartingWith("group_create").size(), 6u);
  auto msgs = Messages();
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].node, "NODEA");
  EXPECT_EQ(msgs[1].node, "NODEB");
  EXPECT_EQ(msgs[2].node, "NODEA");
  EXPECT_EQ(msgs[0].text, "All filtered alarms acknowledged");
  // The first batch had nothing cached, so every batch resolves.
  EXPECT_EQ(rec_.CallsStartingWith("resolve").size(), 6u);
  EXPECT_EQ(rec_.OpenGroups(), 0u);
}

TEST_F(RecordedAckTest, FilteredAcknowledgeReturnsTheFirstFailingWriteStatus) {
  std::vector<tagAlarmStr> rows(3);
  for (int i = 0; i < 3; ++i) {
    std::memset(&rows[i], 0, sizeof rows[i]);
    std::strcpy(rows[i].node, "NODEA");
    std::snprintf(rows[i].tagName, sizeof rows[i].tagName, "T%d", i);
  }
  rec_.SetValues("", "B_NALM", {1});
  rec_.SetStatuses("T1", "B_NALM", DbStep::kWrite, {77});
  rec_.SetStatuses("T2", "B_NALM", DbStep::kWrite, {88});
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::AckFiltered(*mgr_, rows.data(), 3, 0, handle_), 77);
  EXPECT_EQ(Messages().size(), 1u);  // T0's write went through
}

TEST_F(RecordedAckTest, RemoveAlarmsByRefGoesOnPastAnInvisibleAlarm) {
  for (int i = 1; i <= 3; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  char refs[3 * 64] = {};
  std::strcpy(refs, "A1PLANT1");
  std::strcpy(refs + 64, "A2PLANT1");
  std::strcpy(refs + 128, "A3PLANT1");
  queue().Clear("PLANT1", 'A', 2);
  EXPECT_EQ(mgr_->RemoveAlarmsByRef(handle_, refs, 1, 3, 0), kOk);
  EXPECT_EQ(AlarmCount(), 0u);
  auto msgs = Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].text, "Alarm of node PLANT1 tag T1 removed");
  EXPECT_FALSE(msgs[0].hasNode);
  EXPECT_EQ(msgs[0].flag, 1);
  EXPECT_TRUE(rec_.Calls().empty());  // the queue only
  EXPECT_EQ(mgr_->RemoveAlarmsByRef(handle_, refs, 1, 0, 0), kFailed);
}

TEST_F(RecordedAckTest, RemoveAlarmsByRefStopsAtAnUnparsableReference) {
  for (int i = 1; i <= 3; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  char refs[3 * 64] = {};
  std::strcpy(refs, "A1PLANT1");
  std::strcpy(refs + 64, "A2TOOLONGNAME");
  std::strcpy(refs + 128, "A3PLANT1");
  EXPECT_EQ(mgr_->RemoveAlarmsByRef(handle_, refs, 1, 3, 1), kFailed);
  EXPECT_EQ(queue().Size(), 2u);  // only the first went
}

TEST_F(RecordedAckTest, RemoveAllTakesOnlyFilteredRowsAndAnnouncesOnce) {
  char none[] = "";
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(handle_, none, 0), kOk);  // empty queue
  EXPECT_TRUE(Messages().empty());
  Raise({.tag = "PUMP1", .number = 1});
  Raise({.tag = "PUMP2", .number = 2});
  Raise({.node = "PLANT2", .physicalNode = "PHYS2", .tag = "VALVE3", .number = 3});
  char bad[] = "ASF_TAGNAME = ";
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(handle_, bad, 0), kOk);
  EXPECT_EQ(queue().Size(), 3u);
  char pumps[] = "ASF_TAGNAME = \"PUMP*\"";
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(handle_, pumps, 0), kOk);
  EXPECT_EQ(AlarmCount(), 1u);
  // Rows of remove-all carry the physical node name, which the delete needs.
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(handle_, none, 0), kOk);
  EXPECT_EQ(AlarmCount(), 0u);
  auto msgs = Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].text, "All alarms removed");
  EXPECT_EQ(msgs[0].flag, 1);
}

TEST_F(RecordedAckTest, MarkAcknowledgedChangesOnlyTheQueue) {
  Raise({.tag = "FIC101"});
  char ref[64] = "A1plant1";
  EXPECT_EQ(mgr_->MarkAsAcknowledgedByRef(handle_, ref), kOk);
  EXPECT_EQ(Fetch().data.at(0).ack[0], '1');
  EXPECT_TRUE(rec_.Calls().empty());
  EXPECT_TRUE(Messages().empty());
  char bad[64] = "A";
  EXPECT_EQ(mgr_->MarkAsAcknowledgedByRef(handle_, bad), kFailed);
  char gone[64] = "A5PLANT1";
  EXPECT_EQ(mgr_->MarkAsAcknowledgedByRef(handle_, gone), kFailed);
}

// --- field-ID cache ---

TEST_F(RecordedAckTest, CachedAddressesAreKeyedByNodeBlockTypeAndFieldWithoutCase) {
  VSP info{};
  info.fieldAttr = 9;
  info.blockType = 'A';
  info.fieldWord1 = 0x1111;
  info.fieldWord2 = 0x2222;
  rec_.SetInfoVsp("T1", "B_NALM", info);
  zunagroup* g = zuna_group_create(1, 0);
  unsigned int e = zuna_group_add(g, "plant1", "T1", "B_NALM", nullptr);
  CArray<unsigned int, unsigned int&> entries;
  entries.Add(e);
  EXPECT_EQ(mgr_->CacheFieldIDs(g, &entries), 1);
  EXPECT_EQ(entries.GetSize(), 0);
  zuna_group_free(g);

  char node[] = "PLANT1", tag[] = "OTHER", field[] = "b_nalm";
  VSP vsp{};
  vsp.blockType = 'A';
  vsp.blockNumber = 77;
  vsp.blockWord = 5;
  ASSERT_EQ(mgr_->GetVSPFieldInfo(node, tag, field, &vsp), 1);
  EXPECT_EQ(vsp.fieldAttr, 9);
  EXPECT_EQ(vsp.fieldWord1, 0x1111);
  EXPECT_EQ(vsp.fieldWord2, 0x2222);
  EXPECT_EQ(vsp.blockNumber, 77);  // the block part is the caller's
  EXPECT_EQ(vsp.blockWord, 5);
  VSP other{};
  other.blockType = 'B';
  EXPECT_EQ(mgr_->GetVSPFieldInfo(node, tag, field, &other), 0);
  EXPECT_EQ(other.fieldWord1, 0);
  EXPECT_EQ(mgr_->GetVSPFieldInfo(node, tag, field, nullptr), 0);
}

TEST_F(RecordedAckTest, SerialNumbersRefreshTheCacheOnlyWhenTheyChange) {
  zunagroup* g = zuna_group_create(1, 0);
  unsigned int e = zuna_group_add(g, "NODEQ", "T1", "B_NALM", nullptr);
  CArray<unsigned int, unsigned int&> entries;
  entries.Add(e);
  rec_.SetSerials({{"NODEQ", 7}});
  rec_.ClearCalls();
  mgr_->CachePDBSNInfo(g, &entries);  // first sight: stored, no refresh
  EXPECT_TRUE(rec_.CallsStartingWith("entry_info").empty());
  mgr_->CachePDBSNInfo(g, &entries);  // same: no refresh
  EXPECT_TRUE(rec_.CallsStartingWith("entry_info").empty());
  rec_.SetSerials({{"NODEQ", 8}});
  mgr_->CachePDBSNInfo(g, &entries);  // changed: the given entries refresh
  EXPECT_EQ(rec_.CallsStartingWith("entry_info").size(), 1u);
  EXPECT_EQ(entries.GetSize(), 1);
  rec_.ClearCalls();
  mgr_->SetPDBSNInfo(g);
  EXPECT_EQ(rec_.CallsStartingWith("serial_set"), (Lines{"serial_set(G1,NODEQ,8)"}));
  zuna_group_free(g);
}

TEST_F(RecordedAckTest, ConcurrentManagersShareTheCacheSafely) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      CVeltAlmSummMgr m;
      for (int i = 0; i < 200; ++i) {
        zunagroup* g = zuna_group_create(1, 0);
        std::string node = "N" + std::to_string((t + i) % 5);
        CArray<unsigned int, unsigned int&> entries;
        unsigned int e = zuna_group_add(g, node.c_str(), "T", "B_NALM", nullptr);
        entries.Add(e);
        m.ReCacheFieldIDs(g, &entries);
        m.SetPDBSNInfo(g);
        m.CachePDBSNInfo(g, &entries);
        VSP v{};
        char f[] = "B_NALM";
        m.GetVSPFieldInfo(node.data(), nullptr, f, &v);
        zuna_group_free(g);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(CVeltAlmSummMgr::m_uiObjectCount, 1u);  // the fixture's manager
}

// --- against the embedded process database ---

class AckTest : public ManagerFixture {};

TEST_F(AckTest, AcknowledgedAlarmShowsAcknowledgedInTheNextFetch) {
  Raise({.tag = "FIC101", .number = 1});
  Raise({.tag = "FIC102", .number = 2});
  char ref[64] = "A1PLANT1";
  ASSERT_EQ(mgr_->AcknowledgeAlarmByRef(handle_, ref, 0), kOk);
  Page p = Fetch("ASF_ACK = \"Acknowledged\" AND ASF_TAGNAME = \"FIC*\"");
  ASSERT_EQ(p.rows, 1);
  EXPECT_EQ(Tag(p.data[0]), "FIC101");
  EXPECT_EQ(db().GetField("PLANT1", "FIC101", "B_NALM"), 0);
}

TEST_F(AckTest, DeletedAlarmLeavesTheQueue) {
  Raise({.tag = "FIC101", .number = 1});
  db().SetField("PLANT1", "FIC101", "B_CUALM", 0);  // returned to normal
  char ref[64] = "A1PLANT1";
  ASSERT_EQ(mgr_->ManuallyDeleteAlarmByRef(handle_, ref, 0), kOk);
  EXPECT_EQ(queue().Size(), 1u);  // the operator message of the delete
  EXPECT_EQ(Fetch().data.at(0).reference[0], '\0');
}

TEST_F(AckTest, AcknowledgeAllOfAFilterAcrossNodes) {
  const char* nodes[] = {"PLANT1", "PLANT2", "PLANT3"};
  for (int i = 0; i < 30; ++i) {
    Raise({.node = nodes[i % 3],
           .tag = (i % 2 ? "PUMP" : "VALVE") + std::to_string(i),
           .number = int16_t(i)});
  }
  char filter[] = "ASF_TAGNAME = \"PUMP*\" AND ASF_NODE <> \"PLANT3\"";
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(filter, handle_, 1), kOk);
  Page acked = Fetch("ASF_ACK = \"Acknowledged\"");
  EXPECT_EQ(acked.rows, 10);
  for (const tagAlarmStr& r : acked.data) {
    EXPECT_EQ(Tag(r).substr(0, 4), "PUMP");
    EXPECT_NE(std::string(r.node), "PLANT3");
  }
  EXPECT_TRUE(node_->alarmLibrary().OperatorMessages().empty());  // quiet
  char all[] = "";
  EXPECT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 0), kOk);
  EXPECT_EQ(Fetch("ASF_ACK = \"Unacknowledged\"").rows, 0);
  EXPECT_EQ(node_->alarmLibrary().OperatorMessages().size(), 3u);  // one per node batch
}

TEST_F(AckTest, OperatorMessagesDoNotFailAnAcknowledgeAll) {
  Raise({.tag = "FIC101", .number = 1});
  queue().AddOperatorMessage("SHIFT HANDOVER", "PLANT1");
  char all[] = "";
  EXPECT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  EXPECT_EQ(db().GetField("PLANT1", "FIC101", "B_NALM"), 0);
  EXPECT_EQ(db().OpenGroups(), 0u);
}

TEST_F(AckTest, AlarmsThatLeftAlarmAreRemovedByAcknowledgeAll) {
  Raise({.tag = "GONE", .number = 1});
  Raise({.tag = "STAYS", .number = 2});
  db().SetField("PLANT1", "GONE", "B_CUALM", 0);
  char all[] = "";
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  Page p = Fetch("ASF_TAGNAME = \"*\"");
  ASSERT_EQ(p.rows, 1);
  EXPECT_EQ(Tag(p.data[0]), "STAYS");
}

TEST_F(AckTest, SummaryOptionDecidesWhetherAnAllAcknowledgedBatchIsWritten) {
  SettingsSandbox settings;
  Raise({.tag = "OLD", .number = 1, .acknowledged = true});
  db().SetField("PLANT1", "OLD", "B_CUALM", 0);
  char all[] = "";
  node_->database().ResetCounters();
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  EXPECT_EQ(db().Counters().writes, 0u);  // no option: nothing written
  EXPECT_EQ(queue().Size(), 1u);

  NodeConfigWriter w(10);
  for (int16_t i = 0; i < 5; ++i) w.Service(static_cast<int16_t>(1 << i), i == 4 ? 2 : 0);
  w.ServicesMask(16);
  w.Write(settings.Path("node1.VARN"));
  settings.SetNodeConfigSetting(settings.Path("node1"));
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  EXPECT_GE(db().Counters().writes, 1u);
  // The already acknowledged alarm that left alarm went through the database delete.
  EXPECT_EQ(queue().Size(), 1u);  // the delete's own operator message
  EXPECT_EQ(Fetch().data.at(0).reference[0], '\0');
}

TEST_F(AckTest, ChangedSerialNumberRefreshesCachedAddresses) {
  for (int i = 0; i < 5; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  char all[] = "";
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  for (int i = 0; i < 5; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  db().ResetCounters();
  ASSERT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  EXPECT_EQ(db().Counters().resolves, 0u);  // warm cache: no resolve
  EXPECT_EQ(Fetch("ASF_ACK = \"Unacknowledged\"").rows, 0);

  db().ReloadNode("PLANT1");  // old addresses go stale
  for (int i = 0; i < 5; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1);
  // Whatever the first call after the reload returned, the next one works
  // from refreshed addresses.
  for (int i = 0; i < 5; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  EXPECT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), kOk);
  EXPECT_EQ(Fetch("ASF_ACK = \"Unacknowledged\"").rows, 0);
}

}  // namespace
}  // namespace tolvane::testing

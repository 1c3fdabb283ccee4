// The embedded node as one object, loading a plant into it, and the
// simulator that drives it.
#include "plant/simulator.h"

#include <gtest/gtest.h>

#include <map>

#include "node/embedded_node.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
#include "plant/demo_plant.h"
#include "plant/plant_node.h"

namespace tolvane::plant {
namespace {

const TimePoint kNow = Clock::from_time_t(1'800'000'000);

Plant SmallPlant() {
  DemoOptions o;
  o.tags = 60;
  o.now = kNow;
  return MakeDemoPlant(o);
}

TEST(EmbeddedNodeTest, InstallsEveryServiceForItsLifetime) {
  {
    node::EmbeddedNode node;
    node.SetLocalNames({"PLANT1", "N1", "LOCAL"});
    CVeltAlmSummMgr mgr;
    short h = mgr.GetAlarmClientHandle();
    EXPECT_NE(h, kNoHandle);
    EXPECT_EQ(mgr.GetTotalNumOfAlarms(), 0);
    // Node services answer with the names given, so references of the local
    // node carry the alias.
    ASSERT_TRUE(node.database().AddNode("PLANT1"));
    node::AlarmInput in;
    in.node = in.physicalNode = "PLANT1";
    in.tag = "FIC101";
    in.blockLetter = 'P';
    in.blockNumber = 7;
    node.queue().Raise(in);
    char ref[64] = {};
    EXPECT_EQ(mgr.GetAlarmHandle(h, const_cast<char*>("plant1"), const_cast<char*>("FIC101"), ref),
              kOk);
    EXPECT_STREQ(ref, "P7LOCAL");
    EXPECT_EQ(mgr.FreeAlarmClientHandle(h), kOk);
  }
  // Gone with the node: the library answers like a plant that is down.
  CVeltAlmSummMgr mgr;
  EXPECT_EQ(mgr.GetAlarmClientHandle(), kNoHandle);
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), -1);
}

TEST(EmbeddedNodeTest, AnOldNodeGoingLeavesTheNodeInstalledAfterItInPlace) {
  auto old = std::make_unique<node::EmbeddedNode>();
  ASSERT_TRUE(old->Installed());
  // Filled beside the old one, which goes on serving meanwhile.
  node::EmbeddedNode fresh(node::EmbeddedNode::Installing::kLater);
  EXPECT_TRUE(old->Installed()) << "a node not yet installed took a slot";
  EXPECT_FALSE(fresh.Installed());
  fresh.SetLocalNames({"PLANT1", "N1", "LOCAL"});
  ASSERT_TRUE(fresh.database().AddNode("PLANT1"));
  node::AlarmInput in;
  in.node = in.physicalNode = "PLANT1";
  in.tag = "FIC101";
  in.blockLetter = 'P';
  in.blockNumber = 7;
  fresh.queue().Raise(in);
  {
    CVeltAlmSummMgr mgr;
    short h = mgr.GetAlarmClientHandle();
    EXPECT_EQ(mgr.GetTotalNumOfAlarms(), 0) << "the library reached the node not installed";
    mgr.FreeAlarmClientHandle(h);
  }

  fresh.Install();
  EXPECT_FALSE(old->Installed());
  old.reset();
  EXPECT_TRUE(fresh.Installed()) << "the old node took the new one's services with it";
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  ASSERT_NE(h, kNoHandle);
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), 1);
  char ref[64] = {};
  EXPECT_EQ(mgr.GetAlarmHandle(h, const_cast<char*>("plant1"), const_cast<char*>("FIC101"), ref),
            kOk);
  EXPECT_STREQ(ref, "P7LOCAL");
  EXPECT_EQ(mgr.FreeAlarmClientHandle(h), kOk);
}

// Every standing alarm's block reports the alarm's status, and every block
// in alarm has its alarm standing.
void ExpectDatabaseAgreesWithQueue(node::EmbeddedNode& node) {
  std::map<std::string, int32_t> standing;
  for (const SUMQMSG& m : node.queue().Snapshot()) {
    if (m.almpak.msgType == 8) continue;
    standing[std::string(m.almpak.tagName)] = m.almpak.statusCode;
  }
  for (const node::BlockRecord& b : node.database().Blocks()) {
    int16_t cu = b.fields[node::FieldIndex("B_CUALM")];
    auto it = standing.find(b.tag);
    if (cu != 0) {
      ASSERT_NE(it, standing.end()) << b.tag << " is in alarm but not in the summary";
      EXPECT_EQ(it->second, cu) << b.tag;
    } else if (it != standing.end()) {
      EXPECT_EQ(it->second, 0) << b.tag << " back to normal but its alarm says otherwise";
      EXPECT_EQ(b.fields[node::FieldIndex("B_NALM")], 1) << b.tag << " should have left";
    }
  }
}

TEST(SimulatorTest, KeepsDatabaseAndSummaryInStep) {
  node::EmbeddedNode node;
  Plant plant = SmallPlant();
  std::string err;
  ASSERT_TRUE(LoadPlant(plant, node, &err)) << err;
  ExpectDatabaseAgreesWithQueue(node);
  Simulator sim(node, plant, 3);
  int32_t seq = node.queue().SequenceNumber();
  for (int i = 0; i < 400; ++i) sim.Step(kNow + std::chrono::seconds(i));
  EXPECT_GT(sim.counts().raised, 0u);
  EXPECT_GT(sim.counts().changed, 0u);
  EXPECT_GT(sim.counts().cleared, 0u);
  EXPECT_NE(node.queue().SequenceNumber(), seq);
  ExpectDatabaseAgreesWithQueue(node);
}

// The simulator feeds values through the node's field evaluator: each
// alarm's status is the one its value gives against the block's limits.
TEST(SimulatorTest, AlarmsAgreeWithTheirValuesAndLimits) {
  node::EmbeddedNode node;
  Plant plant = SmallPlant();
  plant.alarms.clear();
  std::string err;
  ASSERT_TRUE(LoadPlant(plant, node, &err)) << err;
  Simulator sim(node, plant, 5);
  for (int i = 0; i < 600; ++i) sim.Step(kNow + std::chrono::seconds(i));
  int checked = 0;
  for (const SUMQMSG& m : node.queue().Snapshot()) {
    if (m.almpak.msgType == 8 || m.almpak.vsp.blockType == 'D') continue;
    std::string tag(m.almpak.tagName);
    double hi = *node.database().GetField(m.almpak.node, tag, "B_HILIM") / 10.0;
    double lo = *node.database().GetField(m.almpak.node, tag, "B_LOLIM") / 10.0;
    double v = m.almpak.value.value.f32;
    switch (m.almpak.statusCode) {
      case status::kHiHi:
        EXPECT_GE(v, hi + 4 - 1e-3) << tag;
        break;
      case status::kHi:
        EXPECT_GE(v, hi - 1e-3) << tag;
        EXPECT_LT(v, hi + 4) << tag;
        break;
      case status::kLo:
        EXPECT_LE(v, lo + 1e-3) << tag;
        EXPECT_GT(v, lo - 4) << tag;
        break;
      case status::kLoLo:
        EXPECT_LE(v, lo - 4 + 1e-3) << tag;
        break;
      default:  // back to normal, waiting for an acknowledge
        EXPECT_GT(v, lo) << tag;
        EXPECT_LT(v, hi) << tag;
    }
    ++checked;
  }
  EXPECT_GT(checked, 5);
  EXPECT_GT(sim.counts().changed, 0u);
}

TEST(SimulatorTest, AdvanceRunsEventsAtTheRate) {
  node::EmbeddedNode node;
  Plant plant = SmallPlant();
  std::string err;
  ASSERT_TRUE(LoadPlant(plant, node, &err)) << err;
  Simulator sim(node, plant, 9);
  sim.Advance(0.5, 10, kNow);  // 5 events
  sim.Advance(0.25, 2, kNow);  // half an event, kept for later
  sim.Advance(0.25, 2, kNow);  // and now the sixth
  const SimulatorCounts& c = sim.counts();
  std::size_t events = c.raised + c.changed + c.cleared;
  EXPECT_LE(events, 6u);
  EXPECT_GE(events, 4u) << "a step on a standing, unacknowledged normal alarm may do nothing";
}

TEST(PlantNodeTest, CaptureGivesBackWhatWasLoaded) {
  node::EmbeddedNode node;
  Plant plant = SmallPlant();
  plant.hornEnabled = false;
  plant.hornSilenced = true;
  std::string err;
  ASSERT_TRUE(LoadPlant(plant, node, &err)) << err;
  Plant back = CapturePlant(plant, node);
  ASSERT_EQ(back.alarms.size(), plant.alarms.size());
  for (std::size_t i = 0; i < plant.alarms.size(); ++i) {
    const PlantAlarm &a = plant.alarms[i], &b = back.alarms[i];
    EXPECT_EQ(a.tag, b.tag);
    EXPECT_EQ(a.node, b.node);
    EXPECT_EQ(a.physical, b.physical);
    EXPECT_EQ(a.msgType, b.msgType);
    EXPECT_EQ(a.acknowledged, b.acknowledged) << i;
    EXPECT_EQ(a.timeIn, b.timeIn) << i;
    EXPECT_EQ(a.timeLast, b.timeLast) << i;
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.areas, b.areas);
    EXPECT_EQ(a.description, b.description);
  }
  ASSERT_EQ(back.blocks.size(), plant.blocks.size());
  EXPECT_EQ(back.blocks[5].fields, plant.blocks[5].fields);
  EXPECT_EQ(back.blocks[5].description, plant.blocks[5].description);
  EXPECT_FALSE(back.hornEnabled);
  EXPECT_TRUE(back.hornSilenced);
  EXPECT_EQ(back.nodes[1].serial, plant.nodes[1].serial);
}

TEST(PlantNodeTest, RefusedPartsAreNamed) {
  node::EmbeddedNode node;
  Plant plant = SmallPlant();
  plant.blocks[3].fields["B_NOSUCH"] = 1;
  std::string err;
  EXPECT_FALSE(LoadPlant(plant, node, &err));
  EXPECT_EQ(err, "blocks[3].fields.B_NOSUCH: no such field");
}

}  // namespace
}  // namespace tolvane::plant

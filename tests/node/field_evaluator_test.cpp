#include "node/field_evaluator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "node/process_database.h"
#include "node/summary_queue.h"

namespace {

using namespace std::chrono_literals;
using tolvane::node::Clock;
using tolvane::node::FieldCondition;
using tolvane::node::FieldEvaluator;
using tolvane::node::FieldPointConfig;
using tolvane::node::FieldQuality;
using tolvane::node::ProcessDatabase;
using tolvane::node::SummaryQueue;
namespace fs = tolvane::node::fieldstatus;

constexpr int kNoAlarm = -100;  // expected: nothing stands in the summary

// One thing happening to point 0 at a time, and what the summary then shows.
struct Step {
  int ms;            // time since the start
  char what;         // 'v' value, 'q' quality, 't' tick only, 'a' operator acknowledges
  double value = 0;  // 'v': the value; 'q': a FieldQuality
  int status = kNoAlarm;
  bool acked = false;
};

struct Case {
  const char* name;
  FieldPointConfig point;
  std::vector<Step> steps;
};

FieldPointConfig Analog() {
  FieldPointConfig p;
  p.node = "PLANT1";
  p.tag = "FIC101";
  p.letter = 'A';
  p.number = 1;
  p.description = "FEED FLOW";
  p.hihi = 95;
  p.hi = 80;
  p.lo = 20;
  p.lolo = 5;
  p.deadband = 1;
  return p;
}

template <class F>
FieldPointConfig With(F f) {
  FieldPointConfig p = Analog();
  f(p);
  return p;
}

class FieldEvaluatorTest : public ::testing::TestWithParam<Case> {};

class Harness {
 public:
  Harness() : db_(&queue_) {
    db_.AddNode("PLANT1");
    db_.AddBlock("PLANT1", "FIC101", 'A', 1);
    db_.AddBlock("PLANT1", "FIC101SP", 'A', 2);
  }
  SummaryQueue queue_;
  ProcessDatabase db_;
  Clock::time_point t0 = Clock::time_point{} + 1000h;

  // The status of the block's standing alarm, or kNoAlarm.
  int Status(int number = 1, bool* acked = nullptr) {
    SUMQMSG msg{};
    if (queue_.Find(static_cast<short>(number), 'A', "PLANT1", &msg) != 0) return kNoAlarm;
    if (acked) *acked = msg.ackFlag != 0;
    return msg.almpak.statusCode;
  }
};

TEST_P(FieldEvaluatorTest, SummaryFollowsTheSteps) {
  const Case& c = GetParam();
  Harness h;
  FieldEvaluator ev(h.queue_, h.db_);
  ev.Add(c.point);
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    auto now = h.t0 + std::chrono::milliseconds(s.ms);
    switch (s.what) {
      case 'v':
        ev.Value(0, s.value, now);
        break;
      case 'q':
        ev.Quality(0, static_cast<FieldQuality>(static_cast<int>(s.value)), now);
        break;
      case 'a':
        h.queue_.Acknowledge("PLANT1", 'A', 1);
        break;
      default:
        break;
    }
    ev.Tick(now);
    bool acked = false;
    int status = h.Status(1, &acked);
    EXPECT_EQ(status, s.status) << c.name << ", step " << i << " at " << s.ms << " ms";
    if (status != kNoAlarm && status == s.status) {
      EXPECT_EQ(acked, s.acked) << c.name << ", step " << i;
    }
  }
}

const Case kCases[] = {
    {"limits in both directions and back",
     Analog(),
     {{0, 'v', 50},
      {100, 'v', 81, fs::kHi},
      {200, 'v', 96, fs::kHiHi},
      {300, 'v', 50, fs::kOk},  // returned, unacknowledged: stays
      {400, 'a', 0, kNoAlarm},  // acknowledged: leaves
      {500, 'v', 19, fs::kLo},
      {600, 'v', 4, fs::kLoLo},
      {700, 'a', 0, fs::kLoLo, true},
      {800, 'v', 50, kNoAlarm}}},  // acknowledged before the return: gone at once
    {"chatter inside the deadband does not raise again",
     Analog(),
     {{0, 'v', 80, fs::kHi},
      {10, 'a', 0, fs::kHi, true},
      {20, 'v', 79.5, fs::kHi, true},  // within the deadband: holds, stays acknowledged
      {30, 'v', 80.2, fs::kHi, true},
      {40, 'v', 79.1, fs::kHi, true},
      {50, 'v', 78.9, kNoAlarm},  // past hi - deadband: returns
      {60, 'v', 79.9, kNoAlarm}}},
    {"low side deadband",
     Analog(),
     {{0, 'v', 20, fs::kLo}, {10, 'v', 20.9, fs::kLo}, {20, 'v', 21.1, fs::kOk}}},
    {"hihi falls back to hi before normal",
     Analog(),
     {{0, 'v', 95, fs::kHiHi},
      {10, 'v', 94.5, fs::kHiHi},
      {20, 'v', 93.9, fs::kHi},
      {30, 'v', 79.5, fs::kHi},
      {40, 'v', 78, fs::kOk}}},
    {"on-delay: a short excursion never raises",
     With([](FieldPointConfig& p) { p.onDelay = 2s; }),
     {{0, 'v', 85},
      {1500, 'v', 50},
      {2500, 't'},
      {3000, 'v', 85},
      {4900, 't'},
      {5000, 't', 0, fs::kHi}}},
    {"on-delay keeps running while the point moves between conditions",
     With([](FieldPointConfig& p) { p.onDelay = 2s; }),
     {{0, 'v', 85}, {1500, 'v', 97}, {2000, 't', 0, fs::kHiHi}}},
    {"off-delay: a short return does not clear",
     With([](FieldPointConfig& p) {
       p.offDelay = 5s;
       p.ackRequired = false;
     }),
     {{0, 'v', 85, fs::kHi},
      {1000, 'v', 50, fs::kHi},
      {3000, 'v', 85, fs::kHi},
      {4000, 'v', 50, fs::kHi},
      {8999, 't', 0, fs::kHi},
      {9000, 't', 0, kNoAlarm}}},
    {"a point set to need no acknowledge leaves at its return",
     With([](FieldPointConfig& p) { p.ackRequired = false; }),
     {{0, 'v', 85, fs::kHi}, {10, 'v', 50, kNoAlarm}}},
    {"digital change of state",
     With([](FieldPointConfig& p) {
       p = FieldPointConfig{};
       p.node = "PLANT1";
       p.tag = "FIC101";
       p.number = 1;
       p.digital = true;
       p.alarmWhen = true;
     }),
     {{0, 'v', 0}, {10, 'v', 1, fs::kCos}, {20, 'v', 0, fs::kOk}, {30, 'a', 0, kNoAlarm}}},
    {"digital alarm on false",
     With([](FieldPointConfig& p) {
       p.digital = true;
       p.alarmWhen = false;
     }),
     {{0, 'v', 1}, {10, 'v', 0, fs::kCos}}},
    {"bad quality and its recovery",
     Analog(),
     {{0, 'v', 50},
      {10, 'q', static_cast<double>(FieldQuality::kBad), fs::kBad},
      {20, 'v', std::numeric_limits<double>::quiet_NaN(), fs::kBad},
      {30, 'v', 85, fs::kHi},
      {40, 'q', static_cast<double>(FieldQuality::kDevice), fs::kDevice},
      {50, 'q', static_cast<double>(FieldQuality::kRange), fs::kRange},
      {60, 'v', 50, fs::kOk}}},
    {"infinity is bad quality",
     Analog(),
     {{0, 'v', std::numeric_limits<double>::infinity(), fs::kBad}}},
    {"stale value: communication loss, then recovery",
     With([](FieldPointConfig& p) { p.staleAfter = 10s; }),
     {{0, 'v', 50},
      {10000, 't'},
      {10001, 't', 0, fs::kComm},
      {12000, 'v', 50, fs::kOk},
      {12001, 'a', 0, kNoAlarm}}},
    {"a point that never reads goes stale too",
     With([](FieldPointConfig& p) { p.staleAfter = 1s; }),
     {{0, 't'}, {1001, 't', 0, fs::kComm}}},
    {"communication loss overrides a delay in progress",
     With([](FieldPointConfig& p) { p.onDelay = 5s; }),
     {{0, 'v', 85}, {100, 'q', static_cast<double>(FieldQuality::kComm), fs::kComm}}},
    {"rate of change",
     With([](FieldPointConfig& p) {
       p.hi.reset();
       p.hihi.reset();
       p.rate = 10;  // per second
     }),
     {{0, 'v', 50}, {1000, 'v', 55}, {2000, 'v', 70, fs::kRate}, {3000, 'v', 71, fs::kOk}}},
};

INSTANTIATE_TEST_SUITE_P(Conditions, FieldEvaluatorTest, ::testing::ValuesIn(kCases));

TEST(FieldEvaluatorDeviation, SetpointMovesTheAlarmToo) {
  Harness h;
  FieldEvaluator ev(h.queue_, h.db_);
  FieldPointConfig sp;
  sp.node = "PLANT1";
  sp.tag = "FIC101SP";
  sp.number = 2;
  FieldPointConfig pv = Analog();
  pv.hihi.reset();
  pv.hi.reset();
  pv.lo.reset();
  pv.lolo.reset();
  pv.deviation = 10;
  pv.deadband = 2;
  // The setpoint comes after its user: linking goes both ways.
  pv.setpoint = 1;
  ev.Add(pv);
  ev.Add(sp);
  auto t = h.t0;
  ev.Value(1, 50, t);
  ev.Value(0, 55, t);
  EXPECT_EQ(h.Status(), kNoAlarm);
  ev.Value(0, 61, t);
  EXPECT_EQ(h.Status(), fs::kDev);
  ev.Value(0, 58.5, t);  // within the deadband
  EXPECT_EQ(h.Status(), fs::kDev);
  h.queue_.Acknowledge("PLANT1", 'A', 1);
  ev.Value(1, 58, t);  // the setpoint follows: deviation gone
  ev.Tick(t);
  EXPECT_EQ(h.Status(), kNoAlarm);
  ev.Value(1, 40, t);  // the setpoint moves away
  EXPECT_EQ(h.Status(), fs::kDev);
}

TEST(FieldEvaluatorDatabase, ValueStatusAndPriorityReachTheBlock) {
  Harness h;
  FieldEvaluator ev(h.queue_, h.db_);
  FieldPointConfig p = Analog();
  p.priority[static_cast<std::size_t>(FieldCondition::kHiHi)] = 3;
  ev.Add(p);
  ev.Value(0, 96.4, h.t0);
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_CV"), 96);
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_CUALM"), fs::kHiHi);
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_PRI"), 3);
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_NALM"), 1);
  SUMQMSG msg{};
  ASSERT_EQ(h.queue_.Find(1, 'A', "PLANT1", &msg), 0);
  EXPECT_EQ(msg.almpak.priority, 3);
  EXPECT_FLOAT_EQ(msg.almpak.value.value.f32, 96.4f);
  EXPECT_STREQ(msg.almpak.tagName, "FIC101");
  ev.Value(0, 1e9, h.t0);  // clamped into the 16-bit field, never wrapped
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_CV"), 32767);
  ev.Value(0, 50, h.t0);
  EXPECT_EQ(h.db_.GetField("PLANT1", "FIC101", "B_CUALM"), 0);
}

TEST(FieldEvaluatorRestart, AdoptKeepsStandingAlarmsAndTheirAcknowledge) {
  Harness h;
  {
    FieldEvaluator ev(h.queue_, h.db_);
    ev.Add(Analog());
    ev.Value(0, 85, h.t0);
    h.queue_.Acknowledge("PLANT1", 'A', 1);
  }
  // A new evaluator (a restart) over the same queue.
  FieldEvaluator ev(h.queue_, h.db_);
  ev.Add(Analog());
  ev.Adopt(h.t0 + 1s);
  EXPECT_EQ(ev.State(0).shown, FieldCondition::kHi);
  ev.Value(0, 84, h.t0 + 2s);  // still HI: nothing is raised again
  bool acked = false;
  EXPECT_EQ(h.Status(1, &acked), fs::kHi);
  EXPECT_TRUE(acked);
  EXPECT_EQ(ev.Counters().raised, 0u);
  ev.Value(0, 50, h.t0 + 3s);
  EXPECT_EQ(h.Status(), kNoAlarm);  // acknowledged before: leaves at once
}

TEST(FieldEvaluatorRestart, ReturnedUnacknowledgedAlarmStillLeavesOnAcknowledge) {
  Harness h;
  {
    FieldEvaluator ev(h.queue_, h.db_);
    ev.Add(Analog());
    ev.Value(0, 85, h.t0);
    ev.Value(0, 50, h.t0);
  }
  FieldEvaluator ev(h.queue_, h.db_);
  ev.Add(Analog());
  ev.Adopt(h.t0);
  ev.Tick(h.t0);
  EXPECT_EQ(h.Status(), fs::kOk);
  h.queue_.Acknowledge("PLANT1", 'A', 1);
  ev.Tick(h.t0);
  EXPECT_EQ(h.Status(), kNoAlarm);
}

TEST(FieldEvaluatorCounters, CountWhatHappened) {
  Harness h;
  FieldEvaluator ev(h.queue_, h.db_);
  ev.Add(Analog());
  ev.Value(0, 85, h.t0);
  ev.Value(0, 50, h.t0);
  ev.Quality(0, FieldQuality::kComm, h.t0);
  ev.Quality(0, FieldQuality::kComm, h.t0);  // still the same loss
  ev.Quality(0, FieldQuality::kBad, h.t0);
  ev.Value(0, std::nan(""), h.t0);
  const auto& c = ev.Counters();
  EXPECT_EQ(c.values, 2u);
  EXPECT_EQ(c.badReadings, 2u);
  EXPECT_EQ(c.commLosses, 1u);
  EXPECT_EQ(c.raised, 3u);  // HI, COMM, BAD
  EXPECT_EQ(c.returned, 1u);
}

}  // namespace

// The alarm series as a queue's events and one pass over it make them.
#include "ops/alarm_metrics.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "node/summary_queue.h"
#include "ops/metrics_server.h"

namespace tolvane::ops {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

// The value of one series in a scrape ("name{a=\"x\",b=\"y\"}"); -1 when absent.
double Series(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  }
  return -1;
}

node::AlarmInput Alarm(const std::string& node, int16_t number, int16_t priority) {
  node::AlarmInput a;
  a.node = a.physicalNode = node;
  a.tag = "T" + std::to_string(number);
  a.blockLetter = 'A';
  a.blockNumber = number;
  a.priority = priority;
  return a;
}

std::string Events(const std::string& node, const std::string& event) {
  return "tolvane_alarm_events_total{event=\"" + event + "\",node=\"" + node + "\"}";
}

std::string Standing(const std::string& node, int priority, const std::string& state) {
  return "tolvane_alarms{node=\"" + node + "\",priority=\"" + std::to_string(priority) +
         "\",state=\"" + state + "\"}";
}

TEST(AlarmMetrics, EventsAndStandingAlarmsFollowTheQueue) {
  struct Case {
    const char* name;
    std::function<void(node::SummaryQueue&)> act;
    std::map<std::string, double> expect;  // series -> value after the case (cumulative)
  };
  const Clock::time_point t0 = Clock::now();
  std::vector<Case> cases = {
      {"two raised on two nodes",
       [&](node::SummaryQueue& q) {
         q.Raise(Alarm("N1", 1, 3), t0);
         q.Raise(Alarm("n2", 2, 5), t0);  // node names compare without case
       },
       {{Events("N1", "raised"), 1},
        {Events("N2", "raised"), 1},
        {Standing("N1", 3, "new"), 1},
        {Standing("N2", 5, "new"), 1}}},
      {"acknowledged",
       [&](node::SummaryQueue& q) { ASSERT_TRUE(q.Acknowledge("N1", 'A', 1)); },
       {{Events("N1", "acknowledged"), 1},
        {Standing("N1", 3, "new"), 0},
        {Standing("N1", 3, "acknowledged"), 1}}},
      {"a standing alarm raised again is a change, unacknowledged again",
       [&](node::SummaryQueue& q) { q.Raise(Alarm("N1", 1, 4), t0 + 1s); },
       {{Events("N1", "raised"), 1},
        {Events("N1", "changed"), 1},
        {Standing("N1", 3, "acknowledged"), 0},
        {Standing("N1", 4, "new"), 1}}},
      {"shelved is neither a change nor an acknowledge",
       [&](node::SummaryQueue& q) { ASSERT_TRUE(q.SetSuppressed("N2", 'A', 2, true)); },
       {{Events("N2", "changed"), 0},
        {Events("N2", "acknowledged"), 0},
        {Standing("N2", 5, "new"), 0},
        {Standing("N2", 5, "shelved"), 1}}},
      {"cleared, and operator messages are no alarms",
       [&](node::SummaryQueue& q) {
         ASSERT_TRUE(q.Clear("N1", 'A', 1));
         q.AddOperatorMessage("hello", "N1", t0);
       },
       {{Events("N1", "cleared"), 1},
        {Events("N1", "raised"), 1},
        {Standing("N1", 4, "new"), 0}}},
  };
  node::SummaryQueue q;
  MetricsServer server;
  AlarmMetrics metrics(server.registry(), "desk");
  q.AddEventListener([&](const node::SummaryQueue::Event& e) { metrics.OnEvent(e); });
  server.OnScrape([&] { metrics.Refresh(q, t0 + 2s); });
  for (const Case& c : cases) {
    c.act(q);
    std::string text = server.Scrape();
    for (const auto& [series, value] : c.expect) {
      EXPECT_EQ(Series(text, series), value) << c.name << ": " << series << "\n" << text;
    }
  }
  // Loading a plant is no event.
  q.Append(Alarm("N3", 9, 6), t0, t0);
  std::string text = server.Scrape();
  EXPECT_EQ(Series(text, Events("N3", "raised")), 0) << text;
  EXPECT_EQ(Series(text, Standing("N3", 6, "new")), 1) << text;
}

TEST(AlarmMetrics, FloodIsMoreThanTenNewAlarmsInTenMinutesPerNodeAndPosition) {
  struct Case {
    const char* name;
    int alarms;         // raised on N1, one a second from t0
    Clock::duration at;  // when the series are read, after t0
    double newAlarms;
    double flood;
  };
  const std::vector<Case> cases = {
      {"ten are no flood", 10, 20s, 10, 0},
      {"eleven are", 11, 20s, 11, 1},
      {"eleven, the first out of the window", 11, 10min + 500ms, 10, 0},
      {"all out of the window", 30, 40min, 0, 0},
  };
  for (const Case& c : cases) {
    const Clock::time_point t0 = Clock::now();
    node::SummaryQueue q;
    MetricsServer server;
    AlarmMetrics metrics(server.registry(), "desk");
    q.AddEventListener([&](const node::SummaryQueue::Event& e) { metrics.OnEvent(e); });
    // Out of order on purpose: the window goes by time in.
    for (int i = c.alarms - 1; i >= 0; --i) q.Raise(Alarm("N1", int16_t(i + 1), 5), t0 + i * 1s);
    server.OnScrape([&] { metrics.Refresh(q, t0 + c.at); });
    std::string text = server.Scrape();
    EXPECT_EQ(Series(text, "tolvane_alarms_new_last_10m{node=\"N1\"}"), c.newAlarms) << c.name;
    EXPECT_EQ(Series(text, "tolvane_alarm_flood{node=\"N1\"}"), c.flood) << c.name;
    EXPECT_EQ(Series(text, "tolvane_position_alarm_flood{position=\"desk\"}"), c.flood) << c.name;
  }
}

}  // namespace
}  // namespace tolvane::ops

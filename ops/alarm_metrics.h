// Alarm series of a queue (a node's, or a station's view of the plant):
// alarms standing by node, priority and state; raises, changes, clears and
// acknowledges per node; and the flood state (more than 10 new alarms in
// 10 minutes) per node and for the operator position the program serves.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "node/summary_queue.h"

namespace tolvane::ops {

inline constexpr std::size_t kFloodAlarms = 10;  // more than this many new alarms ...
inline constexpr std::chrono::minutes kFloodWindow{10};  // ... in this long is a flood

// New alarms in a sliding window, by the time each came in.
class FloodWindow {
 public:
  void Add(std::chrono::system_clock::time_point timeIn);
  // New alarms whose time-in is within the window before `now`.
  std::size_t Count(std::chrono::system_clock::time_point now);

 private:
  std::deque<std::chrono::system_clock::time_point> times_;  // sorted
};

class AlarmMetrics {
 public:
  // `position`: the operator position the program's display serves (a
  // station's name, or the node of a daemon).
  AlarmMetrics(prometheus::Registry& registry, std::string position);

  // What the queue tells (SummaryQueue::AddEventListener); quick.
  void OnEvent(const node::SummaryQueue::Event& e);
  // One pass over the queue for the standing alarms, and the flood gauges.
  void Refresh(const node::SummaryQueue& queue,
               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

 private:
  struct NodeSeries {
    prometheus::Counter* raised;
    prometheus::Counter* changed;
    prometheus::Counter* cleared;
    prometheus::Counter* acknowledged;
    FloodWindow flood;
  };
  NodeSeries& SeriesFor(const std::string& node);  // REQUIRES: m_ held

  prometheus::Family<prometheus::Gauge>& alarms_;
  prometheus::Family<prometheus::Counter>& events_;
  prometheus::Family<prometheus::Gauge>& flood_;
  prometheus::Family<prometheus::Gauge>& newAlarms_;
  prometheus::Family<prometheus::Gauge>& positionFlood_;
  prometheus::Family<prometheus::Gauge>& positionNew_;
  std::string position_;

  std::mutex m_;
  std::map<std::string, NodeSeries> nodes_;
  FloodWindow positionWindow_;
  // node, priority, state: what was set last, so that a count that went to
  // nothing is set to 0 rather than left standing.
  std::map<std::tuple<std::string, std::string, std::string>, prometheus::Gauge*> standing_;
};

// The node name of a message, as the series label it.
std::string NodeLabel(const SUMQMSG& msg);
// The priority as a label: "0".."15", or "other".
std::string PriorityLabel(int priority);

}  // namespace tolvane::ops

#include "ops/alarm_metrics.h"

#include <cstring>

namespace tolvane::ops {

namespace {

constexpr std::size_t kMaxWindow = 100000;  // per node; a count past it stays there

bool IsOperatorMessage(const SUMQMSG& m) {
  return m.almpak.msgType == 8;
}

}  // namespace

void FloodWindow::Add(std::chrono::system_clock::time_point timeIn) {
  if (times_.size() >= kMaxWindow) times_.pop_front();
  // Time-ins arrive nearly in order; keep the few that do not sorted.
  auto it = times_.end();
  while (it != times_.begin() && *std::prev(it) > timeIn) --it;
  times_.insert(it, timeIn);
}

std::size_t FloodWindow::Count(std::chrono::system_clock::time_point now) {
  auto from = now - kFloodWindow;
  while (!times_.empty() && times_.front() < from) times_.pop_front();
  std::size_t n = 0;
  for (auto t : times_) {
    if (t <= now) ++n;
  }
  return n;
}

std::string NodeLabel(const SUMQMSG& msg) {
  const char* n = msg.almpak.node;
  std::string out(n, strnlen(n, sizeof msg.almpak.node));
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string PriorityLabel(int priority) {
  return priority >= 0 && priority <= 15 ? std::to_string(priority) : "other";
}

AlarmMetrics::AlarmMetrics(prometheus::Registry& registry, std::string position)
    : alarms_(prometheus::BuildGauge()
                  .Name("tolvane_alarms")
                  .Help("Alarms standing, by node, priority and state (new, acknowledged, shelved)")
                  .Register(registry)),
      events_(prometheus::BuildCounter()
                  .Name("tolvane_alarm_events_total")
                  .Help("Alarm events seen, by node and event (raised, changed, cleared, "
                        "acknowledged)")
                  .Register(registry)),
      flood_(prometheus::BuildGauge()
                 .Name("tolvane_alarm_flood")
                 .Help("1 while a node raised more than 10 new alarms in the last 10 minutes")
                 .Register(registry)),
      newAlarms_(prometheus::BuildGauge()
                     .Name("tolvane_alarms_new_last_10m")
                     .Help("New alarms a node raised in the last 10 minutes")
                     .Register(registry)),
      positionFlood_(prometheus::BuildGauge()
                         .Name("tolvane_position_alarm_flood")
                         .Help("1 while the operator position sees more than 10 new alarms in "
                               "the last 10 minutes")
                         .Register(registry)),
      positionNew_(prometheus::BuildGauge()
                       .Name("tolvane_position_alarms_new_last_10m")
                       .Help("New alarms the operator position saw in the last 10 minutes")
                       .Register(registry)),
      position_(std::move(position)) {
  positionFlood_.Add({{"position", position_}}).Set(0);
  positionNew_.Add({{"position", position_}}).Set(0);
}

AlarmMetrics::NodeSeries& AlarmMetrics::SeriesFor(const std::string& node) {
  auto it = nodes_.find(node);
  if (it != nodes_.end()) return it->second;
  NodeSeries s{&events_.Add({{"node", node}, {"event", "raised"}}),
               &events_.Add({{"node", node}, {"event", "changed"}}),
               &events_.Add({{"node", node}, {"event", "cleared"}}),
               &events_.Add({{"node", node}, {"event", "acknowledged"}}),
               {}};
  return nodes_.emplace(node, std::move(s)).first->second;
}

void AlarmMetrics::OnEvent(const node::SummaryQueue::Event& e) {
  const SUMQMSG* m = e.after ? e.after : e.before;
  if (!m || IsOperatorMessage(*m)) return;
  std::lock_guard lock(m_);
  NodeSeries& s = SeriesFor(NodeLabel(*m));
  if (!e.before) {
    s.raised->Increment();
    s.flood.Add(e.timeIn);
    positionWindow_.Add(e.timeIn);
  } else if (!e.after) {
    s.cleared->Increment();
  } else if (e.before->ackFlag == 0 && e.after->ackFlag != 0) {
    s.acknowledged->Increment();
  } else if (e.suppressedBefore == e.suppressedAfter) {
    // Shelving and its end are not changes of the alarm.
    s.changed->Increment();
  }
}

void AlarmMetrics::Refresh(const node::SummaryQueue& queue,
                           std::chrono::system_clock::time_point now) {
  std::map<std::tuple<std::string, std::string, std::string>, double> counts;
  queue.Tally([&](const SUMQMSG& m, bool suppressed) {
    if (IsOperatorMessage(m)) return;
    const char* state = suppressed ? "shelved" : m.ackFlag != 0 ? "acknowledged" : "new";
    counts[{NodeLabel(m), PriorityLabel(m.almpak.priority), state}] += 1;
  });
  std::lock_guard lock(m_);
  for (auto& [key, gauge] : standing_) {
    if (!counts.count(key)) gauge->Set(0);
  }
  for (auto& [key, n] : counts) {
    auto it = standing_.find(key);
    if (it == standing_.end()) {
      auto& [node, priority, state] = key;
      it = standing_
               .emplace(key, &alarms_.Add({{"node", node}, {"priority", priority}, {"state", state}}))
               .first;
      SeriesFor(node);  // its event counters show from 0
    }
    it->second->Set(n);
  }
  for (auto& [node, s] : nodes_) {
    std::size_t n = s.flood.Count(now);
    newAlarms_.Add({{"node", node}}).Set(static_cast<double>(n));
    flood_.Add({{"node", node}}).Set(n > kFloodAlarms ? 1 : 0);
  }
  std::size_t n = positionWindow_.Count(now);
  positionNew_.Add({{"position", position_}}).Set(static_cast<double>(n));
  positionFlood_.Add({{"position", position_}}).Set(n > kFloodAlarms ? 1 : 0);
}

}  // namespace tolvane::ops

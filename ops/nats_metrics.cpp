#include "ops/nats_metrics.h"

#include <cmath>
#include <limits>

#include "ops/store_metrics.h"

namespace tolvane::ops {

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A daemon with changes waiting longer than this is behind the stream.
constexpr auto kBehind = std::chrono::seconds(5);

}  // namespace

DaemonMetrics::DaemonMetrics(prometheus::Registry& registry, const std::string& node)
    : publish_(prometheus::BuildHistogram()
                   .Name("tolvane_publish_duration_seconds")
                   .Help("Time from taking up a batch of alarm changes to the stream storing it")
                   .Register(registry)
                   .Add({{"node", node}}, LatencyBuckets())),
      published_(prometheus::BuildCounter()
                     .Name("tolvane_published_messages_total")
                     .Help("Alarm states and tombstones the stream stored")
                     .Register(registry)
                     .Add({{"node", node}})),
      confirm_(prometheus::BuildHistogram()
                   .Name("tolvane_confirm_duration_seconds")
                   .Help("Time a command waited, after its commit, for the stream to store its "
                         "changes")
                   .Register(registry)
                   .Add({{"node", node}}, LatencyBuckets())),
      unconfirmed_(prometheus::BuildCounter()
                       .Name("tolvane_unconfirmed_commands_total")
                       .Help("Commands answered before the stream stored their changes")
                       .Register(registry)
                       .Add({{"node", node}})),
      connected_(prometheus::BuildGauge()
                     .Name("tolvane_nats_connected")
                     .Help("1 while connected to a NATS server")
                     .Register(registry)
                     .Add({})),
      unpublished_(prometheus::BuildGauge()
                       .Name("tolvane_unpublished_changes")
                       .Help("Alarm changes not yet stored in the stream")
                       .Register(registry)
                       .Add({{"node", node}})) {}

void DaemonMetrics::ObservePublish(double seconds, std::size_t messages) {
  publish_.Observe(seconds);
  published_.Increment(static_cast<double>(messages));
  lastPublishNs_ = NowNs();
}

void DaemonMetrics::ObserveConfirm(double seconds, bool confirmed) {
  confirm_.Observe(seconds);
  if (!confirmed) unconfirmed_.Increment();
}

void DaemonMetrics::Refresh(bool connected, const nats::DaemonCounters& c) {
  connected_.Set(connected ? 1 : 0);
  unpublished_.Set(static_cast<double>(c.unpublished));
}

std::string DaemonMetrics::Current(const nats::DaemonCounters& c) {
  std::lock_guard lock(m_);
  auto now = std::chrono::steady_clock::now();
  if (c.unpublished == 0) {
    behindSince_ = {};
    return {};
  }
  if (behindSince_ == std::chrono::steady_clock::time_point{}) behindSince_ = now;
  auto lastNs = lastPublishNs_.load();
  bool storedLately = lastNs != 0 && NowNs() - lastNs < std::chrono::nanoseconds(kBehind).count();
  if (now - behindSince_ < kBehind || storedLately) return {};
  return std::to_string(c.unpublished) + " changes not stored in the stream for " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - behindSince_).count()) +
         " s";
}

StationMetrics::StationMetrics(prometheus::Registry& registry, std::string station)
    : station_(std::move(station)),
      connected_(prometheus::BuildGauge()
                     .Name("tolvane_nats_connected")
                     .Help("1 while connected to a NATS server")
                     .Register(registry)
                     .Add({})),
      complete_(prometheus::BuildGauge()
                    .Name("tolvane_station_view_complete")
                    .Help("1 while the station's view holds everything the stream held")
                    .Register(registry)
                    .Add({{"station", station_}})),
      lag_(prometheus::BuildGauge()
               .Name("tolvane_station_stream_lag_messages")
               .Help("Messages the server had yet to deliver to the station at the last one")
               .Register(registry)
               .Add({{"station", station_}})),
      age_(prometheus::BuildGauge()
               .Name("tolvane_node_heartbeat_age_seconds")
               .Help("Time since the node's daemon last beat, as the station heard it (+Inf: "
                     "never)")
               .Register(registry)),
      stale_(prometheus::BuildGauge()
                 .Name("tolvane_node_stale")
                 .Help("1 while the station does not hear the node's daemon")
                 .Register(registry)),
      rejected_(prometheus::BuildCounter()
                    .Name("tolvane_station_rejected_messages_total")
                    .Help("Stream messages the station dropped: unreadable, or not about their "
                          "subject")
                    .Register(registry)
                    .Add({{"station", station_}})) {}

void StationMetrics::Refresh(const nats::StationStatus& s) {
  connected_.Set(s.connected ? 1 : 0);
  complete_.Set(s.complete ? 1 : 0);
  lag_.Set(static_cast<double>(s.lag));
  for (const nats::NodeLiveness& n : s.nodes) {
    age_.Add({{"node", n.node}})
        .Set(n.ageMs < 0 ? std::numeric_limits<double>::infinity() : n.ageMs / 1000.0);
    stale_.Add({{"node", n.node}}).Set(n.stale ? 1 : 0);
  }
  if (s.rejected > rejectedSeen_) {
    rejected_.Increment(static_cast<double>(s.rejected - rejectedSeen_));
    rejectedSeen_ = s.rejected;
  }
}

std::string StationNotReady(const nats::StationStatus& s) {
  if (!s.connected) return "not connected to a NATS server";
  if (!s.complete) return "the view is not complete (still reading the alarm stream)";
  return {};
}

}  // namespace tolvane::ops

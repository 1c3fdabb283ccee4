// The plant-wide deployment: a node daemon's publishing and a station's
// view of the streams and the nodes' heartbeats.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "net/node_daemon.h"
#include "net/station.h"

namespace tolvane::ops {

class DaemonMetrics {
 public:
  DaemonMetrics(prometheus::Registry& registry, const std::string& node);
  // DaemonOptions::onPublished and onConfirm.
  void ObservePublish(double seconds, std::size_t messages);
  void ObserveConfirm(double seconds, bool confirmed);
  void Refresh(bool connected, const nats::DaemonCounters& c);
  // Empty while every change is stored in the stream or was stored lately.
  std::string Current(const nats::DaemonCounters& c);

 private:
  prometheus::Histogram& publish_;
  prometheus::Counter& published_;
  prometheus::Histogram& confirm_;
  prometheus::Counter& unconfirmed_;
  prometheus::Gauge& connected_;
  prometheus::Gauge& unpublished_;
  std::atomic<int64_t> lastPublishNs_{0};
  std::mutex m_;
  std::chrono::steady_clock::time_point behindSince_{};
};

class StationMetrics {
 public:
  StationMetrics(prometheus::Registry& registry, std::string station);
  void Refresh(const nats::StationStatus& s);

 private:
  std::string station_;
  prometheus::Gauge& connected_;
  prometheus::Gauge& complete_;
  prometheus::Gauge& lag_;
  prometheus::Family<prometheus::Gauge>& age_;
  prometheus::Family<prometheus::Gauge>& stale_;
  prometheus::Counter& rejected_;
  uint64_t rejectedSeen_ = 0;
};

// Why a station is not ready (not connected, view not complete); empty when it is.
std::string StationNotReady(const nats::StationStatus& s);

}  // namespace tolvane::ops

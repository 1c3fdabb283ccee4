// The plant store as a program commits to it.
#pragma once

#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <prometheus/counter.h>

#include <atomic>
#include <string>

namespace tolvane::ops {

// Bucket bounds for waits of a millisecond to a few seconds.
prometheus::Histogram::BucketBoundaries LatencyBuckets();

class StoreMetrics {
 public:
  // `path`: the store's file; empty for a store held in memory.
  StoreMetrics(prometheus::Registry& registry, std::string path);
  void ObserveCommit(double seconds, bool ok);
  // The file's size with its write-ahead log.
  void Refresh();
  // Empty when the store can be written to, else why not: the last commit
  // failed, or the file (or its folder) is not writable.
  std::string Writable() const;

 private:
  std::string path_;
  prometheus::Histogram& commit_;
  prometheus::Counter& failed_;
  prometheus::Gauge& size_;
  std::atomic<bool> lastFailed_{false};
};

}  // namespace tolvane::ops

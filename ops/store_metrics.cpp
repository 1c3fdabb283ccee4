#include "ops/store_metrics.h"

#include <prometheus/counter.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace tolvane::ops {

prometheus::Histogram::BucketBoundaries LatencyBuckets() {
  return {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
}

StoreMetrics::StoreMetrics(prometheus::Registry& registry, std::string path)
    : path_(std::move(path)),
      commit_(prometheus::BuildHistogram()
                  .Name("tolvane_store_commit_duration_seconds")
                  .Help("Time to commit a change to the plant store")
                  .Register(registry)
                  .Add({}, LatencyBuckets())),
      failed_(prometheus::BuildCounter()
                  .Name("tolvane_store_commit_failures_total")
                  .Help("Commits to the plant store that failed")
                  .Register(registry)
                  .Add({})),
      size_(prometheus::BuildGauge()
                .Name("tolvane_store_size_bytes")
                .Help("Size of the plant store file with its write-ahead log")
                .Register(registry)
                .Add({})) {}

void StoreMetrics::ObserveCommit(double seconds, bool ok) {
  commit_.Observe(seconds);
  if (!ok) failed_.Increment();
  lastFailed_ = !ok;
}

void StoreMetrics::Refresh() {
  if (path_.empty()) return;
  std::error_code ec;
  double total = 0;
  for (const char* suffix : {"", "-wal"}) {
    auto n = std::filesystem::file_size(path_ + suffix, ec);
    if (!ec) total += static_cast<double>(n);
  }
  size_.Set(total);
}

std::string StoreMetrics::Writable() const {
  if (path_.empty()) return {};
  if (lastFailed_) return "the last commit to " + path_ + " failed";
  if (access(path_.c_str(), W_OK) != 0) return path_ + " is not writable";
  std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  if (dir.empty()) dir = ".";
  // SQLite writes its journal beside the file.
  if (access(dir.c_str(), W_OK) != 0) return "the folder of " + path_ + " is not writable";
  return {};
}

}  // namespace tolvane::ops

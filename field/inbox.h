// Where the drivers' threads leave readings for the one thread that runs
// the evaluator. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "field/values.h"
#include "node/summary_queue.h"

namespace tolvane::field {

struct Sample {
  std::size_t point = 0;  // the evaluator's index
  Reading reading;
  node::Clock::time_point when{};
};

class Inbox {
 public:
  void Push(const Sample& s) {
    {
      std::lock_guard lock(m_);
      samples_.push_back(s);
    }
    cv_.notify_one();
  }
  void PushAll(const std::vector<Sample>& s) {
    if (s.empty()) return;
    {
      std::lock_guard lock(m_);
      samples_.insert(samples_.end(), s.begin(), s.end());
    }
    cv_.notify_one();
  }
  // Swaps what waits into *out (cleared first), waiting up to `wait` for
  // something to come.
  void Take(std::vector<Sample>* out, std::chrono::milliseconds wait) {
    out->clear();
    std::unique_lock lock(m_);
    if (samples_.empty() && wait.count() > 0) {
      cv_.wait_for(lock, wait, [&] { return !samples_.empty(); });
    }
    out->swap(samples_);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Sample> samples_;
};

}  // namespace tolvane::field

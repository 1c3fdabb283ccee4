// Modbus TCP source: polls one server (through libmodbus) on its own
// thread, following the poll plan (contiguous registers in one request).
// An exception reply gives the request's points a device alarm; a timeout
// or a lost connection gives them communication loss, and the driver
// reconnects with growing back-off.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "field/driver.h"
#include "field/inbox.h"
#include "field/poll_plan.h"
#include "field/sources.h"

namespace tolvane::field {

class ModbusDriver : public Driver {
 public:
  // Points of `source` are the evaluator's points `first`, `first + 1`, ...
  ModbusDriver(const ModbusSource& source, std::size_t first, Inbox& inbox);
  ~ModbusDriver() override;

  bool Start(std::string* err) override;
  void Stop() override;
  DriverStatus Status() const override;
  const std::vector<PollRequest>& plan() const { return plan_; }

 private:
  void Run();
  void Lost(const PollRequest* only, node::FieldQuality q, const std::string& why);
  bool SleepFor(std::chrono::milliseconds d);  // false when stopped
  void SetError(const std::string& why);

  ModbusSource source_;
  std::size_t first_;
  Inbox& inbox_;
  std::vector<PollRequest> plan_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::atomic<bool> connected_{false};
  DriverCounters counters_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace tolvane::field

// MQTT source: subscribes to its points' topics on one broker (through
// libmosquitto) and turns each message into a reading. A broker that cannot
// be reached or goes away puts every point of the source into
// communication loss; the driver reconnects with growing back-off, and a
// value that arrives (a retained one at once) brings a point back.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "field/driver.h"
#include "field/inbox.h"
#include "field/sources.h"

struct mosquitto;
struct mosquitto_message;

namespace tolvane::field {

class MqttDriver : public Driver {
 public:
  // Points of `source` are the evaluator's points `first`, `first + 1`, ...
  MqttDriver(const MqttSource& source, std::size_t first, Inbox& inbox);
  ~MqttDriver() override;

  bool Start(std::string* err) override;
  void Stop() override;
  DriverStatus Status() const override;

 private:
  void Run();
  void AllLost(const std::string& why);
  void OnConnect(int rc);
  void OnMessage(const mosquitto_message* msg);
  std::string lastError() const;
  void SetError(const std::string& why);

  MqttSource source_;
  std::size_t first_;
  Inbox& inbox_;
  std::unordered_map<std::string, std::vector<std::size_t>> byTopic_;
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  DriverCounters counters_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace tolvane::field

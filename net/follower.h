// Follows the last message of every subject under a filter, then every new
// one, in stream order: an ordered consumer that the client library
// re-creates from where it stopped after a server or the connection goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/connection.h"

namespace tolvane::nats {

// Where a follower starts: the last message of every subject (a stream of
// states), or every message stored since a time (a log).
struct FollowFrom {
  bool lastPerSubject = true;
  int64_t sinceNs = 0;  // with !lastPerSubject: 0 is the first message
};

class Follower {
 public:
  // One message as it arrived.
  struct Delivery {
    std::string_view subject;
    std::string_view body;
    uint64_t sequence = 0;  // in the stream; 0 when it has none
    int64_t timeNs = 0;     // when the stream stored it (the server's clock)
    uint64_t pending = 0;   // messages the server had yet to deliver after it
  };
  // Called on the subscription's thread, one message at a time.
  using Handler = std::function<void(const Delivery&)>;

  using From = FollowFrom;
  static std::unique_ptr<Follower> Start(Connection& conn, const std::string& stream,
                                         const std::string& filter, Handler handler,
                                         std::string* err, From from = {});
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // True once the messages that stood when it started have all arrived.
  bool CaughtUp() const;
  bool WaitCaughtUp(int timeoutMs);
  // Messages the server still had to deliver at the last one received.
  uint64_t Lag() const;
  uint64_t Received() const;
  // The highest stream sequence delivered so far.
  uint64_t LastSequence() const;
  // False when the server no longer has this follower's consumer.
  bool Alive() const;
  // Asks the server: messages it has yet to deliver, and the stream
  // sequence it delivered last. False when it did not answer.
  bool Check(uint64_t* pending, uint64_t* delivered) const;
  // Stops delivery; returns once no handler call is running.
  void Stop();

 private:
  Follower() = default;
  static void OnMessage(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* self);

  natsSubscription* sub_ = nullptr;
  std::atomic<bool> stopped_{false};
  std::atomic<int> inHandler_{0};
  Handler handler_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool caughtUp_ = false;
  uint64_t lag_ = 0;
  uint64_t received_ = 0;
  uint64_t lastSequence_ = 0;
};

}  // namespace tolvane::nats

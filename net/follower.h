// Follows the last message of every subject under a filter, then every new
// one, in stream order, on an ephemeral push consumer of its own (no acks,
// flow control, heartbeats). It never re-creates the consumer itself: a
// follower that lost messages or its consumer says so (Broken, Alive), and
// its owner starts a new one. The client library's ordered consumers did
// re-create themselves, and crashed in it when a stream leader stalled.
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
// states), every message stored since a time (a log), or every message from
// a stream sequence on (resuming where a lost follower stopped).
struct FollowFrom {
  bool lastPerSubject = true;
  int64_t sinceNs = 0;          // with !lastPerSubject: 0 is the first message
  uint64_t startSequence = 0;   // with !lastPerSubject: before sinceNs when set
};

// Called from the connection's error handler: the client library saw no
// message and no heartbeat on a subscription for two heartbeat intervals.
void NoteMissedHeartbeats(natsSubscription* sub);

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
  // Where a new follower goes on from, missing nothing this one missed: the
  // last stream sequence before the first gap, or the last delivered.
  uint64_t ResumeAfter() const;
  // False when the server no longer has this follower's consumer, or its
  // server left three questions in a row unanswered (a stalled server may
  // never deliver again; a new consumer is placed by the ones that answer).
  bool Alive() const;
  // True once a message or heartbeat showed that the server sent messages
  // this follower never received: its view has a gap.
  bool Broken() const;
  // True once two heartbeat intervals passed with nothing from the server:
  // its consumer's server is gone or stalled. Known within seconds, where
  // Alive needs three unanswered questions.
  bool MissedHeartbeats() const { return missed_.load(); }
  // Asks the server: messages it has yet to deliver, and the stream
  // sequence it delivered last. False when it did not answer.
  bool Check(uint64_t* pending, uint64_t* delivered) const;
  // True when it started from the last message of every subject.
  bool LastPerSubject() const { return lastPerSubject_; }
  // Stops delivery; returns once no handler call is running.
  void Stop();

 private:
  Follower() = default;
  static void OnMessage(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* self);
  void DeleteConsumer();

  natsConnection* nc_ = nullptr;
  jsCtx* js_ = nullptr;
  std::string stream_, consumer_, inboxPrefix_;
  natsSubscription* sub_ = nullptr;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> deleted_{false};
  std::atomic<bool> missed_{false};
  bool lastPerSubject_ = false;
  std::atomic<int> inHandler_{0};
  Handler handler_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool caughtUp_ = false;
  uint64_t lag_ = 0;
  uint64_t received_ = 0;
  uint64_t lastSequence_ = 0;
  uint64_t lastConsumerSequence_ = 0;
  bool gap_ = false;
  uint64_t beforeGap_ = 0;  // the last stream sequence before the first gap
  mutable std::atomic<int> unanswered_{0};
};

}  // namespace tolvane::nats

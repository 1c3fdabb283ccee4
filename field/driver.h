// What every field driver shows of itself in `status`.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tolvane::field {

struct DriverCounters {
  std::atomic<uint64_t> readings{0};    // values that arrived (good or not)
  std::atomic<uint64_t> bad{0};         // readings of bad quality (payloads, NaN, range)
  std::atomic<uint64_t> exceptions{0};  // device exception replies
  std::atomic<uint64_t> timeouts{0};    // requests that got no answer
  std::atomic<uint64_t> connects{0};    // connections made
  std::atomic<uint64_t> losses{0};      // connections lost or refused
  std::atomic<uint64_t> requests{0};    // read requests sent
};

struct DriverStatus {
  std::string kind;  // "mqtt", "modbus"
  std::string name;
  std::string peer;  // host:port
  bool connected = false;
  std::string lastError;
  uint64_t readings = 0, bad = 0, exceptions = 0, timeouts = 0, connects = 0, losses = 0,
           requests = 0;
};

inline void CopyCounters(const DriverCounters& c, DriverStatus* s) {
  s->readings = c.readings;
  s->bad = c.bad;
  s->exceptions = c.exceptions;
  s->timeouts = c.timeouts;
  s->connects = c.connects;
  s->losses = c.losses;
  s->requests = c.requests;
}

class Driver {
 public:
  virtual ~Driver() = default;
  // Starts the driver's own thread; it connects, and reconnects with
  // back-off, by itself. False only when it cannot start at all.
  virtual bool Start(std::string* err) = 0;
  // Stops and joins; no reading arrives after it returns.
  virtual void Stop() = 0;
  virtual DriverStatus Status() const = 0;
};

}  // namespace tolvane::field

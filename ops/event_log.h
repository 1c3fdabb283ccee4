// Operational events: one line per event on standard error, with a level and
// key=value fields, read by people and by log collectors alike:
//   level=warn event=nats_disconnected node=PLANT1 server="nats://a:4222"
// A fault that repeats is rate-limited per event key: at most `burst` lines a
// window, then one line saying how many were suppressed.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane::ops {

enum class Level { kDebug, kInfo, kWarn, kError };

using Fields = std::vector<std::pair<std::string, std::string>>;

// A value as written on an event line: bare when it is plain, else quoted
// with ", \ and control characters escaped, so one event stays one line.
std::string EscapeValue(std::string_view value);
// One event line, without the newline.
std::string FormatEvent(Level level, std::string_view event, const Fields& fields);

class EventLog {
 public:
  using Clock = std::chrono::steady_clock;
  struct Options {
    int burst = 5;                            // lines per key per window
    std::chrono::seconds window{60};
    std::function<Clock::time_point()> now;   // empty: the steady clock
  };
  explicit EventLog(std::ostream& out);
  EventLog(std::ostream& out, Options options);

  // `key` narrows the rate limit within the event (a node, a server).
  void Log(Level level, std::string_view event, const Fields& fields = {},
           std::string_view key = {});
  void Info(std::string_view event, const Fields& fields = {}, std::string_view key = {}) {
    Log(Level::kInfo, event, fields, key);
  }
  void Warn(std::string_view event, const Fields& fields = {}, std::string_view key = {}) {
    Log(Level::kWarn, event, fields, key);
  }
  void Error(std::string_view event, const Fields& fields = {}, std::string_view key = {}) {
    Log(Level::kError, event, fields, key);
  }
  // Writes the summary of every window that ended with lines suppressed (a
  // fault that stopped repeating is still counted). Call now and then.
  void Flush();

 private:
  struct Window {
    Clock::time_point start;
    int written = 0;
    long suppressed = 0;
    Level level = Level::kInfo;
    std::string event;
  };
  Clock::time_point Now() const;
  void Write(const std::string& line);

  std::ostream& out_;
  Options options_;
  std::mutex m_;
  std::map<std::string, Window> windows_;
};

// The process's event log, on standard error.
EventLog& Events();

}  // namespace tolvane::ops

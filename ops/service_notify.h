// Telling the service manager how the program stands (sd_notify): ready only
// once it really serves, stopping when it begins to stop, and watchdog pings
// when the unit asks for them. Without a service manager every call does
// nothing.
#pragma once

#include <chrono>
#include <string_view>

namespace tolvane::ops {

// READY=1, with a status line when given.
void NotifyReady(std::string_view status = {});
// STOPPING=1.
void NotifyStopping();
void NotifyStatus(std::string_view status);

// Sends WATCHDOG=1 at half the unit's WatchdogSec; does nothing when the unit
// has none. Call Tick() from the loop whose progress it vouches for.
class Watchdog {
 public:
  Watchdog();
  bool enabled() const { return period_.count() > 0; }
  std::chrono::microseconds period() const { return period_; }
  void Tick();

 private:
  std::chrono::microseconds period_{0};
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace tolvane::ops

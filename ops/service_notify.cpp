#include "ops/service_notify.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace tolvane::ops {

namespace {

void Send(const std::string& state) {
  // 0: the environment stays, so a process started later is not confused
  // (only children we do not start would read it).
  sd_notify(0, state.c_str());
}

// A status line of one line.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

}  // namespace

void NotifyReady(std::string_view status) {
  Send(status.empty() ? "READY=1" : "READY=1\nSTATUS=" + OneLine(status));
}

void NotifyStopping() {
  Send("STOPPING=1");
}

void NotifyStatus(std::string_view status) {
  Send("STATUS=" + OneLine(status));
}

Watchdog::Watchdog() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    period_ = std::chrono::microseconds(usec / 2);
  }
}

void Watchdog::Tick() {
  if (!enabled()) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < period_) return;
  last_ = now;
  sd_notify(0, "WATCHDOG=1");
}

}  // namespace tolvane::ops

// The program as a station of the plant-wide deployment: what `tolvane
// --nats URL --station NAME ...` needs besides its own commands.
#pragma once

#include <memory>
#include <string>

#include "net/station.h"

namespace tolvane::cli {

struct StationFlags {
  std::string url;          // --nats
  std::string name;         // --station
  std::string credentials;  // --credentials: user:password or a .creds file
  int timeoutMs = 10000;    // how long to wait for a complete view
};

// Connects, waits for the complete view and installs the station's queue,
// database and alarm-library backends over whatever is installed (the
// embedded node keeps serving text, settings and the other local services).
// Null with a message for a person when the station cannot start.
std::unique_ptr<nats::Station> OpenStationSession(const StationFlags& flags, std::string* err);

// One line for `status` and the `watch` header, e.g.
// "station OPS1 on nats://...: online, 10000 alarms, sequence 12, last change 12:00:01"
// or "... OFFLINE for 12 s, showing the last view (10000 alarms) ...".
std::string StationStatusLine(const nats::Station& station, const StationFlags& flags);

}  // namespace tolvane::cli

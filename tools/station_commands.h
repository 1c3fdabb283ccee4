// The program as a station of the plant-wide deployment: what `tolvane
// --nats URL --station NAME ...` needs besides its own commands.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "net/station.h"

namespace tolvane::cli {

struct StationFlags {
  std::string url;          // --nats
  std::string name;         // --station
  std::string credentials;  // --credentials: a file (user:password or .creds); empty: environment
  int timeoutMs = 10000;    // how long to wait for a complete view
};

// Connects, waits for the complete view and installs the station's queue,
// database and alarm-library backends over whatever is installed (the
// embedded node keeps serving text, settings and the other local services).
// Null with a message for a person when the station cannot start.
std::unique_ptr<nats::Station> OpenStationSession(const StationFlags& flags, std::string* err);

// One line for the `watch` header and the head of `status`, e.g.
// "station OPS1 on nats://...: online, 10000 alarms, sequence 12, last change 12:00:01"
// or "... OFFLINE for 12 s, showing the last view (10000 alarms) ...", followed by what an
// operator must not miss: "; STALE: PLANT2 (no heartbeat for 12 s)", dropped messages,
// commands still being checked.
std::string StationStatusLine(const nats::Station& station, const StationFlags& flags);

// `status` on a station: the line above, then one line per node (heartbeat, messages its daemon
// dropped), per stream (replicas and current ones), and what the station dropped by source.
std::string StationStatusReport(const nats::Station& station, const StationFlags& flags);

// After a command on a station: when it came back "unknown, checking" (23, 1724), or failed
// while a check of the block runs, says so on `note` and waits for the station to resolve it
// from the stream and the node. 0 when it was done; otherwise `rc`.
short ResolveOutcome(nats::Station& station, short rc, const std::string& node, char letter,
                     int16_t number, std::ostream& note);

}  // namespace tolvane::cli

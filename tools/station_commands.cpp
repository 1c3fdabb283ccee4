#include "tools/station_commands.h"

#include <ctime>
#include <sstream>

#include "net/protocol.h"

namespace tolvane::cli {

namespace {

std::string Clock(std::chrono::system_clock::time_point t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

std::string Age(int64_t ms) {
  return ms < 0 ? std::string("never heard")
                : "no heartbeat for " + std::to_string(ms / 1000) + " s";
}

// How long to wait for an unknown outcome: the station checks for 30 s.
constexpr int kResolveMs = 35000;

}  // namespace

std::unique_ptr<nats::Station> OpenStationSession(const StationFlags& flags, std::string* err) {
  if (flags.name.empty()) {
    if (err) *err = "--nats needs --station NAME";
    return nullptr;
  }
  std::string why, credentials;
  // Never a password on the command line: `ps` shows it.
  if (!nats::ReadCredentials(flags.credentials, &credentials, &why)) {
    if (err) *err = "station " + flags.name + ": " + why;
    return nullptr;
  }
  auto s = nats::ConnectStation(flags.url, flags.name, credentials, flags.timeoutMs, &why);
  if (!s && err) *err = "station " + flags.name + ": " + why;
  return s;
}

std::string StationStatusLine(const nats::Station& station, const StationFlags& flags) {
  nats::StationStatus st = station.Status();
  std::ostringstream out;
  out << "station " << flags.name << " on " << (st.server.empty() ? flags.url : st.server) << ": ";
  if (st.connected) {
    out << "online";
  } else {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                 st.offlineSince)
                    .count();
    out << "OFFLINE for " << secs << " s, showing the last view";
  }
  out << ", " << st.alarms << " alarms, sequence " << st.sequence;
  if (!st.complete) {
    out << ", view incomplete";
  } else if (st.connected && !st.confirmed) {
    out << ", view not confirmed complete";
  }
  if (st.lag > 0) out << ", " << st.lag << " behind";
  if (st.lastChange.time_since_epoch().count() != 0)
    out << ", last change " << Clock(st.lastChange);
  std::string stale;
  for (const nats::NodeLiveness& n : st.nodes) {
    if (!n.stale) continue;
    stale += (stale.empty() ? "" : ", ") + n.node + " (" +
             (n.stopped ? std::string("daemon stopped") : Age(n.ageMs)) + ")";
  }
  if (!stale.empty()) out << "; STALE: " << stale;
  if (st.newerFormat > 0) {
    out << "; " << st.newerFormat << " alarms in wire format " << st.newestMajor
        << ": UPGRADE THIS STATION";
  }
  if (st.rejected > 0) out << "; " << st.rejected << " messages dropped";
  if (st.unknownOutcomes > 0) out << "; " << st.unknownOutcomes << " commands being checked";
  return out.str();
}

std::string StationStatusReport(const nats::Station& station, const StationFlags& flags) {
  nats::StationStatus st = station.Status();
  std::ostringstream out;
  out << StationStatusLine(station, flags) << "\n";
  out << "View:             " << (st.confirmed ? "confirmed complete" : "NOT confirmed complete")
      << ", holds stream sequence " << st.heldSequence << "; read afresh " << st.rereads
      << " times, resumed " << st.resumes << " times"
      << (st.rereadDue ? "; to be read afresh once the stream's replicas are current" : "")
      << "\n";
  for (const nats::NodeLiveness& n : st.nodes) {
    out << "Node " << n.node << ": " << (n.stale ? "STALE" : "alive") << ", "
        << (n.ageMs < 0 ? std::string("never heard")
                        : "last heartbeat " + std::to_string(n.ageMs) + " ms ago");
    if (n.stopped) out << ", its daemon said it stopped";
    if (n.wireMajor) out << ", wire format " << n.wireMajor << "." << n.wireMinor;
    if (n.unpublished) out << ", " << n.unpublished << " changes not yet in the stream";
    if (n.dropped)
      out << ", its daemon dropped " << n.dropped << " messages that were not requests";
    auto r = st.rejectedBySource.find(n.node);
    if (r != st.rejectedBySource.end()) {
      out << ", this station dropped " << r->second << " of its messages";
    }
    out << "\n";
  }
  for (const auto& [source, count] : st.rejectedBySource) {
    bool listed = false;
    for (const nats::NodeLiveness& n : st.nodes) listed = listed || n.node == source;
    if (!listed) out << "Dropped from " << source << ": " << count << "\n";
  }
  for (const nats::StreamHealth& s : st.streams) {
    out << "Stream " << s.name << ": ";
    if (!s.known) {
      out << "no answer\n";
      continue;
    }
    out << s.current << " of " << s.replicas << " replicas current";
    if (!s.leader.empty()) out << ", leader " << s.leader;
    if (s.current < s.replicas) out << " (DEGRADED)";
    out << ", last sequence " << s.lastSequence << "\n";
  }
  if (st.unknownOutcomes) out << "Commands being checked: " << st.unknownOutcomes << "\n";
  return out.str();
}

short ResolveOutcome(nats::Station& station, short rc, const std::string& node, char letter,
                     int16_t number, std::ostream& note) {
  if (rc == 0) return 0;
  // Only a check already running says more than the status does.
  std::optional<nats::CommandOutcome> o = station.WaitOutcome(node, letter, number, 0);
  if (!o) return rc;
  if (*o == nats::CommandOutcome::kUnknown) {
    note << "tolvane: outcome unknown (no definite answer from " << node
         << "), checking the stream and the node...\n";
    o = station.WaitOutcome(node, letter, number, kResolveMs);
  }
  switch (*o) {
    case nats::CommandOutcome::kDone:
      note << "tolvane: checked: done on " << node << "\n";
      return 0;
    case nats::CommandOutcome::kFailed:
      note << "tolvane: checked: not done on " << node << "\n";
      return rc;
    default:
      note << "tolvane: still unknown: " << node << " gave no definite answer\n";
      return rc;
  }
}

}  // namespace tolvane::cli

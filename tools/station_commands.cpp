#include "tools/station_commands.h"

#include <ctime>
#include <sstream>

namespace tolvane::cli {

std::unique_ptr<nats::Station> OpenStationSession(const StationFlags& flags, std::string* err) {
  if (flags.name.empty()) {
    if (err) *err = "--nats needs --station NAME";
    return nullptr;
  }
  std::string why;
  auto s = nats::ConnectStation(flags.url, flags.name, flags.credentials, flags.timeoutMs, &why);
  if (!s && err) *err = "station " + flags.name + ": " + why;
  return s;
}

std::string StationStatusLine(const nats::Station& station, const StationFlags& flags) {
  nats::StationStatus st = station.Status();
  std::ostringstream out;
  out << "station " << flags.name << " on " << flags.url << ": ";
  if (st.connected) {
    out << "online";
  } else {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                 st.offlineSince)
                    .count();
    out << "OFFLINE for " << secs << " s, showing the last view";
  }
  out << ", " << st.alarms << " alarms, sequence " << st.sequence;
  if (!st.complete) out << ", view incomplete";
  if (st.lag > 0) out << ", " << st.lag << " behind";
  if (st.lastChange.time_since_epoch().count() != 0) {
    std::time_t t = std::chrono::system_clock::to_time_t(st.lastChange);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    out << ", last change " << buf;
  }
  return out.str();
}

}  // namespace tolvane::cli

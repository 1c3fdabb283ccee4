#include "plant/plant.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

namespace tolvane::plant {

const PlantNode* Plant::LocalNode() const {
  for (const PlantNode& n : nodes) {
    if (n.local) return &n;
  }
  return nodes.empty() ? nullptr : &nodes.front();
}

std::optional<std::size_t> FirstBlockPastLimit(const Plant& plant) {
  std::map<std::string, std::size_t> perNode;
  for (std::size_t i = 0; i < plant.blocks.size(); ++i) {
    std::string node = plant.blocks[i].node;
    for (char& c : node) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (++perNode[node] > kMaxBlocksPerNode) return i;
  }
  return std::nullopt;
}

const char* PriorityNameOf(int16_t id) {
  for (const PriorityName& p : kPriorities) {
    if (p.id == id) return p.name;
  }
  return nullptr;
}

std::optional<int16_t> PriorityIdOf(const std::string& name) {
  for (const PriorityName& p : kPriorities) {
    if (strcasecmp(p.name, name.c_str()) == 0) return p.id;
  }
  return std::nullopt;
}

// --- times ---

std::string FormatUtc(TimePoint t) {
  std::time_t secs = Clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string FormatRelative(TimePoint t, TimePoint now) {
  long long secs = std::chrono::duration_cast<std::chrono::seconds>(now - t).count();
  if (secs == 0) return "now";
  std::string sign = secs > 0 ? "-" : "+";
  long long a = std::llabs(secs);
  if (a % 86400 == 0) return sign + std::to_string(a / 86400) + "d";
  if (a % 3600 == 0) return sign + std::to_string(a / 3600) + "h";
  if (a % 60 == 0) return sign + std::to_string(a / 60) + "m";
  return sign + std::to_string(a) + "s";
}

bool ParseTime(const std::string& text, TimePoint now, TimePoint* out) {
  if (text == "now") {
    *out = now;
    return true;
  }
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(text.c_str() + 1, &end, 10);
    if (errno != 0 || end == text.c_str() + 1 || n < 0) return false;
    long long unit = 0;
    std::string suffix(end);
    if (suffix == "s") unit = 1;
    if (suffix == "m") unit = 60;
    if (suffix == "h") unit = 3600;
    if (suffix == "d") unit = 86400;
    if (unit == 0) return false;
    // At most 100 years in any unit: the clock's nanoseconds overflow past 292.
    if (n > 100LL * 365 * 86400 / unit) return false;
    auto offset = std::chrono::seconds(n * unit);
    *out = text[0] == '-' ? now - offset : now + offset;
    return true;
  }
  // Exactly YYYY-MM-DDTHH:MM:SSZ: no signs, spaces or short fields.
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  auto num = [&](std::size_t at, std::size_t len) {
    return std::atoi(text.substr(at, len).c_str());
  };
  std::tm tm{};
  tm.tm_year = num(0, 4) - 1900;
  tm.tm_mon = num(5, 2) - 1;
  tm.tm_mday = num(8, 2);
  tm.tm_hour = num(11, 2);
  tm.tm_min = num(14, 2);
  tm.tm_sec = num(17, 2);
  if (tm.tm_year < 70) return false;
  const std::tm asWritten = tm;
  std::time_t t = timegm(&tm);
  // timegm carries what does not exist into the next field (Feb 30 becomes
  // Mar 2, second 60 the next minute, hour 24 the next day): refuse those
  // rather than shift them. Leap seconds are refused too; time_t has none.
  std::tm back{};
  if (!gmtime_r(&t, &back) || back.tm_year != asWritten.tm_year ||
      back.tm_mon != asWritten.tm_mon || back.tm_mday != asWritten.tm_mday ||
      back.tm_hour != asWritten.tm_hour || back.tm_min != asWritten.tm_min ||
      back.tm_sec != asWritten.tm_sec) {
    return false;
  }
  // Past the clock's range (the year 2262) the conversion would overflow.
  using std::chrono::duration_cast;
  if (t > duration_cast<std::chrono::seconds>(TimePoint::max().time_since_epoch()).count()) {
    return false;
  }
  *out = Clock::from_time_t(t);
  return true;
}

}  // namespace tolvane::plant

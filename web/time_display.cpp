#include "web/time_display.h"

#include <cctype>
#include <cstdio>
#include <chrono>
#include <ctime>
#include <optional>

#include "node/summary_queue_message.h"

namespace tolvane::web {
namespace {

std::string OffsetText(long seconds) {
  char sign = seconds < 0 ? '-' : '+';
  long m = (seconds < 0 ? -seconds : seconds) / 60;
  char buf[24];
  std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, m / 60, m % 60);
  return buf;
}

}  // namespace

std::string TimeDisplay::ZoneName() const {
  switch (zone) {
    case Zone::kLocal:
      return "local";
    case Zone::kUtc:
      return "utc";
    case Zone::kFixed:
      return OffsetText(offsetMinutes * 60L);
  }
  return "local";
}

std::string TimeDisplay::Format(plant::TimePoint t) const {
  std::time_t s = std::chrono::system_clock::to_time_t(
      std::chrono::floor<std::chrono::seconds>(t));
  std::tm tm{};
  long offset = 0;
  if (zone == Zone::kLocal) {
    if (!localtime_r(&s, &tm)) return {};
    offset = tm.tm_gmtoff;
  } else {
    offset = zone == Zone::kFixed ? offsetMinutes * 60L : 0;
    std::time_t shifted = s + offset;
    if (!gmtime_r(&shifted, &tm)) return {};
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d%s", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tSeparator ? 'T' : ' ', tm.tm_hour, tm.tm_min,
                tm.tm_sec, tSeparator ? "" : " ");
  return buf + OffsetText(offset);
}

std::string TimeDisplay::FormatLocal(const std::string& date, const std::string& time) const {
  // The queue's own reading of its texts (server local time).
  std::optional<node::Clock::time_point> t =
      node::detail::ParseDateTime(date.data(), date.size(), time.data(), time.size());
  if (!t) {
    std::string raw = date + " " + time;
    return raw == " " ? "" : raw;
  }
  return Format(*t);
}

std::string TimeDisplay::OffsetNow() const {
  if (zone != Zone::kLocal) return OffsetText(zone == Zone::kFixed ? offsetMinutes * 60L : 0);
  std::time_t s = std::time(nullptr);
  std::tm tm{};
  localtime_r(&s, &tm);
  return OffsetText(tm.tm_gmtoff);
}

bool ParseTimeZone(const std::string& text, TimeDisplay* out, std::string* err) {
  if (text == "local" || text == "utc" || text == "UTC") {
    out->zone = text == "local" ? TimeDisplay::Zone::kLocal : TimeDisplay::Zone::kUtc;
    out->offsetMinutes = 0;
    return true;
  }
  int h = -1, m = -1;
  char end = 0;
  if (text.size() == 6 && (text[0] == '+' || text[0] == '-') && text[3] == ':' &&
      std::isdigit(static_cast<unsigned char>(text[1])) &&
      std::isdigit(static_cast<unsigned char>(text[2])) &&
      std::isdigit(static_cast<unsigned char>(text[4])) &&
      std::isdigit(static_cast<unsigned char>(text[5])) &&
      std::sscanf(text.c_str() + 1, "%2d:%2d%c", &h, &m, &end) == 2 && m < 60) {
    int minutes = (text[0] == '-' ? -1 : 1) * (h * 60 + m);
    if (minutes >= -12 * 60 && minutes <= 14 * 60) {
      out->zone = TimeDisplay::Zone::kFixed;
      out->offsetMinutes = minutes;
      return true;
    }
  }
  *err = "the time zone must be local, utc or an offset +HH:MM or -HH:MM from -12:00 to "
         "+14:00, not \"" + text + "\"";
  return false;
}

bool ParseDateFormat(const std::string& text, TimeDisplay* out, std::string* err) {
  if (text == "iso" || text == "iso-t") {
    out->tSeparator = text == "iso-t";
    return true;
  }
  *err = "the date format must be iso (2026-12-09 14:03:07 +01:00) or iso-t "
         "(2026-12-09T14:03:07+01:00), not \"" + text + "\"";
  return false;
}

}  // namespace tolvane::web

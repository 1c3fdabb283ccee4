#include "node/summary_queue_message.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "tolvane/text_field.h"

namespace tolvane::node::detail {
namespace {

// Every zone's offset from UTC is a whole number of quarter hours and
// changes only on a quarter hour, so within one UTC quarter hour local time
// is the quarter's start plus the seconds since. Loading a plant stamps
// hundreds of thousands of times spread over days: one localtime_r per
// quarter, kept in a small table of quarters, not one per time.
bool LocalTm(Clock::time_point t, std::tm* out) {
  constexpr std::time_t kQuarter = 900;
  constexpr std::size_t kSlots = 1024;  // ten days of quarters
  struct Slot {
    std::time_t start = -1;
    std::tm tm{};
    bool ok = false;
  };
  struct Cache {
    std::string zone;
    std::vector<Slot> slots = std::vector<Slot>(kSlots);
  };
  thread_local Cache caches;
  std::time_t secs = Clock::to_time_t(t);
  std::time_t start = secs - ((secs % kQuarter) + kQuarter) % kQuarter;
  // A zone set while running (TZ) must not keep the old offset.
  const char* tz = std::getenv("TZ");
  std::string_view zone = tz ? tz : "";
  if (zone != caches.zone) {
    caches.zone = zone;
    for (Slot& s : caches.slots) s.start = -1;
  }
  const auto slots = static_cast<std::time_t>(kSlots);
  Slot& cache =
      caches.slots[static_cast<std::size_t>(((start / kQuarter) % slots + slots) % slots)];
  if (start != cache.start) {
    cache.start = start;
    cache.ok = localtime_r(&start, &cache.tm) != nullptr;
  }
  if (!cache.ok) return false;
  *out = cache.tm;
  int into = static_cast<int>(secs - start);
  out->tm_sec += into % 60;
  out->tm_min += into / 60;
  if (out->tm_sec >= 60) {
    out->tm_sec -= 60;
    out->tm_min += 1;
  }
  if (out->tm_min >= 60) {  // a quarter that starts at :45 local
    out->tm_min -= 60;
    out->tm_hour += 1;
  }
  return true;
}

// Two digits of `v` at `p`.
void Digits2(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10 % 10);
  p[1] = static_cast<char>('0' + v % 10);
}

template <std::size_t N>
void Terminate(char (&field)[N]) {
  field[N - 1] = '\0';
}

void SetTexts(_ALMPAK& p, const AlarmInput& alarm) {
  SetFieldTextPadded(p.physicalNode, alarm.physicalNode);
  SetFieldTextPadded(p.tagName, alarm.tag);
  SetFieldTextPadded(p.description, alarm.description);
}

void SetExtension(_ALMPAK& p, const AlarmInput& alarm) {
  std::memset(p.fieldBlock, 0, sizeof p.fieldBlock);
  if (alarm.extKind == 1) {
    std::memcpy(p.fieldBlock, alarm.fieldBlock.data(), sizeof p.fieldBlock);
    p.ext.extKind = 1;  // the block starts with its kind word
  } else {
    p.ext.extKind = alarm.extKind;
    if (alarm.extKind == 0) {
      SetFieldText(p.ext.ext1, alarm.ext1);
      SetFieldText(p.ext.ext2, alarm.ext2);
    }
  }
}

void SetAreas(_ALMPAK& p, const AlarmInput& alarm) {
  std::memset(p.areas, 0, sizeof p.areas);
  std::size_t n = alarm.areas.size() < 15 ? alarm.areas.size() : 15;
  for (std::size_t i = 0; i < n; ++i) SetFieldText(p.areas[i], alarm.areas[i]);
  p.areaCount = static_cast<uint32_t>(n);
}

void SetValue(_ALMPAK& p, const _AlmCanonicalValue& value) {
  p.value = value;
  Terminate(p.value.text);
}

// "MM/dd/yyyy" of `tm` into `buf`; its length.
std::size_t DateText(const std::tm& tm, char (&buf)[32]) {
  int year = tm.tm_year + 1900;
  if (year < 0 || year > 9999) {
    int n = std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", tm.tm_mon + 1, tm.tm_mday, year);
    return n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1);
  }
  Digits2(buf, tm.tm_mon + 1);
  buf[2] = '/';
  Digits2(buf + 3, tm.tm_mday);
  buf[5] = '/';
  Digits2(buf + 6, year / 100);
  Digits2(buf + 8, year % 100);
  return 10;
}

// "HH:mm:ss" of `tm` into `buf`.
std::string_view TimeText(const std::tm& tm, char (&buf)[8]) {
  Digits2(buf, tm.tm_hour);
  buf[2] = ':';
  Digits2(buf + 3, tm.tm_min);
  buf[5] = ':';
  Digits2(buf + 6, tm.tm_sec);
  return std::string_view(buf, sizeof buf);
}

// Both texts of `t` into their fields, zero-padded; empty when local time
// cannot be had. One local-time lookup for the two.
template <std::size_t D, std::size_t T>
void Stamp(char (&date)[D], char (&time)[T], Clock::time_point t) {
  std::tm tm{};
  if (!LocalTm(t, &tm)) {
    SetFieldTextPadded(date, {});
    SetFieldTextPadded(time, {});
    return;
  }
  char d[32], h[8];
  SetFieldTextPadded(date, std::string_view(d, DateText(tm, d)));
  SetFieldTextPadded(time, TimeText(tm, h));
}

}  // namespace

std::string FormatDate(Clock::time_point t) {
  std::tm tm{};
  if (!LocalTm(t, &tm)) return {};
  char buf[32];
  return std::string(buf, DateText(tm, buf));
}

std::string FormatTime(Clock::time_point t) {
  std::tm tm{};
  if (!LocalTm(t, &tm)) return {};
  char buf[8];
  return std::string(TimeText(tm, buf));
}

std::optional<Clock::time_point> ParseDateTime(const char* date, std::size_t dateSize,
                                               const char* time, std::size_t timeSize) {
  std::string d(FieldText(date, dateSize)), t(FieldText(time, timeSize));
  int mon = 0, day = 0, year = 0, hour = 0, min = 0, sec = 0;
  char end = 0;
  if (std::sscanf(d.c_str(), "%2d/%2d/%4d%c", &mon, &day, &year, &end) != 3) return std::nullopt;
  if (std::sscanf(t.c_str(), "%2d:%2d:%2d%c", &hour, &min, &sec, &end) != 3) return std::nullopt;
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || year < 1970 || hour > 23 || min > 59 ||
      sec > 60 || hour < 0 || min < 0 || sec < 0) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  std::time_t secs = std::mktime(&tm);
  if (secs == static_cast<std::time_t>(-1)) return std::nullopt;
  return Clock::from_time_t(secs);
}

void StampTimes(SUMQMSG& msg, Clock::time_point in, Clock::time_point last) {
  Stamp(msg.dateIn, msg.timeIn, in);
  if (last == in) {
    std::memcpy(msg.dateLast, msg.dateIn, sizeof msg.dateLast);
    std::memcpy(msg.timeLast, msg.timeIn, sizeof msg.timeLast);
  } else {
    Stamp(msg.dateLast, msg.timeLast, last);
  }
}

SUMQMSG BuildMessage(const AlarmInput& alarm) {
  SUMQMSG msg;
  std::memset(&msg, 0, sizeof msg);
  _ALMPAK& p = msg.almpak;
  SetFieldText(p.node, alarm.node);
  p.vsp.blockType = alarm.blockLetter;
  p.vsp.blockNumber = alarm.blockNumber;
  ApplyRaise(msg, alarm);
  return msg;
}

void ApplyRaise(SUMQMSG& msg, const AlarmInput& alarm) {
  _ALMPAK& p = msg.almpak;
  SetTexts(p, alarm);
  p.priority = alarm.priority;
  p.msgType = alarm.msgType;
  p.statusCode = alarm.statusCode;
  SetValue(p, alarm.value);
  SetExtension(p, alarm);
  SetAreas(p, alarm);
  msg.ackFlag = alarm.acknowledged ? 1 : 0;
}

void Sanitize(SUMQMSG& msg) {
  _ALMPAK& p = msg.almpak;
  Terminate(p.physicalNode);
  Terminate(p.node);
  Terminate(p.tagName);
  Terminate(p.description);
  Terminate(p.value.text);
  if (p.ext.extKind == 0) {
    Terminate(p.ext.ext1);
    Terminate(p.ext.ext2);
  }
  if (p.areaCount > 15) p.areaCount = 15;
  for (auto& area : p.areas) Terminate(area);
  Terminate(msg.timeLast);
  Terminate(msg.timeIn);
  Terminate(msg.dateLast);
  Terminate(msg.dateIn);
}

}  // namespace tolvane::node::detail

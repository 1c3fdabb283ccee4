// The one place the page's times are made: the zone and format settings as
// read from the command line, and times shown across a summer-time change.
#include "web/time_display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace tolvane::web {
namespace {

// Sets TZ for one test (a POSIX rule, so that no zone database is needed).
class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    if (const char* was = std::getenv("TZ")) was_ = was, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_) setenv("TZ", was_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::string was_;
  bool had_ = false;
};

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

plant::TimePoint Utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

TimeDisplay Made(const std::string& zone, const std::string& format) {
  TimeDisplay t;
  std::string err;
  EXPECT_TRUE(ParseTimeZone(zone, &t, &err)) << zone << ": " << err;
  EXPECT_TRUE(ParseDateFormat(format, &t, &err)) << format << ": " << err;
  return t;
}

TEST(TimeDisplay, ReadsOnlyTheZonesAndFormatsItNames) {
  struct Case {
    const char* text;
    bool ok;
    const char* name;  // as the session answer gives it back
  };
  for (const Case& c : {Case{"local", true, "local"}, Case{"utc", true, "utc"},
                        Case{"UTC", true, "utc"}, Case{"+05:30", true, "+05:30"},
                        Case{"-03:30", true, "-03:30"}, Case{"+14:00", true, "+14:00"},
                        Case{"-12:00", true, "-12:00"}, Case{"+00:00", true, "+00:00"},
                        Case{"", false, ""}, Case{"+5:30", false, ""}, Case{"05:30", false, ""},
                        Case{"+05:60", false, ""}, Case{"+14:01", false, ""},
                        Case{"-12:30", false, ""}, Case{"+05:30 ", false, ""},
                        Case{"+0a:30", false, ""}, Case{"Europe/Berlin", false, ""},
                        Case{"gmt", false, ""}}) {
    TimeDisplay t;
    std::string err;
    EXPECT_EQ(ParseTimeZone(c.text, &t, &err), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(t.ZoneName(), c.name);
    } else {
      EXPECT_NE(err.find(std::string("\"") + c.text + "\""), std::string::npos) << err;
    }
  }
  TimeDisplay t;
  std::string err;
  EXPECT_TRUE(ParseDateFormat("iso-t", &t, &err));
  EXPECT_EQ(t.FormatName(), "iso-t");
  EXPECT_FALSE(ParseDateFormat("us", &t, &err));
  EXPECT_FALSE(ParseDateFormat("", &t, &err));
}

TEST(TimeDisplay, ShowsInstantsAndLocalWallTimesInTheZoneWithTheOffsetThenInForce) {
  ZoneScope zone(kCentralEurope);
  // Summer time began at 01:00 UTC on 29 March 2026.
  const plant::TimePoint before = Utc(2026, 3, 29, 0, 59, 59), after = Utc(2026, 3, 29, 1, 0, 0);
  struct Case {
    const char* zone;
    const char* format;
    plant::TimePoint at;
    const char* shown;
  };
  for (const Case& c : {
           Case{"local", "iso", before, "2026-03-29 01:59:59 +01:00"},
           Case{"local", "iso", after, "2026-03-29 03:00:00 +02:00"},
           Case{"utc", "iso", after, "2026-03-29 01:00:00 +00:00"},
           Case{"+05:30", "iso", before, "2026-03-29 06:29:59 +05:30"},
           Case{"-03:30", "iso-t", before, "2026-03-28T21:29:59-03:30"},
           Case{"local", "iso-t", after, "2026-03-29T03:00:00+02:00"},
           Case{"+14:00", "iso", Utc(2026, 12, 31, 10, 0, 0), "2027-01-01 00:00:00 +14:00"},
       }) {
    EXPECT_EQ(Made(c.zone, c.format).Format(c.at), c.shown) << c.zone << " " << c.format;
  }
  // A second's fraction is cut, not rounded up.
  EXPECT_EQ(Made("utc", "iso").Format(after - std::chrono::milliseconds(1)),
            "2026-03-29 00:59:59 +00:00");

  // Rows carry the server's wall time: each has the offset of its own date,
  // whatever the offset is today.
  struct Wall {
    const char* zone;
    const char* date;
    const char* time;
    const char* shown;
  };
  for (const Wall& w : {
           Wall{"local", "07/15/2026", "12:00:00", "2026-07-15 12:00:00 +02:00"},
           Wall{"local", "01/15/2026", "12:00:00", "2026-01-15 12:00:00 +01:00"},
           Wall{"utc", "07/15/2026", "12:00:00", "2026-07-15 10:00:00 +00:00"},
           Wall{"+05:30", "01/15/2026", "23:45:10", "2026-01-16 04:15:10 +05:30"},
           // Not a time: shown as it came, never a made-up one.
           Wall{"utc", "13/01/2026", "12:00:00", "13/01/2026 12:00:00"},
           Wall{"utc", "07/15/2026", "1200", "07/15/2026 1200"},
           Wall{"utc", "", "", ""},
       }) {
    EXPECT_EQ(Made(w.zone, "iso").FormatLocal(w.date, w.time), w.shown)
        << w.zone << " " << w.date << " " << w.time;
  }
  EXPECT_EQ(Made("-03:30", "iso").OffsetNow(), "-03:30");
}

}  // namespace
}  // namespace tolvane::web

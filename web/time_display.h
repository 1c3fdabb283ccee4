// How the web display shows a time: one zone for every time on the page
// (the server's local one, UTC or a fixed offset), always with its offset,
// so that a screen read far from the plant cannot mistake the hour.
#pragma once

#include <string>

#include "plant/plant.h"

namespace tolvane::web {

struct TimeDisplay {
  enum class Zone { kLocal, kUtc, kFixed };
  Zone zone = Zone::kLocal;
  int offsetMinutes = 0;  // kFixed: east of UTC
  bool tSeparator = false;  // "iso-t": 2026-12-09T14:03:07+01:00

  // The settings as given ("local", "+05:30"; "iso", "iso-t").
  std::string ZoneName() const;
  std::string FormatName() const { return tSeparator ? "iso-t" : "iso"; }

  // "2026-12-09 14:03:07 +01:00" (iso) or "2026-12-09T14:03:07+01:00" (iso-t).
  std::string Format(plant::TimePoint t) const;
  // A wall time of the server's local zone as the queue's rows carry it
  // (MM/DD/YYYY, hh:mm:ss), shown in the zone; the texts as they are when
  // they do not read as a time.
  std::string FormatLocal(const std::string& date, const std::string& time) const;
  // The zone's offset now ("+01:00").
  std::string OffsetNow() const;
};

// Reads "local", "utc" or "+HH:MM" / "-HH:MM" (-12:00..+14:00); false with
// a message a person can act on.
bool ParseTimeZone(const std::string& text, TimeDisplay* out, std::string* err);
// Reads "iso" or "iso-t".
bool ParseDateFormat(const std::string& text, TimeDisplay* out, std::string* err);

}  // namespace tolvane::web

// Building the queue's SUMQMSG records: from a raised alarm, and the date
// and time texts of its time points.
#pragma once

#include <optional>
#include <string>

#include "node/summary_queue.h"

namespace tolvane::node::detail {

// "MM/dd/yyyy" and "HH:mm:ss" of a time point, in local time.
std::string FormatDate(Clock::time_point t);
std::string FormatTime(Clock::time_point t);
// Reads texts of those forms back (local time); nothing when they do not read.
std::optional<Clock::time_point> ParseDateTime(const char* date, std::size_t dateSize,
                                               const char* time, std::size_t timeSize);

// Writes the four date and time texts of `msg`.
void StampTimes(SUMQMSG& msg, Clock::time_point in, Clock::time_point last);

// A zeroed message holding `alarm`, every text cut to its field; the times
// are stamped by the caller.
SUMQMSG BuildMessage(const AlarmInput& alarm);

// Copies into `msg` what an update of a standing alarm changes: everything
// but the block's identity (node, letter, number) and time in.
void ApplyRaise(SUMQMSG& msg, const AlarmInput& alarm);

// Makes a message from outside safe to hold: every text field terminated,
// the area count at most 15.
void Sanitize(SUMQMSG& msg);

}  // namespace tolvane::node::detail

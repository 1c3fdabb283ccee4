// What node daemons and stations say to each other over NATS: subject and
// stream names, the failure statuses of the plant-wide deployment, and the
// encoding of an alarm's whole state (docs/deployment.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tolvane/records.h"

namespace tolvane::nats {

using Clock = std::chrono::system_clock;

// One message per alarm subject, the last one kept: the current state.
inline constexpr const char* kAlarmStream = "TOLVANE_ALARMS";
inline constexpr const char* kAlarmSubjects = "tolvane.alarm.>";
// Operator messages, kept by age.
inline constexpr const char* kJournalStream = "TOLVANE_JOURNAL";
inline constexpr const char* kJournalSubjects = "tolvane.journal.>";

// Queue-call statuses a station returns besides the queue's own.
inline constexpr short kQueueUnreachable = 20;  // no node answered in time, or offline
inline constexpr short kQueueRefused = 21;      // the server refused this station the command
inline constexpr short kQueueBadReply = 22;     // the node answered something unreadable

// Database entry statuses a station gives besides the node's own.
namespace netstatus {
inline constexpr short kNodeUnreachable = 1720;  // the owning node did not answer in time
inline constexpr short kRefused = 1721;          // the server refused this station the request
inline constexpr short kBadReply = 1722;         // the node's answer did not read
inline constexpr short kNotConfirmed = 1723;     // done on the node, not yet in the stream
}  // namespace netstatus

// A node name as a subject token: upper case, anything but letters, digits,
// '-' and '_' as %XX, so no name can reach into another node's subjects.
std::string NodeToken(std::string_view node);
// "tolvane.alarm.<NODE>.<letter><number>"; a letter that is not a letter or
// digit is written as %XX.
std::string AlarmSubject(std::string_view node, char letter, int16_t number);
// "tolvane.alarm.<NODE>.>"
std::string NodeAlarmFilter(std::string_view node);
std::string JournalSubject(std::string_view node);
// Request subjects served by a node's daemon: `kind` is "ack", "delete",
// "opmsg", "read" or "write".
std::string CommandSubject(std::string_view node, std::string_view kind);
// "tolvane.cmd.<NODE>.*"
std::string CommandFilter(std::string_view node);

// An alarm as a node holds it.
struct AlarmState {
  SUMQMSG msg{};
  Clock::time_point timeIn{};
  Clock::time_point timeLast{};
  bool suppressed = false;
};

// The state as a message body; an empty body is the tombstone of an alarm
// that left the summary. Text fields are mostly padding, so runs of zero
// bytes are written as counts.
std::string EncodeAlarm(const AlarmState& state);
// Nothing when the body does not read (wrong version, short, overlong).
std::optional<AlarmState> DecodeAlarm(std::string_view body);

}  // namespace tolvane::nats

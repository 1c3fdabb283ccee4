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
// Each daemon's heartbeat, the last one per node kept.
inline constexpr const char* kNodeStream = "TOLVANE_NODES";
inline constexpr const char* kNodeSubjects = "tolvane.node.>";

// Queue-call statuses a station returns besides the queue's own.
inline constexpr short kQueueUnreachable = 20;  // no node answered in time, or offline
inline constexpr short kQueueRefused = 21;      // the server refused this station the command
inline constexpr short kQueueBadReply = 22;     // the node answered something unreadable
// Sent, but no definite answer came (the node's confirmation window passed,
// or the answer was lost): the station checks the stream and the node.
inline constexpr short kQueueUnknown = 23;
inline constexpr short kQueueNodeStale = 24;  // failed, and the node's heartbeat is stale

// Database entry statuses a station gives besides the node's own.
namespace netstatus {
inline constexpr short kNodeUnreachable = 1720;  // the owning node did not answer in time
inline constexpr short kRefused = 1721;          // the server refused this station the request
inline constexpr short kBadReply = 1722;         // the node's answer did not read
inline constexpr short kNotConfirmed = 1723;     // done on the node, not yet in the stream
inline constexpr short kUnknownOutcome = 1724;   // sent, no definite answer: being checked
inline constexpr short kNodeStale = 1725;        // failed, and the node's heartbeat is stale
}  // namespace netstatus

// True for the statuses above that mean "no definite answer yet".
inline bool IsUnknownOutcome(short status) {
  return status == kQueueUnknown || status == netstatus::kUnknownOutcome;
}

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
// "tolvane.node.<NODE>": the daemon's heartbeat.
std::string NodeSubject(std::string_view node);

// The node token of a subject under `prefix` ("tolvane.alarm.", ...): the
// token after it; empty when the subject is not under it.
std::string_view SubjectNodeToken(std::string_view subject, std::string_view prefix);
// A node token back as the name it was made of (%XX undone; upper case).
std::string UnescapeToken(std::string_view token);
// The block an alarm subject names. False when it names none.
bool ParseAlarmSubject(std::string_view subject, std::string* node, char* letter, int16_t* number);

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
//
// Versions (docs/deployment.md, "Wire format"): a body starts with its
// format's major and minor number. A reader takes every major it knows and
// any minor of it: a new minor only adds header fields, which older readers
// skip by the header's length. A change to the record or to the meaning of
// a byte is a new major; a reader that meets a newer major says so and
// keeps the alarm visible as one it cannot read.
inline constexpr uint8_t kWireMajor = 2;
inline constexpr uint8_t kWireMinor = 0;

std::string EncodeAlarm(const AlarmState& state);
// As EncodeAlarm, in the given version (tests stand in for other daemons).
std::string EncodeAlarmAs(const AlarmState& state, uint8_t major, uint8_t minor,
                          std::string_view extraHeader = {});

enum class DecodeResult { kOk, kNewerMajor, kUnreadable };
// `major` gets the body's major number when it has one.
DecodeResult DecodeAlarmBody(std::string_view body, AlarmState* out, int* major = nullptr);
// Nothing when the body does not read (unknown major, short, overlong).
std::optional<AlarmState> DecodeAlarm(std::string_view body);

}  // namespace tolvane::nats

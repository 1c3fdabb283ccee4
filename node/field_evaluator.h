// Alarm evaluation of field points: each process value (or its absence)
// goes through one evaluator that writes it into the node's process
// database and raises, changes and returns the point's alarm in the
// summary queue. Limits with deadband, on- and off-delays, rate of change,
// deviation from a setpoint point, digital change of state, bad quality and
// communication loss.
//
// One alarm per point: the point's block holds at most one alarm in the
// queue, showing its worst condition (communication loss, bad quality,
// HIHI/LOLO, HI/LO, deviation, rate). Moving between conditions raises the
// alarm again (unacknowledged) with the new condition's priority; a return
// to normal leaves an unacknowledged alarm in the summary as "OK" until it
// is acknowledged, unless the point says otherwise.
//
// Not thread-safe: one thread feeds an evaluator. The queue and database it
// writes are thread-safe, so displays and acknowledges run beside it.
// Time is always given by the caller, so tests run on an injected clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "node/process_database.h"
#include "node/summary_queue.h"

namespace tolvane::node {

// Alarm status codes the evaluator writes (the node's alarm-status table).
namespace fieldstatus {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kLoLo = 1793;
inline constexpr int32_t kHiHi = 1796;
inline constexpr int32_t kLo = 1538;
inline constexpr int32_t kHi = 1539;
inline constexpr int32_t kRate = 1541;
inline constexpr int32_t kCos = 1798;
inline constexpr int32_t kDev = 1288;
inline constexpr int32_t kBad = 2185;     // "FLT": a value that does not read
inline constexpr int32_t kRange = 4292;   // "RANGE": outside the type's or instrument's range
inline constexpr int32_t kComm = 4293;    // "COMM": no value (link down, timeout, stale)
inline constexpr int32_t kDevice = 4294;  // "DEVICE": the device refused the read
}  // namespace fieldstatus

// What a point is in, worst last (the order decides which condition a
// point's one alarm shows, and whether a change waits for the on- or the
// off-delay).
enum class FieldCondition : uint8_t {
  kNormal,
  kRate,
  kDev,
  kLo,
  kHi,
  kLoLo,
  kHiHi,
  kCos,
  kBad,
  kRange,
  kDevice,
  kComm,
};
inline constexpr std::size_t kFieldConditionCount = 12;

// Quality of a reading; anything but kGood carries no value.
enum class FieldQuality : uint8_t { kGood, kBad, kRange, kDevice, kComm };

int32_t StatusCodeOf(FieldCondition c);
// "HIHI", "COMM", ...; "OK" for kNormal.
const char* ConditionName(FieldCondition c);

using FieldDuration = std::chrono::milliseconds;

struct FieldPointConfig {
  std::string node;      // the database node holding the block
  std::string physical;  // physical node name for the alarm (default: node)
  std::string tag;
  char letter = 'A';
  int16_t number = 0;
  std::string description;
  std::vector<std::string> areas;

  bool digital = false;   // change-of-state point: value nonzero is "true"
  bool alarmWhen = true;  // digital: the state that is the alarm
  std::optional<double> hihi, hi, lo, lolo;
  double deadband = 0;              // a limit condition returns only past limit -/+ deadband
  std::optional<double> rate;       // most change per second, either way
  FieldDuration ratePeriod{1000};   // rate is measured over at least this long
  std::optional<double> deviation;  // most |value - setpoint|
  int setpoint = -1;                // index of the setpoint point, -1: none
  FieldDuration onDelay{0};         // a condition must last this long to raise
  FieldDuration offDelay{0};        // normal must last this long to return
  FieldDuration staleAfter{0};      // no reading for this long: communication loss; 0: never
  // Priority id per condition (index: FieldCondition).
  std::array<int16_t, kFieldConditionCount> priority{5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  bool ackRequired = true;  // a returned alarm stays until acknowledged
  double fieldScale = 1;    // the block's 16-bit B_CV holds value * fieldScale
};

// What `status` shows of a point.
struct FieldPointState {
  FieldQuality quality = FieldQuality::kComm;  // kComm until the first reading
  bool hasValue = false;
  double value = 0;                                  // last good value
  FieldCondition shown = FieldCondition::kNormal;    // what the alarm shows
  FieldCondition pending = FieldCondition::kNormal;  // waiting for its delay
  bool waiting = false;                              // `pending` is waiting
  Clock::time_point lastReading{};
};

struct FieldEvaluatorCounters {
  uint64_t values = 0;       // good values evaluated
  uint64_t badReadings = 0;  // readings of bad quality, device errors included
  uint64_t commLosses = 0;   // points that went to communication loss
  uint64_t raised = 0;       // alarms raised or moved to another condition
  uint64_t returned = 0;     // alarms back to normal (left in the summary until acknowledged)
  uint64_t cleared = 0;      // alarms that left the summary
};

class FieldEvaluator {
 public:
  // REQUIRES: `queue` and `database` outlive the evaluator.
  FieldEvaluator(SummaryQueue& queue, ProcessDatabase& database);

  // Adds a point and returns its index. The point's block must exist in the
  // database for its value to be written there.
  std::size_t Add(const FieldPointConfig& point);
  std::size_t Size() const { return points_.size(); }
  const FieldPointConfig& Config(std::size_t point) const { return points_[point].cfg; }

  // Takes over the alarms standing in the queue for the points (after a
  // restart): a point keeps its condition until a reading says otherwise,
  // and its staleness counts from `now`.
  void Adopt(Clock::time_point now);
  // Carries the readings, delays and conditions of `other`'s points (the
  // same points, in the same order) into this one, then takes over the
  // queue's alarms as Adopt does: for a node loaded afresh from its store.
  void TakeStateFrom(const FieldEvaluator& other);

  // A good reading. Non-finite values are turned into bad quality.
  void Value(std::size_t point, double value, Clock::time_point now);
  // A reading without a value (kGood is ignored).
  void Quality(std::size_t point, FieldQuality quality, Clock::time_point now);
  // Ends delays that ran out, marks stale points, and takes out returned
  // alarms that were acknowledged. Call it often (every few tens of ms).
  void Tick(Clock::time_point now);

  FieldPointState State(std::size_t point) const;
  const FieldEvaluatorCounters& Counters() const { return counters_; }

 private:
  struct Point {
    FieldPointConfig cfg;
    FieldPointState st;
    FieldCondition raw = FieldCondition::kNormal;  // undelayed condition
    Clock::time_point pendingSince{};
    double rateRef = 0;
    Clock::time_point rateRefTime{};
    bool hasRateRef = false;
    double rateNow = 0;
    bool inPendingList = false;
    bool awaitingAck = false;
    int16_t lastCv = INT16_MIN;
    std::vector<std::size_t> dependents;  // points whose setpoint this is
  };

  void Sync();  // shown conditions from the queue's standing alarms
  FieldCondition Classify(const Point& p) const;
  void Evaluate(std::size_t index, Clock::time_point now);
  void Apply(Point& p, FieldCondition to, Clock::time_point now);
  FieldDuration DelayFor(const Point& p, FieldCondition to) const;
  _AlmCanonicalValue AlarmValue(const Point& p, FieldCondition c) const;

  SummaryQueue& queue_;
  ProcessDatabase& database_;
  std::vector<Point> points_;
  std::vector<std::size_t> pendingList_;
  std::vector<std::size_t> awaitingAck_;
  FieldEvaluatorCounters counters_;
};

}  // namespace tolvane::node

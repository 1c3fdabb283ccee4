#include "node/field_evaluator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tolvane::node {
namespace {

using C = FieldCondition;

bool IsQuality(C c) {
  return c >= C::kBad;
}

bool IsAlarm(C c) {
  return c != C::kNormal;
}

C FromQuality(FieldQuality q) {
  switch (q) {
    case FieldQuality::kBad:
      return C::kBad;
    case FieldQuality::kRange:
      return C::kRange;
    case FieldQuality::kDevice:
      return C::kDevice;
    case FieldQuality::kComm:
      return C::kComm;
    case FieldQuality::kGood:
      break;
  }
  return C::kNormal;
}

FieldQuality ToQuality(C c) {
  switch (c) {
    case C::kBad:
      return FieldQuality::kBad;
    case C::kRange:
      return FieldQuality::kRange;
    case C::kDevice:
      return FieldQuality::kDevice;
    case C::kComm:
      return FieldQuality::kComm;
    default:
      return FieldQuality::kGood;
  }
}

std::optional<C> FromStatusCode(int32_t code) {
  for (std::size_t i = 0; i < kFieldConditionCount; ++i) {
    if (StatusCodeOf(static_cast<C>(i)) == code) return static_cast<C>(i);
  }
  return std::nullopt;
}

int16_t ToField(double v) {
  if (!std::isfinite(v)) return 0;
  double r = std::round(v);
  return static_cast<int16_t>(std::clamp(r, -32768.0, 32767.0));
}

}  // namespace

int32_t StatusCodeOf(FieldCondition c) {
  switch (c) {
    case C::kNormal:
      return fieldstatus::kOk;
    case C::kRate:
      return fieldstatus::kRate;
    case C::kDev:
      return fieldstatus::kDev;
    case C::kLo:
      return fieldstatus::kLo;
    case C::kHi:
      return fieldstatus::kHi;
    case C::kLoLo:
      return fieldstatus::kLoLo;
    case C::kHiHi:
      return fieldstatus::kHiHi;
    case C::kCos:
      return fieldstatus::kCos;
    case C::kBad:
      return fieldstatus::kBad;
    case C::kRange:
      return fieldstatus::kRange;
    case C::kDevice:
      return fieldstatus::kDevice;
    case C::kComm:
      return fieldstatus::kComm;
  }
  return fieldstatus::kOk;
}

const char* ConditionName(FieldCondition c) {
  static constexpr const char* kNames[kFieldConditionCount] = {
      "OK", "RATE", "DEV", "LO", "HI", "LOLO", "HIHI", "COS", "BAD", "RANGE", "DEVICE", "COMM"};
  auto i = static_cast<std::size_t>(c);
  return i < kFieldConditionCount ? kNames[i] : "?";
}

FieldEvaluator::FieldEvaluator(SummaryQueue& queue, ProcessDatabase& database)
    : queue_(queue), database_(database) {}

std::size_t FieldEvaluator::Add(const FieldPointConfig& point) {
  Point p;
  p.cfg = point;
  if (p.cfg.physical.empty()) p.cfg.physical = p.cfg.node;
  points_.push_back(std::move(p));
  std::size_t index = points_.size() - 1;
  // The setpoint may be added before or after the points that use it.
  int sp = points_[index].cfg.setpoint;
  if (sp == static_cast<int>(index)) {
    points_[index].cfg.setpoint = -1;
  } else if (sp >= 0 && static_cast<std::size_t>(sp) < index) {
    points_[static_cast<std::size_t>(sp)].dependents.push_back(index);
  }
  for (std::size_t i = 0; i < index; ++i) {
    if (points_[i].cfg.setpoint == static_cast<int>(index)) points_[index].dependents.push_back(i);
  }
  return index;
}

void FieldEvaluator::TakeStateFrom(const FieldEvaluator& other) {
  if (other.points_.size() != points_.size()) return;
  for (std::size_t i = 0; i < points_.size(); ++i) {
    Point& p = points_[i];
    const Point& o = other.points_[i];
    p.st = o.st;
    p.raw = o.raw;
    p.pendingSince = o.pendingSince;
    p.rateRef = o.rateRef;
    p.rateRefTime = o.rateRefTime;
    p.hasRateRef = o.hasRateRef;
    p.rateNow = o.rateNow;
    if (p.st.waiting) {
      p.inPendingList = true;
      pendingList_.push_back(i);
    }
  }
  counters_ = other.counters_;
  Sync();
}

void FieldEvaluator::Adopt(Clock::time_point now) {
  for (Point& p : points_) p.st.lastReading = now;
  Sync();
}

void FieldEvaluator::Sync() {
  for (Point& p : points_) {
    SUMQMSG msg{};
    if (queue_.Find(p.cfg.number, p.cfg.letter, p.cfg.node.c_str(), &msg) != 0) continue;
    std::optional<C> c = FromStatusCode(msg.almpak.statusCode);
    if (!c) continue;
    p.st.shown = p.raw = *c;
    if (IsQuality(*c)) p.st.quality = ToQuality(*c);
    if (*c == C::kNormal && !p.awaitingAck) {
      p.awaitingAck = true;
      awaitingAck_.push_back(static_cast<std::size_t>(&p - points_.data()));
    }
  }
}

void FieldEvaluator::Value(std::size_t index, double value, Clock::time_point now) {
  if (index >= points_.size()) return;
  if (!std::isfinite(value)) {
    Quality(index, FieldQuality::kBad, now);
    return;
  }
  Point& p = points_[index];
  ++counters_.values;
  p.st.quality = FieldQuality::kGood;
  p.st.hasValue = true;
  p.st.value = value;
  p.st.lastReading = now;
  if (p.cfg.rate) {
    if (!p.hasRateRef) {
      p.hasRateRef = true;
      p.rateRef = value;
      p.rateRefTime = now;
    } else if (now - p.rateRefTime >= p.cfg.ratePeriod && now > p.rateRefTime) {
      double seconds = std::chrono::duration<double>(now - p.rateRefTime).count();
      p.rateNow = (value - p.rateRef) / seconds;
      p.rateRef = value;
      p.rateRefTime = now;
    }
  }
  int16_t cv = ToField(value * p.cfg.fieldScale);
  if (cv != p.lastCv) {
    p.lastCv = cv;
    database_.SetField(p.cfg.node, p.cfg.tag, "B_CV", cv);
  }
  Evaluate(index, now);
  for (std::size_t d : p.dependents) {
    if (points_[d].st.quality == FieldQuality::kGood) Evaluate(d, now);
  }
}

void FieldEvaluator::Quality(std::size_t index, FieldQuality quality, Clock::time_point now) {
  if (index >= points_.size() || quality == FieldQuality::kGood) return;
  Point& p = points_[index];
  if (quality == FieldQuality::kComm) {
    if (p.st.shown != C::kComm) ++counters_.commLosses;
  } else {
    ++counters_.badReadings;
    p.st.lastReading = now;
  }
  p.st.quality = quality;
  p.hasRateRef = false;  // a gap is not a rate
  p.rateNow = 0;
  Evaluate(index, now);
}

FieldCondition FieldEvaluator::Classify(const Point& p) const {
  if (p.st.quality != FieldQuality::kGood) return FromQuality(p.st.quality);
  const FieldPointConfig& c = p.cfg;
  double v = p.st.value;
  if (c.digital) return ((v != 0) == c.alarmWhen) ? C::kCos : C::kNormal;
  double db = std::max(0.0, c.deadband);
  // Limits: a condition is entered at its limit and held until the value is
  // past the limit by the deadband, so noise on a limit does not chatter.
  if (c.hihi && (v >= *c.hihi || (p.raw == C::kHiHi && v > *c.hihi - db))) return C::kHiHi;
  if (c.lolo && (v <= *c.lolo || (p.raw == C::kLoLo && v < *c.lolo + db))) return C::kLoLo;
  bool wasHigh = p.raw == C::kHi || p.raw == C::kHiHi;
  bool wasLow = p.raw == C::kLo || p.raw == C::kLoLo;
  if (c.hi && (v >= *c.hi || (wasHigh && v > *c.hi - db))) return C::kHi;
  if (c.lo && (v <= *c.lo || (wasLow && v < *c.lo + db))) return C::kLo;
  if (c.deviation && c.setpoint >= 0 && static_cast<std::size_t>(c.setpoint) < points_.size()) {
    const Point& sp = points_[static_cast<std::size_t>(c.setpoint)];
    if (sp.st.quality == FieldQuality::kGood && sp.st.hasValue) {
      double d = std::fabs(v - sp.st.value);
      if (d >= *c.deviation || (p.raw == C::kDev && d > *c.deviation - db)) return C::kDev;
    }
  }
  if (c.rate && std::fabs(p.rateNow) >= *c.rate) return C::kRate;
  return C::kNormal;
}

FieldDuration FieldEvaluator::DelayFor(const Point& p, FieldCondition to) const {
  // Quality conditions come and go at once: they say what the reading is.
  if (IsQuality(to) || IsQuality(p.st.shown)) return FieldDuration{0};
  if (to == C::kNormal) return p.cfg.offDelay;
  if (p.st.shown == C::kNormal || to > p.st.shown) return p.cfg.onDelay;
  return p.cfg.offDelay;
}

void FieldEvaluator::Evaluate(std::size_t index, Clock::time_point now) {
  Point& p = points_[index];
  C to = Classify(p);
  p.raw = to;
  if (to == p.st.shown) {
    p.st.waiting = false;
    return;
  }
  // An abnormal point that moves between conditions keeps its on-delay
  // running: it has been out of normal all along.
  if (!p.st.waiting || p.st.pending != to) {
    bool keep = p.st.waiting && IsAlarm(p.st.pending) && IsAlarm(to) && !IsQuality(to) &&
                !IsQuality(p.st.pending);
    if (!keep) p.pendingSince = now;
    p.st.pending = to;
    p.st.waiting = true;
  }
  if (now - p.pendingSince >= DelayFor(p, to)) {
    p.st.waiting = false;
    Apply(p, to, now);
    return;
  }
  if (!p.inPendingList) {
    p.inPendingList = true;
    pendingList_.push_back(index);
  }
}

_AlmCanonicalValue FieldEvaluator::AlarmValue(const Point& p, FieldCondition c) const {
  _AlmCanonicalValue v = ClearedValue();
  const char* text = nullptr;
  if (IsQuality(c)) {
    text = c == C::kComm ? "COMM" : "BAD";
  } else if (p.cfg.digital) {
    text = c == C::kCos ? "ALARM" : "NORMAL";
  }
  if (text) {
    v.kind = 1;
    v.textFlag = 1;
    std::snprintf(v.text, sizeof v.text, "%s", text);
  } else {
    v.kind = 8;
    v.value.f32 = static_cast<float>(p.st.value);
  }
  return v;
}

void FieldEvaluator::Apply(Point& p, FieldCondition to, Clock::time_point now) {
  p.st.shown = to;
  const FieldPointConfig& c = p.cfg;
  auto code = static_cast<int16_t>(StatusCodeOf(to));
  if (to == C::kNormal) {
    database_.SetField(c.node, c.tag, "B_CUALM", 0);
    SUMQMSG msg{};
    if (queue_.Find(c.number, c.letter, c.node.c_str(), &msg) != 0) return;
    if (c.ackRequired && msg.ackFlag == 0) {
      queue_.Update(c.node, c.letter, c.number, fieldstatus::kOk, AlarmValue(p, to), now);
      ++counters_.returned;
      if (!p.awaitingAck) {
        p.awaitingAck = true;
        awaitingAck_.push_back(static_cast<std::size_t>(&p - points_.data()));
      }
    } else {
      queue_.Clear(c.node, c.letter, c.number);
      database_.SetField(c.node, c.tag, "B_NALM", 0);
      ++counters_.cleared;
    }
    return;
  }
  AlarmInput in;
  in.physicalNode = c.physical;
  in.node = c.node;
  in.tag = c.tag;
  in.blockLetter = c.letter;
  in.blockNumber = c.number;
  in.priority = c.priority[static_cast<std::size_t>(to)];
  in.statusCode = code;
  in.value = AlarmValue(p, to);
  in.description = c.description;
  in.areas = c.areas;
  database_.SetField(c.node, c.tag, "B_CUALM", code);
  database_.SetField(c.node, c.tag, "B_PRI", in.priority);
  database_.SetField(c.node, c.tag, "B_NALM", 1);
  queue_.Raise(in, now);
  ++counters_.raised;
}

void FieldEvaluator::Tick(Clock::time_point now) {
  // Delays that ran out. Apply may not add to the list, so a swap is safe.
  std::vector<std::size_t> pending;
  pending.swap(pendingList_);
  for (std::size_t i : pending) {
    Point& p = points_[i];
    p.inPendingList = false;
    if (!p.st.waiting) continue;
    if (now - p.pendingSince >= DelayFor(p, p.st.pending)) {
      p.st.waiting = false;
      Apply(p, p.st.pending, now);
    } else {
      p.inPendingList = true;
      pendingList_.push_back(i);
    }
  }
  for (std::size_t i = 0; i < points_.size(); ++i) {
    Point& p = points_[i];
    if (p.st.lastReading == Clock::time_point{}) p.st.lastReading = now;  // never read: from now
    if (p.cfg.staleAfter.count() > 0 && p.st.shown != C::kComm &&
        now - p.st.lastReading > p.cfg.staleAfter) {
      Quality(i, FieldQuality::kComm, now);
    }
  }
  // Returned alarms leave the summary once acknowledged.
  std::erase_if(awaitingAck_, [&](std::size_t i) {
    Point& p = points_[i];
    SUMQMSG msg{};
    bool gone = queue_.Find(p.cfg.number, p.cfg.letter, p.cfg.node.c_str(), &msg) != 0;
    if (!gone && p.st.shown == C::kNormal && msg.almpak.statusCode == fieldstatus::kOk &&
        msg.ackFlag == 0) {
      return false;
    }
    if (!gone && p.st.shown == C::kNormal && msg.almpak.statusCode == fieldstatus::kOk) {
      queue_.Clear(p.cfg.node, p.cfg.letter, p.cfg.number);
      ++counters_.cleared;
    }
    p.awaitingAck = false;
    return true;
  });
}

FieldPointState FieldEvaluator::State(std::size_t point) const {
  return point < points_.size() ? points_[point].st : FieldPointState{};
}

}  // namespace tolvane::node

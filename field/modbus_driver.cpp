#include "field/modbus_driver.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>

namespace tolvane::field {
namespace {

using node::Clock;
using node::FieldQuality;

// An exception code the server sent back (libmodbus maps them above
// MODBUS_ENOBASE): the device answered, it refused.
bool IsExceptionReply(int e) {
  return e > MODBUS_ENOBASE && e <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET;
}

}  // namespace

ModbusDriver::ModbusDriver(const ModbusSource& source, std::size_t first, Inbox& inbox)
    : source_(source), first_(first), inbox_(inbox) {
  plan_ = PlanPolls(source_.points, source_.maxRegisters, source_.maxGap);
}

ModbusDriver::~ModbusDriver() {
  Stop();
}

bool ModbusDriver::Start(std::string*) {
  {
    std::lock_guard lock(m_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ModbusDriver::Stop() {
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool ModbusDriver::SleepFor(std::chrono::milliseconds d) {
  std::unique_lock lock(m_);
  return !cv_.wait_for(lock, d, [&] { return stop_; });
}

void ModbusDriver::SetError(const std::string& why) {
  std::lock_guard lock(errorMutex_);
  lastError_ = why;
}

void ModbusDriver::Lost(const PollRequest* only, FieldQuality q, const std::string& why) {
  SetError(why);
  std::vector<Sample> out;
  auto now = Clock::now();
  auto add = [&](const PollRequest& r) {
    for (const PollRequest::Use& u : r.uses) out.push_back({first_ + u.point, {q, 0}, now});
  };
  if (only) {
    add(*only);
  } else {
    for (const PollRequest& r : plan_) add(r);
  }
  inbox_.PushAll(out);
}

void ModbusDriver::Run() {
  using namespace std::chrono;
  modbus_t* ctx = nullptr;
  milliseconds backoff(250);
  bool reported = false;  // this outage's communication loss is told
  std::vector<uint16_t> regs(kMaxReadRegisters);
  std::vector<uint8_t> bits(kMaxReadBits);
  std::vector<Sample> out;
  auto drop = [&] {
    if (ctx) {
      modbus_close(ctx);
      modbus_free(ctx);
      ctx = nullptr;
    }
    connected_ = false;
  };
  auto next = steady_clock::now();
  for (;;) {
    {
      std::lock_guard lock(m_);
      if (stop_) break;
    }
    if (!ctx) {
      ctx = modbus_new_tcp(source_.host.c_str(), source_.port);
      bool ok = ctx != nullptr;
      if (ok) {
        modbus_set_slave(ctx, source_.unit);
        auto t = source_.timeout.count();
        modbus_set_response_timeout(ctx, static_cast<uint32_t>(t / 1000),
                                    static_cast<uint32_t>((t % 1000) * 1000));
        ok = modbus_connect(ctx) == 0;
      }
      if (!ok) {
        std::string why = ctx ? modbus_strerror(errno) : "cannot make a Modbus context";
        drop();
        if (!reported) {
          ++counters_.losses;
          Lost(nullptr, FieldQuality::kComm, why);
          reported = true;
        }
        if (!SleepFor(backoff)) break;
        backoff = std::min(backoff * 2, milliseconds(10000));
        continue;
      }
      connected_ = true;
      ++counters_.connects;
      SetError("");
      backoff = milliseconds(250);
      reported = false;
      next = steady_clock::now();
    }
    out.clear();
    bool linkLost = false;
    for (const PollRequest& r : plan_) {
      ++counters_.requests;
      int n = -1;
      switch (r.table) {
        case Table::kHolding:
          n = modbus_read_registers(ctx, r.start, r.count, regs.data());
          break;
        case Table::kInput:
          n = modbus_read_input_registers(ctx, r.start, r.count, regs.data());
          break;
        case Table::kCoil:
          n = modbus_read_bits(ctx, r.start, r.count, bits.data());
          break;
        case Table::kDiscrete:
          n = modbus_read_input_bits(ctx, r.start, r.count, bits.data());
          break;
      }
      if (n == r.count) {
        auto now = Clock::now();
        bool bitTable = r.table == Table::kCoil || r.table == Table::kDiscrete;
        for (const PollRequest::Use& u : r.uses) {
          const SourcePoint& p = source_.points[u.point];
          Reading reading;
          if (bitTable) {
            uint16_t one = bits[u.offset];
            reading = DecodeRegisters(&one, p);
          } else {
            reading = DecodeRegisters(regs.data() + u.offset, p);
          }
          ++counters_.readings;
          if (reading.quality != FieldQuality::kGood) ++counters_.bad;
          out.push_back({first_ + u.point, reading, now});
        }
        continue;
      }
      int e = errno;
      if (n >= 0) e = EMBBADDATA;  // fewer than asked: the answer does not fit
      if (IsExceptionReply(e)) {
        ++counters_.exceptions;
        inbox_.PushAll(out);
        out.clear();
        Lost(&r, FieldQuality::kDevice, modbus_strerror(e));
        continue;
      }
      if (e == ETIMEDOUT) ++counters_.timeouts;
      // No answer, or one that does not read: the link is no longer in
      // step, so it is made again.
      inbox_.PushAll(out);
      out.clear();
      ++counters_.losses;
      Lost(nullptr, FieldQuality::kComm, modbus_strerror(e));
      reported = true;
      linkLost = true;
      break;
    }
    inbox_.PushAll(out);
    if (linkLost) {
      drop();
      if (!SleepFor(backoff)) break;
      continue;
    }
    // Fixed rate: a slow cycle does not push the next one later and later.
    next += source_.poll;
    auto now = steady_clock::now();
    if (next < now) next = now;
    if (!SleepFor(duration_cast<milliseconds>(next - now))) break;
  }
  drop();
}

DriverStatus ModbusDriver::Status() const {
  DriverStatus s;
  s.kind = "modbus";
  s.name = source_.name;
  s.peer = source_.host + ":" + std::to_string(source_.port);
  s.connected = connected_;
  {
    std::lock_guard lock(errorMutex_);
    s.lastError = lastError_;
  }
  CopyCounters(counters_, &s);
  return s;
}

}  // namespace tolvane::field

#include "net/protocol.h"

#include <cctype>
#include <cstring>

namespace tolvane::nats {

namespace {

constexpr uint8_t kVersion = 1;
constexpr std::size_t kHeader = 1 + 1 + 8 + 8;

void Escape(std::string& out, unsigned char c) {
  static const char* hex = "0123456789ABCDEF";
  out += '%';
  out += hex[c >> 4];
  out += hex[c & 15];
}

void PutU16(std::string& out, std::size_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void PutI64(std::string& out, int64_t v) {
  auto u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) out += static_cast<char>((u >> (8 * i)) & 0xFF);
}

int64_t GetI64(const unsigned char* p) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(p[i]) << (8 * i);
  return static_cast<int64_t>(u);
}

int64_t Nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point FromNanos(int64_t n) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(n)));
}

}  // namespace

std::string NodeToken(std::string_view node) {
  std::string out;
  for (char ch : node) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_') {
      out += static_cast<char>(std::toupper(c));
    } else {
      Escape(out, c);
    }
  }
  if (out.empty()) out = "%00";
  return out;
}

std::string AlarmSubject(std::string_view node, char letter, int16_t number) {
  std::string out = "tolvane.alarm." + NodeToken(node) + ".";
  auto c = static_cast<unsigned char>(letter);
  if (std::isalnum(c)) {
    out += letter;
  } else {
    Escape(out, c);
  }
  out += std::to_string(number);
  return out;
}

std::string NodeAlarmFilter(std::string_view node) {
  return "tolvane.alarm." + NodeToken(node) + ".>";
}

std::string JournalSubject(std::string_view node) {
  return "tolvane.journal." + NodeToken(node);
}

std::string CommandSubject(std::string_view node, std::string_view kind) {
  return "tolvane.cmd." + NodeToken(node) + "." + std::string(kind);
}

std::string CommandFilter(std::string_view node) {
  return "tolvane.cmd." + NodeToken(node) + ".*";
}

std::string EncodeAlarm(const AlarmState& state) {
  std::string out;
  out.reserve(512);
  out += static_cast<char>(kVersion);
  out += static_cast<char>(state.suppressed ? 1 : 0);
  PutI64(out, Nanos(state.timeIn));
  PutI64(out, Nanos(state.timeLast));
  // Chunks of (zero run, literal length, literal bytes) over the record.
  const auto* p = reinterpret_cast<const unsigned char*>(&state.msg);
  const std::size_t n = sizeof(SUMQMSG);
  std::size_t i = 0;
  while (i < n) {
    std::size_t zeros = 0;
    while (i + zeros < n && p[i + zeros] == 0) ++zeros;
    std::size_t start = i + zeros;
    std::size_t lit = 0;
    // A literal ends at a run of four zeros; shorter runs cost less inline.
    while (start + lit < n) {
      if (p[start + lit] == 0) {
        std::size_t z = 0;
        while (start + lit + z < n && p[start + lit + z] == 0 && z < 4) ++z;
        if (z >= 4 || start + lit + z == n) break;
        lit += z;
      } else {
        ++lit;
      }
    }
    PutU16(out, zeros);
    PutU16(out, lit);
    out.append(reinterpret_cast<const char*>(p + start), lit);
    i = start + lit;
  }
  return out;
}

std::optional<AlarmState> DecodeAlarm(std::string_view body) {
  if (body.size() < kHeader) return std::nullopt;
  const auto* b = reinterpret_cast<const unsigned char*>(body.data());
  if (b[0] != kVersion) return std::nullopt;
  AlarmState s;
  s.suppressed = (b[1] & 1) != 0;
  s.timeIn = FromNanos(GetI64(b + 2));
  s.timeLast = FromNanos(GetI64(b + 10));
  auto* out = reinterpret_cast<unsigned char*>(&s.msg);
  std::memset(out, 0, sizeof(SUMQMSG));
  std::size_t at = 0;
  std::size_t pos = kHeader;
  while (pos < body.size()) {
    if (body.size() - pos < 4) return std::nullopt;
    std::size_t zeros = b[pos] | (b[pos + 1] << 8);
    std::size_t lit = b[pos + 2] | (b[pos + 3] << 8);
    pos += 4;
    if (lit > body.size() - pos || zeros + lit > sizeof(SUMQMSG) - at) return std::nullopt;
    at += zeros;
    std::memcpy(out + at, b + pos, lit);
    at += lit;
    pos += lit;
  }
  if (at != sizeof(SUMQMSG)) return std::nullopt;
  return s;
}

}  // namespace tolvane::nats

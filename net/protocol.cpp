#include "net/protocol.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>

namespace tolvane::nats {

namespace {

// Major 1: major, flags, time in, time of last change, record.
constexpr std::size_t kHeaderV1 = 1 + 1 + 8 + 8;
// Major 2 on: "TV", major, minor, header length (u16), flags, time in,
// time of last change, fields of later minors, record. The mark tells a
// later format from a body that does not read at all.
constexpr char kMark[2] = {'T', 'V'};
constexpr std::size_t kHeaderV2 = 2 + 1 + 1 + 2 + 1 + 8 + 8;

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

std::string NodeSubject(std::string_view node) {
  return "tolvane.node." + NodeToken(node);
}

std::string_view SubjectNodeToken(std::string_view subject, std::string_view prefix) {
  if (!subject.starts_with(prefix)) return {};
  std::string_view rest = subject.substr(prefix.size());
  return rest.substr(0, rest.find('.'));
}

std::string UnescapeToken(std::string_view token) {
  std::string out;
  for (std::size_t i = 0; i < token.size(); ++i) {
    auto hex = [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
             : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                         : -1;
    };
    if (token[i] == '%' && i + 2 < token.size() && hex(token[i + 1]) >= 0 &&
        hex(token[i + 2]) >= 0) {
      out += static_cast<char>(hex(token[i + 1]) * 16 + hex(token[i + 2]));
      i += 2;
    } else {
      out += token[i];
    }
  }
  return out == std::string(1, '\0') ? std::string() : out;
}

bool ParseAlarmSubject(std::string_view subject, std::string* node, char* letter, int16_t* number) {
  constexpr std::string_view prefix = "tolvane.alarm.";
  std::string_view token = SubjectNodeToken(subject, prefix);
  if (token.empty()) return false;
  std::string_view blk = subject.substr(prefix.size() + token.size());
  if (blk.size() < 3 || blk[0] != '.') return false;
  blk.remove_prefix(1);
  std::string letterText;
  if (blk[0] == '%') {
    letterText = UnescapeToken(blk.substr(0, 3));
    if (letterText.size() != 1) return false;
    blk.remove_prefix(3);
  } else {
    letterText = std::string(1, blk[0]);
    blk.remove_prefix(1);
  }
  if (blk.empty() || blk.size() > 6) return false;
  long n = 0;
  std::size_t i = blk[0] == '-' ? 1 : 0;
  if (i == blk.size()) return false;
  for (; i < blk.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(blk[i]))) return false;
    n = n * 10 + (blk[i] - '0');
  }
  if (blk[0] == '-') n = -n;
  if (n < INT16_MIN || n > INT16_MAX) return false;
  *node = UnescapeToken(token);
  *letter = letterText[0];
  *number = static_cast<int16_t>(n);
  // Only the subject we would make for it names it.
  return AlarmSubject(*node, *letter, *number) == subject;
}

std::string EncodeAlarm(const AlarmState& state) {
  return EncodeAlarmAs(state, kWireMajor, kWireMinor);
}

std::string EncodeAlarmAs(const AlarmState& state, uint8_t major, uint8_t minor,
                          std::string_view extraHeader) {
  std::string out;
  out.reserve(512);
  if (major >= 2) {
    out.append(kMark, 2);
    out += static_cast<char>(major);
    out += static_cast<char>(minor);
    PutU16(out, kHeaderV2 + extraHeader.size());
  } else {
    out += static_cast<char>(major);
  }
  out += static_cast<char>(state.suppressed ? 1 : 0);
  PutI64(out, Nanos(state.timeIn));
  PutI64(out, Nanos(state.timeLast));
  out.append(extraHeader);
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
  AlarmState s;
  if (DecodeAlarmBody(body, &s) != DecodeResult::kOk) return std::nullopt;
  return s;
}

DecodeResult DecodeAlarmBody(std::string_view body, AlarmState* state, int* major) {
  if (body.empty()) return DecodeResult::kUnreadable;
  const auto* b = reinterpret_cast<const unsigned char*>(body.data());
  std::size_t header = 0;
  std::size_t flagsAt = 0;
  if (b[0] == 1) {
    if (major) *major = 1;
    header = kHeaderV1;
    flagsAt = 1;
  } else if (body.size() >= 6 && b[0] == kMark[0] && b[1] == kMark[1]) {
    if (major) *major = b[2];
    if (b[2] > kWireMajor) return DecodeResult::kNewerMajor;
    if (b[2] != 2) return DecodeResult::kUnreadable;
    header = b[4] | (b[5] << 8);
    flagsAt = 6;
    if (header < kHeaderV2) return DecodeResult::kUnreadable;
  } else {
    return DecodeResult::kUnreadable;
  }
  if (body.size() < header) return DecodeResult::kUnreadable;
  AlarmState s;
  s.suppressed = (b[flagsAt] & 1) != 0;
  s.timeIn = FromNanos(GetI64(b + flagsAt + 1));
  s.timeLast = FromNanos(GetI64(b + flagsAt + 9));
  auto* out = reinterpret_cast<unsigned char*>(&s.msg);
  std::memset(out, 0, sizeof(SUMQMSG));
  std::size_t at = 0;
  std::size_t pos = header;
  while (pos < body.size()) {
    if (body.size() - pos < 4) return DecodeResult::kUnreadable;
    std::size_t zeros = b[pos] | (b[pos + 1] << 8);
    std::size_t lit = b[pos + 2] | (b[pos + 3] << 8);
    pos += 4;
    if (lit > body.size() - pos || zeros + lit > sizeof(SUMQMSG) - at) {
      return DecodeResult::kUnreadable;
    }
    at += zeros;
    std::memcpy(out + at, b + pos, lit);
    at += lit;
    pos += lit;
  }
  if (at != sizeof(SUMQMSG)) return DecodeResult::kUnreadable;
  *state = s;
  return DecodeResult::kOk;
}

}  // namespace tolvane::nats

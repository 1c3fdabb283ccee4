#include "manager/alarm_reference.h"

#include <charconv>
#include <cstring>

namespace tolvane {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

// Same bytes as snprintf("%c%d%s") cut to the field, without its cost on
// every row of a page.
void WriteReference(char* dest, char letter, int16_t number, const char* node) {
  char buf[kReferenceSize + 8];
  std::size_t len = 0;
  buf[len++] = letter;
  auto [end, ec] = std::to_chars(buf + len, buf + sizeof buf, static_cast<int>(number));
  (void)ec;  // at most 6 characters always fit
  len = static_cast<std::size_t>(end - buf);
  std::size_t nodeLen = node ? ::strnlen(node, kReferenceSize) : 0;
  std::size_t room = kReferenceSize - 1;
  if (len > room) len = room;
  std::size_t n = nodeLen < room - len ? nodeLen : room - len;
  std::memcpy(dest, buf, len);
  if (n) std::memcpy(dest + len, node, n);
  dest[len + n] = '\0';
}

bool ReadReference(const char* text, std::size_t size, AlarmReference* out) {
  if (!text || !out || size == 0) return false;
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return k < size ? text[k] : '\0'; };

  if (at(0) == '\0') return false;
  char letter = at(i++);

  while (IsBlank(at(i))) ++i;
  bool negative = false;
  if (at(i) == '+' || at(i) == '-') negative = at(i++) == '-';
  if (at(i) < '0' || at(i) > '9') return false;
  uint32_t value = 0;  // wraps: only the low 16 bits are used
  while (at(i) >= '0' && at(i) <= '9') value = value * 10u + static_cast<uint32_t>(at(i++) - '0');
  if (negative) value = 0u - value;

  while (IsBlank(at(i))) ++i;
  std::size_t start = i;
  while (at(i) != '\0' && !IsBlank(at(i))) ++i;
  std::size_t len = i - start;
  if (len == 0 || len > kRefNodeSize - 1) return false;

  out->letter = letter;
  out->number = static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFFu));
  std::memset(out->node, 0, sizeof out->node);
  std::memcpy(out->node, text + start, len);
  return true;
}

bool ReadCallerReference(const char* text, AlarmReference* out) {
  if (!text) return false;
  char buf[kReferenceSize] = {};
  std::memcpy(buf, text, ::strnlen(text, kReferenceSize - 1));
  return ReadReference(buf, sizeof buf, out);
}

}  // namespace tolvane

#include "manager/alarm_reference.h"

#include <cstdio>
#include <cstring>

namespace tolvane {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void WriteReference(char* dest, char letter, int16_t number, const char* node) {
  std::snprintf(dest, kReferenceSize, "%c%d%s", letter, static_cast<int>(number),
                node ? node : "");
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

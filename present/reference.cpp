#include "present/reference.h"

#include <charconv>

#include "present/rows.h"

namespace tolvane::present {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool IsReferenceLetter(char letter) {
  return letter > ' ' && letter < 0x7F;
}

bool IsReferenceNode(std::string_view node) {
  if (node.empty() || node.size() > kMaxReferenceNode || IsDigit(node[0])) return false;
  for (std::size_t i = 0; i < node.size();) {
    char32_t cp = 0;
    std::size_t n = Utf8Sequence(node, i, &cp);
    // Blanks end the name when the library reads it; controls are unsafe to
    // show and cannot be typed.
    if (n == 0 || cp <= ' ' || (cp >= 0x7F && cp <= 0x9F)) return false;
    i += n;
  }
  return true;
}

std::optional<AlarmRef> ParseCanonicalReference(std::string_view text) {
  if (text.size() < 3 || !IsReferenceLetter(text[0])) return std::nullopt;
  AlarmRef ref;
  ref.letter = text[0];
  std::size_t pos = 1;
  bool negative = text[pos] == '-';
  if (negative) ++pos;
  std::size_t digits = pos;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  std::string_view number = text.substr(pos, digits - pos);
  if (number.empty() || number.size() > 5) return std::nullopt;
  if (number[0] == '0' && (number.size() > 1 || negative)) return std::nullopt;
  int value = 0;
  std::from_chars(number.data(), number.data() + number.size(), value);
  if (negative) value = -value;
  if (value < INT16_MIN || value > INT16_MAX) return std::nullopt;
  ref.number = static_cast<int16_t>(value);
  ref.node = std::string(text.substr(digits));
  if (!IsReferenceNode(ref.node)) return std::nullopt;
  return ref;
}

std::string FormatReference(const AlarmRef& ref) {
  return std::string(1, ref.letter) + std::to_string(ref.number) + ref.node;
}

}  // namespace tolvane::present

// Alarm references as people type them. The library reads any text its way
// (blanks skipped, a "+" or leading zeros allowed, the number taken modulo
// 65536), so a mistyped reference can name another alarm. The program takes
// only the canonical form: exactly the text it writes itself for an alarm.
//
// Canonical form: the block letter, the block number in decimal, the node
// name, nothing between and nothing after.
// - letter: one printable ASCII character other than the blank (0x21-0x7E);
// - number: -32768..32767, a "-" only when negative, no "+", no leading
//   zeros ("0" is fine, "-0" is not);
// - node name: 1 to 8 bytes (the library reads it into 9 bytes), no blank,
//   no control character, any other bytes well-formed UTF-8, and not
//   starting with a digit: the number is read greedily, so A12 with node 7UP
//   writes A127UP, which reads back as number 127 on node UP.
//
// Case rule (for the docs): the letter is matched exactly ("a12PLANT1" is
// not "A12PLANT1"); node names are matched without regard to case
// ("A12plant1" names the alarm of A12PLANT1). Parsing keeps the case as
// typed; matching is the queue's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::present {

struct AlarmRef {
  char letter = 0;
  int16_t number = 0;
  std::string node;

  bool operator==(const AlarmRef&) const = default;
};

inline constexpr std::size_t kMaxReferenceNode = 8;

// The reference in canonical form, or nothing when `text` is not one.
std::optional<AlarmRef> ParseCanonicalReference(std::string_view text);

// The text the program writes for an alarm: the library's "%c%d%s". It
// reads back through ParseCanonicalReference only when IsAddressable holds.
std::string FormatReference(const AlarmRef& ref);

// Whether a block letter and a node name can appear in a canonical
// reference. A plant whose blocks fail these holds alarms that no reference
// can name; its import should refuse them.
bool IsReferenceLetter(char letter);
bool IsReferenceNode(std::string_view node);
inline bool IsAddressable(const AlarmRef& ref) {
  return IsReferenceLetter(ref.letter) && IsReferenceNode(ref.node);
}

}  // namespace tolvane::present

// The alarm reference: "%c%d%s" of a block's letter, number and node name.
// One writer and one reader serve every operation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

inline constexpr std::size_t kReferenceSize = 64;  // field width, terminator included
inline constexpr std::size_t kRefNodeSize = 9;     // at most 8 characters

struct AlarmReference {
  char letter = 0;
  int16_t number = 0;
  char node[kRefNodeSize] = {};
};

// Writes the reference into dest[kReferenceSize], cut to 63 characters; the
// node name is written as given (callers cut it where they must). A
// zero letter writes a zero first byte, so the reference reads as empty.
void WriteReference(char* dest, char letter, int16_t number, const char* node);

// Reads a reference the way "%c%d%s" would: the letter is the first
// character as it stands, the number skips blanks and takes an optional sign
// (used modulo 65536), the node name skips blanks and runs to the next blank.
// Reads at most `size` bytes of `text`. False unless all three parts are read
// and the node name has at most 8 characters.
bool ReadReference(const char* text, std::size_t size, AlarmReference* out);

// Copies a caller's reference into a zeroed 64-byte buffer, never reading
// past its terminator, and reads it.
bool ReadCallerReference(const char* text, AlarmReference* out);

}  // namespace tolvane

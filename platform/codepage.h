// Multibyte text services of the ANSI code page: lead-byte test, upper-casing
// and case-blind comparison that never split a double-byte character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tolvane/codepage.h"

namespace tolvane {

bool IsLeadByte(unsigned char c);

// Byte length of the character that starts at s[0] (1 or 2; 1 at a lead byte
// whose trail byte is missing).
inline std::size_t CharLength(std::string_view s) {
  return (!s.empty() && IsLeadByte(static_cast<unsigned char>(s[0])) && s.size() > 1) ? 2 : 1;
}

// Upper-cases a NUL-terminated text in place, leaving double-byte characters alone.
void MbsUpperInPlace(char* text);
void MbsUpperInPlace(std::string& text);
std::string MbsUpper(std::string_view text);

// Case-blind comparison in the code page: <0, 0, >0.
int MbsICompare(std::string_view a, std::string_view b);
inline bool MbsIEqual(std::string_view a, std::string_view b) { return MbsICompare(a, b) == 0; }

// Position of the first character `c` (a single-byte character, never a
// trail byte) in `text`, or npos.
std::size_t MbsFind(std::string_view text, char c);
// Position of the last such character, or npos.
std::size_t MbsFindLast(std::string_view text, char c);

}  // namespace tolvane

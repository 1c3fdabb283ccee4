// An alarm value as display text.
#pragma once

#include "tolvane/records.h"

namespace tolvane {

// Floating-point values are formatted with this precision, in at most this
// many characters.
inline constexpr int kRealPrecision = 3;
inline constexpr int kRealRoom = 15;

// Writes the text of `value` into `text` (`size` bytes, cut and terminated):
// its text when the text flag is set, else the number its kind holds.
// Returns 0, or 1726 (kNoTextForm) with "*?*" for a kind without a text form.
unsigned int ConvertValueToText(const _AlmCanonicalValue* value, char* text, unsigned int size);

}  // namespace tolvane

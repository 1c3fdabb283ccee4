// The national-language text library as Tolvane calls it: floating-point
// numbers in the node's number format. With no backend installed nothing is
// formatted: the buffer holds an empty text and the call reports -1.
#pragma once

#include <cstddef>

#include "tolvane/export.h"

// Writes `value` with `precision` into `buffer`, at most `room` characters
// and a terminator (`buffer` holds room + 1 bytes). Returns 0 when formatted.
int lexmon_format_real(double value, int precision, int room, char* buffer);

namespace tolvane {

class NumberFormatBackend {
 public:
  virtual ~NumberFormatBackend() = default;
  // Writes at most size - 1 characters and a terminator; 0 when formatted.
  virtual int FormatReal(double value, int precision, char* out, std::size_t size) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
TOLVANE_API void InstallNumberFormatBackend(NumberFormatBackend* backend);
TOLVANE_API NumberFormatBackend* InstalledNumberFormatBackend();

}  // namespace tolvane

// Reading fields of packed rows in tests.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace tolvane::testing {

// The text at `offset` of a byte buffer, up to NUL or `width` bytes.
inline std::string TextAt(const void* base, std::size_t offset, std::size_t width) {
  const char* p = static_cast<const char*>(base) + offset;
  return std::string(p, ::strnlen(p, width));
}

}  // namespace tolvane::testing

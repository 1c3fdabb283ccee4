// Bounded access to fixed-width text fields: reading never runs past the
// field, writing always leaves the terminator.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace tolvane {

// The text of a field of `size` bytes, up to its first NUL or its end.
inline std::string_view FieldText(const char* field, std::size_t size) {
  return std::string_view(field, ::strnlen(field, size));
}

template <std::size_t N>
inline std::string_view FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// Copies `text` into a field of `size` bytes, cut to size - 1 characters and
// terminated. The rest of the field is left as it was. A zero-size field is
// left alone.
inline void SetFieldText(char* field, std::size_t size, std::string_view text) {
  if (size == 0) return;
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n) std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

template <std::size_t N>
inline void SetFieldText(char (&field)[N], std::string_view text) {
  SetFieldText(field, N, text);
}

// Same as SetFieldText, then zero-fills the rest of the field.
inline void SetFieldTextPadded(char* field, std::size_t size, std::string_view text) {
  if (size == 0) return;
  std::memset(field, 0, size);
  SetFieldText(field, size, text);
}

template <std::size_t N>
inline void SetFieldTextPadded(char (&field)[N], std::string_view text) {
  SetFieldTextPadded(field, N, text);
}

// Bounded copy of a NUL-terminated source (possibly null) into dest[size].
inline void CopyText(char* dest, std::size_t size, const char* src) {
  SetFieldText(dest, size, src ? std::string_view(src) : std::string_view());
}

}  // namespace tolvane
